// Installation as users and tools meet it: Wine's own rundll32 running the library's RunDll
// (first installation, a repeat that copies nothing, an upgrade over the module the Windows Time
// service holds, removal), the W32Time stand-in restarted and loading the agent from the
// registry, Wine's uninstaller listing the entry; and the applet's install and remove modes,
// quiet and behind the progress window, locally and on a bench remote machine, with the
// automatic upgrade when the sheet opens on an older agent.
#include <windows.h>
#include <cpl.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "agent/agent_test_util_win.h"
#include "applet/applet_rules.h"
#include "applet/applet_state_win.h"
#include "bench/remote_registry/bench_remote_machine_win.h"
#include "bench/w32time_standin/standin_client_win.h"
#include "bench/window_bench/window_bench_win.h"
#include "common/unique_handle_win.h"
#include "config/registry.h"
#include "config/settings.h"
#include "install/installer_win.h"

extern "C" LONG APIENTRY CPlApplet(HWND, UINT, LPARAM, LPARAM);

namespace {

constexpr DWORD kServiceMs = kPatienceMs;
constexpr DWORD kRunMs = 2 * kPatienceMs;
constexpr char kUninstallKey[] = "\\\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
                                 "Horologix Control Panel Applet";
constexpr char kParameters[] = "\\\\System\\CurrentControlSet\\Services\\W32Time\\Parameters";
constexpr char kConfig[] = "\\\\System\\CurrentControlSet\\Services\\W32Time\\Config";

std::string SystemFolder() {
    return standin::Utf8(standin::SystemFolder()) + "\\";
}

// The built library as Windows programs name it.
std::string WindowsLibraryPath() {
    return standin::Utf8(standin::WindowsPath(KESTREL_PATH));
}

bool Exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string Value(const char* key, const char* name) {
    char text[512];
    ReadString(key, name, text, 500, "(missing)");
    return text;
}

// A copy of the built library one release older (the low half of its fixed file version
// lowered), to play an earlier installation.
std::string OlderLibrary() {
    std::ifstream in(WindowsLibraryPath(), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string signature("\xBD\x04\xEF\xFE", 4);
    const size_t at = bytes.find(signature);
    if (at == std::string::npos) {
        return "";
    }
    DWORD low;
    memcpy(&low, &bytes[at + 12], sizeof(low));
    low -= 0x10000;
    memcpy(&bytes[at + 12], &low, sizeof(low));
    char folder[MAX_PATH];
    GetTempPathA(sizeof(folder), folder);
    const std::string path = std::string(folder) + "older\\kestrel.cpl";
    CreateDirectoryA((std::string(folder) + "older").c_str(), nullptr);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return out ? path : "";
}

// Runs a program to its end, answering every "Horologix" message box with OK; the boxes' texts.
std::vector<std::string> RunAnsweringBoxes(const std::string& commandLine, std::string* output,
                                           DWORD* exitCode = nullptr) {
    std::vector<std::string> boxes;
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    CreatePipe(&readEnd, &writeEnd, &inherit, 0);
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    UniqueKernelHandle reader(readEnd);
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    PROCESS_INFORMATION process{};
    std::string command = commandLine;
    const BOOL started = CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &startup, &process);
    CloseHandle(writeEnd);
    EXPECT_TRUE(started) << commandLine;
    if (!started) {
        return boxes;
    }
    UniqueKernelHandle processHandle(process.hProcess);
    UniqueKernelHandle thread(process.hThread);
    const DWORD begin = GetTickCount();
    while (WaitForSingleObject(process.hProcess, 50) == WAIT_TIMEOUT) {
        winbench::MessageBoxSeen box;
        if (winbench::WaitForMessageBox("Horologix", 0, &box)) {
            boxes.push_back(box.text);
            winbench::Answer(box, IDOK);
        }
        if (GetTickCount() - begin > kRunMs) {
            ADD_FAILURE() << commandLine << " did not end";
            TerminateProcess(process.hProcess, 1);
            break;
        }
    }
    if (output != nullptr) {
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(reader.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) {
            output->append(buffer, got);
        }
    }
    if (exitCode != nullptr) {
        GetExitCodeProcess(process.hProcess, exitCode);
    }
    return boxes;
}

std::vector<std::string> RunDll(const std::string& library, const std::string& arguments) {
    return RunAnsweringBoxes(SystemFolder() + "rundll32.exe " + library + ",RunDll" +
                                 (arguments.empty() ? "" : " " + arguments),
                             nullptr);
}

// What the stand-in logged since an offset, as "Kind first second" lines.
std::vector<std::string> LogSince(uint64_t from) {
    std::vector<std::string> lines;
    for (const standin::Record& record : standin::ReadLog(from)) {
        std::string line;
        for (size_t i = 1; i < record.size() && i < 4; ++i) {
            line += (i > 1 ? " " : "") + record[i];
        }
        lines.push_back(line);
    }
    return lines;
}

bool Has(const std::vector<std::string>& lines, const std::string& start) {
    for (const std::string& line : lines) {
        if (line.rfind(start, 0) == 0) {
            return true;
        }
    }
    return false;
}

// Until the stand-in has logged a line beginning with `start` since the offset. An installer
// that restarts the service waits for it to run, and the service logs "running" right after it
// reports it, its providers opened before.
bool Logs(uint64_t from, const std::string& start) {
    return WaitFor([&] { return Has(LogSince(from), start); }, kPatienceMs);
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\n";
    }
    return text;
}

