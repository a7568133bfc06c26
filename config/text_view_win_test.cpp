#include "config/text_view_win.h"

#include "bench/remote_registry/registry_snapshot_win.h"
#include "bench/window_bench/window_bench_win.h"
#include "common/unique_handle_win.h"
#include "config/registry.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

std::map<std::string, std::string> ListedViews() {
    std::map<std::string, std::string> views;
    char name[64];
    char path[MAX_PATH];
    for (uint32_t index = 0;
         EnumerateValue(kTemporaryViewKey, name, 63, path, sizeof(path) - 1, nullptr, index);
         ++index) {
        views[name] = path;
    }
    return views;
}

std::string TemporaryFile(const char* prefix) {
    char folder[MAX_PATH];
    char path[MAX_PATH];
    if (GetTempPathA(sizeof(folder), folder) == 0 ||
        GetTempFileNameA(folder, prefix, 0, path) == 0) {
        return "";
    }
    return path;
}

std::string ReadWholeFile(const std::string& path) {
    UniqueFile file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                0, nullptr));
    std::string text;
    char chunk[512];
    DWORD got = 0;
    while (file && ReadFile(file.get(), chunk, sizeof(chunk), &got, nullptr) && got > 0) {
        text.append(chunk, got);
    }
    return text;
}

bool FileExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Runs ViewTextFile with the stand-in Notepad (bench/fake_notepad) found first from the
// current directory; returns what the stand-in recorded of its start, "" when it did not run.
std::string ViewWithStandIn(HWND owner, const std::string& path, bool temporary, DWORD* processId) {
    char program[MAX_PATH];
    if (GetModuleFileNameA(nullptr, program, sizeof(program)) == 0) {
        return "";
    }
    std::string standInFolder = program;
    standInFolder =
        standInFolder.substr(0, standInFolder.find_last_of('\\')) + "\\..\\bench\\fake_notepad";
    const std::string record = TemporaryFile("hxr");
    DeleteFileA(record.c_str());
    SetEnvironmentVariableA("HOROLOGIX_FAKE_NOTEPAD_OUT", record.c_str());

    char savedFolder[MAX_PATH];
    if (GetCurrentDirectoryA(sizeof(savedFolder), savedFolder) == 0 ||
        !SetCurrentDirectoryA(standInFolder.c_str())) {
        ADD_FAILURE() << "no stand-in folder " << standInFolder;
        return "";
    }
    const bool started = ViewTextFile(owner, path.c_str(), temporary, processId);
    SetCurrentDirectoryA(savedFolder);
    SetEnvironmentVariableA("HOROLOGIX_FAKE_NOTEPAD_OUT", nullptr);
    if (!started) {
        ADD_FAILURE() << "ViewTextFile failed with " << GetLastError();
        return "";
    }
    // The stand-in writes its record whole, by a rename, before it exits.
    winbench::WaitUntil([&] { return FileExists(record); }, winbench::kPatienceMs);
    const std::string text = ReadWholeFile(record);
    DeleteFileA(record.c_str());
    return text;
}

struct FoundWindow {
    DWORD processId;
    HWND window;
};

BOOL CALLBACK MatchProcessWindow(HWND window, LPARAM context) {
    auto* found = reinterpret_cast<FoundWindow*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == found->processId && IsWindowVisible(window) &&
        GetWindow(window, GW_OWNER) == nullptr) {
        found->window = window;
        return FALSE;
    }
    return TRUE;
}

HWND WaitForProcessWindow(DWORD processId) {
    FoundWindow found = {processId, nullptr};
    winbench::WaitUntil(
        [&] {
            EnumWindows(MatchProcessWindow, reinterpret_cast<LPARAM>(&found));
            return found.window != nullptr;
        },
        winbench::kPatienceMs);
    return found.window;
}

// Ends a Notepad this test started, by its process id.
void EndProcess(DWORD processId) {
    UniqueKernelHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId));
    if (process) {
        TerminateProcess(process.get(), 0);
        WaitForSingleObject(process.get(), winbench::kPatienceMs);
    }
}

// Each case starts from an empty list; the list the prefix had comes back afterwards.
class TemporaryViews : public ::testing::Test {
protected:
    void SetUp() override {
        list_.Save(kTemporaryViewKey);
        DeleteKey(kTemporaryViewKey);
    }
    void TearDown() override {
        for (const std::string& path : files_) {
            DeleteFileA(path.c_str());
        }
        list_.Restore();
    }
    std::string NewFile(const char* prefix) {
        std::string path = TemporaryFile(prefix);
        files_.push_back(path);
        return path;
    }

private:
    RegistrySnapshot list_;
    std::vector<std::string> files_;
};

} // namespace

