// An applet run on a thread of its own, as Control Panel runs one.
#include "bench/window_bench/window_bench_win.h"

#include <objbase.h>

#include <cstdio>
#include <utility>

namespace winbench {
namespace {

// How long the run may take to end on its own before its windows are closed for it.
constexpr DWORD kEndWaitMs = 2000;

BOOL CALLBACK CloseWindow(HWND window, LPARAM) {
    // WM_CLOSE cancels a sheet and closes a message box that has a Cancel button; a box with
    // only OK is ended by its OK button.
    HWND ok = GetDlgItem(window, IDOK);
    if (ok != nullptr && GetDlgItem(window, IDCANCEL) == nullptr && GetDlgItem(window, 0xFFFF)) {
        PostMessageA(ok, BM_CLICK, 0, 0);
    } else {
        PostMessageA(window, WM_CLOSE, 0, 0);
    }
    PostMessageA(window, WM_NULL, 0, 0);
    return TRUE;
}

} // namespace

AppletSession::~AppletSession() {
    if (thread_ == nullptr) {
        if (library_ != nullptr) {
            FreeLibrary(library_);
        }
        return;
    }
    bool ended = Wait(kEndWaitMs);
    // Windows opened by a nested modal loop appear only once the outer one has closed: close
    // whatever is showing until the run ends.
    const ULONGLONG deadline = GetTickCount64() + kPatienceMs;
    while (!ended && GetTickCount64() < deadline) {
        CloseThreadWindows();
        ended = Wait(200);
    }
    if (!ended) {
        std::fprintf(stderr, "AppletSession: the applet's thread %lu did not end; left running\n",
                     threadId_);
        CloseHandle(thread_);
        return;
    }
    CloseHandle(thread_);
    if (library_ != nullptr) {
        FreeLibrary(library_);
    }
}

bool AppletSession::Open(const char* cplPath, std::vector<AppletCall> calls, HWND owner) {
    if (thread_ != nullptr || library_ != nullptr) {
        SetLastError(ERROR_BUSY);
        return false;
    }
    library_ = LoadLibraryA(cplPath);
    if (library_ == nullptr) {
        return false;
    }
    entry_ = reinterpret_cast<APPLET_PROC>(
        reinterpret_cast<void*>(GetProcAddress(library_, "CPlApplet")));
    if (entry_ == nullptr) {
        const DWORD error = GetLastError();
        FreeLibrary(library_);
        library_ = nullptr;
        SetLastError(error);
        return false;
    }
    calls_ = std::move(calls);
    owner_ = owner;
    return StartThread();
}

bool AppletSession::Run(std::function<LONG_PTR()> body) {
    if (thread_ != nullptr || !body) {
        SetLastError(ERROR_BUSY);
        return false;
    }
    body_ = std::move(body);
    return StartThread();
}

bool AppletSession::StartThread() {
    outcome_ = AppletOutcome();
    thread_ = CreateThread(nullptr, 0, ThreadMain, this, 0, &threadId_);
    return thread_ != nullptr;
}

DWORD WINAPI AppletSession::ThreadMain(void* context) {
    auto* self = static_cast<AppletSession*>(context);
    AppletOutcome& outcome = self->outcome_;
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (self->body_) {
        SetLastError(0);
        outcome.result = self->body_();
        outcome.lastError = GetLastError();
        outcome.answers.push_back(outcome.result);
        outcome.lastErrors.push_back(outcome.lastError);
    } else {
        APPLET_PROC entry = self->entry_;
        HWND owner = self->owner_;
        outcome.initAnswer = entry(owner, CPL_INIT, 0, 0);
        outcome.countAnswer = entry(owner, CPL_GETCOUNT, 0, 0);
        entry(owner, CPL_INQUIRE, 0, reinterpret_cast<LPARAM>(&outcome.info));
        for (const AppletCall& call : self->calls_) {
            SetLastError(0);
            const LONG_PTR answer = entry(owner, call.message, call.param1, call.param2);
            const DWORD error = GetLastError();
            outcome.answers.push_back(answer);
            outcome.lastErrors.push_back(error);
            outcome.result = answer;
            outcome.lastError = error;
        }
        entry(owner, CPL_STOP, 0, outcome.info.lData);
        entry(owner, CPL_EXIT, 0, 0);
    }
    if (SUCCEEDED(com)) {
        CoUninitialize();
    }
    return 0;
}

bool AppletSession::Wait(DWORD timeoutMs) {
    return thread_ != nullptr && WaitForSingleObject(thread_, timeoutMs) == WAIT_OBJECT_0;
}

bool AppletSession::Running() const {
    return thread_ != nullptr && WaitForSingleObject(thread_, 0) == WAIT_TIMEOUT;
}

void AppletSession::CloseThreadWindows() {
    EnumThreadWindows(threadId_, CloseWindow, 0);
}

} // namespace winbench
