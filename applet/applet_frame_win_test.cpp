// The applet's frame as Control Panel and a management tool meet it: the entry's answers, each
// start-up check refusing its case with its message and error, the sheet and its closing, and a
// status thread that does not end when told to. The applet runs in this process (the shell is
// linked in) on a thread of its own; the test drives its windows.
#include <windows.h>
#include <cpl.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "applet/applet_frame_win.h"
#include "applet/applet_rules.h"
#include "applet/applet_state_win.h"
#include "applet/sheet_test_util_win.h"
#include "bench/remote_registry/bench_remote_machine_win.h"
#include "bench/window_bench/window_bench_win.h"
#include "config/registry.h"
#include "config/settings.h"
#include "config/system_identity_win.h"
#include "resources/resource.h"

extern "C" LONG APIENTRY CPlApplet(HWND, UINT, LPARAM, LPARAM);

namespace {

using winbench::kPatienceMs;
// A run ends once its sheet has closed and the frame has waited for its status thread.
constexpr DWORD kRunMs = kStatusThreadWaitMs + kPatienceMs;

LONG_PTR Send(UINT message, LPARAM first = 0, LPARAM second = 0) {
    return CPlApplet(nullptr, message, first, second);
}

// A run of the applet in a mode, with every message box it shows read and answered with OK.
struct RunSeen {
    LONG_PTR result = -1;
    DWORD error = 0xFFFFFFFF;
    std::vector<std::string> boxes;
};

RunSeen RunAnsweringBoxes(UINT message) {
    winbench::AppletSession session;
    RunSeen run;
    EXPECT_TRUE(session.Run([message] { return Send(message); }));
    const DWORD self = GetCurrentProcessId();
    const ULONGLONG deadline = GetTickCount64() + kRunMs;
    while (!session.Wait(50)) {
        if (GetTickCount64() > deadline) {
            ADD_FAILURE() << "the run did not end";
            break;
        }
        winbench::MessageBoxSeen box;
        if (winbench::WaitForMessageBoxOfProcess(self, "Horologix", 0, &box)) {
            run.boxes.push_back(box.text);
            winbench::Answer(box, IDOK);
        }
        if (HWND sheet = winbench::WaitForSheetOfProcess(self, nullptr, 0)) {
            run.boxes.push_back("(the sheet opened)");
            winbench::PressSheetButton(sheet, IDCANCEL);
        }
    }
    run.result = session.Outcome().result;
    run.error = session.Outcome().lastError;
    return run;
}

class AppletFrame : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(Send(CPL_INIT), 1);
        InstallBenchRemoteMachines();
        // What a sheet may write is put back afterwards; no agent, so no Agent page.
        SaveSheetKeys(&keys_);
        DeleteKey(kAgentKeyPath);
    }
    void TearDown() override {
        SetAppletStartFault(AppletStartFault::kNone);
        SetStatusThreadBodyForTesting(nullptr);
        RemoveBenchRemoteMachines();
        Send(CPL_INIT);
        keys_.Restore();
    }

    RegistrySnapshot keys_;
};

TEST_F(AppletFrame, answers_control_panel_and_the_private_messages) {
    EXPECT_EQ(Send(CPL_GETCOUNT), 1);
    CPLINFO info{};
    EXPECT_EQ(Send(CPL_INQUIRE, 0, reinterpret_cast<LPARAM>(&info)), 0);
    EXPECT_EQ(info.idIcon, IDI_APPLET);
    EXPECT_EQ(info.idName, IDS_APPLET_NAME);
    EXPECT_EQ(info.idInfo, IDS_APPLET_DESCRIPTION);
    char text[200] = {};
    LoadStringA(GetModuleHandleA(nullptr), IDS_APPLET_NAME, text, sizeof(text));
    EXPECT_STREQ(text, "Horologix");
    LoadStringA(GetModuleHandleA(nullptr), IDS_APPLET_DESCRIPTION, text, sizeof(text));
    EXPECT_STREQ(text, "Set up time sources, synchronization modes, server functions, and "
                       "monitoring for the Windows Time service");
    EXPECT_EQ(Send(CPL_NEWINQUIRE), 0);
    EXPECT_EQ(Send(CPL_STOP), 0);
    EXPECT_EQ(Send(0x12345678), 0);

    // The target: trimmed and upper-cased; empty text makes it local.
    EXPECT_EQ(Send(kCplSetTarget, reinterpret_cast<LPARAM>("  time-host7 \t\r\n")), 1);
    EXPECT_STREQ(Applet().targetMachine, "TIME-HOST7");
    EXPECT_EQ(Send(kCplSetTarget, reinterpret_cast<LPARAM>(" \t")), 0);
    EXPECT_STREQ(Applet().targetMachine, "");
    EXPECT_EQ(Send(kCplSetTarget, 0), 0);
    const std::string longName(300, 'n');
    EXPECT_EQ(Send(kCplSetTarget, reinterpret_cast<LPARAM>(longName.c_str())), 1);
    EXPECT_EQ(std::string(Applet().targetMachine), std::string(kTargetMachineChars, 'N'));

    // Quiet mode follows the second parameter; CPL_INIT clears it and the target.
    EXPECT_EQ(Send(kCplQuiet, 0, 1), 1);
    EXPECT_TRUE(Applet().quietMode);
    EXPECT_EQ(Send(CPL_INIT), 1);
    EXPECT_FALSE(Applet().quietMode);
    EXPECT_STREQ(Applet().targetMachine, "");
}

