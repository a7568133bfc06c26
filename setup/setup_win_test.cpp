// setup.exe as a user meets it, from a folder laid out as the download: the dialog with its
// tabs and texts, Agree, Install, the library's installer in rundll32 and Control Panel opening
// the applet; then setup again offering only removal, and Remove. The 32-bit program runs only
// where the machine runs 32-bit programs; elsewhere the test says why and skips.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "agent/agent_test_util_win.h"
#include "bench/w32time_standin/standin_client_win.h"
#include "bench/window_bench/window_bench_win.h"
#include "common/unique_handle_win.h"
#include "resources/resource.h"

namespace {

using winbench::Click;
using winbench::IsEnabled;
using winbench::IsVisible;
using winbench::PressSheetButton;
using winbench::Text;
using winbench::WaitForSheet;
using winbench::WaitForWindow;
using winbench::WaitUntil;

constexpr DWORD kWindowMs = kPatienceMs;

std::string Windows(const char* unixPath) {
    return standin::Utf8(standin::WindowsPath(unixPath));
}

std::string Download() {
    char folder[MAX_PATH];
    GetTempPathA(sizeof(folder), folder);
    const std::string root = std::string(folder) + "hx-download\\";
    CreateDirectoryA(root.c_str(), nullptr);
    CreateDirectoryA((root + "AMD64").c_str(), nullptr);
    CopyFileA(Windows(SETUP_EXE).c_str(), (root + "setup.exe").c_str(), FALSE);
    CopyFileA(Windows(KESTREL64).c_str(), (root + "AMD64\\kestrel.cpl").c_str(), FALSE);
    for (const char* text : {"license.txt", "readme.txt", "faq.txt"}) {
        CopyFileA((Windows(TEXTS_DIR) + "\\" + text).c_str(), (root + text).c_str(), FALSE);
    }
    // Of the support files only the last one looked for.
    DeleteFileA((root + "support.txt").c_str());
    CopyFileA((Windows(TEXTS_DIR) + "\\support.txt").c_str(), (root + "contact.txt").c_str(),
              FALSE);
    return root;
}

PROCESS_INFORMATION Start(const std::string& program) {
    std::string command = program;
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                   &process);
    return process;
}

// W32Time's start type in the service manager and in its key.
void SetStartType(DWORD startType) {
    UniqueService manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueService service(manager ? OpenServiceA(manager.get(), "W32Time", SERVICE_CHANGE_CONFIG)
                                  : nullptr);
    if (service) {
        ChangeServiceConfigA(service.get(), SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE,
                             nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    }
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\W32Time", 0,
                      KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        RegSetValueExA(key, "Start", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&startType),
                       sizeof(startType));
        RegCloseKey(key);
    }
}

// Installing and removing restart the Windows Time service with the start type automatic and
// change its keys: each run puts back the service, the keys and the system folder as it found
// them, and ends the setup processes it started, also when it failed half-way.
class Setup : public ::testing::Test {
protected:
    void SetUp() override {
        standin::ServiceInfo info;
        haveService_ = standin::QueryStandin(&info) == 0;
        savedStartType_ = info.startType;
        wasRunning_ = info.state == SERVICE_RUNNING;
    }
    void TearDown() override {
        for (const UniqueKernelHandle& process : started_) {
            if (WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT) {
                TerminateProcess(process.get(), 1);
                WaitForSingleObject(process.get(), kPatienceMs);
            }
        }
        if (haveService_) {
            EXPECT_EQ(standin::StopStandin(kPatienceMs), 0u);
            SetStartType(savedStartType_);
        }
        const std::string system = standin::Utf8(standin::SystemFolder());
        standin::RemoveFile(standin::Wide(system + "\\kestrel.cpl"));
        DeleteFileA((system + "\\kestrel.old").c_str());
        DeleteFileA((system + "\\drift.qx").c_str());
        if (haveService_ && wasRunning_) {
            EXPECT_EQ(standin::StartStandin(kPatienceMs), 0u);
        }
    }
    // Starts a program; its process is ended at the end of the test if still running.
    PROCESS_INFORMATION Run(const std::string& program) {
        PROCESS_INFORMATION process = Start(program);
        if (process.hProcess != nullptr) {
            CloseHandle(process.hThread);
            process.hThread = nullptr;
            HANDLE copy = nullptr;
            DuplicateHandle(GetCurrentProcess(), process.hProcess, GetCurrentProcess(), &copy, 0,
                            FALSE, DUPLICATE_SAME_ACCESS);
            started_.emplace_back(copy);
        }
        return process;
    }

