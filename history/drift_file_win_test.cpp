#include "history/drift_file_win.h"

#include <winsock2.h>
#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "history/drift_test_util_win.h"

namespace {

class DriftFileTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    void TearDown() override { CloseDriftFile(); }

    void OpenWith(const std::vector<uint8_t>& bytes) {
        ASSERT_TRUE(WriteWholeFile(path, bytes));
        ASSERT_TRUE(OpenDriftFileAt(path.c_str())) << GetLastError();
    }
    void Append(uint32_t index, uint32_t checkTime) {
        AppendDriftRecord(static_cast<int32_t>(index), checkTime, 0, kReasonSyncCheck, "127.0.0.1",
                          kRoleHorologix);
    }
    std::vector<uint8_t> Stored() const { return ReadWholeFile(path); }

    ScratchFolder folder;
    std::string path = folder.File("drift.qx");
};

std::vector<uint8_t> Slice(const std::vector<uint8_t>& bytes, size_t fromRecord, size_t toRecord) {
    return std::vector<uint8_t>(bytes.begin() + fromRecord * kDriftRecordSize,
                                bytes.begin() + toRecord * kDriftRecordSize);
}

int64_t SystemPhaseAdjust() {
    DWORD adjustment = 0, increment = 0;
    BOOL disabled = FALSE;
    if (!GetSystemTimeAdjustment(&adjustment, &increment, &disabled)) {
        return 0;
    }
    return static_cast<int64_t>(adjustment) - static_cast<int64_t>(increment);
}

// --- Size policy ---------------------------------------------------------------------------

TEST_F(DriftFileTest, append_to_16384_records_leaves_the_newest_8192_then_the_new_one) {
    const std::vector<uint8_t> old = HistoryBytes(16384);
    OpenWith(old);
    const uint32_t newTime = kTestEpoch + 60 * 16384;
    Append(99999, newTime);

    const std::vector<uint8_t> stored = Stored();
    ASSERT_EQ(stored.size(), 8193u * kDriftRecordSize);
    EXPECT_TRUE(Slice(stored, 0, 8192) == Slice(old, 8192, 16384));
    EXPECT_EQ(RecordAt(stored, 8192).checkTime, newTime);
    EXPECT_EQ(RecordAt(stored, 8192).varianceMs, 99999);
}

TEST_F(DriftFileTest, file_grows_to_16384_records_and_the_next_append_trims) {
    const std::vector<uint8_t> old = HistoryBytes(16383);
    OpenWith(old);
    Append(1, kTestEpoch + 60 * 16383);
    std::vector<uint8_t> stored = Stored();
    ASSERT_EQ(stored.size(), 16384u * kDriftRecordSize);
    EXPECT_TRUE(Slice(stored, 0, 16383) == old);

    Append(2, kTestEpoch + 60 * 16384);
    const std::vector<uint8_t> full = stored;
    stored = Stored();
    ASSERT_EQ(stored.size(), 8193u * kDriftRecordSize);
    EXPECT_TRUE(Slice(stored, 0, 8192) == Slice(full, 8192, 16384));
    EXPECT_EQ(RecordAt(stored, 8191).varianceMs, 1);
    EXPECT_EQ(RecordAt(stored, 8192).varianceMs, 2);
}

TEST_F(DriftFileTest, a_torn_last_record_is_dropped_by_the_next_append) {
    std::vector<uint8_t> old = HistoryBytes(5);
    std::vector<uint8_t> torn = old;
    torn.insert(torn.end(), {0x29, 0x0F, 0, 0, 0, 0, 0}); // 7 bytes of a record
    OpenWith(torn);
    Append(7, kTestEpoch + 600);

    const std::vector<uint8_t> stored = Stored();
    ASSERT_EQ(stored.size(), 6u * kDriftRecordSize);
    EXPECT_TRUE(Slice(stored, 0, 5) == old);
    EXPECT_EQ(RecordAt(stored, 5).varianceMs, 7);
    EXPECT_EQ(RecordAt(stored, 5).checkTime, kTestEpoch + 600);
}

