#include "history/drift_file_win.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "history/drift_test_util_win.h"

namespace {

// The agent opens its file with no machine name: drift.qx in the system folder. Whatever the
// prefix held there before is put back afterwards.
TEST(DriftSystemFile, the_agent_appends_to_drift_qx_in_the_system_folder) {
    char system[MAX_PATH];
    ASSERT_GT(GetSystemDirectoryA(system, sizeof(system)), 0u);
    const std::string path = std::string(system) + "\\drift.qx";
    const bool existed = FileExists(path);
    const std::vector<uint8_t> before = ReadWholeFile(path);
    ScopeExit restore([&] {
        CloseDriftFile();
        if (existed) {
            WriteWholeFile(path, before);
        } else {
            DeleteFileA(path.c_str());
        }
    });

    ASSERT_TRUE(OpenDriftFile(nullptr)) << GetLastError();
    AppendDriftRecord(-250, kTestEpoch, 1, kReasonStartup, "Averaged Time", kRoleHorologix);
    CloseDriftFile();

    const std::vector<uint8_t> after = ReadWholeFile(path);
    const size_t whole = before.size() - before.size() % kDriftRecordSize;
    ASSERT_EQ(after.size(), whole + kDriftRecordSize);
    const DriftRecord last = RecordAt(after, after.size() / kDriftRecordSize - 1);
    EXPECT_EQ(last.varianceMs, -250);
    EXPECT_EQ(last.reason, kReasonStartup);
    EXPECT_EQ(last.sourceAddress, 0u);
}

} // namespace