FILETIME WriteTime(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data);
    return data.ftLastWriteTime;
}

// Gives W32Time a start type in the service manager and its key. Installing starts the service
// with the type automatic, so that it would start with every later Wine session: tests put back
// what they found.
void SetStartType(DWORD startType) {
    UniqueService manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueService service(manager ? OpenServiceA(manager.get(), "W32Time", SERVICE_CHANGE_CONFIG)
                                  : nullptr);
    if (service) {
        ChangeServiceConfigA(service.get(), SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE,
                             nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    }
    WriteNumber("\\\\System\\CurrentControlSet\\Services\\W32Time", "Start", startType);
}

class Installer : public ::testing::Test {
protected:
    void SetUp() override {
        standin::ServiceInfo info;
        const std::wstring bin = standin::WindowsPath(BENCH_BIN_DIR);
        if (standin::QueryStandin(&info) != ERROR_SUCCESS ||
            info.binaryPath.find(bin) == std::wstring::npos) {
            RunAnsweringBoxes(standin::Utf8(bin) + "\\w32time-standin.exe install", nullptr);
            ASSERT_EQ(standin::QueryStandin(&info), 0u);
        }
        savedStartType_ = info.startType;
        ASSERT_EQ(standin::StopStandin(kServiceMs), 0u);
        // A machine without the product: no module, no registration, no entry.
        ASSERT_EQ(standin::RemoveFile(standin::Wide(SystemFolder() + "kestrel.cpl")), 0u);
        DeleteFileA((SystemFolder() + "kestrel.old").c_str());
        DeleteKey(kAgentKeyPath);
        DeleteKey(kUninstallKey);
        WriteString(kParameters, "NTPServer", "127.0.0.1,0x9");
        WriteString(kParameters, "Type", "NTP");
        ASSERT_EQ(standin::StartStandin(kServiceMs), 0u);
        Send(CPL_INIT);
        SetInstallSourceForTesting(WindowsLibraryPath().c_str());
    }
    void TearDown() override {
        SetInstallSourceForTesting(nullptr);
        SetProgressWorkerRefusedForTesting(false);
        RemoveBenchRemoteMachines();
        Send(CPL_INIT);
        standin::StopStandin(kServiceMs);
        SetStartType(savedStartType_);
        standin::RemoveFile(standin::Wide(SystemFolder() + "kestrel.cpl"));
        DeleteFileA((SystemFolder() + "kestrel.old").c_str());
        DeleteFileA((SystemFolder() + "drift.qx").c_str());
    }
    DWORD savedStartType_ = SERVICE_DEMAND_START;
    // Installing changes Windows Time values that later tests read: put back as they were.
    SavedRegistryKeys saved_{kW32TimeParametersKey,    kW32TimeConfigKey,
                             kNtpClientProviderKey,    kNtpServerProviderKey,
                             kAgentProviderKey,        kUninstallEntryKey,
                             kControlPanelCategoryKey, kProductParametersKey,
                             kFamilyClientKey,         kInstallationIdRegistryKey};
    static LONG_PTR Send(UINT message, LPARAM first = 0, LPARAM second = 0) {
        return CPlApplet(nullptr, message, first, second);
    }
};

TEST_F(Installer, rundll32_installs_repeats_without_copying_and_removes_leaving_kestrel_old) {
    const std::string module = SystemFolder() + "kestrel.cpl";
    DeleteFileA((SystemFolder() + "drift.qx").c_str());

    uint64_t from = standin::LogSize();
    EXPECT_TRUE(RunDll(WindowsLibraryPath(), "/INSTALL").empty());
    ASSERT_TRUE(Exists(module));
    EXPECT_EQ(FileVersion(module.c_str()), FileVersion(WindowsLibraryPath().c_str()));
    EXPECT_FALSE(Exists(SystemFolder() + "kestrel.new"));
    EXPECT_TRUE(Exists(SystemFolder() + "drift.qx"));
    EXPECT_EQ(Value(kAgentKeyPath, "Service Installed"), "True");
    EXPECT_EQ(ReadNumber(kAgentKeyPath, "Enabled", 7), 1u);
    EXPECT_EQ(ReadNumber(kAgentKeyPath, "InputProvider", 7), 0u);
    EXPECT_EQ(Value(kAgentKeyPath, "DllName"), "kestrel.cpl");
    EXPECT_EQ(Value(kParameters, "NTPServer"), "127.0.0.1,0x9 pool.ntp.org,0x1 time.nist.gov,0x1");
    EXPECT_EQ(Value(kUninstallKey, "DisplayName"), "Horologix Control Panel Applet");
    EXPECT_EQ(Value(kUninstallKey, "UninstallString"),
              "rundll32.exe C:\\windows\\system32\\kestrel.cpl,RunDll -remove");
    EXPECT_EQ(Value(kUninstallKey, "DisplayIcon"), "C:\\windows\\system32\\kestrel.cpl,0");
    EXPECT_EQ(Value(kUninstallKey, "Publisher"), "Tessaric");
    EXPECT_EQ(Value(kUninstallKey, "DisplayVersion").rfind("4.1.b.20070418R", 0), 0u);
    EXPECT_EQ(ReadNumber(kUninstallKey, "NoModify", 0), 1u);
    EXPECT_EQ(ReadNumber(kUninstallKey, "VersionMajor", 0), 4u);
    EXPECT_EQ(ReadNumber(kUninstallKey, "VerMinor", 0), 1u);
    // The service was restarted for the new settings and loaded the agent from the system folder.
    EXPECT_TRUE(Logs(from, "Service running"));
    std::vector<std::string> log = LogSince(from);
    EXPECT_TRUE(Has(log, "Service stopped")) << Joined(log);
    EXPECT_TRUE(Has(log, "Provider Horologix loaded")) << Joined(log);
    EXPECT_TRUE(Has(log, "Open Horologix 0x00000000")) << Joined(log);
    for (const standin::Record& record : standin::ReadLog(from)) {
        if (record.size() > 4 && record[1] == "Provider" && record[2] == "Horologix") {
            EXPECT_EQ(record[4], "C:\\windows\\system32\\kestrel.cpl");
        }
    }
    EXPECT_EQ(Value(kAgentKeyPath, "Current Version"), "4.1.b.20070418R");

    // Wine's own list of installed programs shows the entry.
    std::string listed;
    RunAnsweringBoxes(SystemFolder() + "uninstaller.exe --list", &listed);
    EXPECT_NE(listed.find("Horologix Control Panel Applet"), std::string::npos) << listed;

    // The same file again: nothing copied, nothing changed, no restart.
    const FILETIME written = WriteTime(module);
    from = standin::LogSize();
    EXPECT_TRUE(RunDll(WindowsLibraryPath(), "-install").empty());
    const FILETIME rewritten = WriteTime(module);
    EXPECT_EQ(CompareFileTime(&written, &rewritten), 0);
    log = LogSince(from);
    EXPECT_FALSE(Has(log, "Service stop")) << Joined(log);

    // Removal: the service goes on without the agent; the module is moved aside; the user's
    // values (here a partial debug-log setting made since) and the history stay.
    DeleteValue(kConfig, "FileLogName");
    DeleteValue(kConfig, "FileLogEntries");
    WriteNumber(kConfig, "FileLogSize", 4096);
    from = standin::LogSize();
    EXPECT_TRUE(RunDll(WindowsLibraryPath(), "-remove").empty());
    EXPECT_TRUE(Logs(from, "Service running"));
    EXPECT_FALSE(Exists(module));
    EXPECT_TRUE(Exists(SystemFolder() + "kestrel.old"));
    EXPECT_TRUE(Exists(SystemFolder() + "drift.qx"));
    EXPECT_FALSE(KeyExists(kAgentKeyPath));
    EXPECT_FALSE(KeyExists(kUninstallKey));
    EXPECT_EQ(ReadNumber(kConfig, "FileLogSize", 0), 4096u);
    EXPECT_EQ(Value(kParameters, "NTPServer"), "127.0.0.1,0x9 pool.ntp.org,0x1 time.nist.gov,0x1");
    log = LogSince(from);
    EXPECT_TRUE(Has(log, "Close Horologix")) << Joined(log);
    EXPECT_TRUE(Has(log, "Service running")) << Joined(log);
    EXPECT_FALSE(Has(log, "Provider Horologix loaded")) << Joined(log);
    standin::ServiceInfo info;
    standin::QueryStandin(&info);
    EXPECT_EQ(info.state, static_cast<DWORD>(SERVICE_RUNNING));
    DeleteValue(kConfig, "FileLogSize");
}

TEST_F(Installer, upgrade_over_the_module_the_service_holds_stops_copies_and_starts_it) {
    const std::string older = OlderLibrary();
    ASSERT_FALSE(older.empty());
    ASSERT_LT(FileVersion(older.c_str()), FileVersion(WindowsLibraryPath().c_str()));
    const uint64_t installed = standin::LogSize();
    EXPECT_TRUE(RunDll(older, "-install").empty());
    const std::string module = SystemFolder() + "kestrel.cpl";
    ASSERT_EQ(FileVersion(module.c_str()), FileVersion(older.c_str()));
    ASSERT_TRUE(Logs(installed, "Open Horologix 0x00000000"));

    // The service has the older module loaded: the copy is refused until it stops.
    const uint64_t from = standin::LogSize();
    const DWORD begin = GetTickCount();
    EXPECT_TRUE(RunDll(WindowsLibraryPath(), "-install").empty());
    std::printf("upgrade through rundll32: %lu ms\n", GetTickCount() - begin);
    EXPECT_EQ(FileVersion(module.c_str()), FileVersion(WindowsLibraryPath().c_str()));
    EXPECT_FALSE(Exists(SystemFolder() + "kestrel.new"));
    EXPECT_TRUE(Logs(from, "Service running"));
    const std::vector<std::string> log = LogSince(from);
    EXPECT_TRUE(Has(log, "Close Horologix")) << Joined(log);
    EXPECT_TRUE(Has(log, "Service stopped")) << Joined(log);
    EXPECT_TRUE(Has(log, "Provider Horologix loaded")) << Joined(log);
    EXPECT_TRUE(Has(log, "Open Horologix 0x00000000")) << Joined(log);

    // The older release again: the newer installed file stays, and nothing is restarted.
    const uint64_t again = standin::LogSize();
    EXPECT_TRUE(RunDll(older, "-install").empty());
    EXPECT_EQ(FileVersion(module.c_str()), FileVersion(WindowsLibraryPath().c_str()));
    EXPECT_FALSE(Has(LogSince(again), "Service stop")) << Joined(LogSince(again));
}

TEST_F(Installer, rundll32_explains_a_missing_or_unknown_command) {
    EXPECT_EQ(RunDll(WindowsLibraryPath(), ""),
              std::vector<std::string>{"Was expecting a command like -remove or -install."});
    EXPECT_EQ(
        RunDll(WindowsLibraryPath(), "-upgrade"),
        std::vector<std::string>{"Was expecting either -remove or -install on the command line."});
    EXPECT_FALSE(Exists(SystemFolder() + "kestrel.cpl"));
}

// The applet's modes in this process, its installer copying the built library.
struct AppletRun {
    LONG_PTR result = -1;
    DWORD error = 0;
    std::vector<std::string> boxes;
    bool progressSeen = false;
};

AppletRun RunApplet(UINT message) {
    winbench::AppletSession session;
    AppletRun run;
    EXPECT_TRUE(session.Run([message] { return CPlApplet(nullptr, message, 0, 0); }));
    const ULONGLONG begin = GetTickCount64();
    while (!session.Wait(20)) {
        if (GetTickCount64() - begin > kRunMs) {
            ADD_FAILURE() << "the applet call " << message << " did not end";
            break;
        }
        winbench::MessageBoxSeen box;
        if (winbench::WaitForMessageBox("Horologix", 0, &box)) {
            run.boxes.push_back(box.text);
            winbench::Answer(box, IDOK);
        } else if (HWND progress = winbench::WaitForWindow("#32770", "Horologix", 0)) {
            run.progressSeen =
                run.progressSeen ||
                winbench::Text(progress, 2291).rfind("Installing/Upgrading", 0) == 0 ||
                winbench::Text(progress, 2291).rfind("Removing", 0) == 0;
        }
        if (HWND sheet = winbench::WaitForSheet(nullptr, 0)) {
            winbench::PressSheetButton(sheet, IDCANCEL);
            PostMessageA(sheet, WM_NULL, 0, 0);
        }
    }
    run.result = session.Outcome().result;
    run.error = session.Outcome().lastError;
    return run;
}

TEST_F(Installer, applet_modes_install_and_remove_with_and_without_the_progress_window) {
    const std::string module = SystemFolder() + "kestrel.cpl";
    const uint64_t from = standin::LogSize();
    AppletRun run = RunApplet(kCplInstall);
    EXPECT_EQ(run.result, 1);
    EXPECT_TRUE(run.progressSeen);
    EXPECT_TRUE(run.boxes.empty()) << run.boxes[0];
    EXPECT_TRUE(Exists(module));
    EXPECT_EQ(Value(kAgentKeyPath, "Service Installed"), "True");
    EXPECT_TRUE(Logs(from, "Open Horologix 0x00000000"));

    // Quiet removal: no window at all; the applet's removal leaves the module in place.
    Send(kCplQuiet, 0, 1);
    run = RunApplet(kCplRemove);
    EXPECT_EQ(run.result, 1);
    EXPECT_FALSE(run.progressSeen);
    EXPECT_TRUE(run.boxes.empty());
    EXPECT_TRUE(Exists(module));
    EXPECT_FALSE(KeyExists(kAgentKeyPath));
    EXPECT_FALSE(KeyExists(kUninstallKey));

    // A worker that cannot start: the window tells why and ends by itself.
    Send(kCplQuiet, 0, 0);
    SetProgressWorkerRefusedForTesting(true);
    run = RunApplet(kCplInstall);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.error, static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].rfind("Could not start the installation; ", 0), 0u) << run.boxes[0];
    EXPECT_FALSE(KeyExists(kAgentKeyPath));
}