TEST_F(DriftFileTest, a_torn_full_file_is_trimmed_on_record_boundaries) {
    const std::vector<uint8_t> old = HistoryBytes(16384);
    std::vector<uint8_t> torn = old;
    torn.resize(torn.size() + 13, 0xAB);
    OpenWith(torn);
    Append(5, kTestEpoch + 60 * 16384);

    const std::vector<uint8_t> stored = Stored();
    ASSERT_EQ(stored.size(), 8193u * kDriftRecordSize);
    EXPECT_TRUE(Slice(stored, 0, 8192) == Slice(old, 8192, 16384));
    EXPECT_EQ(RecordAt(stored, 8192).varianceMs, 5);
}

// --- The stored record ---------------------------------------------------------------------

TEST_F(DriftFileTest, stores_the_check_byte_for_byte) {
    OpenWith({});
    AppendDriftRecord(-1500, 0x65D59F80, 1, kReasonStartup, "10.1.2.3", kRoleHorologix);

    const uint32_t phase = static_cast<uint32_t>(SystemPhaseAdjust());
    const uint8_t phase0 = static_cast<uint8_t>(phase);
    const uint8_t phase1 = static_cast<uint8_t>(phase >> 8);
    const uint8_t phase2 = static_cast<uint8_t>(phase >> 16);
    const std::vector<uint8_t> expected = {
        0x29,                         // marker 41
        0x0F,                         // role 7, corrected
        phase0, phase1, phase2,       // the system's adjustment minus increment
        0x00,   0x00,                 // reserved
        0xFF,                         // reason: startup
        0x80,   0x9F,   0xD5,   0x65, // check time
        0x24,   0xFA,   0xFF,   0xFF, // -1500 ms
        10,     1,      2,      3,    // source
    };
    EXPECT_EQ(Stored(), expected);
}

TEST_F(DriftFileTest, source_names_are_stored_as_addresses) {
    OpenWith({});
    const struct {
        const char* name;
        uint32_t address; // network byte order
    } cases[] = {
        {"Averaged Time", 0},
        {"AVERAGED time", 0},
        {"no-such-host.invalid", 0xFFFFFFFF},
        {"", 0xFFFFFFFF},
        {nullptr, 0xFFFFFFFF},
        {"localhost", 0x0100007F},
        {"192.168.7.9", 0x0907A8C0},
    };
    for (const auto& c : cases) {
        AppendDriftRecord(0, kTestEpoch, 0, kReasonScheduled, c.name, kRoleHorologix);
    }
    const std::vector<uint8_t> stored = Stored();
    ASSERT_EQ(stored.size(), std::size(cases) * kDriftRecordSize);
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(RecordAt(stored, i).sourceAddress, cases[i].address)
            << (cases[i].name ? cases[i].name : "(null)");
    }
}

// --- Search, clear, closed file ------------------------------------------------------------

// The oldest record after `after` as a read of 20 bytes at a time finds it, stopping at the
// first short read.
bool ScanRecordByRecord(const std::vector<uint8_t>& bytes, uint32_t after, DriftRecord* record) {
    for (size_t at = 0; at + kDriftRecordSize <= bytes.size(); at += kDriftRecordSize) {
        DriftRecord candidate;
        DecodeDriftRecord(bytes.data() + at, &candidate);
        if (candidate.checkTime > after) {
            *record = candidate;
            return true;
        }
    }
    *record = DriftRecord{};
    return false;
}

