#include "bench/fake_service/fake_service_win.h"

#include <mutex>

namespace fake_service {
namespace {

struct State {
    std::mutex lock;
    Answers answers;
    DWORD delayNextQueryMs = 0;
    std::vector<Event> events;
    int sampleAlerts = 0;
    int statusCalls = 0;
    DWORD statusStratum = 0;
};

State& Service() {
    static State state;
    return state;
}

uint64_t FileTimeNow() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

HRESULT WINAPI GetTimeSysInfo(TimeSysInfo info, void* out) {
    State& service = Service();
    DWORD delay = 0;
    {
        std::lock_guard<std::mutex> hold(service.lock);
        delay = service.delayNextQueryMs;
        service.delayNextQueryMs = 0;
    }
    if (delay != 0) {
        Sleep(delay);
    }
    std::lock_guard<std::mutex> hold(service.lock);
    switch (info) {
    case TSI_CurrentTime:
        *static_cast<uint64_t*>(out) = FileTimeNow();
        return S_OK;
    case TSI_LastSyncTime:
        *static_cast<uint64_t*>(out) = service.answers.lastSyncTime;
        return S_OK;
    case TSI_TickCount:
        *static_cast<uint64_t*>(out) = service.answers.tickCount;
        return S_OK;
    case TSI_PhaseOffset:
        *static_cast<int64_t*>(out) = 0;
        return S_OK;
    case TSI_Stratum:
        *static_cast<BYTE*>(out) = service.answers.stratum;
        return S_OK;
    case TSI_ReferenceIdentifier:
        *static_cast<DWORD*>(out) = service.answers.refId;
        return S_OK;
    case TSI_TSFlags:
        *static_cast<DWORD*>(out) = service.answers.tsFlags;
        return S_OK;
    default:
        return E_INVALIDARG;
    }
}

HRESULT WINAPI LogEvent(WORD type, WCHAR*, WCHAR* message) {
    std::lock_guard<std::mutex> hold(Service().lock);
    Service().events.push_back({type, message != nullptr ? message : L""});
    return S_OK;
}

HRESULT WINAPI AlertSamplesAvail() {
    std::lock_guard<std::mutex> hold(Service().lock);
    ++Service().sampleAlerts;
    return S_OK;
}

HRESULT WINAPI SetProviderStatus(SetProviderStatusInfo* info) {
    {
        std::lock_guard<std::mutex> hold(Service().lock);
        ++Service().statusCalls;
        Service().statusStratum = info->dwStratum;
    }
    info->pfnFree(info);
    return S_OK;
}

} // namespace

void Reset() {
    State& service = Service();
    std::lock_guard<std::mutex> hold(service.lock);
    service.answers = Answers();
    service.delayNextQueryMs = 0;
    service.events.clear();
    service.sampleAlerts = 0;
    service.statusCalls = 0;
    service.statusStratum = 0;
}

void SetAnswers(const Answers& answers) {
    std::lock_guard<std::mutex> hold(Service().lock);
    Service().answers = answers;
}

Answers CurrentAnswers() {
    std::lock_guard<std::mutex> hold(Service().lock);
    return Service().answers;
}

void DelayNextQuery(DWORD ms) {
    std::lock_guard<std::mutex> hold(Service().lock);
    Service().delayNextQueryMs = ms;
}

TimeProvSysCallbacks Callbacks() {
    TimeProvSysCallbacks callbacks = {};
    callbacks.dwSize = sizeof(callbacks);
    callbacks.pfnGetTimeSysInfo = GetTimeSysInfo;
    callbacks.pfnLogTimeProvEvent = LogEvent;
    callbacks.pfnAlertSamplesAvail = AlertSamplesAvail;
    callbacks.pfnSetProviderStatus = SetProviderStatus;
    return callbacks;
}

std::vector<Event> Events() {
    std::lock_guard<std::mutex> hold(Service().lock);
    return Service().events;
}

void ClearEvents() {
    std::lock_guard<std::mutex> hold(Service().lock);
    Service().events.clear();
}

int EventsStartingWith(const std::wstring& prefix, WORD type) {
    int count = 0;
    for (const Event& event : Events()) {
        if ((type == 0 || event.type == type) && event.message.rfind(prefix, 0) == 0) {
            ++count;
        }
    }
    return count;
}

int SampleAlerts() {
    std::lock_guard<std::mutex> hold(Service().lock);
    return Service().sampleAlerts;
}

int StatusCalls() {
    std::lock_guard<std::mutex> hold(Service().lock);
    return Service().statusCalls;
}

DWORD LastStatusStratum() {
    std::lock_guard<std::mutex> hold(Service().lock);
    return Service().statusStratum;
}

TimeProvHandle OpenAgent(HRESULT* result) {
    TimeProvSysCallbacks callbacks = Callbacks(); // the agent keeps a copy
    wchar_t name[] = L"Horologix";
    TimeProvHandle handle = nullptr;
    const HRESULT opened = TimeProvOpen(name, &callbacks, &handle);
    if (result != nullptr) {
        *result = opened;
    }
    return opened == S_OK ? handle : nullptr;
}

} // namespace fake_service
