// date!: a calendar date with an optional time of day and an optional time zone, wholly
// inside its cell.
//
//   word 1      the packed date word (word_of), most significant bit first:
//                 bits 17-31  year, signed 15 bits (-16384..16383)
//                 bit  16     has-time flag
//                 bits 12-15  month 1-12
//                 bits 7-11   day 1-31
//                 bits 0-6    zone: bit 6 sign (1 = west of UTC), bits 2-5 hours 0-15,
//                             bits 0-1 quarter hours; 0 is UTC and is not printed
//   words 2-3   seconds (double; seconds_of)
//
// The date word always holds the local calendar date. The seconds hold the time of day in
// UTC counted from that local date's midnight: local time = seconds + zone offset, kept in
// [0, 86400) by the zone carry, so the stored seconds may be negative or above one day when
// the zone is not 0. Without the has-time flag the seconds are 0.
//
// Calendar arithmetic runs on a day count of the proleptic Gregorian calendar whose day 0 is
// 1 March of year 0 (floor division throughout, so years before 0 follow the same leap-year
// rule). Every result is checked against the packed year range: leaving it raises
// script/type-limit with date!; a zone of 16 hours or more raises script/out-of-range.
//
// Nothing here evaluates Zel code except the path set, which writes the changed date back
// into its holder (which may run a change handler).
#pragma once
#include <cstdint>

#include "core/cell.h"

namespace zel::date {

constexpr uint32_t HAS_TIME = 1u << 16;
constexpr uint32_t ZONE_MASK = 0x7F;
constexpr uint32_t ZONE_WEST = 0x40;
constexpr int32_t YEAR_MIN = -16384;
constexpr int32_t YEAR_MAX = 16383;
constexpr double SECONDS_PER_DAY = 86400.0;

// ---- the packed word ----
inline int32_t year_of(uint32_t w) { return int32_t(w) >> 17; }
inline int32_t month_of(uint32_t w) { return int32_t((w >> 12) & 0xF); }
inline int32_t day_of(uint32_t w) { return int32_t((w >> 7) & 0x1F); }
inline uint32_t zone_of(uint32_t w) { return w & ZONE_MASK; }
inline bool has_time(uint32_t w) { return (w & HAS_TIME) != 0; }
// The zone's offset from UTC in seconds (negative west of UTC).
int32_t zone_seconds(uint32_t zone);
// Packs a zone; raises script/out-of-range (with the hours) when |hours| >= 16 and with the
// minutes when they lie outside 0-59. west gives the sign (so that -0:45 keeps it).
uint32_t pack_zone(int32_t hours, int32_t minutes, bool west);
// Packs a date word; raises script/type-limit with date! when the year is out of range.
uint32_t pack(int64_t year, int32_t month, int32_t day, uint32_t zone, bool has_time);

// ---- the cell ----
inline uint32_t word_of(const Cell* c) { return data_word(c, 0); }
inline void set_word_of(Cell* c, uint32_t w) { set_data_word(c, 0, w); }
inline void set_seconds(Cell* c, double seconds) { set_float_value(c, seconds); }
// The seconds of both cells have the same 64 bits.
inline bool same_seconds(const Cell* a, const Cell* b) {
    return data_word(a, 1) == data_word(b, 1) && data_word(a, 2) == data_word(b, 2);
}
inline double seconds_of(const Cell* c) { return float_value(c); }
inline void set_cell(Cell* c, uint32_t word, double seconds) {
    set_float_bits(c, TYPE_DATE, seconds);
    set_word_of(c, word);
}

// ---- calendar ----
// `date/leap-year`.
bool leap_year(int64_t year);
// The day count of (year, month 1-12, day); a day of 0 is the last day of the previous
// month, larger days roll into later months.
int64_t day_count(int64_t year, int32_t month, int64_t day);
// The day count of a date word.
int64_t day_count_of(uint32_t w);
// The calendar date of a day count.
struct Ymd {
    int64_t year;
    int32_t month, day;
};
Ymd from_day_count(int64_t n);
// A date word from a day count, with the zone and has-time given; raises type-limit.
uint32_t word_from_day_count(int64_t n, uint32_t zone, bool has_time);
// Weekday of a day count: 1 Monday .. 7 Sunday.
int32_t weekday_of(int64_t n);
// `date/year-day`: 1 for 1 January.
int32_t year_day(uint32_t w);
// The week number (weeks start on Sunday, week 1 holds 1 January) and the ISO 8601 week.
int32_t week_of(uint32_t w);
int32_t iso_week_of(uint32_t w);

// ---- constructors ----
// `date/write-cell`: has-time set takes the seconds as local time and stores them minus the
// zone offset (no day carry); without it the seconds are 0. Raises type-limit/out-of-range.
void write_cell(Cell* c, int64_t year, int32_t month, int32_t day, double seconds, int32_t zone_hours,
                int32_t zone_minutes, bool has_time);
// `date/write-cell-hmsn`: has-time, zone 0, 3600 h + 60 m + s + 1e-9 n seconds.
void write_cell_hmsn(Cell* c, int64_t year, int32_t month, int32_t day, int32_t hours, int32_t minutes,
                     int32_t seconds, int32_t nanoseconds);
Cell* push(uint32_t word, double seconds);
Cell* append_new(uint32_t block_node, uint32_t word, double seconds);

// ---- shared routines ----
// `date/carry-zone-days`: moves whole days between the seconds and the day count so that the
// local time (seconds + zone) lies in [0, 86400). Raises type-limit for non-finite seconds or
// a count that leaves the date range.
struct Carried {
    int64_t days;
    double seconds;
};
Carried carry_zone_days(int64_t days, double seconds, uint32_t zone);
// `date/normalize`: with to_utc the seconds are local and lose the zone offset first; then
// the carry, and the cell gets the new date word (zone and has-time kept) and seconds.
void normalize(Cell* c, double seconds, bool to_utc);
// `date/set-month`: month m with the year carried (13 is January of the next year, 0
// December of the previous one); the day is kept and the date rebuilt from its day count.
void set_month(Cell* c, int64_t m);
// The day setters of the path rules and of the lexer's week and ordinal forms.
void set_week(Cell* c, int64_t n);      // the ISO week rule: the Monday of week n
void set_weekday(Cell* c, int64_t n);   // day n of the same Monday-started week
void set_yearday(Cell* c, int64_t n);   // day n of the year
// `date/epoch-seconds`: the Unix time of the date; script/type-limit with integer! when it
// does not fit in 32 bits. Used by to integer!.
int32_t epoch_seconds(const Cell* date);
// `date/difference-as-time`: turns a into the time! between a and b (a - b).
void difference_as_time(Cell* a, const Cell* b);

// ---- the local clock (now) ----
// A date! of the current local date and time with its zone (zone 0 with utc); the seconds
// keep their fraction only with precise.
void now(Cell* out, bool utc, bool precise);

}  // namespace zel::date