// Every test exists in both builds, so that the 32-bit list is the 64-bit one; a test that
// cannot run in one build says so and skips.
void SkipWhereRefusedAsWow64() {
#ifndef _WIN64
    if (IsWow64()) {
        GTEST_SKIP() << "a 32-bit applet on 64-bit Windows refuses to run";
    }
#endif
}

TEST_F(AppletFrame, start_up_checks_refuse_each_case_with_its_message) {
    SkipWhereRefusedAsWow64();
    if (IsSkipped()) {
        return;
    }
    SetAppletStartFault(AppletStartFault::kNotAdministrator);
    RunSeen run = RunAnsweringBoxes(CPL_DBLCLK);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.error, 5u);
    EXPECT_EQ(run.boxes, std::vector<std::string>{"Sorry, you must have administrative privileges "
                                                  "in order to run this applet."});

    // Quiet: the same refusal, nothing shown.
    Send(kCplQuiet, 0, 1);
    run = RunAnsweringBoxes(kCplOpenSheet);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.error, 5u);
    EXPECT_TRUE(run.boxes.empty());
    Send(kCplQuiet, 0, 0);

    SetAppletStartFault(AppletStartFault::kWinsockRefused);
    run = RunAnsweringBoxes(CPL_DBLCLK);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.error, static_cast<DWORD>(WSASYSNOTREADY));
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].rfind("Unable to start the Winsock subsystem. ", 0), 0u) << run.boxes[0];
    SetAppletStartFault(AppletStartFault::kNone);

    // A machine nobody answers for.
    Send(kCplSetTarget, reinterpret_cast<LPARAM>("ghost"));
    run = RunAnsweringBoxes(CPL_DBLCLK);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.error, 53u);
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].rfind("Could not retrieve operating system version information for "
                                 "GHOST; ",
                                 0),
              0u)
        << run.boxes[0];

    // A release older than Windows 2000.
    BenchMachineFacts nt4;
    nt4.serverInfo = {500, 4, 0, 0x1003};
    SetBenchMachineFacts("OLDNT", nt4);
    Send(kCplSetTarget, reinterpret_cast<LPARAM>("oldnt"));
    run = RunAnsweringBoxes(CPL_DBLCLK);
    EXPECT_EQ(run.error, 1633u);
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0],
              "This program requires Windows 2000 or later. OLDNT appears to be NT 4.0.")
        << run.boxes[0];

    // A registry that cannot be written: the access test names the key and the machine. (A run
    // that got past every check would open the sheet: cancel it, so the test fails, not hangs.)
    BenchMachineFacts readOnly;
    readOnly.registryRefusesWrites = true;
    SetBenchMachineFacts("LOCKED", readOnly);
    Send(kCplSetTarget, reinterpret_cast<LPARAM>("Locked"));
    ClearBenchRemoteCalls();
    run = RunAnsweringBoxes(CPL_DBLCLK);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.error, static_cast<DWORD>(ERROR_KEY_DELETED));
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].rfind("Could not write test value to "
                                 "\\\\System\\CurrentControlSet\\Services\\LanmanServer key on "
                                 "LOCKED machine's registry; ",
                                 0),
              0u)
        << run.boxes[0];
    const std::vector<std::string> calls = BenchRemoteCalls();
    EXPECT_EQ(calls, (std::vector<std::string>{"ServerInfo LOCKED", "Registry LOCKED"}));
    // The focus went back to this machine.
    EXPECT_STREQ(RegistryFocusMachine(), "");

    // Installing to another architecture stops before anything is copied.
    BenchMachineFacts x86;
    SetBenchMachineFacts("OLDBOX", x86);
    SetRegistryFocus("OLDBOX");
    WriteString("\\\\System\\CurrentControlSet\\Control\\ProductOptions", "ProductType", "WinNT");
    WriteString("\\\\System\\CurrentControlSet\\Control\\Session Manager\\Environment",
                "PROCESSOR_ARCHITECTURE", "x86");
    SetRegistryFocus(nullptr);
    Send(kCplSetTarget, reinterpret_cast<LPARAM>("oldbox"));
    run = RunAnsweringBoxes(kCplInstall);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.error, 1633u);
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0], "OLDBOX is AMD/Intel x86. You cannot install to a different machine "
                            "architecture remotely.");
}

