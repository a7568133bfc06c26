// The Client and Server pages as an administrator uses them, through their windows: the live
// status display against the bench's chronyd and fake NTP servers, Apply and "Sync Now" reaching
// the W32Time stand-in, the family products, the Windows 2000 variant, a remote target that
// cannot be measured, the Server page's options and its server test, and closing the sheet
// while a pass waits on a silent source.
#include <windows.h>
#include <cpl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "applet/applet_rules.h"
#include "applet/applet_state_win.h"
#include "applet/client_rules.h"
#include "applet/client_status_win.h"
#include "applet/sheet_test_util_win.h"
#include "bench/remote_registry/bench_remote_machine_win.h"
#include "bench/remote_registry/registry_snapshot_win.h"
#include "bench/w32time_standin/standin_client_win.h"
#include "bench/w32time_standin/standin_state_win.h"
#include "bench/window_bench/window_bench_win.h"
#include "common/system_identity.h"
#include "common/unique_handle_win.h"
#include "config/policy_settings.h"
#include "config/registry.h"
#include "config/settings.h"
#include "resources/resource.h"

extern "C" LONG APIENTRY CPlApplet(HWND, UINT, LPARAM, LPARAM);

namespace {

using namespace winbench;

// A status pass comes at most one period after the page asked, then the pass itself runs.
constexpr DWORD kPassMs = kStatusPeriodMs + kPatienceMs;
// How long the Client page waits after an accepted "Sync Now" before it looks at the button
// again.
constexpr DWORD kSyncNowPauseMs = 17000;
constexpr char kParameters[] = "\\\\System\\CurrentControlSet\\Services\\W32Time\\Parameters";
constexpr char kConfig[] = "\\\\System\\CurrentControlSet\\Services\\W32Time\\Config";
constexpr char kNtpClient[] =
    "\\\\System\\CurrentControlSet\\Services\\W32Time\\TimeProviders\\NtpClient";
constexpr char kNtpServer[] =
    "\\\\System\\CurrentControlSet\\Services\\W32Time\\TimeProviders\\NtpServer";
constexpr char kLanMan[] = "\\\\System\\CurrentControlSet\\Services\\LanmanServer\\Parameters";
constexpr char kAcceptedLater[] =
    "The Windows Time service accepted the synchronization trigger. Check the Event Viewer log "
    "in approximately 30 seconds\r\nto determine the synchronization status.\r\n\r\nNote: The "
    "clock correction may take several hours to complete if the variance is significant, or it "
    "may happen immediately.";
const char* const kVerdicts[] = {
    "Clock synchronization status unknown", "Clock synchronized to within 1 second",
    "Clock is NOT synchronized", "Clock is NOT synchronized to within 1 second",
    "Not able to determine time at machine"};

std::string ComputerName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = sizeof(name);
    GetComputerNameA(name, &size);
    return name;
}

// A fake server's "address:port", handed over by the launcher.
std::string Fake(const char* name) {
    const char* endpoint = std::getenv((std::string("FAKE_NTP_") + name).c_str());
    return endpoint != nullptr ? endpoint : "";
}

int RunProgram(const std::wstring& commandLine) {
    std::wstring command = commandLine;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return -1;
    }
    UniqueKernelHandle processHandle(process.hProcess);
    UniqueKernelHandle threadHandle(process.hThread);
    DWORD code = 0;
    if (WaitForSingleObject(process.hProcess, kPatienceMs) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(process.hProcess, &code)) {
        return -1;
    }
    return static_cast<int>(code);
}

size_t LogCount(uint64_t from, const std::string& kind, const std::string& first,
                const std::string& second = "") {
    size_t count = 0;
    for (const standin::Record& record : standin::ReadLog(from)) {
        if (record.size() >= 3 && record[1] == kind && record[2] == first &&
            (second.empty() || (record.size() >= 4 && record[3] == second))) {
            ++count;
        }
    }
    return count;
}

std::string ReadText(const char* path, const char* name) {
    char text[512];
    ReadString(path, name, text, 511, "");
    return text;
}

// A variance text ("+1.499 secs", "-0.300 secs ???") in milliseconds; a large value for any
// other text.
long VarianceMs(const std::string& text) {
    int seconds = 0;
    int ms = 0;
    char sign = 0;
    if (std::sscanf(text.c_str(), "%c%d.%3d secs", &sign, &seconds, &ms) != 3 ||
        (sign != '+' && sign != '-')) {
        return 999999;
    }
    return (sign == '-' ? -1 : 1) * (seconds * 1000L + ms);
}

bool Near(const std::string& text, long ms) {
    return std::labs(VarianceMs(text) - ms) <= 20;
}

// The record the tests start from: a managing NTP client with the given server list.
void WriteClientSettings(const std::string& servers, const char* type = "NTP") {
    WriteNumber(kNtpClient, "Enabled", 1);
    WriteNumber(kNtpClient, "InputProvider", 1);
    WriteNumber(kNtpClient, "SpecialPollInterval", 900);
    WriteString(kParameters, "Type", type);
    WriteString(kParameters, "NTPServer", servers.c_str());
}

// Moves a file of the system folder aside while it lives, and puts it back.
class SystemFileAside {
public:
    explicit SystemFileAside(const char* name) {
        char folder[MAX_PATH];
        const UINT length = GetSystemDirectoryA(folder, sizeof(folder));
        path_ = std::string(folder, length < sizeof(folder) ? length : 0) + "\\" + name;
        aside_ = path_ + ".test-aside";
        moved_ = MoveFileExA(path_.c_str(), aside_.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
    }
    SystemFileAside(const SystemFileAside&) = delete;
    SystemFileAside& operator=(const SystemFileAside&) = delete;
    ~SystemFileAside() { Restore(); }

    bool Gone() const { return GetFileAttributesA(path_.c_str()) == INVALID_FILE_ATTRIBUTES; }
    void Restore() {
        if (moved_) {
            MoveFileExA(aside_.c_str(), path_.c_str(), MOVEFILE_REPLACE_EXISTING);
            moved_ = false;
        }
    }

private:
    std::string path_;
    std::string aside_;
    bool moved_ = false;
};

// Every text a control of the sheet's thread is given, in order, also the ones a status pass
// replaces before the test gets to read them.
class TextHistory {
public:
    explicit TextHistory(HWND control) : control_(control) {
        std::lock_guard<std::mutex> hold(lock_);
        texts_.clear();
        previous_ = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrA(control, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(Record)));
    }
    TextHistory(const TextHistory&) = delete;
    TextHistory& operator=(const TextHistory&) = delete;
    ~TextHistory() {
        if (previous_ != nullptr && IsWindow(control_)) {
            SetWindowLongPtrA(control_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous_));
        }
    }

    static std::vector<std::string> Texts() {
        std::lock_guard<std::mutex> hold(lock_);
        return texts_;
    }