TEST_F(DriftFileTest, find_answers_as_a_record_by_record_scan_on_random_files) {
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    for (int round = 0; round < 40; ++round) {
        // Up to three of the search's blocks and a bit, now and then with a torn tail.
        const size_t records = random() % 3200;
        std::vector<uint8_t> bytes(records * kDriftRecordSize +
                                   (round % 3 == 0 ? random() % 20 : 0));
        uint32_t time = kTestEpoch;
        for (size_t i = 0; i < records; ++i) {
            // Mostly ascending with repeats; now and then out of order.
            time = random() % 10 == 0 ? kTestEpoch + random() % 100000 : time + random() % 3;
            EncodeDriftRecord(TestRecord(static_cast<uint32_t>(i), time),
                              bytes.data() + i * kDriftRecordSize);
        }
        for (size_t i = records * kDriftRecordSize; i < bytes.size(); ++i) {
            bytes[i] = static_cast<uint8_t>(random());
        }
        CloseDriftFile();
        OpenWith(bytes);

        std::vector<uint32_t> afters = {0, kTestEpoch - 1, kTestEpoch, 0xFFFFFFFF};
        for (int k = 0; k < 20 && records > 0; ++k) {
            const uint32_t t = RecordAt(bytes, random() % records).checkTime;
            afters.insert(afters.end(), {t - 1, t, t + 1});
        }
        for (uint32_t after : afters) {
            DriftRecord expected, found;
            const bool expectedFound = ScanRecordByRecord(bytes, after, &expected);
            ASSERT_EQ(FindDriftRecordAfter(after, &found), expectedFound)
                << "round " << round << ", " << bytes.size() << " bytes, after " << after;
            uint8_t a[kDriftRecordSize], b[kDriftRecordSize];
            EncodeDriftRecord(expected, a);
            EncodeDriftRecord(found, b);
            ASSERT_TRUE(std::equal(a, a + kDriftRecordSize, b)) << "after " << after;
        }
    }
}

TEST_F(DriftFileTest, find_after_the_newest_time_gives_false_and_a_zero_record) {
    OpenWith(HistoryBytes(10));
    DriftRecord found;
    ASSERT_TRUE(FindDriftRecordAfter(kTestEpoch + 60 * 8, &found));
    EXPECT_EQ(found.checkTime, kTestEpoch + 60 * 9);

    std::memset(&found, 0xCC, sizeof(found));
    EXPECT_FALSE(FindDriftRecordAfter(kTestEpoch + 60 * 9, &found));
    uint8_t bytes[kDriftRecordSize];
    EncodeDriftRecord(found, bytes);
    EXPECT_TRUE(std::all_of(bytes, bytes + kDriftRecordSize, [](uint8_t b) { return b == 0; }));
}

TEST_F(DriftFileTest, clear_empties_the_file_and_appends_start_again) {
    OpenWith(HistoryBytes(50));
    ClearDriftFile();
    EXPECT_TRUE(Stored().empty());
    DriftRecord found;
    EXPECT_FALSE(FindDriftRecordAfter(0, &found));
    Append(3, kTestEpoch);
    EXPECT_EQ(Stored().size(), kDriftRecordSize);
}

TEST_F(DriftFileTest, nothing_happens_without_an_open_file) {
    const std::vector<uint8_t> old = HistoryBytes(3);
    OpenWith(old);
    CloseDriftFile();
    Append(1, kTestEpoch);
    ClearDriftFile();
    DriftRecord found;
    EXPECT_FALSE(FindDriftRecordAfter(0, &found));
    EXPECT_EQ(found.checkTime, 0u);
    EXPECT_EQ(Stored(), old);
    CloseDriftFile(); // twice is harmless
}

// --- Opening -------------------------------------------------------------------------------

TEST_F(DriftFileTest, open_creates_a_missing_file_and_keeps_the_first_file_open) {
    ASSERT_FALSE(FileExists(path));
    ASSERT_TRUE(OpenDriftFileAt(path.c_str()));
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_TRUE(FileExists(path));

    const std::string other = folder.File("other.qx");
    EXPECT_TRUE(OpenDriftFileAt(other.c_str()));
    Append(1, kTestEpoch);
    EXPECT_EQ(Stored().size(), kDriftRecordSize);
    EXPECT_FALSE(FileExists(other));
}