TEST_F(AppletFrame, local_name_in_any_case_is_this_machine_and_the_sheet_opens_and_closes) {
    SkipWhereRefusedAsWow64();
    if (IsSkipped()) {
        return;
    }
    char name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = sizeof(name);
    ASSERT_TRUE(GetComputerNameA(name, &size));
    CharLowerA(name);
    ASSERT_EQ(Send(kCplSetTarget, reinterpret_cast<LPARAM>(name)), 1);
    ClearBenchRemoteCalls();

    winbench::AppletSession session;
    ASSERT_TRUE(session.Run([] { return Send(kCplOpenSheet); }));
    HWND sheet = winbench::WaitForSheetOfProcess(GetCurrentProcessId(), nullptr, kPatienceMs);
    ASSERT_NE(sheet, nullptr);
    // The pages this build offers without the agent, in the sheet's order, and the frame's
    // button texts.
    EXPECT_EQ(winbench::TabTitles(sheet),
              (std::vector<std::string>{"Client", "Server", "Service", "About"}));
    EXPECT_EQ(winbench::Text(sheet, IDOK), "&OK");
    EXPECT_EQ(winbench::Text(sheet, IDCANCEL), "&Cancel");
    EXPECT_EQ(GetWindowLongPtrA(sheet, GWL_EXSTYLE) & WS_EX_CONTEXTHELP, 0);
    EXPECT_EQ(Applet().sheetWindow, sheet);
    ASSERT_NE(Applet().sheet, nullptr);
    EXPECT_NE(Applet().sheet->boldFont, nullptr);
    EXPECT_NE(Applet().sheet->fixedFont, nullptr);
    for (HICON icon : Applet().sheet->icons) {
        EXPECT_NE(icon, nullptr);
    }
    EXPECT_STREQ(Applet().targetMachine, "");
    EXPECT_TRUE(BenchRemoteCalls().empty()) << BenchRemoteCalls()[0];

    ASSERT_TRUE(winbench::PressSheetButton(sheet, IDOK));
    ASSERT_TRUE(session.Wait(kRunMs));
    EXPECT_EQ(session.Outcome().result, 1);
    EXPECT_EQ(session.Outcome().lastError, 0u);
    EXPECT_EQ(Applet().sheet, nullptr);
    EXPECT_EQ(Applet().statusThread, nullptr);
}

// A status thread that ignores the stop event: the frame gives up after its wait, and what the
// thread still uses stays valid until the thread itself lets go.
HANDLE g_release = nullptr;
HANDLE g_done = nullptr;
bool g_fontValidAfterFrame = false;
SheetResources* g_seen = nullptr;

DWORD StubbornBody(SheetResources* resources) {
    g_seen = resources;
    WaitForSingleObject(g_release, INFINITE);
    LOGFONTA font{};
    g_fontValidAfterFrame = GetObjectA(resources->boldFont, sizeof(font), &font) != 0 &&
                            font.lfWeight == FW_BOLD &&
                            WaitForSingleObject(resources->stopEvent, 0) == WAIT_OBJECT_0;
    SetEvent(g_done);
    return 0;
}

TEST_F(AppletFrame, status_thread_that_does_not_end_never_meets_released_resources) {
    SkipWhereRefusedAsWow64();
    if (IsSkipped()) {
        return;
    }
    g_release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetStatusThreadBodyForTesting(StubbornBody);

    winbench::AppletSession session;
    ASSERT_TRUE(session.Run([] { return Send(kCplOpenSheet); }));
    HWND sheet = winbench::WaitForSheetOfProcess(GetCurrentProcessId(), nullptr, kPatienceMs);
    ASSERT_NE(sheet, nullptr);
    ASSERT_TRUE(winbench::PressSheetButton(sheet, IDCANCEL));
    // The frame waits its ten seconds, then returns with the thread still running.
    ASSERT_TRUE(session.Wait(kRunMs));
    EXPECT_EQ(session.Outcome().result, 1);
    EXPECT_EQ(WaitForSingleObject(g_done, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    SetEvent(g_release);
    ASSERT_EQ(WaitForSingleObject(g_done, kPatienceMs), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(g_fontValidAfterFrame);
    CloseHandle(g_release);
    CloseHandle(g_done);
}

// A 32-bit applet on 64-bit Windows refuses to run and says which build to use.
TEST_F(AppletFrame, the_32_bit_build_on_64_bit_windows_asks_for_the_64_bit_one) {
#ifdef _WIN64
    GTEST_SKIP() << "the 64-bit build runs everywhere it loads";
#endif
    if (!IsWow64()) {
        GTEST_SKIP() << "this 32-bit process runs on 32-bit Windows";
    }
    RunSeen run = RunAnsweringBoxes(CPL_DBLCLK);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.error, 1633u);
    EXPECT_EQ(run.boxes,
              std::vector<std::string>{"You have launched the 32-bit version of this program, but "
                                       "you are running a 64-bit operating system.\r\nPlease use "
                                       "the 64-bit version instead."});
}

} // namespace