private:
    static LRESULT CALLBACK Record(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_SETTEXT && lParam != 0) {
            std::lock_guard<std::mutex> hold(lock_);
            texts_.emplace_back(reinterpret_cast<const char*>(lParam));
        }
        return CallWindowProcA(previous_, window, message, wParam, lParam);
    }

    HWND control_;
    static inline std::mutex lock_;
    static inline std::vector<std::string> texts_;
    static inline WNDPROC previous_ = nullptr;
};

class ClientPages : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(Fake("SILENT").empty()) << "run through with-fake-ntp";
        ReadEnvironment();
        savedOs_ = LocalSystemIdentity().os;
        standin::ServiceInfo info;
        const std::wstring bin = standin::WindowsPath(BENCH_BIN_DIR);
        if (standin::QueryStandin(&info) != ERROR_SUCCESS ||
            info.binaryPath.find(bin) == std::wstring::npos) {
            ASSERT_EQ(RunProgram(L"\"" + bin + L"\\w32time-standin.exe\" install"), 0);
        }
        ASSERT_EQ(standin::StopStandin(kPatienceMs), 0u);
        // What these tests write, and the stand-in's scripted answers, are put back afterwards.
        SaveSheetKeys(&keys_);
        keys_.Save("\\\\Software\\HorologixBench\\W32TimeStandin");
        ASSERT_EQ(standin::DeleteSyncState(), ERROR_SUCCESS); // a demand sync is logged, accepted
        // No agent here: its library is not in the system folder ("Agent applet not present").
        agentFile_ = std::make_unique<SystemFileAside>("kestrel.cpl");
        ASSERT_TRUE(agentFile_->Gone()) << "kestrel.cpl stays in the system folder";
        DeleteKey(kAgentKeyPath);
        DeleteKey(kFamilyClientParametersKey);
        DeleteKey(kFamilyServerParametersKey);
        DeleteKey(kFamilyServerProtocolsKey);
        WriteNumber(kNtpServer, "Enabled", 0);
        WriteNumber(kConfig, "AnnounceFlags", 0);
        WriteNumber(kLanMan, "TimeSource", 0);
        WriteNumber(kParameters, "LocalNTP", 0);
        WriteNumber(kParameters, "ReliableTimeSource", 0);
        ASSERT_EQ(CPlApplet(nullptr, CPL_INIT, 0, 0), 1);
    }
    void TearDown() override {
        if (session_ != nullptr) {
            if (sheet_ != nullptr && IsWindow(sheet_)) {
                PressSheetButton(sheet_, IDCANCEL);
            }
            delete session_;
        }
        OverrideOsFamilyForTesting(savedOs_);
        CPlApplet(nullptr, kCplSetTarget, 0, 0);
        RemoveBenchRemoteMachines();
        DeleteKey(kFamilyClientParametersKey);
        DeleteKey(kFamilyServerParametersKey);
        DeleteKey(kFamilyServerProtocolsKey);
        EXPECT_EQ(standin::StopStandin(kPatienceMs), 0u);
        keys_.Restore();
        if (agentFile_ != nullptr) {
            agentFile_->Restore();
        }
    }

    // Opens the sheet without the agent upgrade; the Client page is the first page.
    HWND Open() {
        session_ = new AppletSession;
        EXPECT_TRUE(session_->Run([] { return CPlApplet(nullptr, kCplOpenSheet, 0, 0); }));
        sheet_ = WaitForSheetOfProcess(GetCurrentProcessId(), nullptr, kPatienceMs);
        EXPECT_NE(sheet_, nullptr);
        return sheet_ != nullptr ? CurrentPage(sheet_) : nullptr;
    }

    void Close(int button) {
        ASSERT_TRUE(PressSheetButton(sheet_, button));
        ASSERT_TRUE(session_->Wait(kPatienceMs));
        EXPECT_EQ(session_->Outcome().result, 1);
        sheet_ = nullptr;
    }

    bool ApplyEnabled() const { return IsWindowEnabled(GetDlgItem(sheet_, kApplyButton)) != 0; }

    // The icon the page's control shows, as the index of the sheet's status icons (-1: none).
    static int ShownIcon(HWND page, int id) {
        const SheetResources* resources = Applet().sheet;
        DWORD_PTR shown = 0;
        SendMessageTimeoutA(GetDlgItem(page, id), STM_GETICON, 0, 0, SMTO_BLOCK, kSendTimeoutMs,
                            &shown);
        for (int i = 0; resources != nullptr && i < kStatusIconCount; ++i) {
            if (reinterpret_cast<HICON>(shown) == resources->icons[i]) {
                return i;
            }
        }
        return -1;
    }

    static HFONT FontOf(HWND page, int id) {
        DWORD_PTR font = 0;
        SendMessageTimeoutA(GetDlgItem(page, id), WM_GETFONT, 0, 0, SMTO_BLOCK, kSendTimeoutMs,
                            &font);
        return reinterpret_cast<HFONT>(font);
    }

    // Waits for a verdict line (a pass has ended) that is `line`.
    static bool WaitForVerdict(HWND page, const std::string& line, DWORD timeoutMs = kPassMs) {
        return WaitUntil([&] { return Text(page, IDC_STATUS_LINE) == line; }, timeoutMs);
    }

    static bool WaitForBox(MessageBoxSeen* box, DWORD timeoutMs = kPatienceMs) {
        return WaitForMessageBoxOfProcess(GetCurrentProcessId(), "Horologix", timeoutMs, box);
    }

    RegistrySnapshot keys_;
    std::unique_ptr<SystemFileAside> agentFile_;
    AppletSession* session_ = nullptr;
    HWND sheet_ = nullptr;
    OsFamily savedOs_ = kOsUnknown;
};