TEST_F(DriftFileTest, open_in_a_missing_folder_fails_with_the_systems_error) {
    const std::string missing = folder.File("no-folder\\drift.qx");
    EXPECT_FALSE(OpenDriftFileAt(missing.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

std::string g_machinesRoot;

bool FolderUnderScratch(const char* machine, char* folder, size_t size) {
    const int length = std::snprintf(folder, size, "%s\\%s\\", g_machinesRoot.c_str(), machine);
    return length > 0 && static_cast<size_t>(length) < size;
}

TEST_F(DriftFileTest, another_machines_file_is_opened_in_its_system_folder) {
    g_machinesRoot = folder.path();
    ASSERT_TRUE(CreateDirectoryA(folder.File("SERVER1").c_str(), nullptr));
    const MachineFolderResolver previous = SetMachineFolderResolver(FolderUnderScratch);
    ASSERT_TRUE(OpenDriftFile("SERVER1")) << GetLastError();
    SetMachineFolderResolver(previous);

    Append(4, kTestEpoch);
    EXPECT_EQ(ReadWholeFile(folder.File("SERVER1\\drift.qx")).size(), kDriftRecordSize);
}

TEST(DriftFilePath, this_machine_in_its_system_folder_others_through_their_share) {
    char system[MAX_PATH];
    ASSERT_GT(GetSystemDirectoryA(system, sizeof(system)), 0u);
    const std::string local = std::string(system) + "\\drift.qx";
    char path[MAX_PATH + 16];
    ASSERT_TRUE(DriftFilePath(nullptr, path, sizeof(path)));
    EXPECT_EQ(path, local);
    ASSERT_TRUE(DriftFilePath("", path, sizeof(path)));
    EXPECT_EQ(path, local);
    ASSERT_TRUE(DriftFilePath("SERVER1", path, sizeof(path)));
    EXPECT_STREQ(path, "\\\\SERVER1\\admin$\\system32\\drift.qx");

    char small[20];
    EXPECT_FALSE(DriftFilePath("SERVER1", small, sizeof(small)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
}

TEST(DriftFilePath, an_unreachable_share_fails_to_open) {
    // Wine has no file sharing: every share fails here, as an unreachable machine does.
    EXPECT_FALSE(OpenDriftFile("NO-SUCH-MACHINE"));
    EXPECT_NE(GetLastError(), 0u);
    CloseDriftFile();
}

// --- Access rights -------------------------------------------------------------------------

std::string SidText(PSID sid) {
    char* text = nullptr;
    if (!ConvertSidToStringSidA(sid, &text)) {
        return "?";
    }
    std::string result = text;
    LocalFree(text);
    return result;
}

TEST(DriftFileSecurity, each_principal_gets_an_inherited_and_a_direct_entry_in_order) {
    UniqueLocal memory(BuildDriftFileAcl());
    ASSERT_TRUE(memory);
    const PACL acl = static_cast<PACL>(memory.get());
    EXPECT_EQ(acl->AclRevision, ACL_REVISION);
    ACL_SIZE_INFORMATION info{};
    ASSERT_TRUE(GetAclInformation(acl, &info, sizeof(info), AclSizeInformation));
    ASSERT_EQ(info.AceCount, 10u);

    const struct {
        const char* sid;
        DWORD inherited;
        DWORD direct;
    } expected[] = {
        {"S-1-1-0", 0x001200A9, GENERIC_READ | GENERIC_EXECUTE},
        {"S-1-5-32-544", GENERIC_ALL, GENERIC_ALL},
        {"S-1-5-18", GENERIC_ALL, GENERIC_ALL},
        {"S-1-5-19", GENERIC_ALL, GENERIC_ALL},
        {"S-1-5-20", GENERIC_ALL, GENERIC_ALL},
    };
    for (DWORD i = 0; i < info.AceCount; ++i) {
        void* entry = nullptr;
        ASSERT_TRUE(GetAce(acl, i, &entry));
        const auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
        const auto& want = expected[i / 2];
        const bool inherited = i % 2 == 0;
        EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE) << i;
        EXPECT_EQ(ace->Header.AceFlags,
                  inherited ? (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE) : 0)
            << i;
        EXPECT_EQ(ace->Mask, inherited ? want.inherited : want.direct) << i;
        EXPECT_EQ(SidText(const_cast<DWORD*>(&ace->SidStart)), want.sid) << i;
    }
}

TEST_F(DriftFileTest, securing_creates_a_missing_file) {
    // Wine accepts the list but does not keep it: only the answer and the file can be checked.
    SetLastError(123);
    EXPECT_TRUE(SecureDriftFile(path.c_str()));
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_TRUE(FileExists(path));
    EXPECT_TRUE(Stored().empty());

    EXPECT_FALSE(SecureDriftFile(folder.File("no-folder\\drift.qx").c_str()));
    EXPECT_NE(GetLastError(), 0u);
}

// --- Concurrency ---------------------------------------------------------------------------

TEST_F(DriftFileTest, appends_and_searches_from_several_threads_are_serialized) {
    OpenWith({});
    constexpr int kThreads = 3;
    constexpr int kEach = 150;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kEach; ++i) {
                AppendDriftRecord(t * 1000 + i, kTestEpoch + i, 0, kReasonSyncCheck, "10.0.0.1",
                                  kRoleHorologix);
            }
        });
    }
    std::thread searcher([] {
        for (int i = 0; i < 100; ++i) {
            DriftRecord found;
            FindDriftRecordAfter(kTestEpoch + kEach / 2, &found);
        }
    });
    for (std::thread& thread : threads) {
        thread.join();
    }
    searcher.join();

    const std::vector<uint8_t> stored = Stored();
    ASSERT_EQ(stored.size(), size_t{kThreads * kEach} * kDriftRecordSize);
    std::set<int32_t> variances;
    for (size_t i = 0; i < kThreads * kEach; ++i) {
        const DriftRecord record = RecordAt(stored, i);
        EXPECT_EQ(record.marker, kDriftMarkerCurrent) << i;
        variances.insert(record.varianceMs);
    }
    EXPECT_EQ(variances.size(), size_t{kThreads * kEach});
}

