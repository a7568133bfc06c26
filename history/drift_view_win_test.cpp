#include "history/drift_view_win.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <string>
#include <vector>

#include "bench/window_bench/window_bench_win.h"
#include "history/drift_test_util_win.h"

namespace {

class DriftViewTest : public ::testing::Test {
protected:
    void SetUp() override { std::snprintf(view.path, sizeof(view.path), "%s", path.c_str()); }

    bool LoadWith(const std::vector<uint8_t>& bytes) {
        EXPECT_TRUE(WriteWholeFile(path, bytes));
        return LoadDriftFile(view, nullptr);
    }
    void ExpectRefused(const std::vector<uint8_t>& bytes, const char* what) {
        DriftView fresh;
        std::snprintf(fresh.path, sizeof(fresh.path), "%s", path.c_str());
        ASSERT_TRUE(WriteWholeFile(path, bytes));
        SetLastError(0);
        EXPECT_FALSE(LoadDriftFile(fresh, nullptr)) << what;
        EXPECT_EQ(fresh.lastError, 87u) << what;
        EXPECT_EQ(GetLastError(), 87u) << what;
        EXPECT_EQ(fresh.count, 0u) << what;
    }

    ScratchFolder folder;
    std::string path = folder.File("server1.week2.qx");
    DriftView view;
};

std::vector<uint8_t> WithRecord(std::vector<uint8_t> bytes, size_t index,
                                void (*change)(DriftRecord&)) {
    DriftRecord record = RecordAt(bytes, index);
    change(record);
    EncodeDriftRecord(record, bytes.data() + index * kDriftRecordSize);
    return bytes;
}

TEST_F(DriftViewTest, loads_the_whole_file_and_shows_the_newest_64_records) {
    ASSERT_TRUE(LoadWith(HistoryBytes(100)));
    EXPECT_TRUE(view.changed);
    EXPECT_EQ(view.count, 100u);
    EXPECT_EQ(view.loadedSize, 2000u);
    EXPECT_EQ(view.first, 36u);
    EXPECT_EQ(view.windowSize, 64u);
    EXPECT_EQ(view.end, 100u);
    EXPECT_EQ(view.averageInterval, 60u);
    EXPECT_EQ(view.records[0].checkTime, kTestEpoch);
    EXPECT_EQ(view.records[99].varianceMs, 99);
    EXPECT_STREQ(view.title, "server1.week2");
    EXPECT_EQ(GetLastError(), 0u);
}

TEST_F(DriftViewTest, a_short_file_is_shown_whole_and_an_empty_one_has_no_records) {
    ASSERT_TRUE(LoadWith(HistoryBytes(10)));
    EXPECT_EQ(view.first, 0u);
    EXPECT_EQ(view.windowSize, 10u);
    EXPECT_EQ(view.end, 10u);

    DriftView empty;
    std::snprintf(empty.path, sizeof(empty.path), "%s", path.c_str());
    ASSERT_TRUE(WriteWholeFile(path, {}));
    ASSERT_TRUE(LoadDriftFile(empty, nullptr));
    EXPECT_EQ(empty.count, 0u);
    EXPECT_EQ(empty.averageInterval, 0u);
}

TEST_F(DriftViewTest, older_marks_load_without_a_phase_adjustment) {
    const std::vector<uint8_t> bytes = WithRecord(HistoryBytes(3), 1, [](DriftRecord& r) {
        r.marker = 35;
        r.phaseAdjust = 500;
    });
    ASSERT_TRUE(LoadWith(bytes));
    EXPECT_STREQ(PhaseAdjustText(view.records[1]), "");
    EXPECT_STREQ(PhaseAdjustText(view.records[0]), "0");
}

TEST_F(DriftViewTest, a_flags_byte_0x0F_reads_as_corrected_role_7) {
    std::vector<uint8_t> bytes = HistoryBytes(2);
    bytes[kDriftRecordSize + 1] = 0x0F;
    ASSERT_TRUE(LoadWith(bytes));
    EXPECT_TRUE(IsCorrected(view.records[1]));
    EXPECT_EQ(RecordRole(view.records[1]), 7);
    EXPECT_STREQ(RoleName(RecordRole(view.records[1])), "Horologix");
}

TEST_F(DriftViewTest, files_that_are_not_histories_fail_whole_with_87) {
    ExpectRefused(WithRecord(HistoryBytes(5), 3, [](DriftRecord& r) { r.marker = 42; }),
                  "marker 42");
    ExpectRefused(WithRecord(HistoryBytes(5), 0, [](DriftRecord& r) { r.marker = 30; }),
                  "marker 30");
    ExpectRefused(std::vector<uint8_t>(19, 0), "19 bytes");
    ExpectRefused(WithRecord(HistoryBytes(5), 4, [](DriftRecord& r) { r.checkTime = 757382400; }),
                  "1 January 1994");
}

TEST_F(DriftViewTest, a_refresh_rereads_only_a_file_whose_size_changed) {
    ASSERT_TRUE(LoadWith(HistoryBytes(70)));
    ASSERT_TRUE(LoadDriftFile(view, nullptr));
    EXPECT_FALSE(view.changed);

    ASSERT_TRUE(WriteWholeFile(path, HistoryBytes(75)));
    ASSERT_TRUE(LoadDriftFile(view, nullptr));
    EXPECT_TRUE(view.changed);
    EXPECT_EQ(view.count, 75u);
    EXPECT_EQ(view.first, 11u);
    EXPECT_EQ(view.end, 75u);
}

TEST_F(DriftViewTest, a_failed_refresh_keeps_the_records_shown) {
    ASSERT_TRUE(LoadWith(HistoryBytes(10)));
    view.points[0] = {5, 6};

    ASSERT_TRUE(WriteWholeFile(
        path, WithRecord(HistoryBytes(11), 10, [](DriftRecord& r) { r.marker = 42; })));
    EXPECT_FALSE(LoadDriftFile(view, nullptr));
    EXPECT_EQ(view.lastError, 87u);
    EXPECT_EQ(view.count, 10u);
    EXPECT_EQ(view.loadedSize, 200u);
    EXPECT_EQ(view.records[9].varianceMs, 9);
    EXPECT_EQ(view.end, 10u);
    EXPECT_EQ(view.points[0].x, 5);
    // Still refused on the next try, not taken as loaded because the size was seen before.
    EXPECT_FALSE(LoadDriftFile(view, nullptr));

    ASSERT_TRUE(WriteWholeFile(path, HistoryBytes(12)));
    ASSERT_TRUE(LoadDriftFile(view, nullptr));
    EXPECT_EQ(view.count, 12u);
}

TEST_F(DriftViewTest, a_missing_file_fails_with_the_systems_error) {
    SetLastError(0);
    EXPECT_FALSE(LoadDriftFile(view, nullptr));
    EXPECT_EQ(view.lastError, static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(DriftViewTest, without_a_path_the_chooser_is_asked_and_no_choice_fails) {
    view.path[0] = '\0';
    // The user cancels the file chooser (where a display shows it), this process's only.
    std::atomic<bool> done{false};
    std::thread user([&] {
        const DWORD self = GetCurrentProcessId();
        winbench::WaitUntil(
            [&] {
                HWND chooser = winbench::WaitForWindowOfProcess(
                    self, nullptr, "Select Quorvex II Sync Log File", 0);
                if (chooser != nullptr) {
                    PostMessageA(chooser, WM_COMMAND, IDCANCEL, 0);
                }
                return done.load();
            },
            winbench::kPatienceMs);
    });
    EXPECT_FALSE(LoadDriftFile(view, nullptr));
    done = true;
    user.join();
    EXPECT_EQ(view.lastError, static_cast<uint32_t>(ERROR_CANCELLED));
    EXPECT_FALSE(view.file);
}

TEST_F(DriftViewTest, a_reset_view_opens_and_reads_the_file_afresh) {
    ASSERT_TRUE(LoadWith(HistoryBytes(20)));
    ResetDriftView(view);
    EXPECT_FALSE(view.file);
    EXPECT_EQ(view.count, 0u);
    EXPECT_STREQ(view.title, "");
    EXPECT_STREQ(view.path, path.c_str());

    // The file is replaced meanwhile (the reader's handle was closed, so this works).
    ASSERT_TRUE(DeleteFileA(path.c_str()));
    ASSERT_TRUE(LoadWith(HistoryBytes(20, kTestEpoch + 5)));
    EXPECT_TRUE(view.changed);
    EXPECT_EQ(view.records[0].checkTime, kTestEpoch + 5);
    EXPECT_STREQ(view.title, "server1.week2");
}

} // namespace
