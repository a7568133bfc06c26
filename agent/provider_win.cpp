// Time-provider entry points called by the Windows Time service.
#include "agent/agent_state_win.h"

#include <cstring>
#include <cwchar>

namespace {
constexpr wchar_t kProviderName[] = L"Horologix";
const TimeProvHandle kOurHandle = reinterpret_cast<TimeProvHandle>(1);
} // namespace

extern "C" {

HRESULT WINAPI TimeProvOpen(WCHAR* name, TimeProvSysCallbacks* callbacks, TimeProvHandle* handle) {
    if (handle == nullptr) {
        return S_OK;
    }
    *handle = nullptr;
    if (name == nullptr || _wcsicmp(name, kProviderName) != 0) {
        return S_OK;
    }
    AgentState& agent = Agent();
    if (callbacks != nullptr) {
        // The service's structure may be shorter than ours if it is older: copy what it gives.
        const size_t size = callbacks->dwSize != 0 && callbacks->dwSize < sizeof(agent.callbacks)
                                ? callbacks->dwSize
                                : sizeof(agent.callbacks);
        std::memset(&agent.callbacks, 0, sizeof(agent.callbacks));
        std::memcpy(&agent.callbacks, callbacks, size);
    }
    if (StartAgent()) {
        *handle = kOurHandle;
    } else {
        StopAgent();
    }
    return S_OK;
}

HRESULT WINAPI TimeProvCommand(TimeProvHandle, TimeProvCmd command, TimeProvArgs argument) {
    AgentState& agent = Agent();
    switch (command) {
    case TPC_TimeJumped:
        if (agent.events[kTimeJumpEvent] != nullptr) {
            SetEvent(agent.events[kTimeJumpEvent]);
        }
        return S_OK;
    case TPC_UpdateConfig: {
        SettingsRecord fresh = AgentSettingsCopy();
        LoadSettings(&fresh);
        LockAgentShared();
        agent.settings = fresh;
        UnlockAgentShared();
        return S_OK;
    }
    case TPC_GetSamples: {
        auto* args = static_cast<TpcGetSamplesArgs*>(argument);
        if (args == nullptr) {
            return S_OK;
        }
        LockAgentShared();
        // A buffer too small for one sample gets none rather than an overrun.
        if (agent.sampleAvailable && args->pbSampleBuf != nullptr &&
            args->cbSampleBuf >= sizeof(agent.lastSample)) {
            std::memcpy(args->pbSampleBuf, &agent.lastSample, sizeof(agent.lastSample));
            args->dwSamplesReturned = 1;
            args->dwSamplesAvailable = 1;
        } else {
            args->dwSamplesReturned = 0;
            args->dwSamplesAvailable = 0;
        }
        UnlockAgentShared();
        return S_OK;
    }
    case TPC_PollIntervalChanged:
    case TPC_NetTopoChange:
    case TPC_Query:
    case TPC_Shutdown:
        return S_OK;
    default:
        return ERROR_INVALID_PARAMETER;
    }
}

HRESULT WINAPI TimeProvClose(TimeProvHandle handle) {
    if (handle == kOurHandle) {
        StopAgent();
    }
    return S_OK;
}

} // extern "C"
