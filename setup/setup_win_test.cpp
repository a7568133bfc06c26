// setup.exe as a user meets it, from a folder laid out as the download: the dialog with its
// tabs and texts, Agree, Install, the library's installer in rundll32 and Control Panel opening
// the applet; then setup again offering only removal, and Remove. The 32-bit program runs only
// where the machine runs 32-bit programs; elsewhere the test says why and skips.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "bench/w32time_standin/standin_client_win.h"
#include "bench/window_bench/window_bench_win.h"
#include "common/unique_handle_win.h"
#include "resources/resource.h"

namespace {

using namespace winbench;

constexpr DWORD kWindowMs = 20000;

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

TEST(Setup, installs_from_the_download_opens_the_applet_and_removes_again) {
    const char* off = std::getenv("HOROLOGIX_IA32_OFF");
    if (off != nullptr && off[0] != '\0') {
        GTEST_SKIP() << off;
    }
    const std::string root = Download();
    const std::string payload = root + "AMD64\\kestrel.cpl";
    const std::string module = standin::Utf8(standin::SystemFolder()) + "\\kestrel.cpl";
    standin::RemoveFile(standin::Wide(module));

    PROCESS_INFORMATION process = Start(root + "setup.exe");
    ASSERT_NE(process.hProcess, nullptr);
    UniqueKernelHandle processHandle(process.hProcess);
    UniqueKernelHandle thread(process.hThread);
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
    HWND sheet = WaitForSheet(nullptr, 60000);
    ASSERT_NE(sheet, nullptr);
    EXPECT_TRUE(GetFileAttributesA(module.c_str()) != INVALID_FILE_ATTRIBUTES);
    PressSheetButton(sheet, IDCANCEL);
    PostMessageA(sheet, WM_NULL, 0, 0);
    ASSERT_EQ(WaitForSingleObject(process.hProcess, 30000), static_cast<DWORD>(WAIT_OBJECT_0));
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    EXPECT_EQ(code, 0u);

    // Setup again: the same version is installed, so only Remove is offered.
    PROCESS_INFORMATION again = Start(root + "setup.exe");
    UniqueKernelHandle againHandle(again.hProcess);
    UniqueKernelHandle againThread(again.hThread);
    dialog = WaitForWindow("#32770", payload.c_str(), kWindowMs);
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(Click(dialog, 1));
    ASSERT_TRUE(WaitUntil([&] { return IsVisible(dialog, 5); }, kWindowMs));
    EXPECT_FALSE(IsEnabled(dialog, 4));
    EXPECT_TRUE(IsEnabled(dialog, 5));
    EXPECT_NE(Text(dialog, 3).find("so upgrade isn't possible"), std::string::npos);
    ASSERT_TRUE(Click(dialog, 5));
    ASSERT_EQ(WaitForSingleObject(again.hProcess, 60000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(GetFileAttributesA(module.c_str()), INVALID_FILE_ATTRIBUTES);
    // setup deletes the module the installer moved aside.
    EXPECT_EQ(GetFileAttributesA((module.substr(0, module.size() - 3) + "old").c_str()),
              INVALID_FILE_ATTRIBUTES);
    // Removal started the Windows Time service again, with the start type automatic: put back
    // the stopped, manually started service that later tests expect.
    standin::StopStandin(20000);
    UniqueService manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueService service(manager ? OpenServiceA(manager.get(), "W32Time", SERVICE_CHANGE_CONFIG)
                                  : nullptr);
    if (service) {
        ChangeServiceConfigA(service.get(), SERVICE_NO_CHANGE, SERVICE_DEMAND_START,
                             SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr);
    }
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\W32Time", 0,
                      KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        const DWORD manual = SERVICE_DEMAND_START;
        RegSetValueExA(key, "Start", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&manual),
                       sizeof(manual));
        RegCloseKey(key);
    }
}

} // namespace
