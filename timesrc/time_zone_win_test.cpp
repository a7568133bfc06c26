#include "timesrc/time_zone_win.h"

#include "common/system_identity.h"
#include "timesrc/time_format.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace {

class IdentityGuard {
public:
    explicit IdentityGuard(bool isNT) : saved_(LocalSystemIdentity()) {
        SystemIdentity identity = saved_;
        identity.isNT = isNT;
        identity.isWin9x = !isNT;
        SetLocalSystemIdentity(identity);
    }
    ~IdentityGuard() { SetLocalSystemIdentity(saved_); }
    IdentityGuard(const IdentityGuard&) = delete;
    IdentityGuard& operator=(const IdentityGuard&) = delete;

private:
    SystemIdentity saved_;
};

bool ZoneIs(const char* wanted) {
    const char* zone = getenv("TZ");
    return zone != nullptr && strcmp(zone, wanted) == 0;
}

} // namespace

TEST(CurrentTimeZoneName, zone_without_daylight_rules_is_standard_time_on_nt_only) {
    const char* zone = getenv("TZ");
    if (zone != nullptr && zone[0] != '\0' && strcmp(zone, "UTC") != 0) {
        GTEST_SKIP() << "runs in the bench's default zone (TZ unset or UTC), not TZ=" << zone;
    }
    char field[kZoneNameFieldSize + 1];
    memset(field, 'x', sizeof(field));
    {
        IdentityGuard nt(true);
        EXPECT_EQ(CurrentTimeZoneName(field), kZoneStateStandard);
    }
    EXPECT_STREQ(field, "Greenwich Standard Time");
    EXPECT_EQ(field[kZoneNameFieldSize], 'x');
    {
        IdentityGuard win9x(false);
        EXPECT_EQ(CurrentTimeZoneName(field), kZoneStateNone);
    }
    EXPECT_STREQ(field, "Greenwich Standard Time");

    // In that zone local stamps read as UTC ones without the suffix.
    EXPECT_STREQ(FormatTimestamp(315626635, true), "Wed 02 Jan 1980 02:03:55");
    EXPECT_STREQ(FormatTimestamp(4294967295u, true), "Sun 07 Feb 2106 06:28:15");
}

// Wine takes each process's zone from its TZ when Wine starts it (a TZ that a Windows parent
// sets does not reach its child), so CTest also runs this case with TZ=America/New_York.
TEST(EasternZone, reports_eastern_time_and_converts_with_its_rules) {
    if (!ZoneIs("America/New_York")) {
        GTEST_SKIP() << "runs with TZ=America/New_York (its own CTest entry)";
    }
    IdentityGuard nt(true);
    char field[kZoneNameFieldSize];
    const uint32_t state = CurrentTimeZoneName(field);
    if (state == kZoneStateDaylight) {
        EXPECT_STREQ(field, "Eastern Daylight Time");
    } else {
        EXPECT_EQ(state, kZoneStateStandard);
        EXPECT_STREQ(field, "Eastern Standard Time");
    }
    // Local stamps use the zone's rules for the moment shown: EST in November, EDT in July.
    EXPECT_STREQ(FormatTimestamp(1700000000, true), "Tue 14 Nov 2023 17:13:20");
    EXPECT_STREQ(FormatTimestamp(1690000000, true), "Sat 22 Jul 2023 00:26:40");
    EXPECT_STREQ(FormatTimestamp(1690000000, false), "Sat 22 Jul 2023 04:26:40 UTC");
}
