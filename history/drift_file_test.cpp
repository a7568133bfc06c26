#include "history/drift_file.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kMay2024 = 1715000000;

std::vector<uint8_t> FileOf(const std::vector<DriftRecord>& records) {
    std::vector<uint8_t> bytes(records.size() * kDriftRecordSize);
    for (size_t i = 0; i < records.size(); ++i) {
        EncodeDriftRecord(records[i], bytes.data() + i * kDriftRecordSize);
    }
    return bytes;
}

std::vector<DriftRecord> RecordsAt(const std::vector<uint32_t>& times) {
    std::vector<DriftRecord> records;
    for (uint32_t time : times) {
        records.push_back(MakeDriftRecord(static_cast<int32_t>(records.size()), time, 0,
                                          kReasonScheduled, 0, kRoleHorologix, 0));
    }
    return records;
}

// Checks a copy in a heap block of exactly the file's size, so that the sanitizers see any read
// beyond it.
DriftFileCheck Check(const std::vector<uint8_t>& file, std::vector<DriftRecord>* out = nullptr) {
    std::unique_ptr<uint8_t[]> data(new uint8_t[file.size() + 1]);
    std::copy(file.begin(), file.end(), data.get());
    if (out != nullptr) {
        out->assign(file.size() / kDriftRecordSize, DriftRecord{});
    }
    return CheckDriftFile(data.get(), file.size(), out != nullptr ? out->data() : nullptr);
}

TEST(DriftAppendPlan, trims_at_16384_records_keeping_the_newest_8192) {
    struct Case {
        uint64_t size;
        uint64_t whole;
        bool trim;
        uint64_t keepFrom;
    } cases[] = {
        {0, 0, false, 0},
        {16383 * 20, 16383 * 20, false, 0},
        {16384 * 20, 16384 * 20, true, 8192 * 20},
        {16390 * 20, 16390 * 20, true, 8198 * 20}, // grown past the limit by failed trims
    };
    for (const Case& c : cases) {
        const DriftAppendPlan plan = PlanDriftAppend(c.size);
        EXPECT_EQ(plan.wholeBytes, c.whole) << c.size;
        EXPECT_EQ(plan.trim, c.trim) << c.size;
        if (c.trim) {
            EXPECT_EQ(plan.keepFrom, c.keepFrom) << c.size;
        }
    }
}

TEST(DriftAppendPlan, drops_a_torn_last_record_before_anything_else) {
    EXPECT_EQ(PlanDriftAppend(19).wholeBytes, 0u);
    EXPECT_EQ(PlanDriftAppend(5 * 20 + 7).wholeBytes, 100u);
    // A full file with a torn record: the kept records start on a record boundary.
    const DriftAppendPlan full = PlanDriftAppend(16384 * 20 + 13);
    EXPECT_EQ(full.wholeBytes, 16384u * 20);
    EXPECT_TRUE(full.trim);
    EXPECT_EQ(full.keepFrom, 8192u * 20);
    // One byte short of full is not full.
    EXPECT_FALSE(PlanDriftAppend(16384 * 20 - 1).trim);
}

TEST(DriftFileCheck, an_empty_file_is_a_valid_history_without_records) {
    const DriftFileCheck check = Check({});
    EXPECT_TRUE(check.valid);
    EXPECT_EQ(check.count, 0u);
    EXPECT_EQ(check.averageInterval, 0u);
}

TEST(DriftFileCheck, refuses_a_size_between_whole_records) {
    std::vector<uint8_t> file = FileOf(RecordsAt({kMay2024, kMay2024 + 60}));
    EXPECT_TRUE(Check(file).valid);
    file.push_back(0);
    EXPECT_FALSE(Check(file).valid);
    EXPECT_FALSE(Check(std::vector<uint8_t>(19, 0)).valid);
}

TEST(DriftFileCheck, one_bad_mark_or_date_refuses_the_whole_file) {
    std::vector<DriftRecord> records = RecordsAt({kMay2024, kMay2024 + 60, kMay2024 + 120});
    records[1].marker = 35;
    EXPECT_TRUE(Check(FileOf(records)).valid);
    records[1].marker = 0;
    EXPECT_TRUE(Check(FileOf(records)).valid);
    for (uint8_t bad : {uint8_t{42}, uint8_t{30}}) {
        records[2].marker = bad;
        const DriftFileCheck check = Check(FileOf(records));
        EXPECT_FALSE(check.valid) << int{bad};
        EXPECT_EQ(check.firstBadRecord, 2u);
    }
    records[2].marker = kDriftMarkerCurrent;
    records[0].checkTime = 757382400; // 1 January 1994
    const DriftFileCheck check = Check(FileOf(records));
    EXPECT_FALSE(check.valid);
    EXPECT_EQ(check.firstBadRecord, 0u);
}