TEST_F(ClientPages, status_display_measures_each_kind_of_source_and_judges_the_mean) {
    // chronyd, a server 1.5 s ahead, one whose clock is not set, a silent one, two empty rows.
    WriteClientSettings("127.0.0.1,0x9 " + Fake("AHEAD_1500") + ",0x2 " + Fake("UNSET") + ",0x8 " +
                        Fake("SILENT") + ",0x4");
    HWND page = Open();
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(WindowText(sheet_), "Windows Time Service - " + ComputerName());
    EXPECT_EQ(TabTitles(sheet_),
              (std::vector<std::string>{"Client", "Server", "Service", "About"}));
    EXPECT_EQ(Text(page, IDC_CLIENT_HEADER), PageHeaderText());
    EXPECT_EQ(Text(page, IDC_CLIENT_NOTE),
              "Windows Time can synchronize the clock on this machine with an external time "
              "source. Select how you want Windows Time to find time sources.");
    EXPECT_TRUE(IsChecked(page, IDC_CLIENT_NTP));
    EXPECT_EQ(Text(page, IDC_CLIENT_INTERVAL), "900");
    EXPECT_EQ(ListItems(page, IDC_SERVER_MODE_1),
              (std::vector<std::string>{"Special Interval", "Fallback Only", "Symmetric Active",
                                        "NTP Client Mode"}));
    // Flags 9 are no single mode: shown as the special interval.
    EXPECT_EQ(Text(page, IDC_SERVER_MODE_1), "Special Interval");
    EXPECT_EQ(Text(page, IDC_SERVER_MODE_2), "Fallback Only");
    EXPECT_EQ(Text(page, IDC_SERVER_MODE_3), "NTP Client Mode");
    EXPECT_EQ(Text(page, IDC_SERVER_MODE_4), "Symmetric Active");
    EXPECT_TRUE(IsEnabled(page, IDC_SERVER_MODE_4));
    EXPECT_FALSE(IsEnabled(page, IDC_SERVER_MODE_5)); // no name, no mode
    EXPECT_EQ(Text(page, IDC_TIME_SOURCE), "Unknown - Agent applet not present");
    EXPECT_FALSE(IsEnabled(page, IDC_SYNC_NOW)); // the service is stopped

    // While the silent row is asked (half a second each pass), its cells are bold: all of it
    // seen at one look.
    ASSERT_TRUE(WaitUntil(
        [&] {
            return Text(page, IDC_VARIANCE_4) == "Checking" && Text(page, IDC_STRATUM_4) == "?" &&
                   FontOf(page, IDC_VARIANCE_4) == Applet().sheet->boldFont;
        },
        kPassMs));
    ASSERT_TRUE(WaitForVerdict(page, kVerdicts[kVerdictGood]));
    EXPECT_EQ(ShownIcon(page, IDC_STATUS_ICON), kIconGood);
    EXPECT_TRUE(Near(Text(page, IDC_VARIANCE_1), 0)) << Text(page, IDC_VARIANCE_1);
    EXPECT_EQ(Text(page, IDC_STRATUM_1), std::getenv("BENCH_CHRONY_STRATUM"));
    EXPECT_TRUE(Near(Text(page, IDC_VARIANCE_2), 1500)) << Text(page, IDC_VARIANCE_2);
    EXPECT_EQ(Text(page, IDC_STRATUM_2), "2");
    EXPECT_EQ(Text(page, IDC_VARIANCE_3), "Clock Not Set");
    EXPECT_EQ(Text(page, IDC_STRATUM_3), "-");
    EXPECT_EQ(Text(page, IDC_VARIANCE_4), "Timed out");
    EXPECT_EQ(Text(page, IDC_STRATUM_4), "-");
    EXPECT_EQ(FontOf(page, IDC_VARIANCE_4), Applet().sheet->normalFont);
    for (int id : {IDC_VARIANCE_5, IDC_STRATUM_5, IDC_VARIANCE_6, IDC_STRATUM_6}) {
        EXPECT_EQ(Text(page, id), "") << id;
    }

    // Typing in row 1 empties its cells and keeps the pass away: the server 1.5 s ahead alone
    // makes the mean a warning. Then the server typed there, 0.3 s behind, is measured again.
    ASSERT_TRUE(ClearAndType(page, IDC_SERVER_EDIT_1, Fake("BEHIND_300").c_str()));
    EXPECT_EQ(Text(page, IDC_VARIANCE_1), "");
    EXPECT_FALSE(IsEnabled(page, IDC_VARIANCE_1));
    EXPECT_TRUE(WaitUntil([&] { return ApplyEnabled(); }, kPatienceMs));
    ASSERT_TRUE(WaitForVerdict(page, kVerdicts[kVerdictWarning]));
    EXPECT_EQ(ShownIcon(page, IDC_STATUS_ICON), kIconWarning);
    EXPECT_EQ(Text(page, IDC_VARIANCE_1), "");
    // Moving on to row 5 gives row 1 back to the display.
    ASSERT_TRUE(Type(page, IDC_SERVER_EDIT_5, " "));
    EXPECT_TRUE(IsEnabled(page, IDC_VARIANCE_1));
    EXPECT_FALSE(IsEnabled(page, IDC_VARIANCE_5));
    ASSERT_TRUE(WaitUntil([&] { return Near(Text(page, IDC_VARIANCE_1), -300); }, kPassMs));
    ASSERT_TRUE(WaitForVerdict(page, kVerdicts[kVerdictGood]));
    EXPECT_EQ(ShownIcon(page, IDC_STATUS_ICON), kIconGood);
    Close(IDCANCEL);
}