TEST_F(Installer, applet_installs_and_removes_on_a_remote_machine_through_its_share) {
    InstallBenchRemoteMachines();
    char folder[MAX_PATH];
    GetTempPathA(sizeof(folder), folder);
    const std::string share = std::string(folder) + "timebox-system32\\";
    CreateDirectoryA(share.c_str(), nullptr);
    DeleteFileA((share + "kestrel.cpl").c_str());
    DeleteFileA((share + "drift.qx").c_str());
    BenchMachineFacts facts;
    facts.systemFolder = share;
    facts.localServiceManager = true; // the stand-in plays its Windows Time service
    SetBenchMachineFacts("TIMEBOX", facts);
    SetRegistryFocus("TIMEBOX");
    WriteString("\\\\System\\CurrentControlSet\\Control\\ProductOptions", "ProductType", "WinNT");
    WriteString("\\\\System\\CurrentControlSet\\Control\\Session Manager\\Environment",
                "PROCESSOR_ARCHITECTURE", "AMD64");
    WriteString("\\\\Software\\Microsoft\\Windows NT\\CurrentVersion", "SystemRoot", "D:\\WINNT");
    SetRegistryFocus(nullptr);

    Send(kCplQuiet, 0, 1);
    Send(kCplSetTarget, reinterpret_cast<LPARAM>("timebox"));
    ClearBenchRemoteCalls();
    AppletRun run = RunApplet(kCplInstall);
    EXPECT_EQ(run.result, 1);
    EXPECT_TRUE(run.boxes.empty());
    EXPECT_EQ(FileVersion((share + "kestrel.cpl").c_str()),
              FileVersion(WindowsLibraryPath().c_str()));
    EXPECT_TRUE(Exists(share + "drift.qx"));
    const std::vector<std::string> calls = BenchRemoteCalls();
    EXPECT_TRUE(Has(calls, "SystemFolder TIMEBOX")) << Joined(calls);
    EXPECT_TRUE(Has(calls, "ServiceManager TIMEBOX local")) << Joined(calls);
    // The remote machine's registry got the registration and the entry, this one's did not.
    EXPECT_FALSE(KeyExists(kAgentKeyPath));
    SetRegistryFocus("TIMEBOX");
    EXPECT_EQ(Value(kAgentKeyPath, "Service Installed"), "True");
    EXPECT_EQ(Value(kUninstallKey, "UninstallString"),
              "rundll32.exe D:\\WINNT\\system32\\kestrel.cpl,RunDll -remove");
    SetRegistryFocus(nullptr);

    // Another architecture is refused before anything reaches the machine.
    const std::string otherShare = std::string(folder) + "oldbox-system32\\";
    CreateDirectoryA(otherShare.c_str(), nullptr);
    DeleteFileA((otherShare + "kestrel.cpl").c_str());
    BenchMachineFacts x86 = facts;
    x86.systemFolder = otherShare;
    SetBenchMachineFacts("OLDBOX", x86);
    SetRegistryFocus("OLDBOX");
    WriteString("\\\\System\\CurrentControlSet\\Control\\ProductOptions", "ProductType", "WinNT");
    WriteString("\\\\System\\CurrentControlSet\\Control\\Session Manager\\Environment",
                "PROCESSOR_ARCHITECTURE", "x86");
    SetRegistryFocus(nullptr);
    Send(kCplSetTarget, reinterpret_cast<LPARAM>("oldbox"));
    run = RunApplet(kCplInstall);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.error, 1633u);
    EXPECT_FALSE(Exists(otherShare + "kestrel.cpl"));
    SetRegistryFocus("OLDBOX");
    EXPECT_FALSE(KeyExists(kAgentKeyPath));
    EXPECT_FALSE(KeyExists(kUninstallKey));
    SetRegistryFocus(nullptr);

    Send(kCplSetTarget, reinterpret_cast<LPARAM>("timebox"));
    run = RunApplet(kCplRemove);
    EXPECT_EQ(run.result, 1);
    SetRegistryFocus("TIMEBOX");
    EXPECT_FALSE(KeyExists(kAgentKeyPath));
    EXPECT_FALSE(KeyExists(kUninstallKey));
    SetRegistryFocus(nullptr);
    EXPECT_TRUE(Exists(share + "kestrel.cpl"));
    DeleteFileA((share + "kestrel.cpl").c_str());
    DeleteFileA((share + "drift.qx").c_str());
}

