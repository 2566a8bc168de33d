// The clock: the current date and time of day, local (with the zone's offset) or UTC.
#pragma once
#include <cstdint>

namespace zel::platform {

// One reading of the clock, so that the date, the time and the zone belong together.
struct ClockReading {
    int32_t year;
    int32_t month;          // 1-12
    int32_t day;            // 1-31
    double seconds;         // time of day (local, or UTC with utc), with the fraction when precise
    int32_t zone_minutes;   // offset east of UTC, rounded to the nearest quarter hour; 0 with utc
};

// Reads the clock. precise keeps the fraction of the second (to 100 ns), otherwise whole
// seconds.
ClockReading read_clock(bool utc, bool precise);

// `platform/local-date-now`: the current date packed as year << 17 | month << 12 | day << 7 |
// zone, the zone being ((sign << 4) | hours) << 2 | quarter hours (sign 1 west of UTC).
uint32_t local_date_now(bool utc);

// `platform/utc-time-now`: the UTC time of day in seconds, with the fraction when precise.
double utc_time_now(bool precise);

// Packs a zone offset in minutes (east positive) into the 7-bit zone of the date word;
// offsets of 16 hours or more are clamped to 15:45.
uint32_t pack_zone_minutes(int32_t minutes);

}  // namespace zel::platform