TEST_F(ClientPages, apply_and_sync_now_reach_the_service_and_sync_now_asks_about_changes) {
    WriteClientSettings("127.0.0.1,0x1", "NT5DS");
    ASSERT_EQ(standin::StartStandin(kPatienceMs), 0u);
    HWND page = Open();
    ASSERT_NE(page, nullptr);
    EXPECT_TRUE(IsChecked(page, IDC_CLIENT_NT5DS));
    EXPECT_FALSE(IsEnabled(page, IDC_SERVER_EDIT_1));
    EXPECT_FALSE(IsEnabled(page, IDC_CLIENT_INTERVAL));
    EXPECT_TRUE(WaitUntil([&] { return IsEnabled(page, IDC_SYNC_NOW); }, kPatienceMs));

    // NTP with servers in rows 2 and 4 only, a mode, and an interval of 0.
    ASSERT_TRUE(Click(page, IDC_CLIENT_NTP));
    ASSERT_TRUE(WaitUntil([&] { return IsEnabled(page, IDC_SERVER_EDIT_1); }, kPatienceMs));
    ASSERT_TRUE(ClearAndType(page, IDC_SERVER_EDIT_1, "   "));
    ASSERT_TRUE(ClearAndType(page, IDC_SERVER_EDIT_2, "  time-a.bench "));
    ASSERT_TRUE(SelectItem(page, IDC_SERVER_MODE_2, "NTP Client Mode"));
    ASSERT_TRUE(ClearAndType(page, IDC_SERVER_EDIT_4, "time-b.bench"));
    ASSERT_TRUE(ClearAndType(page, IDC_CLIENT_INTERVAL, "0"));
    const uint64_t logStart = standin::LogSize();
    ASSERT_TRUE(PressSheetButton(sheet_, kApplyButton));
    EXPECT_TRUE(WaitUntil([&] { return !ApplyEnabled(); }, kPatienceMs));
    EXPECT_EQ(ReadText(kParameters, "Type"), "NTP");
    EXPECT_EQ(ReadText(kParameters, "NTPServer"), "time-a.bench,0x8 time-b.bench,0x1");
    EXPECT_EQ(ReadNumber(kNtpClient, "SpecialPollInterval", 0), 1u);
    EXPECT_EQ(ReadNumber(kNtpClient, "InputProvider", 0), 1u);
    EXPECT_TRUE(WaitUntil([&] { return LogCount(logStart, "Control", "6") == 1; }, kPatienceMs));
    EXPECT_TRUE(
        WaitUntil([&] { return LogCount(logStart, "SyncNow", "0", "0x1") == 1; }, kPatienceMs));
    // A pending change: Cancel triggers nothing.
    ASSERT_TRUE(Click(page, IDC_CLIENT_ALLSYNC));
    ASSERT_TRUE(WaitUntil([&] { return ApplyEnabled(); }, kPatienceMs));
    const uint64_t beforeSync = standin::LogSize();
    ASSERT_TRUE(Click(page, IDC_SYNC_NOW));
    MessageBoxSeen box;
    ASSERT_TRUE(WaitForBox(&box));
    EXPECT_EQ(box.text,
              "Do you want to apply your changes before telling the machine to resynchronize?");
    ASSERT_TRUE(Answer(box, IDCANCEL));
    EXPECT_TRUE(NoMessageBox("Horologix", 1000));
    EXPECT_EQ(LogCount(beforeSync, "SyncNow", "0"), 0u);
    EXPECT_TRUE(IsEnabled(page, IDC_SYNC_NOW));

    // Yes: applied (the parameter change and the trigger), then the accepted message. A status
    // pass may replace the time source's "Please wait...." while the message shows, so every
    // text the field is given is kept.
    TextHistory timeSource(GetDlgItem(page, IDC_TIME_SOURCE));
    ASSERT_TRUE(Click(page, IDC_SYNC_NOW));
    ASSERT_TRUE(WaitForBox(&box));
    ASSERT_TRUE(Answer(box, IDYES));
    ASSERT_TRUE(WaitForBox(&box));
    EXPECT_EQ(box.text, kAcceptedLater);
    // Off until a status pass has replaced the "Please wait...." below and the next one, a
    // period later, looked again.
    EXPECT_FALSE(IsEnabled(page, IDC_SYNC_NOW));
    EXPECT_EQ(ReadText(kParameters, "Type"), "AllSync");
    EXPECT_TRUE(WaitUntil([&] { return LogCount(beforeSync, "Control", "6") == 1; }, kPatienceMs));
    EXPECT_TRUE(
        WaitUntil([&] { return LogCount(beforeSync, "SyncNow", "0", "0x1") == 1; }, kPatienceMs));
    // Filled again from the record: the two servers in rows 1 and 2.
    EXPECT_EQ(Text(page, IDC_SERVER_EDIT_1), "time-a.bench");
    EXPECT_EQ(Text(page, IDC_SERVER_EDIT_2), "time-b.bench");
    EXPECT_EQ(Text(page, IDC_SERVER_EDIT_4), "");
    const std::vector<std::string> sourceTexts = TextHistory::Texts();
    EXPECT_NE(std::find(sourceTexts.begin(), sourceTexts.end(), "Please wait...."),
              sourceTexts.end());
    ASSERT_TRUE(Answer(box, IDOK));
    EXPECT_FALSE(ApplyEnabled());

    // No: triggered without saving. The button comes back once the 17-second timer ran.
    ASSERT_TRUE(Click(page, IDC_CLIENT_NTP));
    ASSERT_TRUE(
        WaitUntil([&] { return IsEnabled(page, IDC_SYNC_NOW); }, kSyncNowPauseMs + kPatienceMs));
    EXPECT_EQ(Text(page, IDC_TIME_SOURCE), "Unknown - Agent applet not present");
    const uint64_t beforeNo = standin::LogSize();
    ASSERT_TRUE(Click(page, IDC_SYNC_NOW));
    ASSERT_TRUE(WaitForBox(&box));
    ASSERT_TRUE(Answer(box, IDNO));
    ASSERT_TRUE(WaitForBox(&box));
    EXPECT_EQ(box.text, kAcceptedLater);
    ASSERT_TRUE(Answer(box, IDOK));
    EXPECT_TRUE(
        WaitUntil([&] { return LogCount(beforeNo, "SyncNow", "0", "0x1") == 1; }, kPatienceMs));
    EXPECT_EQ(LogCount(beforeNo, "Control", "6"), 0u);
    EXPECT_EQ(ReadText(kParameters, "Type"), "AllSync");
    EXPECT_TRUE(ApplyEnabled());
    Close(IDCANCEL);
}