TEST_F(Installer, installing_beside_the_family_client_hands_it_the_clock_and_its_sources) {
    constexpr char kClientKey[] = "\\\\Software\\Tessaric\\Quorvex Client\\Parameters";
    WriteBoolean(kClientKey, "Service Installed", true);
    uint8_t blob[335] = {};
    memcpy(blob + 43, "tick.corp.lan", 13);
    memcpy(blob + 175, "127.0.0.1", 9); // already in the list
    WriteBinary(kClientKey, "Client Settings", blob, sizeof(blob));
    WriteNumber("\\\\System\\CurrentControlSet\\Services\\W32Time", "Start", 3);

    Send(kCplQuiet, 0, 1);
    const AppletRun run = RunApplet(kCplInstall);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(Value(kParameters, "Type"), "NoSync");
    EXPECT_EQ(
        ReadNumber("\\\\System\\CurrentControlSet\\Services\\W32Time\\TimeProviders\\NtpClient",
                   "Enabled", 7),
        0u);
    EXPECT_EQ(ReadNumber("\\\\System\\CurrentControlSet\\Services\\W32Time", "Start", 0), 2u);
    EXPECT_EQ(Value(kParameters, "NTPServer"),
              "127.0.0.1,0x9 tick.corp.lan,0x1 pool.ntp.org,0x1 time.nist.gov,0x1");
    DeleteValue(kClientKey, "Client Settings");
    DeleteValue(kClientKey, "Service Installed");
}

