// Service control against the W32Time stand-in under Wine's own service control manager: each
// state the applet and the installer meet (stopped, running, manual, disabled), and the message
// box as a user sees and answers it.
#include "config/service_control_win.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "agent/agent_test_util_win.h"
#include "bench/remote_registry/bench_remote_machine_win.h"
#include "bench/remote_registry/bench_remote_registry_win.h"
#include "bench/w32time_standin/standin_client_win.h"
#include "bench/w32time_standin/standin_protocol.h"
#include "bench/w32time_standin/standin_state_win.h"
#include "common/error_text_win.h"
#include "common/unique_handle_win.h"

using namespace standin;

namespace {

constexpr DWORD kServiceTimeoutMs = kPatienceMs;
constexpr DWORD kBoxTimeoutMs = kPatienceMs;
// The product waits for a service's state in 100 polls 100 ms apart: a call that returns within
// this did not wait out the polls.
constexpr DWORD kPromptMs = 100 * 100;
// A provider's TimeProvClose that outlasts the polls with 15 s to spare for a slow machine, yet
// stays within the 35 s the stand-in announces for its stop.
constexpr DWORD kSlowCloseMs = 25000;
const char kBoxPrefix[] = "Service control for W32Time (Windows Time) service failed; ";

// A message box as the user saw it before pressing OK.
struct SeenBox {
    std::string text;
    HWND owner = nullptr;
    bool exclamationIcon = false;
};

struct Outcome {
    bool result = false;
    DWORD lastError = 0xFFFFFFFF;
    DWORD elapsedMs = 0;
    HWND owner = nullptr; // the window the call was given
    std::vector<SeenBox> boxes;
};

struct CallThread {
    std::function<bool(HWND)> call;
    bool withOwner = false;
    Outcome* outcome = nullptr;
};

DWORD WINAPI RunCall(void* parameter) {
    auto* job = static_cast<CallThread*>(parameter);
    // The owner lives on the calling thread, as a property page does.
    HWND owner = job->withOwner ? CreateWindowExA(0, "STATIC", "owner", WS_OVERLAPPED, 0, 0, 100,
                                                  100, nullptr, nullptr, nullptr, nullptr)
                                : nullptr;
    job->outcome->owner = owner;
    const ULONGLONG start = GetTickCount64();
    job->outcome->result = job->call(owner);
    job->outcome->lastError = GetLastError();
    job->outcome->elapsedMs = static_cast<DWORD>(GetTickCount64() - start);
    if (owner != nullptr) {
        DestroyWindow(owner);
    }
    return 0;
}

BOOL CALLBACK FindExclamationIcon(HWND child, LPARAM found) {
    char cls[16] = {};
    GetClassNameA(child, cls, sizeof cls);
    const LONG_PTR style = GetWindowLongPtrA(child, GWL_STYLE);
    if (lstrcmpiA(cls, "Static") == 0 && (style & SS_TYPEMASK) == SS_ICON &&
        reinterpret_cast<HICON>(SendMessageA(child, STM_GETICON, 0, 0)) ==
            LoadIconA(nullptr, IDI_EXCLAMATION)) {
        *reinterpret_cast<bool*>(found) = true;
    }
    return TRUE;
}

// Runs a call on a thread of its own, as the applet's pages and the installer's worker do, and
// meanwhile answers every "Horologix" message box as a user would: reads it and presses OK.
Outcome CallAnsweringBoxes(std::function<bool(HWND)> call, bool withOwner = false) {
    Outcome outcome;
    CallThread job{std::move(call), withOwner, &outcome};
    UniqueKernelHandle thread(CreateThread(nullptr, 0, RunCall, &job, 0, nullptr));
    if (!thread) {
        ADD_FAILURE() << "CreateThread: " << GetLastError();
        return outcome;
    }
    HWND answered = nullptr;
    const ULONGLONG start = GetTickCount64();
    while (WaitForSingleObject(thread.get(), 20) == WAIT_TIMEOUT) {
        HWND box = FindWindowA("#32770", "Horologix");
        if (box != nullptr && box != answered && IsWindowVisible(box)) {
            SeenBox seen;
            char text[1024] = {};
            GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
            seen.text = text;
            seen.owner = GetWindow(box, GW_OWNER);
            EnumChildWindows(box, FindExclamationIcon,
                             reinterpret_cast<LPARAM>(&seen.exclamationIcon));
            outcome.boxes.push_back(seen);
            PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
            answered = box;
        }
        if (GetTickCount64() - start > kServiceTimeoutMs + kBoxTimeoutMs) {
            ADD_FAILURE() << "the call did not return";
            TerminateThread(thread.get(), 1);
            break;
        }
    }
    return outcome;
}

Outcome Control(uint32_t op, bool show, bool withOwner = false) {
    return CallAnsweringBoxes(
        [op, show](HWND owner) { return ControlTimeService(owner, "", op, show); }, withOwner);
}

Outcome Restart(const char* name) {
    return CallAnsweringBoxes([name](HWND owner) { return RestartService(owner, nullptr, name); });
}

std::string ExpectedBoxText(DWORD error) {
    return std::string(kBoxPrefix) + SystemErrorText(error) + "\r\n";
}

DWORD SetStartType(DWORD startType) {
    UniqueService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueService service(manager ? OpenServiceW(manager.get(), kServiceName, SERVICE_CHANGE_CONFIG)
                                  : nullptr);
    if (!service ||
        !ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE,
                              nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)) {
        return GetLastError();
    }
    return ERROR_SUCCESS;
}