TEST_F(ClientPages, a_family_client_owning_the_clock_switches_the_page_to_disabled_at_once) {
    WriteClientSettings("127.0.0.1,0x1", "NTP");
    WriteBoolean(kFamilyClientParametersKey, "Service Installed", true);
    HWND page = Open();
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(Text(page, IDC_CLIENT_NOTE),
              "Quorvex II Client is synchronizing the clock on this machine. Only one process may "
              "manage the system clock. Time source selection on this page is therefore "
              "disabled.");
    EXPECT_TRUE(IsChecked(page, IDC_CLIENT_DISABLED));
    EXPECT_TRUE(IsEnabled(page, IDC_CLIENT_DISABLED));
    for (int id : {IDC_CLIENT_NOSYNC, IDC_CLIENT_NT5DS, IDC_CLIENT_ALLSYNC, IDC_CLIENT_NTP,
                   IDC_CLIENT_INTERVAL, IDC_SERVER_EDIT_1}) {
        EXPECT_FALSE(IsEnabled(page, id)) << id;
    }
    EXPECT_TRUE(WaitUntil([&] { return ApplyEnabled(); }, kPatienceMs));
    Close(IDOK);
    EXPECT_EQ(ReadNumber(kNtpClient, "Enabled", 1), 0u);
    EXPECT_EQ(ReadNumber(kNtpClient, "InputProvider", 1), 0u);
    EXPECT_EQ(ReadText(kParameters, "Type"), "NoSync");
}

TEST_F(ClientPages, windows_2000_variant_keeps_three_options_and_plain_server_names) {
    WriteClientSettings("127.0.0.1 " + Fake("BEHIND_300"), "AllSync");
    OverrideOsFamilyForTesting(kOsWin2000);
    HWND page = Open();
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(TabTitles(sheet_),
              (std::vector<std::string>{"Client", "Server", "Service", "About"}));
    EXPECT_EQ(Text(page, IDC_CLIENT_NTP), "NT&P - Use specified NTP server");
    EXPECT_EQ(GetDlgItem(page, IDC_CLIENT_DISABLED), nullptr);
    EXPECT_EQ(GetDlgItem(page, IDC_SERVER_MODE_1), nullptr);
    // AllSync is no option here: nothing is selected and the server names are not editable.
    for (int id : {IDC_CLIENT_NOSYNC, IDC_CLIENT_NT5DS, IDC_CLIENT_NTP}) {
        EXPECT_FALSE(IsChecked(page, id)) << id;
    }
    EXPECT_FALSE(IsEnabled(page, IDC_SERVER_EDIT_1));
    EXPECT_FALSE(IsVisible(page, IDC_SYNC_NOW)); // only for a remote Windows 2000 machine
    EXPECT_EQ(Text(page, IDC_SERVER_EDIT_2), Fake("BEHIND_300"));
    ASSERT_TRUE(WaitForVerdict(page, kVerdicts[kVerdictGood]));
    EXPECT_TRUE(Near(Text(page, IDC_VARIANCE_2), -300)) << Text(page, IDC_VARIANCE_2);

    // The Server page of Windows 2000: its own check box, no "Disabled" or reliability options.
    ASSERT_TRUE(SelectPage(sheet_, "Server"));
    HWND server = CurrentPage(sheet_);
    EXPECT_EQ(Applet().settings.syncType, 4u); // leaving the Client page stored NTP
    EXPECT_FALSE(IsVisible(server, IDC_NTPSERVER_DISABLED));
    EXPECT_FALSE(IsVisible(server, IDC_RELIABLE_ALWAYS));
    EXPECT_TRUE(IsVisible(server, IDC_RELIABLE_2000));
    EXPECT_TRUE(IsChecked(server, IDC_NTPSERVER_AUTOMATIC));
    ASSERT_TRUE(Click(server, IDC_NTPSERVER_ALWAYS));
    ASSERT_TRUE(Click(server, IDC_RELIABLE_2000));
    ASSERT_TRUE(Click(server, IDC_NET_TIME_SERVER));
    EXPECT_TRUE(WaitUntil([&] { return ApplyEnabled(); }, kPatienceMs));
    Close(IDOK);
    EXPECT_EQ(ReadNumber(kParameters, "LocalNTP", 0), 1u);
    EXPECT_EQ(ReadNumber(kParameters, "ReliableTimeSource", 0), 1u);
    EXPECT_EQ(ReadNumber(kLanMan, "TimeSource", 0), 1u);
    // The options were not touched: the type the page cannot show stays as stored.
    EXPECT_EQ(ReadText(kParameters, "Type"), "AllSync");
    EXPECT_EQ(ReadText(kParameters, "NTPServer"), "127.0.0.1 " + Fake("BEHIND_300"));
}

TEST_F(ClientPages, an_interval_change_leaves_a_list_of_eight_servers_as_it_was) {
    const std::string servers =
        "127.0.0.1,0x9 local.example,0x8 s3.example,0x1 s4.example,0x2 s5.example,0x9 "
        "s6.example,0x9 s7.example,0x9 s8.example,0x8";
    WriteClientSettings(servers);
    HWND page = Open();
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(Text(page, IDC_SERVER_EDIT_6), "s6.example");
    EXPECT_EQ(Text(page, IDC_SERVER_MODE_1), "Special Interval");
    EXPECT_EQ(Text(page, IDC_CLIENT_MORE_SERVERS),
              "The list holds 2 more servers, kept after these.");
    EXPECT_TRUE(IsVisible(page, IDC_CLIENT_MORE_SERVERS));
    ASSERT_TRUE(ClearAndType(page, IDC_CLIENT_INTERVAL, "700"));
    ASSERT_TRUE(PressSheetButton(sheet_, kApplyButton));
    EXPECT_TRUE(WaitUntil([&] { return !ApplyEnabled(); }, kPatienceMs));
    EXPECT_EQ(ReadNumber(kNtpClient, "SpecialPollInterval", 0), 700u);
    EXPECT_EQ(ReadText(kParameters, "NTPServer"), servers);

    // Picking a mode changes that entry's mode bits alone; the two servers beyond stay.
    ASSERT_TRUE(SelectItem(page, IDC_SERVER_MODE_5, "Fallback Only"));
    Close(IDOK);
    EXPECT_EQ(ReadText(kParameters, "NTPServer"),
              "127.0.0.1,0x9 local.example,0x8 s3.example,0x1 s4.example,0x2 s5.example,0x3 "
              "s6.example,0x9 s7.example,0x9 s8.example,0x8");
}