TEST_F(Installer, sheet_upgrades_an_older_agent_unless_opened_without_upgrade) {
    const std::string older = OlderLibrary();
    ASSERT_FALSE(older.empty());
    SetInstallSourceForTesting(older.c_str());
    Send(kCplQuiet, 0, 1);
    ASSERT_EQ(RunApplet(kCplInstall).result, 1);
    Send(kCplQuiet, 0, 0);
    SetInstallSourceForTesting(WindowsLibraryPath().c_str());
    const std::string module = SystemFolder() + "kestrel.cpl";
    // A running agent records its own version: let the service run once, as the installer
    // left it, then stop it before playing an older one. The start may find the service still
    // settling from the installer's restart; only the stop matters here.
    standin::StartStandin(kServiceMs);
    ASSERT_EQ(standin::StopStandin(kServiceMs), 0u);
    WriteString(kAgentKeyPath, "Current Version", "4.1.b.20060101R");

    // Opened by a management tool without the upgrade: nothing changes.
    AppletRun run = RunApplet(kCplOpenSheet);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(FileVersion(module.c_str()), FileVersion(older.c_str()));
    EXPECT_EQ(Value(kAgentKeyPath, "Current Version"), "4.1.b.20060101R");

    // What the administrator configured stays as stored through the upgrade: a list longer than
    // the pages show, with client-mode flags, and an interval stored as text.
    constexpr char kClientKey[] =
        "\\\\System\\CurrentControlSet\\Services\\W32Time\\TimeProviders\\NtpClient";
    const std::string servers = "127.0.0.1,0x9 local.example,0x8 s3.example,0x1 s4.example,0x2 "
                                "s5.example,0x9 s6.example,0x9 s7.example,0x9 s8.example,0x8";
    WriteString(kParameters, "NTPServer", servers.c_str());
    WriteString(kClientKey, "SpecialPollInterval", "900");

    // Opened from Control Panel: the older agent is upgraded quietly before the sheet shows.
    run = RunApplet(CPL_DBLCLK);
    EXPECT_EQ(run.result, 1);
    EXPECT_TRUE(run.boxes.empty()) << run.boxes[0];
    EXPECT_FALSE(run.progressSeen);
    EXPECT_EQ(FileVersion(module.c_str()), FileVersion(WindowsLibraryPath().c_str()));
    EXPECT_EQ(Value(kAgentKeyPath, "Current Version"), "4.1.b.20070418R");
    EXPECT_EQ(Value(kParameters, "NTPServer"), servers);
    uint32_t type = 0;
    uint32_t size = 0;
    ASSERT_TRUE(QueryValueForm(kClientKey, "SpecialPollInterval", &type, &size));
    EXPECT_EQ(type, kRegString);
    EXPECT_EQ(Value(kClientKey, "SpecialPollInterval"), "900");
}

} // namespace