ServiceInfo Standin() {
    ServiceInfo info;
    EXPECT_EQ(QueryStandin(&info), 0u);
    return info;
}

bool BecomesRunning() {
    return WaitFor([] { return Standin().state == SERVICE_RUNNING; }, kServiceTimeoutMs);
}

// "Kind first-argument" of each log record since an offset: "Service stopped", "Control 6".
std::vector<std::string> LogEvents(uint64_t from) {
    std::vector<std::string> events;
    for (const Record& record : ReadLog(from)) {
        if (record.size() >= 3) {
            events.push_back(record[1] + " " + record[2]);
        }
    }
    return events;
}

bool Logged(uint64_t from, const char* event) {
    const std::vector<std::string> events = LogEvents(from);
    return std::find(events.begin(), events.end(), event) != events.end();
}

std::wstring BinFolder() {
    return WindowsPath(BENCH_BIN_DIR);
}

class ServiceControl : public ::testing::Test {
protected:
    void SetUp() override {
        ServiceInfo info;
        ASSERT_EQ(QueryStandin(&info), 0u) << "bench/session installs the W32Time stand-in";
        savedStartType_ = info.startType;
        wasRunning_ = info.state == SERVICE_RUNNING;
        // The stand-in hosts no agent here: none of the agent's objects, port or files.
        ASSERT_EQ(StopStandin(kServiceTimeoutMs), 0u);
        DeleteRegistryTree(HKEY_LOCAL_MACHINE, kAgentProviderKey);
    }
    void TearDown() override {
        EXPECT_EQ(SetStartType(savedStartType_), 0u);
        EXPECT_EQ(wasRunning_ ? StartStandin(kServiceTimeoutMs) : StopStandin(kServiceTimeoutMs),
                  0u);
    }

    // The service in one of the states the product meets.
    void Arrange(DWORD startType, bool running) {
        ASSERT_EQ(StopStandin(kServiceTimeoutMs), 0u);
        if (running) {
            ASSERT_EQ(SetStartType(SERVICE_DEMAND_START), 0u);
            ASSERT_EQ(StartStandin(kServiceTimeoutMs), 0u);
        }
        ASSERT_EQ(SetStartType(startType), 0u);
        logStart_ = LogSize();
    }

    DWORD savedStartType_ = SERVICE_DEMAND_START;
    bool wasRunning_ = false;
    uint64_t logStart_ = 0;
    SavedRegistryKeys saved_{kAgentProviderKey}; // put back after each test
};