// What Group Policy sets shows, locked, with the note; Apply after other edits stores those and
// leaves the local values the policy hides byte for byte; without the policy key the page is as
// it always was; a remote machine's own policy key counts for that machine.
TEST_F(ClientPages, policy_server_list_and_type_show_locked_and_apply_keeps_the_local_ones) {
    const std::string policyParameters = std::string(kPolicyKeyPath) + "\\Parameters";
    ASSERT_TRUE(keys_.Save(kPolicyKeyPath));
    const std::string local = "127.0.0.1,0x9 local.example,0x8 s3.example,0x1 s4.example,0x2 "
                              "s5.example,0x9 s6.example,0x9 s7.example,0x9";
    WriteClientSettings(local, "NT5DS");
    WriteString(policyParameters.c_str(), "NtpServer", "gp-1.example,0x9 gp-2.example,0x8");
    WriteString(policyParameters.c_str(), "Type", "NTP");
    HWND page = Open();
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(Text(page, IDC_CLIENT_NOTE), kPolicyNoteText);
    EXPECT_TRUE(IsChecked(page, IDC_CLIENT_NTP));
    EXPECT_EQ(Text(page, IDC_SERVER_EDIT_1), "gp-1.example");
    EXPECT_EQ(Text(page, IDC_SERVER_MODE_2), "NTP Client Mode");
    EXPECT_EQ(Text(page, IDC_SERVER_EDIT_3), "");
    for (int id : {IDC_SERVER_EDIT_1, IDC_SERVER_EDIT_3, IDC_SERVER_MODE_1, IDC_CLIENT_NTP,
                   IDC_CLIENT_NT5DS, IDC_CLIENT_DISABLED}) {
        EXPECT_FALSE(IsEnabled(page, id)) << id;
    }
    EXPECT_TRUE(IsEnabled(page, IDC_CLIENT_INTERVAL)); // policy leaves the interval local
    ASSERT_TRUE(ClearAndType(page, IDC_CLIENT_INTERVAL, "700"));
    ASSERT_TRUE(SelectPage(sheet_, "Server"));
    ASSERT_TRUE(Click(CurrentPage(sheet_), IDC_NTPSERVER_ALWAYS));
    ASSERT_TRUE(PressSheetButton(sheet_, kApplyButton));
    EXPECT_TRUE(WaitUntil([&] { return !ApplyEnabled(); }, kPatienceMs));
    Close(IDOK);
    EXPECT_EQ(ReadNumber(kNtpClient, "SpecialPollInterval", 0), 700u);
    EXPECT_EQ(ReadNumber(kNtpServer, "Enabled", 0), 1u);
    EXPECT_EQ(ReadText(kParameters, "NTPServer"), local);
    EXPECT_EQ(ReadText(kParameters, "Type"), "NT5DS");
    EXPECT_EQ(ReadText(policyParameters.c_str(), "NtpServer"), "gp-1.example,0x9 gp-2.example,0x8");

    // The policy withdrawn: the local list, open to edits, and the page's own introduction.
    ASSERT_TRUE(DeleteKey(policyParameters.c_str()));
    delete session_;
    session_ = nullptr;
    page = Open();
    ASSERT_NE(page, nullptr);
    EXPECT_NE(Text(page, IDC_CLIENT_NOTE), kPolicyNoteText);
    EXPECT_TRUE(IsChecked(page, IDC_CLIENT_NT5DS));
    EXPECT_EQ(Text(page, IDC_SERVER_EDIT_2), "local.example");
    EXPECT_TRUE(IsEnabled(page, IDC_CLIENT_NTP));
    Close(IDCANCEL);
    delete session_;
    session_ = nullptr;

    // A remote machine whose own policy sets the list: the same, read from that machine.
    InstallBenchRemoteMachines();
    SetBenchMachineFacts("POLICYHOST", BenchMachineFacts{});
    ASSERT_TRUE(SetRegistryFocus("POLICYHOST"));
    WriteClientSettings("127.0.0.1,0x9");
    WriteString(policyParameters.c_str(), "NtpServer", "gp-remote.example,0x9");
    ASSERT_TRUE(SetRegistryFocus(nullptr));
    ASSERT_EQ(CPlApplet(nullptr, kCplSetTarget, reinterpret_cast<LPARAM>("policyhost"), 0), 1);
    page = Open();
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(Text(page, IDC_SERVER_EDIT_1), "gp-remote.example");
    EXPECT_FALSE(IsEnabled(page, IDC_SERVER_EDIT_1));
    EXPECT_EQ(Text(page, IDC_CLIENT_NOTE), kPolicyNoteText);
    Close(IDCANCEL);
}

TEST_F(ClientPages, ok_without_edits_keeps_values_the_pages_cannot_read) {
    WriteClientSettings("127.0.0.1,0x9", "Not Touched");
    WriteString(kNtpClient, "SpecialPollInterval", "900");
    const std::string logPath = "C:\\" + std::string(290, 'l') + "\\w32.log";
    ASSERT_EQ(logPath.size(), 301u);
    WriteString(kConfig, "FileLogName", logPath.c_str());
    WriteString(kConfig, "FileLogEntries", "0-300");
    WriteNumber(kConfig, "FileLogSize", 3u << 20);
    WriteBoolean(kFamilyClientParametersKey, "Service Installed", true);
    HWND page = Open();
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(Text(page, IDC_CLIENT_INTERVAL), "0"); // a text, shown as no number
    EXPECT_TRUE(IsChecked(page, IDC_CLIENT_DISABLED));
    EXPECT_FALSE(IsVisible(page, IDC_CLIENT_MORE_SERVERS));
    ASSERT_TRUE(SelectPage(sheet_, "Server"));
    ASSERT_TRUE(SelectPage(sheet_, "Service"));
    HWND service = CurrentPage(sheet_);
    EXPECT_FALSE(IsChecked(service, IDC_SERVICE_LOG_ENABLE)); // the path is over its limit
    Close(IDOK);
    uint32_t type = 0;
    uint32_t size = 0;
    ASSERT_TRUE(QueryValueForm(kNtpClient, "SpecialPollInterval", &type, &size));
    EXPECT_EQ(type, kRegString);
    EXPECT_EQ(ReadText(kNtpClient, "SpecialPollInterval"), "900");
    char path[400] = "";
    ASSERT_TRUE(ReadString(kConfig, "FileLogName", path, sizeof(path) - 1, ""));
    EXPECT_EQ(path, logPath);
    EXPECT_EQ(ReadText(kConfig, "FileLogEntries"), "0-300");
    EXPECT_EQ(ReadNumber(kConfig, "FileLogSize", 0), 3u << 20);
    EXPECT_EQ(ReadText(kParameters, "Type"), "Not Touched");
    EXPECT_EQ(ReadText(kParameters, "NTPServer"), "127.0.0.1,0x9");
    // What the family client needs of Windows Time is still written.
    EXPECT_EQ(ReadNumber(kNtpClient, "Enabled", 1), 0u);
    EXPECT_EQ(ReadNumber(kNtpClient, "InputProvider", 1), 0u);
    for (const char* name : {"FileLogName", "FileLogEntries", "FileLogSize"}) {
        DeleteValue(kConfig, name);
    }
}

