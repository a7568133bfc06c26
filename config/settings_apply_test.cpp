#include "config/settings_apply.h"
#include "config/settings_changes.h"

#include <gtest/gtest.h>

namespace {

TEST(ApplySteps, start_type_goes_to_the_service_manager_only_when_changed_and_valid) {
    SettingsRecord record{};
    uint32_t startType = 0;
    record.serviceStart = 3;
    EXPECT_FALSE(StartTypeToApply(record, 0, &startType)); // not changed by the user
    EXPECT_TRUE(StartTypeToApply(record, kValueServiceStart, &startType));
    EXPECT_EQ(startType, 3u);
    for (uint32_t odd : {0u, 1u, 5u}) {
        record.serviceStart = odd;
        EXPECT_FALSE(StartTypeToApply(record, kValueServiceStart, &startType)) << odd;
    }
}

TEST(ApplySteps, the_port_is_taken_from_the_family_server_only_when_serving_beside_it) {
    SettingsRecord record{};
    record.ntpServerEnabled = 1;
    EXPECT_TRUE(NtpHandOverPossible(record, kFamilyServer));
    EXPECT_FALSE(NtpHandOverPossible(record, kFamilyNone));
    record.ntpServerEnabled = 0;
    EXPECT_FALSE(NtpHandOverPossible(record, kFamilyServer));
    EXPECT_EQ(ServiceNoticeFor(true), ServiceNotice::kParameterChange);
    EXPECT_EQ(ServiceNoticeFor(false), ServiceNotice::kRestart);
}

} // namespace
