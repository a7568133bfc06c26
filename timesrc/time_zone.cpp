#include "timesrc/time_zone.h"

#include <cstring>

ZoneChoice ChooseZoneName(uint32_t answer, bool isNT) {
    switch (answer) {
    case kZoneAnswerUnknown:
        return {isNT ? kZoneStateStandard : kZoneStateNone, ZoneName::kStandard};
    case kZoneAnswerStandard:
        return {kZoneStateStandard, ZoneName::kStandard};
    case kZoneAnswerDaylight:
        return {kZoneStateDaylight, ZoneName::kDaylight};
    default:
        return {kZoneStateNone, ZoneName::kNone};
    }
}

void StoreZoneName(const char* name, char* field) {
    if (field == nullptr) {
        return;
    }
    std::memset(field, 0, kZoneNameFieldSize);
    const char* text = (name != nullptr && name[0] != '\0') ? name : "unknown";
    const size_t length = std::strlen(text);
    std::memcpy(field, text, length < kZoneNameFieldSize - 1 ? length : kZoneNameFieldSize - 1);
}
