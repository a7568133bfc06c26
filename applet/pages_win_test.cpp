// The Service and About pages as an administrator uses them: the W32Time stand-in under Wine's
// service manager started and stopped from the page, start-up type and debug log applied to the
// registry, the log's messages, the help links; and the applet opened by Wine's control.exe.
#include <windows.h>
#include <cpl.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "applet/applet_rules.h"
#include "applet/applet_state_win.h"
#include "applet/sheet_test_util_win.h"
#include "bench/w32time_standin/standin_client_win.h"
#include "bench/window_bench/window_bench_win.h"
#include "common/system_identity.h"
#include "common/unique_handle_win.h"
#include "config/registry.h"
#include "config/settings.h"
#include "resources/resource.h"
#include "resources/version.h"

extern "C" LONG APIENTRY CPlApplet(HWND, UINT, LPARAM, LPARAM);

namespace {

using namespace winbench;

constexpr int kApply = 0x3021;
constexpr char kService[] = "\\\\System\\CurrentControlSet\\Services\\W32Time";
constexpr char kConfig[] = "\\\\System\\CurrentControlSet\\Services\\W32Time\\Config";
constexpr char kHelpPrefix[] =
    "https://www.tessaric.com/onlinehelp.asp?product=kestrelcpl&subject=";

std::string ComputerName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = sizeof(name);
    GetComputerNameA(name, &size);
    return name;
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

DWORD SetStartType(DWORD startType) {
    UniqueService manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueService service(manager ? OpenServiceA(manager.get(), "W32Time", SERVICE_CHANGE_CONFIG)
                                  : nullptr);
    if (!service ||
        !ChangeServiceConfigA(service.get(), SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE,
                              nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)) {
        return GetLastError();
    }
    return ERROR_SUCCESS;
}

standin::ServiceInfo Standin() {
    standin::ServiceInfo info;
    standin::QueryStandin(&info);
    return info;
}

bool LogHas(uint64_t from, const std::string& kind, const std::string& first) {
    for (const standin::Record& record : standin::ReadLog(from)) {
        if (record.size() >= 3 && record[1] == kind && record[2] == first) {
            return true;
        }
    }
    return false;
}

class AppletPages : public ::testing::Test {
protected:
    void SetUp() override {
        standin::ServiceInfo info;
        const std::wstring bin = standin::WindowsPath(BENCH_BIN_DIR);
        if (standin::QueryStandin(&info) != ERROR_SUCCESS ||
            info.binaryPath.find(bin) == std::wstring::npos) {
            ASSERT_EQ(RunProgram(L"\"" + bin + L"\\w32time-standin.exe\" install"), 0);
            ASSERT_EQ(standin::QueryStandin(&info), 0u);
        }
        savedStartType_ = info.startType;
        ASSERT_EQ(standin::StopStandin(kPatienceMs), 0u);
        // What the pages write is put back afterwards.
        SaveSheetKeys(&keys_);
        for (const char* name : {"FileLogName", "FileLogEntries", "FileLogSize"}) {
            DeleteValue(kConfig, name);
        }
        // No agent: the sheet has no Agent page, Control Panel's start upgrades nothing and the
        // stand-in loads no agent.
        DeleteKey(kAgentKeyPath);
        InstallUrlRecorder(standin::Utf8(standin::WindowsPath(URL_RECORDER_EXE)).c_str());
        ClearRecordedUrls();
        ASSERT_EQ(CPlApplet(nullptr, CPL_INIT, 0, 0), 1);
        savedOs_ = LocalSystemIdentity().os;
    }
    void TearDown() override {
        if (session_ != nullptr) {
            if (sheet_ != nullptr && IsWindow(sheet_)) {
                PressSheetButton(sheet_, IDCANCEL);
            }
            delete session_;
        }
        RemoveUrlRecorder();
        ClearRecordedUrls();
        OverrideOsFamilyForTesting(savedOs_);
        EXPECT_EQ(standin::StopStandin(kPatienceMs), 0u);
        EXPECT_EQ(SetStartType(savedStartType_), 0u);
        keys_.Restore();
    }

    // Opens the sheet without the agent upgrade, on the page with that title.
    HWND OpenOn(const char* tab) {
        session_ = new AppletSession;
        EXPECT_TRUE(session_->Run([] { return CPlApplet(nullptr, kCplOpenSheet, 0, 0); }));
        sheet_ = WaitForSheetOfProcess(GetCurrentProcessId(), nullptr, kPatienceMs);
        EXPECT_NE(sheet_, nullptr);
        if (sheet_ == nullptr || !SelectPage(sheet_, tab)) {
            return nullptr;
        }
        return CurrentPage(sheet_);
    }