TEST(DriftFileCheck, decodes_every_record_in_file_order) {
    const std::vector<DriftRecord> records = RecordsAt({kMay2024, kMay2024 + 60, kMay2024 + 90});
    std::vector<DriftRecord> out;
    ASSERT_TRUE(Check(FileOf(records), &out).valid);
    ASSERT_EQ(out.size(), 3u);
    for (size_t i = 0; i < out.size(); ++i) {
        EXPECT_EQ(out[i].checkTime, records[i].checkTime);
        EXPECT_EQ(out[i].varianceMs, records[i].varianceMs);
    }
}

TEST(DriftFileCheck, average_interval_is_the_truncated_mean_gap) {
    EXPECT_EQ(Check(FileOf(RecordsAt({kMay2024}))).averageInterval, 0u);
    EXPECT_EQ(
        Check(FileOf(RecordsAt({kMay2024, kMay2024 + 1800, kMay2024 + 3600}))).averageInterval,
        1800u);
    EXPECT_EQ(Check(FileOf(RecordsAt({kMay2024, kMay2024 + 100, kMay2024 + 201}))).averageInterval,
              100u);
    // Gaps are summed modulo 2^32: a record out of order takes back what the next one adds.
    EXPECT_EQ(Check(FileOf(RecordsAt({kMay2024, kMay2024 + 100, kMay2024 + 50}))).averageInterval,
              25u);
}

TEST(DriftFileCheck, damaged_files_of_any_content_get_an_answer) {
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    for (int round = 0; round < 500; ++round) {
        std::vector<uint8_t> file(random() % 400);
        for (uint8_t& byte : file) {
            byte = static_cast<uint8_t>(random());
        }
        // Mostly plausible records with a few damaged bytes, so both answers occur.
        if (round % 2 == 0 && file.size() >= 20) {
            std::vector<uint32_t> times(file.size() / 20, kMay2024);
            std::vector<uint8_t> good = FileOf(RecordsAt(times));
            good.resize(file.size(), 0);
            good[random() % good.size()] ^= static_cast<uint8_t>(1u << (random() % 8));
            file = good;
        }
        std::vector<DriftRecord> out;
        const DriftFileCheck check = Check(file, &out);
        EXPECT_EQ(check.count, file.size() / 20);
        EXPECT_LE(check.firstBadRecord, check.count);
        EXPECT_EQ(check.valid, check.firstBadRecord == check.count && file.size() % 20 == 0);
    }
}

TEST(DriftFindInBlock, finds_the_first_record_strictly_after_and_ignores_a_partial_one) {
    std::vector<uint8_t> file =
        FileOf(RecordsAt({kMay2024, kMay2024 + 60, kMay2024 + 60, kMay2024 + 120}));
    DriftRecord found{};
    ASSERT_TRUE(FindRecordAfterInBlock(file.data(), file.size(), kMay2024, &found));
    EXPECT_EQ(found.varianceMs, 1); // the first of the two at +60
    EXPECT_FALSE(FindRecordAfterInBlock(file.data(), file.size(), kMay2024 + 120, &found));
    // The last record cut short is not a record.
    EXPECT_FALSE(FindRecordAfterInBlock(file.data(), file.size() - 1, kMay2024 + 60, &found));
}

TEST(DriftFileTitle, the_agents_file_is_named_by_its_whole_path) {
    char title[kDriftTextSize];
    for (const char* path :
         {"C:\\WINDOWS\\system32\\drift.qx", "\\\\SERVER1\\admin$\\system32\\DRIFT.QX",
          "C:\\x\\Drift.Qx", "/srv/logs/drift.qx"}) {
        MakeDriftFileTitle(path, title, sizeof(title));
        EXPECT_STREQ(title, path);
    }
}

TEST(DriftFileTitle, other_files_by_their_name_without_the_last_extension) {
    const std::pair<const char*, const char*> cases[] = {
        {"C:\\logs\\server1.week2.qx", "server1.week2"},
        {"D:/archive/server1.week2.qx", "server1.week2"},
        {"C:\\old.logs\\history", "history"},
        {"C:/mixed\\name.qx", "name"},
        {"drift.qx", "drift"}, // no folder: not told apart from others by its path
        {"plain", "plain"},
        {"C:\\logs\\", ""},
        {"", ""},
    };
    char title[kDriftTextSize];
    for (const auto& [path, expected] : cases) {
        MakeDriftFileTitle(path, title, sizeof(title));
        EXPECT_STREQ(title, expected) << path;
    }
}

TEST(DriftFileTitle, is_cut_to_the_room_given) {
    char title[6];
    MakeDriftFileTitle("C:\\logs\\server1.week2.qx", title, sizeof(title));
    EXPECT_STREQ(title, "serve");
    MakeDriftFileTitle("\\\\SERVER1\\admin$\\system32\\drift.qx", title, sizeof(title));
    EXPECT_STREQ(title, "\\\\SER");
    MakeDriftFileTitle(nullptr, title, sizeof(title));
    EXPECT_STREQ(title, "");
}

} // namespace