std::string ProbePath() {
    char own[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, own, sizeof(own));
    std::string path(own, length);
    return path.substr(0, path.find_last_of('\\') + 1) + "..\\bench\\drift_reader_probe.exe";
}

TEST_F(DriftFileTest, a_reader_in_another_process_loads_every_state_while_appends_trim) {
    // 84 appends fill the file; the 85th trims it; the rest grow it again.
    OpenWith(HistoryBytes(16300));
    const std::string tag =
        std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount());
    const std::string readyName = "Local\\hxdrift-ready-" + tag;
    const std::string stopName = "Local\\hxdrift-stop-" + tag;
    UniqueKernelHandle ready(CreateEventA(nullptr, TRUE, FALSE, readyName.c_str()));
    UniqueKernelHandle stop(CreateEventA(nullptr, TRUE, FALSE, stopName.c_str()));
    ASSERT_TRUE(ready && stop);

    std::string command = "\"" + ProbePath() + "\" \"" + path + "\" " + readyName + " " + stopName;
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                               &startup, &process))
        << GetLastError();
    UniqueKernelHandle processHandle(process.hProcess);
    UniqueKernelHandle threadHandle(process.hThread);
    ASSERT_EQ(WaitForSingleObject(ready.get(), 30000), WAIT_OBJECT_0);

    for (uint32_t i = 0; i < 300; ++i) {
        Append(i, kTestEpoch + 60 * (16300 + i));
        if (i % 4 == 0) {
            Sleep(1);
        }
    }
    SetEvent(stop.get());
    ASSERT_EQ(WaitForSingleObject(processHandle.get(), 60000), WAIT_OBJECT_0);
    DWORD exitCode = 99;
    GetExitCodeProcess(processHandle.get(), &exitCode);
    EXPECT_EQ(exitCode, 0u) << "see the probe's line above";

    const std::vector<uint8_t> stored = Stored();
    ASSERT_EQ(stored.size(), (8192u + 300 - 84) * kDriftRecordSize);
    EXPECT_EQ(RecordAt(stored, 8192 + 300 - 84 - 1).varianceMs, 299);
}

} // namespace
