#include "timesrc/time_zone.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(ChooseZoneName, maps_each_system_answer_to_state_and_name) {
    struct Case {
        uint32_t answer;
        bool isNT;
        uint32_t state;
        ZoneName name;
    } const cases[] = {
        // A zone without daylight-saving rules is standard time only on the NT platform.
        {kZoneAnswerUnknown, true, kZoneStateStandard, ZoneName::kStandard},
        {kZoneAnswerUnknown, false, kZoneStateNone, ZoneName::kStandard},
        {kZoneAnswerStandard, true, kZoneStateStandard, ZoneName::kStandard},
        {kZoneAnswerStandard, false, kZoneStateStandard, ZoneName::kStandard},
        {kZoneAnswerDaylight, true, kZoneStateDaylight, ZoneName::kDaylight},
        {kZoneAnswerFailed, true, kZoneStateNone, ZoneName::kNone},
        {7, true, kZoneStateNone, ZoneName::kNone},
    };
    for (const Case& c : cases) {
        const ZoneChoice choice = ChooseZoneName(c.answer, c.isNT);
        EXPECT_EQ(choice.state, c.state) << c.answer << " " << c.isNT;
        EXPECT_EQ(choice.name, c.name) << c.answer << " " << c.isNT;
    }
}

TEST(StoreZoneName, fills_the_field_cuts_at_31_bytes_and_names_a_missing_zone_unknown) {
    char field[kZoneNameFieldSize + 1];
    memset(field, 'x', sizeof(field));
    StoreZoneName("Eastern Standard Time", field);
    EXPECT_STREQ(field, "Eastern Standard Time");
    for (size_t i = strlen(field); i < kZoneNameFieldSize; ++i) {
        EXPECT_EQ(field[i], '\0') << i;
    }
    EXPECT_EQ(field[kZoneNameFieldSize], 'x'); // nothing written past the field

    StoreZoneName("Central Pacific Islands Standard Time Zone", field);
    EXPECT_EQ(strlen(field), kZoneNameFieldSize - 1);
    EXPECT_EQ(strncmp(field, "Central Pacific Islands Standar", kZoneNameFieldSize - 1), 0);

    StoreZoneName("", field);
    EXPECT_STREQ(field, "unknown");
    StoreZoneName(nullptr, field);
    EXPECT_STREQ(field, "unknown");
}