TEST_F(ServiceControl, stop_waits_for_a_running_service_and_is_at_once_true_for_a_stopped_one) {
    Arrange(SERVICE_DEMAND_START, true);
    Outcome stop = Control(kTimeServiceStop, true);
    EXPECT_TRUE(stop.result);
    EXPECT_EQ(stop.lastError, 0u);
    EXPECT_TRUE(stop.boxes.empty());
    // Stopped when the call returns, not merely asked to stop.
    EXPECT_EQ(Standin().state, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_TRUE(Logged(logStart_, "Service stopped"));

    const uint64_t stoppedLog = LogSize();
    stop = Control(kTimeServiceStop, true);
    EXPECT_TRUE(stop.result);
    EXPECT_EQ(stop.lastError, 0u);
    EXPECT_LT(stop.elapsedMs, kPromptMs);
    EXPECT_TRUE(stop.boxes.empty());
    EXPECT_EQ(LogSize(), stoppedLog);
    EXPECT_EQ(Standin().state, static_cast<DWORD>(SERVICE_STOPPED));
}

// A provider of the stand-in whose TimeProvClose takes delayMs, so that stopping takes as long.
class SlowStopServiceControl : public ServiceControl {
protected:
    void TearDown() override {
        ServiceControl::TearDown();
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, ProviderKey().c_str());
        if (!providersKeyExisted_) {
            DeleteKeyIfEmpty(HKEY_LOCAL_MACHINE, kProvidersKey, 0);
        }
        EXPECT_EQ(RemoveFile(SystemFolder() + L"\\" + kProviderDll), 0u);
        // What the provider records by default; nothing here reads it.
        wchar_t windows[MAX_PATH];
        GetWindowsDirectoryW(windows, MAX_PATH);
        DeleteFileW((std::wstring(windows) + L"\\temp\\testprov-SvcSlowClose.rec").c_str());
    }

    void RunWithSlowClose(DWORD delayMs) {
        ASSERT_EQ(StopStandin(kServiceTimeoutMs + delayMs), 0u);
        ASSERT_EQ(PlaceFile(BinFolder() + L"\\testprov.dll", SystemFolder() + L"\\" + kProviderDll),
                  0u);
        UniqueKey probe;
        providersKeyExisted_ =
            providersKeyExisted_ || RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProvidersKey, 0, KEY_READ,
                                                  probe.put()) == ERROR_SUCCESS;
        UniqueKey key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, ProviderKey().c_str(), 0, nullptr, 0,
                                  KEY_SET_VALUE, nullptr, key.put(), nullptr),
                  ERROR_SUCCESS);
        const DWORD enabled = 1;
        const auto bytes = [](const void* data) { return static_cast<const BYTE*>(data); };
        const DWORD dllSize = static_cast<DWORD>((wcslen(kProviderDll) + 1) * sizeof(wchar_t));
        for (const LONG status :
             {RegSetValueExW(key.get(), L"DllName", 0, REG_SZ, bytes(kProviderDll), dllSize),
              RegSetValueExW(key.get(), L"Enabled", 0, REG_DWORD, bytes(&enabled), 4),
              RegSetValueExW(key.get(), L"CloseDelayMs", 0, REG_DWORD, bytes(&delayMs), 4)}) {
            ASSERT_EQ(status, ERROR_SUCCESS);
        }
        ASSERT_EQ(StartStandin(kServiceTimeoutMs), 0u);
    }

    static std::wstring ProviderKey() { return std::wstring(kProvidersKey) + L"\\SvcSlowClose"; }
    static constexpr const wchar_t* kProviderDll = L"horologix-svcslow.dll";
    bool providersKeyExisted_ = false;
};