TEST_F(ClientPages, remote_target_without_ntp_or_time_of_day_is_measured_against_this_clock) {
    InstallBenchRemoteMachines();
    BenchMachineFacts facts;
    SetBenchMachineFacts("FARAWAY", facts);
    ASSERT_TRUE(SetRegistryFocus("FARAWAY"));
    WriteClientSettings("127.0.0.1 " + Fake("BEHIND_300"));
    ASSERT_TRUE(SetRegistryFocus(nullptr));
    ASSERT_EQ(CPlApplet(nullptr, kCplSetTarget, reinterpret_cast<LPARAM>("faraway"), 0), 1);
    HWND page = Open();
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(WindowText(sheet_), "Windows Time Service - FARAWAY");
    ASSERT_TRUE(WaitForVerdict(page, kVerdicts[4]));
    EXPECT_EQ(ShownIcon(page, IDC_STATUS_ICON), kIconGood);
    const std::string chrony = Text(page, IDC_VARIANCE_1);
    EXPECT_EQ(chrony.substr(chrony.size() - 9), " secs ???") << chrony;
    EXPECT_TRUE(Near(Text(page, IDC_VARIANCE_2), -300)) << Text(page, IDC_VARIANCE_2);
    EXPECT_EQ(Text(page, IDC_VARIANCE_2).substr(11), " ???");
    EXPECT_FALSE(IsEnabled(page, IDC_SYNC_NOW)); // its service manager does not answer
    EXPECT_EQ(BenchRemoteCalls().empty(), false);
    bool askedTime = false;
    for (const std::string& call : BenchRemoteCalls()) {
        askedTime = askedTime || call == "TimeOfDay FARAWAY";
    }
    EXPECT_TRUE(askedTime);
    Close(IDCANCEL);
}

TEST_F(ClientPages, remote_target_time_of_day_gives_the_machine_offset) {
    InstallBenchRemoteMachines();
    BenchMachineFacts facts;
    facts.answersTimeOfDay = true;
    facts.timeOfDayOffset = -15000000; // 1.5 s behind this machine
    SetBenchMachineFacts("BEHINDHOST", facts);
    ASSERT_TRUE(SetRegistryFocus("BEHINDHOST"));
    WriteClientSettings("127.0.0.1");
    ASSERT_TRUE(SetRegistryFocus(nullptr));
    ASSERT_EQ(CPlApplet(nullptr, kCplSetTarget, reinterpret_cast<LPARAM>("behindhost"), 0), 1);
    HWND page = Open();
    ASSERT_NE(page, nullptr);
    ASSERT_TRUE(WaitForVerdict(page, kVerdicts[kVerdictWarning]));
    EXPECT_TRUE(Near(Text(page, IDC_VARIANCE_1), 1500)) << Text(page, IDC_VARIANCE_1);
    Close(IDCANCEL);
}

TEST_F(ClientPages, remote_windows_2000_target_offers_sync_now_and_reports_a_refused_trigger) {
    ASSERT_EQ(standin::StartStandin(kPatienceMs), 0u);
    InstallBenchRemoteMachines();
    BenchMachineFacts facts;
    facts.serverInfo.versionMajor = 5;
    facts.serverInfo.versionMinor = 0;
    facts.localServiceManager = true; // the stand-in plays its running service
    SetBenchMachineFacts("W2KHOST", facts);
    ASSERT_TRUE(SetRegistryFocus("W2KHOST"));
    WriteString(kParameters, "Type", "NTP");
    WriteString(kParameters, "NTPServer", "127.0.0.1");
    ASSERT_TRUE(SetRegistryFocus(nullptr));
    ASSERT_EQ(CPlApplet(nullptr, kCplSetTarget, reinterpret_cast<LPARAM>("w2khost"), 0), 1);
    HWND page = Open();
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(GetDlgItem(page, IDC_CLIENT_DISABLED), nullptr); // the Windows 2000 template
    EXPECT_TRUE(IsChecked(page, IDC_CLIENT_NTP));
    EXPECT_TRUE(IsVisible(page, IDC_SYNC_NOW));
    ASSERT_TRUE(WaitUntil([&] { return IsEnabled(page, IDC_SYNC_NOW); }, kPatienceMs));

    // The demand sync cannot reach another machine from the bench: the error box, and the
    // button is looked at again half a second later.
    ASSERT_TRUE(Click(page, IDC_SYNC_NOW));
    MessageBoxSeen box;
    ASSERT_TRUE(WaitForBox(&box));
    EXPECT_EQ(box.text, "The Windows Time service reported an error while trying to trigger "
                        "clock synchronization. No further information is available.");
    EXPECT_FALSE(IsEnabled(page, IDC_SYNC_NOW));
    ASSERT_TRUE(Answer(box, IDOK));
    EXPECT_TRUE(WaitUntil([&] { return IsEnabled(page, IDC_SYNC_NOW); }, kPatienceMs));
    // NoSync: nothing to synchronize.
    ASSERT_TRUE(Click(page, IDC_CLIENT_NOSYNC));
    EXPECT_TRUE(WaitUntil([&] { return !IsEnabled(page, IDC_SYNC_NOW); }, kPatienceMs));
    Close(IDCANCEL);
}

TEST_F(ClientPages, closing_while_a_pass_waits_on_silent_sources_returns_within_a_query) {
    const std::string silent = Fake("SILENT");
    WriteClientSettings(silent + " " + silent + " " + silent + " " + silent + " " + silent + " " +
                        silent);
    HWND page = Open();
    ASSERT_NE(page, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return Text(page, IDC_VARIANCE_2) == "Checking"; }, kPassMs));
    const DWORD start = GetTickCount();
    ASSERT_TRUE(PressSheetButton(sheet_, IDOK));
    ASSERT_TRUE(session_->Wait(kPatienceMs));
    const DWORD elapsed = GetTickCount() - start;
    sheet_ = nullptr;
    EXPECT_EQ(session_->Outcome().result, 1);
    // The frame waited for the thread's end (it waits up to 10 s): the pass stopped at once. Had
    // it gone on, the four rows after the one being asked would have taken their time-outs.
    EXPECT_LT(elapsed, 4 * (kStatusQueryTimeoutMs + kStatusRowPauseMs));
    EXPECT_EQ(Applet().sheet, nullptr);
}

