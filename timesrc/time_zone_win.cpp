#include "timesrc/time_zone_win.h"

#include "common/system_identity.h"
#include "timesrc/time_format.h"

#include <windows.h>

#include <cstring>

uint32_t CurrentTimeZoneName(char* field) {
    if (field == nullptr) {
        return kZoneStateNone;
    }
    std::memset(field, 0, kZoneNameFieldSize);
    TIME_ZONE_INFORMATION zone = {};
    const ZoneChoice choice =
        ChooseZoneName(GetTimeZoneInformation(&zone), LocalSystemIdentity().isNT);

    // Convert into an area large enough for any 32-character name in any code page, then cut:
    // converting straight into 31 bytes would fail as a whole on a long name.
    char name[256] = {};
    const WCHAR* wide = nullptr;
    if (choice.name == ZoneName::kStandard) {
        wide = zone.StandardName;
    } else if (choice.name == ZoneName::kDaylight) {
        wide = zone.DaylightName;
    }
    if (wide != nullptr) {
        WCHAR terminated[sizeof(zone.StandardName) / sizeof(WCHAR) + 1] = {};
        std::memcpy(terminated, wide, sizeof(zone.StandardName));
        if (WideCharToMultiByte(CP_ACP, 0, terminated, -1, name, sizeof(name) - 1, nullptr,
                                nullptr) == 0) {
            name[0] = '\0';
        }
    }
    StoreZoneName(name, field);
    return choice.state;
}

bool LocalCalendarTime(uint32_t moment, CalendarTime* out) {
    if (out == nullptr) {
        return false;
    }
    // Our own calendar arithmetic gives the UTC fields; the system applies its zone rules.
    const CalendarTime calendar = UtcCalendarTime(moment);
    SYSTEMTIME utc = {};
    utc.wYear = static_cast<WORD>(calendar.year);
    utc.wMonth = static_cast<WORD>(calendar.month);
    utc.wDay = static_cast<WORD>(calendar.day);
    utc.wDayOfWeek = static_cast<WORD>(calendar.weekday);
    utc.wHour = static_cast<WORD>(calendar.hour);
    utc.wMinute = static_cast<WORD>(calendar.minute);
    utc.wSecond = static_cast<WORD>(calendar.second);
    SYSTEMTIME local;
    if (!SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) {
        return false;
    }
    out->year = local.wYear;
    out->month = local.wMonth;
    out->day = local.wDay;
    out->weekday = local.wDayOfWeek;
    out->hour = local.wHour;
    out->minute = local.wMinute;
    out->second = local.wSecond;
    return true;
}