TEST_F(SlowStopServiceControl, stop_waits_for_a_slow_service_and_gives_up_after_the_polls) {
    RunWithSlowClose(700);
    Outcome stop = Control(kTimeServiceStop, true);
    EXPECT_TRUE(stop.result);
    EXPECT_EQ(stop.lastError, 0u);
    EXPECT_GE(stop.elapsedMs, 600u);
    EXPECT_EQ(Standin().state, static_cast<DWORD>(SERVICE_STOPPED));

    // Longer than 100 polls 100 ms apart: no call failed, so no error and no box, only false,
    // given up before the service stopped.
    RunWithSlowClose(kSlowCloseMs);
    stop = Control(kTimeServiceStop, true);
    EXPECT_FALSE(stop.result);
    EXPECT_EQ(stop.lastError, 0u);
    EXPECT_TRUE(stop.boxes.empty());
    EXPECT_GE(stop.elapsedMs, 10000u);
    EXPECT_LT(stop.elapsedMs, kSlowCloseMs);
    EXPECT_EQ(Standin().state, static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_EQ(StopStandin(kSlowCloseMs + kServiceTimeoutMs), 0u);
}

TEST_F(ServiceControl, running_query_answers_without_error_or_message) {
    Arrange(SERVICE_AUTO_START, false);
    // A thread's earlier error must not leak into the answer.
    Outcome query = CallAnsweringBoxes([](HWND) {
        SetLastError(ERROR_ACCESS_DENIED);
        return ControlTimeService(nullptr, nullptr, kTimeServiceIsRunning, true);
    });
    EXPECT_FALSE(query.result);
    EXPECT_EQ(query.lastError, 0u);
    EXPECT_TRUE(query.boxes.empty());
    EXPECT_EQ(Standin().state, static_cast<DWORD>(SERVICE_STOPPED));

    ASSERT_EQ(StartStandin(kServiceTimeoutMs), 0u);
    query = Control(kTimeServiceIsRunning, true);
    EXPECT_TRUE(query.result);
    EXPECT_EQ(query.lastError, 0u);
    EXPECT_TRUE(query.boxes.empty());
}

TEST_F(ServiceControl, start_leaves_a_running_service_alone_and_makes_a_stopped_one_automatic) {
    // Running under a manual start type: nothing is done, the start type stays manual.
    Arrange(SERVICE_DEMAND_START, true);
    const DWORD pid = Standin().pid;
    Outcome start = Control(kTimeServiceStart, true);
    EXPECT_TRUE(start.result);
    EXPECT_EQ(start.lastError, 0u);
    EXPECT_EQ(Standin().startType, static_cast<DWORD>(SERVICE_DEMAND_START));
    EXPECT_EQ(Standin().pid, pid);
    EXPECT_FALSE(Logged(logStart_, "Service start-pending"));

    for (const DWORD startType : {SERVICE_DEMAND_START, SERVICE_DISABLED}) {
        SCOPED_TRACE(startType == SERVICE_DISABLED ? "disabled" : "manual");
        Arrange(startType, false);
        start = Control(kTimeServiceStart, true);
        EXPECT_TRUE(start.result);
        EXPECT_EQ(start.lastError, 0u);
        EXPECT_TRUE(start.boxes.empty());
        EXPECT_EQ(Standin().startType, static_cast<DWORD>(SERVICE_AUTO_START));
        EXPECT_TRUE(BecomesRunning());
        // The service logs "running" right after it reports it.
        EXPECT_TRUE(WaitFor([this] { return Logged(logStart_, "Service running"); }, kPatienceMs));
    }
}

TEST_F(ServiceControl, controls_reach_the_running_service_and_refusals_are_shown_to_the_user) {
    if (GetEnvironmentVariableA("DISPLAY", nullptr, 0) == 0) {
        // Without one Wine's MessageBoxA returns at once and shows nothing.
        GTEST_SKIP() << "message boxes need a display: bench/session --display";
    }
    Arrange(SERVICE_AUTO_START, true);
    Outcome sent = Control(kTimeServiceParamChange, true);
    EXPECT_TRUE(sent.result);
    EXPECT_EQ(sent.lastError, 0u);
    EXPECT_TRUE(sent.boxes.empty());
    EXPECT_TRUE(Logged(logStart_, "Control 6"));

    // A code the service does not accept: refused by the service manager, with the box naming
    // the error, owned by the caller's window, exclamation icon.
    const uint32_t kNotAccepted = SERVICE_CONTROL_PAUSE;
    sent = Control(kNotAccepted, true, true);
    EXPECT_FALSE(sent.result);
    EXPECT_EQ(sent.lastError, static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
    ASSERT_EQ(sent.boxes.size(), 1u);
    EXPECT_EQ(sent.boxes[0].text, ExpectedBoxText(ERROR_INVALID_SERVICE_CONTROL));
    EXPECT_NE(sent.owner, nullptr);
    EXPECT_EQ(sent.boxes[0].owner, sent.owner);
    EXPECT_TRUE(sent.boxes[0].exclamationIcon);

    // A code outside the range of controls is refused by the service manager itself.
    sent = Control(300, true);
    EXPECT_FALSE(sent.result);
    EXPECT_EQ(sent.lastError, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ASSERT_EQ(sent.boxes.size(), 1u);
    EXPECT_EQ(sent.boxes[0].text, ExpectedBoxText(ERROR_INVALID_PARAMETER));

    // Any other code goes to the service as it is, also one only the service knows.
    const uint64_t customLog = LogSize();
    sent = Control(160, true);
    EXPECT_TRUE(sent.result);
    EXPECT_TRUE(Logged(customLog, "Control 160"));

    // Quiet callers (the installer's quiet mode) get the same answer without a box.
    sent = Control(kNotAccepted, false);
    EXPECT_FALSE(sent.result);
    EXPECT_EQ(sent.lastError, static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
    EXPECT_TRUE(sent.boxes.empty());

    // A parameter change for a stopped service has nobody to reach.
    ASSERT_EQ(StopStandin(kServiceTimeoutMs), 0u);
    sent = Control(kTimeServiceParamChange, true);
    EXPECT_FALSE(sent.result);
    EXPECT_EQ(sent.lastError, static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
    ASSERT_EQ(sent.boxes.size(), 1u);
    EXPECT_EQ(sent.boxes[0].text, ExpectedBoxText(ERROR_SERVICE_NOT_ACTIVE));
    EXPECT_EQ(sent.boxes[0].owner, nullptr);
}

TEST_F(ServiceControl, restart_starts_a_stopped_disabled_service_and_cycles_a_running_one) {
    Arrange(SERVICE_DISABLED, false);
    Outcome restart = Restart("W32Time");
    EXPECT_TRUE(restart.result);
    EXPECT_EQ(restart.lastError, 0u);
    EXPECT_TRUE(restart.boxes.empty());
    // Running when the call returns: it waited.
    ServiceInfo info = Standin();
    EXPECT_EQ(info.state, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(info.startType, static_cast<DWORD>(SERVICE_AUTO_START));

    // A running one (manual now) is stopped and started again as a new process; the start type
    // is left as it is.
    ASSERT_EQ(SetStartType(SERVICE_DEMAND_START), 0u);
    const uint64_t cycleLog = LogSize();
    restart = Restart("W32Time");
    EXPECT_TRUE(restart.result);
    EXPECT_EQ(restart.lastError, 0u);
    const ServiceInfo after = Standin();
    EXPECT_EQ(after.state, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_NE(after.pid, info.pid);
    EXPECT_EQ(after.startType, static_cast<DWORD>(SERVICE_DEMAND_START));
    // The service logs "running" right after it reports it.
    EXPECT_TRUE(WaitFor([cycleLog] { return Logged(cycleLog, "Service running"); }, kPatienceMs));
    std::vector<std::string> lifecycle;
    for (const std::string& event : LogEvents(cycleLog)) {
        if (event.rfind("Service ", 0) == 0) {
            lifecycle.push_back(event);
        }
    }
    EXPECT_EQ(lifecycle, (std::vector<std::string>{"Service stop-pending", "Service stopped",
                                                   "Service start-pending", "Service running"}));

    restart = Restart("HorologixNoSuchService");
    EXPECT_FALSE(restart.result);
    EXPECT_EQ(restart.lastError, static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    EXPECT_TRUE(restart.boxes.empty());
}

// Another machine: one that does not answer fails with the connection's error in the box; one
// whose manager answers gets the start type set there.
TEST_F(ServiceControl, machines_that_do_not_answer_fail_with_their_error) {
    InstallBenchRemoteMachines();
    const auto forget = [] { RemoveBenchRemoteMachines(); };
    ScopeExit<decltype(forget)> forgotten(forget);
    Outcome query = CallAnsweringBoxes(
        [](HWND owner) { return ControlTimeService(owner, "GHOST", kTimeServiceStart, true); });
    EXPECT_FALSE(query.result);
    EXPECT_EQ(query.lastError, static_cast<DWORD>(ERROR_BAD_NETPATH));
    ASSERT_EQ(query.boxes.size(), 1u);
    EXPECT_EQ(query.boxes[0].text, ExpectedBoxText(ERROR_BAD_NETPATH));
    EXPECT_EQ(BenchRemoteCalls(), std::vector<std::string>{"ServiceManager GHOST"});

    BenchMachineFacts facts;
    facts.localServiceManager = true; // the local manager plays TIMEHOST's
    SetBenchMachineFacts("TIMEHOST", facts);
    Arrange(SERVICE_DEMAND_START, false);
    EXPECT_TRUE(SetTimeServiceStartType("timehost", SERVICE_DISABLED));
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(Standin().startType, static_cast<DWORD>(SERVICE_DISABLED));
    EXPECT_TRUE(SetTimeServiceStartType("timehost", SERVICE_DISABLED)); // nothing to change
    EXPECT_EQ(BenchRemoteCalls().back(), "ServiceManager TIMEHOST local");
}

} // namespace