    bool haveService_ = false;
    DWORD savedStartType_ = SERVICE_DEMAND_START;
    bool wasRunning_ = false;
    std::vector<UniqueKernelHandle> started_;
    // Put back as they were after the test.
    SavedRegistryKeys saved_{
        kW32TimeParametersKey,    kW32TimeConfigKey,     kNtpClientProviderKey,
        kNtpServerProviderKey,    kAgentProviderKey,     kUninstallEntryKey,
        kControlPanelCategoryKey, kProductParametersKey, kInstallationIdRegistryKey};
};

TEST_F(Setup, installs_from_the_download_opens_the_applet_and_removes_again) {
    const char* off = std::getenv("HOROLOGIX_IA32_OFF");
    if (off != nullptr && off[0] != '\0') {
        GTEST_SKIP() << off;
    }
    const std::string root = Download();
    const std::string payload = root + "AMD64\\kestrel.cpl";
    const std::string module = standin::Utf8(standin::SystemFolder()) + "\\kestrel.cpl";
    standin::RemoveFile(standin::Wide(module));

    PROCESS_INFORMATION process = Run(root + "setup.exe");
    ASSERT_NE(process.hProcess, nullptr);
    UniqueKernelHandle processHandle(process.hProcess);
    HWND dialog = WaitForWindow("#32770", payload.c_str(), kWindowMs);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(Text(dialog, IDC_SETUP_PRODUCT), "Horologix");
    EXPECT_EQ(Text(dialog, IDC_SETUP_COMPANY), "Tessaric");
    EXPECT_EQ(Text(dialog, IDC_SETUP_VERSION).rfind("Version 4.1.b.20070418R", 0), 0u);
    EXPECT_TRUE(IsEnabled(dialog, IDC_SETUP_TAB_LICENSE));
    EXPECT_TRUE(IsEnabled(dialog, IDC_SETUP_TAB_SUPPORT)); // from contact.txt
    EXPECT_EQ(Text(dialog, 3).rfind("HOROLOGIX LICENSE AGREEMENT", 0), 0u);
    EXPECT_FALSE(IsVisible(dialog, 4));
    ASSERT_TRUE(Click(dialog, IDC_SETUP_TAB_FAQ));
    EXPECT_TRUE(WaitUntil([&] { return Text(dialog, 3).rfind("HOROLOGIX - FREQUENTLY", 0) == 0; },
                          kWindowMs));

    ASSERT_TRUE(Click(dialog, 1));
    ASSERT_TRUE(WaitUntil([&] { return IsVisible(dialog, 4); }, kWindowMs));
    EXPECT_EQ(Text(dialog, 4), "&Install");
    EXPECT_FALSE(IsEnabled(dialog, 5));
    EXPECT_EQ(Text(dialog, 2), "&Cancel");
    EXPECT_NE(Text(dialog, 3).find("Horologix isn't installed on this machine."),
              std::string::npos);
    ASSERT_TRUE(Click(dialog, 4));

    // rundll32 installs, then Control Panel shows the applet: close it as the user would.
    HWND sheet = WaitForSheet(nullptr, 2 * kPatienceMs);
    ASSERT_NE(sheet, nullptr);
    EXPECT_TRUE(GetFileAttributesA(module.c_str()) != INVALID_FILE_ATTRIBUTES);
    PressSheetButton(sheet, IDCANCEL);
    PostMessageA(sheet, WM_NULL, 0, 0);
    ASSERT_EQ(WaitForSingleObject(process.hProcess, kPatienceMs),
              static_cast<DWORD>(WAIT_OBJECT_0));
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    EXPECT_EQ(code, 0u);

    // Setup again: the same version is installed, so only Remove is offered.
    PROCESS_INFORMATION again = Run(root + "setup.exe");
    ASSERT_NE(again.hProcess, nullptr);
    UniqueKernelHandle againHandle(again.hProcess);
    dialog = WaitForWindow("#32770", payload.c_str(), kWindowMs);
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(Click(dialog, 1));
    ASSERT_TRUE(WaitUntil([&] { return IsVisible(dialog, 5); }, kWindowMs));
    EXPECT_FALSE(IsEnabled(dialog, 4));
    EXPECT_TRUE(IsEnabled(dialog, 5));
    EXPECT_NE(Text(dialog, 3).find("so upgrade isn't possible"), std::string::npos);
    ASSERT_TRUE(Click(dialog, 5));
    ASSERT_EQ(WaitForSingleObject(again.hProcess, 2 * kPatienceMs),
              static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(GetFileAttributesA(module.c_str()), INVALID_FILE_ATTRIBUTES);
    // setup deletes the module the installer moved aside.
    EXPECT_EQ(GetFileAttributesA((module.substr(0, module.size() - 3) + "old").c_str()),
              INVALID_FILE_ATTRIBUTES);
}

} // namespace