TEST_F(TemporaryViews, new_entry_is_numbered_one_above_the_largest_leading_number) {
    RecordTemporaryView("C:\\first.txt");
    EXPECT_EQ(ListedViews(), (std::map<std::string, std::string>{{"1", "C:\\first.txt"}}));

    DeleteKey(kTemporaryViewKey);
    ASSERT_TRUE(WriteString(kTemporaryViewKey, "1", "C:\\one.txt"));
    ASSERT_TRUE(WriteString(kTemporaryViewKey, "7", "C:\\seven.txt"));
    ASSERT_TRUE(WriteString(kTemporaryViewKey, "x", "C:\\x.txt"));
    RecordTemporaryView("C:\\report.txt");
    auto views = ListedViews();
    ASSERT_EQ(views.size(), 4u);
    EXPECT_EQ(views.at("8"), "C:\\report.txt");

    // A name too long for the list's buffers does not hide the entries after it.
    ASSERT_TRUE(WriteString(kTemporaryViewKey, "0123456789012345678901234567890123", "C:\\l.txt"));
    ASSERT_TRUE(WriteString(kTemporaryViewKey, "12b", "C:\\twelve.txt"));
    RecordTemporaryView("C:\\second.txt");
    views = ListedViews();
    ASSERT_EQ(views.count("13"), 1u);
    EXPECT_EQ(views.at("13"), "C:\\second.txt");
}

TEST_F(TemporaryViews, purge_deletes_listed_files_ignoring_missing_ones_and_removes_the_list) {
    const std::string first = NewFile("hxa");
    const std::string second = NewFile("hxb");
    ASSERT_FALSE(first.empty());
    ASSERT_FALSE(second.empty());
    ASSERT_TRUE(FileExists(first));
    RecordTemporaryView(first.c_str());
    RecordTemporaryView("C:\\no such folder\\gone.txt");
    RecordTemporaryView(second.c_str());
    ASSERT_EQ(ListedViews().size(), 3u);

    PurgeTemporaryViews();
    EXPECT_FALSE(FileExists(first));
    EXPECT_FALSE(FileExists(second));
    EXPECT_FALSE(KeyExists(kTemporaryViewKey));

    PurgeTemporaryViews(); // nothing listed: nothing to do
    EXPECT_FALSE(KeyExists(kTemporaryViewKey));
}

TEST_F(TemporaryViews, notepad_is_started_on_the_quoted_path_and_only_a_temporary_file_listed) {
    const std::string shown = NewFile("hx v"); // a space, so the quoting matters
    DWORD processId = 0;
    EXPECT_EQ(ViewWithStandIn(nullptr, shown, true, &processId), "notepad \"" + shown + "\"\n");
    EXPECT_NE(processId, 0u);
    EXPECT_EQ(ListedViews(), (std::map<std::string, std::string>{{"1", shown}}));

    // A file that is not temporary (the time service's log) is shown but not listed.
    EXPECT_EQ(ViewWithStandIn(nullptr, shown, false, nullptr), "notepad \"" + shown + "\"\n");
    EXPECT_EQ(ListedViews().size(), 1u);
}

TEST_F(TemporaryViews, notepad_is_asked_to_open_30_pixels_inside_its_owner) {
    HWND owner = CreateWindowExA(0, "STATIC", "owner", WS_OVERLAPPEDWINDOW, 200, 150, 300, 200,
                                 nullptr, nullptr, nullptr, nullptr);
    if (owner == nullptr) {
        GTEST_SKIP() << "no window without a display: run the session with --display";
    }
    RECT ownerRect;
    ASSERT_TRUE(GetWindowRect(owner, &ownerRect));
    const std::string shown = NewFile("hxo");
    const std::string started = ViewWithStandIn(owner, shown, false, nullptr);
    DestroyWindow(owner);
    EXPECT_EQ(started, "notepad \"" + shown + "\"\nposition " +
                           std::to_string(ownerRect.left + 30) + " " +
                           std::to_string(ownerRect.top + 30) + "\nshow " +
                           std::to_string(SW_SHOWNORMAL) + "\n");
}

TEST_F(TemporaryViews, the_systems_notepad_starts_and_shows_its_window) {
    if (getenv("DISPLAY") == nullptr) {
        GTEST_SKIP() << "Notepad needs a display: run the session with --display";
    }
    const std::string path = NewFile("hxn");
    ASSERT_FALSE(path.empty());
    DWORD processId = 0;
    ASSERT_TRUE(ViewTextFile(nullptr, path.c_str(), true, &processId));
    ASSERT_NE(processId, 0u);
    EXPECT_NE(WaitForProcessWindow(processId), nullptr);
    EndProcess(processId);
    EXPECT_EQ(ListedViews(), (std::map<std::string, std::string>{{"1", path}}));
}

TEST(ViewTextFile, refuses_a_path_too_long_for_the_command_line) {
    const std::string path(MAX_PATH * 2, 'a');
    DWORD processId = 1;
    EXPECT_FALSE(ViewTextFile(nullptr, path.c_str(), true, &processId));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_EQ(processId, 0u);
    EXPECT_FALSE(ViewTextFile(nullptr, nullptr, false));
}