    void Close(int button) {
        ASSERT_TRUE(PressSheetButton(sheet_, button));
        ASSERT_TRUE(session_->Wait(kPatienceMs));
        EXPECT_EQ(session_->Outcome().result, 1);
        sheet_ = nullptr;
    }

    bool ApplyEnabled() const { return IsWindowEnabled(GetDlgItem(sheet_, kApply)) != FALSE; }

    std::string StatusSentence(const char* state) const {
        return "The Windows Time service on " + ComputerName() + " is " + state;
    }

    static bool WaitForBox(MessageBoxSeen* box) {
        return WaitForMessageBoxOfProcess(GetCurrentProcessId(), "Horologix", kPatienceMs, box);
    }

    RegistrySnapshot keys_;
    AppletSession* session_ = nullptr;
    HWND sheet_ = nullptr;
    DWORD savedStartType_ = SERVICE_DEMAND_START;
    OsFamily savedOs_ = kOsUnknown;
};

TEST_F(AppletPages, service_page_starts_a_disabled_service_stops_it_and_applies_its_start_type) {
    ASSERT_EQ(SetStartType(SERVICE_DISABLED), 0u);
    HWND page = OpenOn("Service");
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(ListItems(page, IDC_SERVICE_STARTUP),
              (std::vector<std::string>{"Disabled", "Automatic", "Manual"}));
    EXPECT_EQ(Text(page, IDC_SERVICE_STARTUP), "Disabled");
    EXPECT_EQ(Text(page, IDC_SERVICE_STATUS), StatusSentence("stopped"));
    EXPECT_EQ(Text(page, IDC_SERVICE_START_STOP), "S&tart");
    EXPECT_FALSE(ApplyEnabled());

    // Start: the list follows to "Automatic" without marking a change, the service manager
    // holds the automatic start type whatever happens to the sheet.
    ASSERT_TRUE(Click(page, IDC_SERVICE_START_STOP));
    EXPECT_TRUE(WaitUntil(
        [&] { return Text(page, IDC_SERVICE_STATUS) == StatusSentence("running"); }, kPatienceMs));
    EXPECT_EQ(Text(page, IDC_SERVICE_START_STOP), "S&top");
    EXPECT_EQ(Text(page, IDC_SERVICE_STARTUP), "Automatic");
    EXPECT_EQ(Standin().state, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(Standin().startType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_FALSE(ApplyEnabled());

    // A start-up change applied while the service runs: saved, and the service is told.
    const uint64_t logStart = standin::LogSize();
    ASSERT_TRUE(SelectItem(page, IDC_SERVICE_STARTUP, "Manual"));
    EXPECT_TRUE(WaitUntil([&] { return ApplyEnabled(); }, kPatienceMs));
    ASSERT_TRUE(PressSheetButton(sheet_, kApply));
    EXPECT_TRUE(WaitUntil([&] { return !ApplyEnabled(); }, kPatienceMs));
    EXPECT_EQ(ReadNumber(kService, "Start", 0), 3u);
    EXPECT_EQ(Standin().startType, static_cast<DWORD>(SERVICE_DEMAND_START));
    EXPECT_TRUE(WaitUntil([&] { return LogHas(logStart, "Control", "6"); }, kPatienceMs));

    // Stop, and the status follows the service within its refresh.
    ASSERT_TRUE(Click(page, IDC_SERVICE_START_STOP));
    EXPECT_TRUE(WaitUntil(
        [&] { return Text(page, IDC_SERVICE_STATUS) == StatusSentence("stopped"); }, kPatienceMs));
    EXPECT_EQ(Text(page, IDC_SERVICE_START_STOP), "S&tart");
    EXPECT_EQ(Standin().state, static_cast<DWORD>(SERVICE_STOPPED));
    // Started behind the page's back: the two-second refresh shows it.
    ASSERT_EQ(standin::StartStandin(kPatienceMs), 0u);
    EXPECT_TRUE(WaitUntil(
        [&] { return Text(page, IDC_SERVICE_STATUS) == StatusSentence("running"); }, kPatienceMs));
    Close(IDCANCEL);
}

TEST_F(AppletPages, service_page_debug_log_defaults_messages_and_apply) {
    HWND page = OpenOn("Service");
    ASSERT_NE(page, nullptr);
    EXPECT_FALSE(IsChecked(page, IDC_SERVICE_LOG_ENABLE));
    EXPECT_FALSE(IsEnabled(page, IDC_SERVICE_LOG_PATH));
    EXPECT_EQ(Text(page, IDC_SERVICE_LOG_SIZE), "3");
    EXPECT_EQ(Text(page, IDC_SERVICE_LOG_ENTRIES), "0-300");
    char system[MAX_PATH];
    GetSystemDirectoryA(system, MAX_PATH);
    const std::string defaultPath = std::string(1, system[0]) + ":\\w32time.log";
    EXPECT_EQ(Text(page, IDC_SERVICE_LOG_PATH), defaultPath);

    ASSERT_TRUE(Click(page, IDC_SERVICE_LOG_ENABLE));
    // The last thing the click does is to tell the sheet.
    EXPECT_TRUE(WaitUntil([&] { return ApplyEnabled(); }, kPatienceMs));
    EXPECT_TRUE(IsEnabled(page, IDC_SERVICE_LOG_PATH));
    EXPECT_TRUE(IsEnabled(page, IDC_SERVICE_SHOW_LOG));

    // "Show Log" on a file that is not there, and in a folder that is not there.
    const std::string missing = defaultPath.substr(0, 3) + "horologix-no-such.log";
    ASSERT_TRUE(ClearAndType(page, IDC_SERVICE_LOG_PATH, missing.c_str()));
    ASSERT_TRUE(Click(page, IDC_SERVICE_SHOW_LOG));
    MessageBoxSeen box;
    ASSERT_TRUE(WaitForBox(&box));
    EXPECT_EQ(box.text, "The log file \"" + missing +
                            "\" was not found. If you have just enabled logging, remember that "
                            "you have to stop and restart the Windows Time service before your "
                            "changes take effect. Otherwise, check the Event Viewer for error "
                            "messages related to creating the log file.");
    ASSERT_TRUE(Answer(box, IDOK));
    const std::string noFolder = defaultPath.substr(0, 3) + "horologix-no-folder\\w32time.log";
    ASSERT_TRUE(ClearAndType(page, IDC_SERVICE_LOG_PATH, noFolder.c_str()));
    ASSERT_TRUE(Click(page, IDC_SERVICE_SHOW_LOG));
    ASSERT_TRUE(WaitForBox(&box));
    EXPECT_EQ(box.text, "The path for \"" + noFolder +
                            "\" was not found. Check your typing (or create the folder if "
                            "necessary), and then stop and restart the Windows Time service.");
    ASSERT_TRUE(Answer(box, IDOK));

    // Applied: the size typed in megabytes is stored in bytes, the texts trimmed.
    ASSERT_TRUE(ClearAndType(page, IDC_SERVICE_LOG_PATH, "  C:\\logs\\w32time.log  "));
    ASSERT_TRUE(ClearAndType(page, IDC_SERVICE_LOG_SIZE, "5"));
    ASSERT_TRUE(ClearAndType(page, IDC_SERVICE_LOG_ENTRIES, "0-116,118-300"));
    ASSERT_TRUE(PressSheetButton(sheet_, kApply));
    EXPECT_TRUE(WaitUntil([&] { return !ApplyEnabled(); }, kPatienceMs));
    EXPECT_EQ(ReadNumber(kConfig, "FileLogSize", 0), 5242880u);
    char text[128];
    ReadString(kConfig, "FileLogName", text, 127, "");
    EXPECT_STREQ(text, "C:\\logs\\w32time.log");
    ReadString(kConfig, "FileLogEntries", text, 63, "");
    EXPECT_STREQ(text, "0-116,118-300");

    // Unticked and applied: the three values go.
    ASSERT_TRUE(Click(page, IDC_SERVICE_LOG_ENABLE));
    EXPECT_TRUE(WaitUntil([&] { return !IsEnabled(page, IDC_SERVICE_LOG_PATH); }, kPatienceMs));
    Close(IDOK);
    EXPECT_FALSE(ReadString(kConfig, "FileLogName", text, 127, ""));
    EXPECT_EQ(ReadNumber(kConfig, "FileLogSize", 7), 7u);
}

TEST_F(AppletPages, service_page_on_windows_2000_shows_only_the_service) {
    ReadEnvironment(); // identified once: the release set next stays for the run
    OverrideOsFamilyForTesting(kOsWin2000);
    HWND page = OpenOn("Service");
    ASSERT_NE(page, nullptr);
    EXPECT_TRUE(IsVisible(page, IDC_SERVICE_STATUS));
    EXPECT_TRUE(IsVisible(page, IDC_SERVICE_STARTUP));
    EXPECT_TRUE(IsVisible(page, IDC_SERVICE_START_STOP));
    for (int id : {IDC_SERVICE_LOG_GROUP, IDC_SERVICE_LOG_ENABLE, IDC_SERVICE_LOG_PATH,
                   IDC_SERVICE_SHOW_LOG, IDC_SERVICE_ENTRIES_NOTE}) {
        EXPECT_FALSE(IsVisible(page, id)) << id;
    }
    Close(IDCANCEL);
}

TEST_F(AppletPages, about_page_shows_the_product_changes_nothing_and_links_to_help) {
    HWND page = OpenOn("About");
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(WindowText(sheet_), "Windows Time Service - " + ComputerName());
    EXPECT_EQ(Text(page, IDC_ABOUT_HEADER),
              "Horologix Version 4.1.b.20070418R\r\nFreeware from Tessaric - www.tessaric.com");
    EXPECT_EQ(Text(page, IDC_ABOUT_TEXT), kAboutDescription);
    ASSERT_NE(Applet().sheet, nullptr);
    EXPECT_EQ(reinterpret_cast<HFONT>(SendDlgItemMessageA(page, IDC_ABOUT_TEXT, WM_GETFONT, 0, 0)),
              Applet().sheet->fixedFont);
    EXPECT_EQ(Text(page, IDC_HELP_LINK), "www.tessaric.com");

    ASSERT_TRUE(Click(page, IDC_HELP_LINK));
    ASSERT_TRUE(WaitForRecordedUrls(1, kPatienceMs));
    EXPECT_EQ(RecordedUrls()[0], std::string(kHelpPrefix) + "abouttab&version=4.1.b.20070418R");

    // Back and forth between pages: nothing to apply.
    ASSERT_TRUE(SelectPage(sheet_, "Service"));
    HWND service = CurrentPage(sheet_);
    ASSERT_TRUE(SelectPage(sheet_, "About"));
    EXPECT_FALSE(ApplyEnabled());
    ASSERT_TRUE(SelectPage(sheet_, "Service"));
    ASSERT_TRUE(Click(service, IDC_HELP_LINK));
    ASSERT_TRUE(WaitForRecordedUrls(2, kPatienceMs));
    EXPECT_EQ(RecordedUrls()[1], std::string(kHelpPrefix) + "servicetab&version=4.1.b.20070418R");
    Close(IDOK);
}

// The library itself as Wine's Control Panel loads it.
TEST_F(AppletPages, control_exe_opens_the_applet_and_closes_it) {
    // Opened from Control Panel the applet installs an agent that is missing or older: an agent
    // of this very release is marked installed, so it upgrades nothing and shows the Agent page.
    WriteBoolean(kAgentKeyPath, "Service Installed", true);
    WriteString(kAgentKeyPath, "Current Version", HOROLOGIX_VERSION_TEXT);
    const std::wstring command = L"control.exe \"" + standin::WindowsPath(KESTREL_PATH) + L"\"";
    std::wstring line = command;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &process));
    UniqueKernelHandle processHandle(process.hProcess);
    UniqueKernelHandle threadHandle(process.hThread);
    // control.exe may hand the library to a process of its own (rundll32 or a second control).
    HWND sheet = WaitForSheet(nullptr, kPatienceMs);
    ASSERT_NE(sheet, nullptr);
    EXPECT_EQ(TabTitles(sheet),
              (std::vector<std::string>{"Client", "Server", "Agent", "Service", "About"}));
    // No installer ran: it would have registered the library.
    char dllName[64];
    EXPECT_FALSE(ReadString(kAgentKeyPath, "DllName", dllName, sizeof(dllName) - 1, nullptr));
    ASSERT_TRUE(SelectPage(sheet, "About"));
    EXPECT_EQ(WindowText(sheet), "Windows Time Service - " + ComputerName());
    ASSERT_TRUE(PressSheetButton(sheet, IDCANCEL));
    EXPECT_TRUE(WaitUntil([&] { return !IsWindow(sheet); }, kPatienceMs));
    EXPECT_EQ(WaitForSingleObject(process.hProcess, kPatienceMs),
              static_cast<DWORD>(WAIT_OBJECT_0));
}

} // namespace
