// The clock on POSIX: clock_gettime for the instant, localtime_r/gmtime_r for the calendar
// and tm_gmtoff for the zone (see clock.h).
#include "platform/clock.h"

#include <ctime>

namespace zel::platform {

namespace {

// Rounds an offset in seconds to the nearest quarter hour (historic zones are not multiples
// of 15 minutes), in minutes.
int32_t quarter_minutes(long offset_seconds) {
    long q = offset_seconds >= 0 ? (offset_seconds + 450) / 900 : -((-offset_seconds + 450) / 900);
    return int32_t(q * 15);
}

}  // namespace

uint32_t pack_zone_minutes(int32_t minutes) {
    uint32_t sign = minutes < 0 ? 1 : 0;
    uint32_t m = uint32_t(minutes < 0 ? -minutes : minutes);
    if (m > 15 * 60 + 45) m = 15 * 60 + 45;
    return ((sign << 4 | (m / 60)) << 2) | ((m % 60) / 15);
}

ClockReading read_clock(bool utc, bool precise) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    time_t t = ts.tv_sec;
    tm parts{};
    if (utc) gmtime_r(&t, &parts);
    else localtime_r(&t, &parts);
    ClockReading r;
    r.year = parts.tm_year + 1900;
    r.month = parts.tm_mon + 1;
    r.day = parts.tm_mday;
    // A leap second (tm_sec 60) counts as the last second of the minute.
    int sec = parts.tm_sec > 59 ? 59 : parts.tm_sec;
    r.seconds = parts.tm_hour * 3600.0 + parts.tm_min * 60.0 + sec;
    if (precise) r.seconds += double(ts.tv_nsec / 100) / 1e7;
    r.zone_minutes = utc ? 0 : quarter_minutes(parts.tm_gmtoff);
    return r;
}

uint32_t local_date_now(bool utc) {
    ClockReading r = read_clock(utc, false);
    return uint32_t(r.year) << 17 | uint32_t(r.month) << 12 | uint32_t(r.day) << 7 |
           pack_zone_minutes(r.zone_minutes);
}

double utc_time_now(bool precise) { return read_clock(true, precise).seconds; }

}  // namespace zel::platform
