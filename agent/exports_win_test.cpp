// The shipped libraries as Windows loads them: exports, bitness, version resource, manifest.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "agent/agent_test_util_win.h"
#include "common/unique_handle_win.h"
#include "resources/version.h"

namespace {

// dist/ lives on the Unix side; Wine shows the root file system as drive Z:.
std::string DistPath(const char* relative) {
    std::string path = std::string("Z:") + HOROLOGIX_DIST_DIR + "/" + relative;
    for (char& c : path) {
        if (c == '/') {
            c = '\\';
        }
    }
    return path;
}

constexpr bool k64Bit = sizeof(void*) == 8;
const char* OwnBuild() {
    return k64Bit ? "AMD64/kestrel.cpl" : "i386/kestrel.cpl";
}
const char* OtherBuild() {
    return k64Bit ? "i386/kestrel.cpl" : "AMD64/kestrel.cpl";
}

std::string FileVersionText(const std::string& path, VS_FIXEDFILEINFO* fixed) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    if (size == 0) {
        return {};
    }
    std::vector<char> block(size);
    if (!GetFileVersionInfoA(path.c_str(), 0, size, block.data())) {
        return {};
    }
    void* value = nullptr;
    UINT length = 0;
    if (VerQueryValueA(block.data(), "\\", &value, &length) && length >= sizeof(*fixed)) {
        *fixed = *static_cast<VS_FIXEDFILEINFO*>(value);
    }
    if (!VerQueryValueA(block.data(), "\\StringFileInfo\\040904b0\\FileVersion", &value, &length)) {
        return {};
    }
    return std::string(static_cast<const char*>(value));
}

std::string ManifestText(const std::string& path, int id) {
    HMODULE module = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr) {
        return {};
    }
    std::string text;
    if (HRSRC resource = FindResourceA(module, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(24))) {
        if (HGLOBAL loaded = LoadResource(module, resource)) {
            text.assign(static_cast<const char*>(LockResource(loaded)),
                        SizeofResource(module, resource));
        }
    }
    FreeLibrary(module);
    return text;
}

} // namespace

TEST(ShippedLibrary, loads_in_its_own_bitness_with_the_five_undecorated_exports) {
    HMODULE module = LoadLibraryA(DistPath(OwnBuild()).c_str());
    ASSERT_NE(module, nullptr) << DistPath(OwnBuild()) << " error " << GetLastError();
    for (const char* name :
         {"TimeProvOpen", "TimeProvCommand", "TimeProvClose", "CPlApplet", "RunDll"}) {
        EXPECT_NE(GetProcAddress(module, name), nullptr) << name;
    }
    FreeLibrary(module);
}

TEST(ShippedLibrary, the_other_bitness_is_refused_as_a_bad_image) {
    SetLastError(0);
    HMODULE module = LoadLibraryA(DistPath(OtherBuild()).c_str());
    const DWORD error = GetLastError();
    EXPECT_EQ(module, nullptr);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
    if (module != nullptr) {
        FreeLibrary(module);
    }
}

TEST(ShippedLibrary, version_resource_carries_the_version_text_and_release_number) {
    for (const char* build : {"AMD64/kestrel.cpl", "i386/kestrel.cpl", "setup.exe"}) {
        VS_FIXEDFILEINFO fixed{};
        const std::string text = FileVersionText(DistPath(build), &fixed);
        EXPECT_EQ(text.rfind(HOROLOGIX_VERSION_TEXT, 0), 0u) << build << ": '" << text << "'";
        EXPECT_EQ(fixed.dwFileVersionMS, 0x00040001u) << build;
        EXPECT_EQ(fixed.dwFileVersionLS, static_cast<DWORD>(HOROLOGIX_RELEASE) << 16) << build;
    }
}

TEST(ShippedLibrary, library_and_setup_ask_for_common_controls_6) {
    const std::string library = ManifestText(DistPath(OwnBuild()), 2);
    const std::string setup = ManifestText(DistPath("setup.exe"), 1);
    for (const std::string& manifest : {library, setup}) {
        EXPECT_NE(manifest.find("Microsoft.Windows.Common-Controls"), std::string::npos);
        EXPECT_NE(manifest.find("version=\"6.0.0.0\""), std::string::npos);
    }
}

struct WindowSearch {
    DWORD processId;
    HWND found;
};

BOOL CALLBACK TakeVisibleWindowOf(HWND window, LPARAM parameter) {
    auto* wanted = reinterpret_cast<WindowSearch*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == wanted->processId && IsWindowVisible(window)) {
        wanted->found = window;
        return FALSE;
    }
    return TRUE;
}

// The first window of a process, once it shows one; null after timeoutMs.
HWND WaitForWindowOf(DWORD processId, DWORD timeoutMs) {
    WindowSearch search{processId, nullptr};
    WaitFor(
        [&search] {
            EnumWindows(TakeVisibleWindowOf, reinterpret_cast<LPARAM>(&search));
            return search.found != nullptr;
        },
        timeoutMs);
    return search.found;
}

TEST(ShippedSetup, shows_the_payload_it_found_and_exits_with_zero_when_declined) {
    // setup.exe is a 32-bit program; tools/run-ctests says here why such programs cannot run.
    if (const char* reason = getenv("HOROLOGIX_IA32_OFF"); reason != nullptr && *reason != 0) {
        GTEST_SKIP() << reason;
    }
    std::string command = "\"" + DistPath("setup.exe") + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &process))
        << GetLastError();
    // A run that failed half-way leaves no dialog on the screen for the tests after it.
    const auto end = [&process] {
        if (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT) {
            TerminateProcess(process.hProcess, 1);
            WaitForSingleObject(process.hProcess, kPatienceMs);
        }
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    };
    ScopeExit<decltype(end)> ended(end);
    // Its dialog names the payload of this machine's architecture; "Disagree" ends the run.
    HWND dialog = WaitForWindowOf(process.dwProcessId, kPatienceMs);
    ASSERT_NE(dialog, nullptr);
    char caption[MAX_PATH];
    GetWindowTextA(dialog, caption, sizeof(caption));
    EXPECT_NE(std::string(caption).find("AMD64\\kestrel.cpl"), std::string::npos) << caption;
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(2, BN_CLICKED), 0);
    EXPECT_EQ(WaitForSingleObject(process.hProcess, kPatienceMs), WAIT_OBJECT_0);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    EXPECT_EQ(code, 0u);
}
