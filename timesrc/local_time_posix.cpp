// The host build's local time: the C library's time-zone rules (TZ and the zone database).
#include "timesrc/time_format.h"

#include <ctime>

bool LocalCalendarTime(uint32_t moment, CalendarTime* out) {
    if (out == nullptr) {
        return false;
    }
    const time_t seconds = static_cast<time_t>(moment);
    struct tm local = {};
    if (localtime_r(&seconds, &local) == nullptr) {
        return false;
    }
    out->year = static_cast<int64_t>(local.tm_year) + 1900;
    out->month = local.tm_mon + 1;
    out->day = local.tm_mday;
    out->weekday = local.tm_wday;
    out->hour = local.tm_hour;
    out->minute = local.tm_min;
    out->second = local.tm_sec;
    return true;
}