TEST_F(ClientPages, server_page_maps_its_options_and_tests_the_machine_s_own_server) {
    WriteClientSettings("");
    WriteNumber(kNtpServer, "Enabled", 1);
    WriteNumber(kConfig, "AnnounceFlags", 10);
    HWND client = Open();
    ASSERT_NE(client, nullptr);
    ASSERT_TRUE(WaitForVerdict(client, kVerdicts[kVerdictUnknown]));
    ASSERT_TRUE(SelectPage(sheet_, "Server"));
    HWND page = CurrentPage(sheet_);
    EXPECT_EQ(Text(page, IDC_NTPSERVER_DISABLED), "&Disabled");
    EXPECT_TRUE(IsChecked(page, IDC_NTPSERVER_AUTOMATIC));
    EXPECT_TRUE(IsChecked(page, IDC_RELIABLE_AUTOMATIC));
    EXPECT_FALSE(IsVisible(page, IDC_RELIABLE_2000));
    EXPECT_EQ(Text(page, IDC_TEST_RESULT),
              "Click the Test Server button to check the NTP server's status");

    // The test asks chronyd, which answers for this machine's name; the Client page could not
    // judge (no servers), so the time cannot be verified.
    ASSERT_TRUE(Click(page, IDC_TEST_SERVER));
    ASSERT_TRUE(
        WaitUntil([&] { return Text(page, IDC_TEST_RESULT).find("provided") != std::string::npos; },
                  kPatienceMs));
    const std::string sentence = Text(page, IDC_TEST_RESULT);
    const std::string head = ComputerName() +
                             " provided a valid timestamp, and it believes the time to be correct. "
                             "The NTP stratum reported was " +
                             std::getenv("BENCH_CHRONY_STRATUM") + ", and the time source was ";
    EXPECT_EQ(sentence.substr(0, head.size()), head);
    const std::string tail = ". The time being served cannot be verified with listed sources.";
    ASSERT_GT(sentence.size(), tail.size());
    EXPECT_EQ(sentence.substr(sentence.size() - tail.size()), tail);
    EXPECT_EQ(ShownIcon(page, IDC_TEST_ICON), kIconWarning);

    // Enabled with the reliability forced, then Disabled: the reliability options follow.
    ASSERT_TRUE(Click(page, IDC_NTPSERVER_ALWAYS));
    ASSERT_TRUE(Click(page, IDC_RELIABLE_ALWAYS));
    // Clicks are posted and a page switch is sent: let the clicks land first.
    ASSERT_TRUE(WaitUntil([&] { return IsChecked(page, IDC_RELIABLE_ALWAYS); }, kPatienceMs));
    ASSERT_TRUE(SelectPage(sheet_, "Client"));
    EXPECT_EQ(Applet().settings.announceFlags, 5u);
    ASSERT_TRUE(SelectPage(sheet_, "Server"));
    EXPECT_TRUE(IsChecked(page, IDC_NTPSERVER_ALWAYS));
    EXPECT_TRUE(IsChecked(page, IDC_RELIABLE_ALWAYS));
    ASSERT_TRUE(Click(page, IDC_NTPSERVER_DISABLED));
    // The test button is the last control the click disables.
    EXPECT_TRUE(WaitUntil([&] { return !IsEnabled(page, IDC_TEST_SERVER); }, kPatienceMs));
    EXPECT_FALSE(IsEnabled(page, IDC_RELIABLE_ALWAYS));
    ASSERT_TRUE(Click(page, IDC_NET_TIME_SERVER));
    Close(IDOK);
    EXPECT_EQ(ReadNumber(kConfig, "AnnounceFlags", 99), 0u);
    EXPECT_EQ(ReadNumber(kNtpServer, "Enabled", 99), 0u);
    EXPECT_EQ(ReadNumber(kLanMan, "TimeSource", 0), 1u);
}

TEST_F(ClientPages, server_page_asks_once_before_taking_the_port_from_the_family_server) {
    WriteClientSettings("");
    WriteBoolean(kFamilyServerParametersKey, "Service Installed", true);
    WriteBoolean(kFamilyServerProtocolsKey, "NTP/SNTP (RFC 1769)", true);
    WriteNumber(kNtpClient, "Enabled", 0);
    Open();
    ASSERT_TRUE(SelectPage(sheet_, "Server"));
    HWND page = CurrentPage(sheet_);
    EXPECT_EQ(Text(page, IDC_NTPSERVER_DISABLED), "&Disabled - Let Quorvex II serve NTP time");
    EXPECT_TRUE(IsChecked(page, IDC_NTPSERVER_DISABLED));
    EXPECT_TRUE(IsEnabled(page, IDC_TEST_SERVER)); // the family server can be tested

    ASSERT_TRUE(Click(page, IDC_NTPSERVER_ALWAYS));
    MessageBoxSeen box;
    ASSERT_TRUE(WaitForBox(&box));
    EXPECT_EQ(box.text.substr(0, 45), "Quorvex II Server is configured to serve NTP.");
    ASSERT_TRUE(Answer(box, IDNO));
    EXPECT_TRUE(IsChecked(page, IDC_NTPSERVER_DISABLED));
    EXPECT_FALSE(IsChecked(page, IDC_NTPSERVER_ALWAYS));
    EXPECT_FALSE(ApplyEnabled());
    // Asked again after No; after Yes never again.
    ASSERT_TRUE(Click(page, IDC_NTPSERVER_AUTOMATIC));
    ASSERT_TRUE(WaitForBox(&box));
    ASSERT_TRUE(Answer(box, IDYES));
    EXPECT_TRUE(WaitUntil([&] { return ApplyEnabled(); }, kPatienceMs));
    EXPECT_TRUE(IsEnabled(page, IDC_RELIABLE_NEVER));
    ASSERT_TRUE(Click(page, IDC_NTPSERVER_ALWAYS));
    EXPECT_TRUE(NoMessageBox("Horologix", 1000));
    EXPECT_TRUE(IsChecked(page, IDC_NTPSERVER_ALWAYS));
    Close(IDCANCEL);
}

} // namespace
