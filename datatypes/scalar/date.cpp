// date! (see date.h).
#include "datatypes/scalar/date.h"

#include <cmath>
#include <cstring>
#include <string>
#include <string_view>

#include "core/actions.h"
#include "core/error.h"
#include "core/memory.h"
#include "core/object.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/word.h"
#include "datatypes/datatypes.h"
#include "datatypes/scalar/datatype.h"
#include "datatypes/scalar/float.h"
#include "datatypes/scalar/integer.h"
#include "datatypes/scalar/random.h"
#include "datatypes/scalar/time.h"
#include "core/block.h"
#include "datatypes/series/string.h"
#include "platform/clock.h"

namespace zel::date {

namespace {

using stack::arg;

int64_t floor_div(int64_t a, int64_t b) {
    int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}
int64_t floor_mod(int64_t a, int64_t b) { return a - floor_div(a, b) * b; }

// Day count of 1 March of the March-based year y.
int64_t march_first(int64_t y) { return 365 * y + floor_div(y, 4) - floor_div(y, 100) + floor_div(y, 400); }

[[noreturn]] void raise_limit() { error::raise_type(error::ERR_SCRIPT_TYPE_LIMIT, TYPE_DATE); }

// Day counts this far out are far beyond the packed years; stopping there keeps every later
// computation inside 64 bits.
constexpr int64_t DAY_LIMIT = 100000000;

// The whole days of a double, checked against the limit.
int64_t checked_days(double d) {
    if (!(d > -double(DAY_LIMIT) && d < double(DAY_LIMIT))) raise_limit();
    return int64_t(d);
}

}  // namespace

// ---- the packed word ----

int32_t zone_seconds(uint32_t zone) {
    int32_t s = int32_t((zone >> 2) & 0xF) * 3600 + int32_t(zone & 3) * 900;
    return (zone & ZONE_WEST) ? -s : s;
}

uint32_t pack_zone(int32_t hours, int32_t minutes, bool west) {
    if (hours <= -16 || hours >= 16) {
        Cell h;
        set_integer(&h, hours);
        error::raise(error::ERR_SCRIPT_OUT_OF_RANGE, &h);
    }
    if (minutes < 0 || minutes > 59) {
        Cell m;
        set_integer(&m, minutes);
        error::raise(error::ERR_SCRIPT_OUT_OF_RANGE, &m);
    }
    uint32_t h = uint32_t(hours < 0 ? -hours : hours);
    uint32_t z = (h << 2) | uint32_t(minutes / 15);
    if (west && z != 0) z |= ZONE_WEST;
    return z;
}

uint32_t pack(int64_t year, int32_t month, int32_t day, uint32_t zone, bool with_time) {
    if (year < YEAR_MIN || year > YEAR_MAX) raise_limit();
    return (uint32_t(int32_t(year)) << 17) | (with_time ? HAS_TIME : 0) | (uint32_t(month & 0xF) << 12) |
           (uint32_t(day & 0x1F) << 7) | (zone & ZONE_MASK);
}

// ---- calendar ----

bool leap_year(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int64_t day_count(int64_t year, int32_t month, int64_t day) {
    int64_t mp = (month + 9) % 12;          // March 0 ... February 11
    int64_t yp = year - mp / 10;            // January and February belong to the year before
    return march_first(yp) + (306 * mp + 5) / 10 + (day - 1);
}

int64_t day_count_of(uint32_t w) { return day_count(year_of(w), month_of(w), day_of(w)); }

Ymd from_day_count(int64_t n) {
    int64_t y = int64_t(std::floor((10000.0 * double(n) + 14780.0) / 3652425.0));
    int64_t r = n - march_first(y);
    while (r < 0) r = n - march_first(--y);
    while (r >= march_first(y + 1) - march_first(y)) r = n - march_first(++y);
    int64_t mi = (100 * r + 52) / 3060;
    Ymd d;
    d.year = y + (mi + 2) / 12;
    d.month = int32_t((mi + 2) % 12 + 1);
    d.day = int32_t(r - (306 * mi + 5) / 10 + 1);
    return d;
}

uint32_t word_from_day_count(int64_t n, uint32_t zone, bool with_time) {
    if (n <= -DAY_LIMIT || n >= DAY_LIMIT) raise_limit();
    Ymd d = from_day_count(n);
    return pack(d.year, d.month, d.day, zone, with_time);
}

int32_t weekday_of(int64_t n) { return int32_t(floor_mod(n + 2, 7)) + 1; }

int32_t year_day(uint32_t w) { return int32_t(day_count_of(w) - day_count(year_of(w), 1, 1) + 1); }

int32_t week_of(uint32_t w) {
    int64_t jan1 = day_count(year_of(w), 1, 1);
    int32_t wd = int32_t(floor_mod(jan1 + 3, 7));   // 0 Sunday ... 6 Saturday
    int32_t yd = year_day(w);
    return yd <= 7 - wd ? 1 : (yd + wd - 1) / 7 + 1;
}

namespace {

// The Monday that starts ISO week 1 of the year.
int64_t iso_week_start(int64_t year) {
    int64_t jan1 = day_count(year, 1, 1);
    int32_t wd = weekday_of(jan1);   // 1 Monday ... 7 Sunday
    return wd <= 4 ? jan1 - (wd - 1) : jan1 + (8 - wd);
}

}  // namespace

int32_t iso_week_of(uint32_t w) {
    int64_t year = year_of(w);
    int64_t n = day_count_of(w);
    int64_t start = iso_week_start(year);
    if (n >= iso_week_start(year + 1)) return 1;
    if (n >= start) return int32_t((n - start) / 7 + 1);
    switch (weekday_of(day_count(year, 1, 1))) {
        case 5: return 53;                               // 1 January on a Friday
        case 6: return leap_year(year - 1) ? 53 : 52;   // on a Saturday
        default: return 52;                              // on a Sunday
    }
}

// ---- constructors ----

void write_cell(Cell* c, int64_t year, int32_t month, int32_t day, double seconds, int32_t zone_hours,
                int32_t zone_minutes, bool with_time) {
    if (!with_time) {
        set_cell(c, pack(year, month, day, 0, false), 0.0);
        return;
    }
    bool west = zone_hours < 0 || zone_minutes < 0;
    uint32_t zone = pack_zone(zone_hours < 0 ? -zone_hours : zone_hours, zone_minutes < 0 ? -zone_minutes : zone_minutes,
                              west);
    set_cell(c, pack(year, month, day, zone, true), seconds - zone_seconds(zone));
}

Cell* push(uint32_t word, double seconds) {
    Cell* c = stack::push();
    set_cell(c, word, seconds);
    return c;
}

Cell* append_new(uint32_t block_node, uint32_t word, double seconds) {
    Cell* c = memory::append_cell(block_node);
    set_cell(c, word, seconds);
    return c;
}

// ---- shared routines ----

Carried carry_zone_days(int64_t days, double seconds, uint32_t zone) {
    if (!std::isfinite(seconds)) raise_limit();
    double z = zone_seconds(zone) / 3600.0;
    int64_t k = checked_days(std::trunc((z + seconds / 3600.0) / 24.0));
    days += k;
    seconds -= SECONDS_PER_DAY * double(k);
    if (seconds + 3600.0 * z < 0) {
        days--;
        seconds += SECONDS_PER_DAY;
    }
    if (days <= -DAY_LIMIT || days >= DAY_LIMIT) raise_limit();
    return Carried{days, seconds};
}

void normalize(Cell* c, double seconds, bool to_utc) {
    uint32_t w = word_of(c);
    uint32_t zone = zone_of(w);
    if (to_utc) seconds -= zone_seconds(zone);
    Carried r = carry_zone_days(day_count_of(w), seconds, zone);
    set_cell(c, word_from_day_count(r.days, zone, has_time(w)), r.seconds);
}

namespace {

// Year and month of a month number counted from January of year (13 is January next year).
void carry_month(int64_t& year, int64_t& month) {
    if (month <= -DAY_LIMIT || month >= DAY_LIMIT) raise_limit();
    year += floor_div(month - 1, 12);
    month = floor_mod(month - 1, 12) + 1;
}

// Rebuilds the cell from a day count, keeping zone, has-time and seconds.
void set_days(Cell* c, int64_t n) {
    uint32_t w = word_of(c);
    set_cell(c, word_from_day_count(n, zone_of(w), has_time(w)), seconds_of(c));
}

}  // namespace

void set_month(Cell* c, int64_t m) {
    uint32_t w = word_of(c);
    int64_t year = year_of(w);
    carry_month(year, m);
    if (year < YEAR_MIN || year > YEAR_MAX) raise_limit();
    set_days(c, day_count(year, int32_t(m), day_of(w)));
}

void set_week(Cell* c, int64_t n) {
    if (n <= -DAY_LIMIT || n >= DAY_LIMIT) raise_limit();
    set_days(c, iso_week_start(year_of(word_of(c))) + 7 * (n - 1));
}

void set_weekday(Cell* c, int64_t n) {
    if (n <= -DAY_LIMIT || n >= DAY_LIMIT) raise_limit();
    int64_t days = day_count_of(word_of(c));
    set_days(c, days - (weekday_of(days) - 1) + (n - 1));
}

void set_yearday(Cell* c, int64_t n) {
    if (n <= -DAY_LIMIT || n >= DAY_LIMIT) raise_limit();
    set_days(c, day_count(year_of(word_of(c)), 1, 1) + n - 1);
}

int32_t epoch_seconds(const Cell* date) {
    int64_t days = day_count_of(word_of(date)) - day_count(1970, 1, 1);
    double s = seconds_of(date);
    int64_t whole = int64_t(std::trunc(s + 0.5));
    int64_t total = days * 86400 + whole;
    if (total < INT32_MIN || total > INT32_MAX) error::raise_type(error::ERR_SCRIPT_TYPE_LIMIT, TYPE_INTEGER);
    return int32_t(total);
}

void difference_as_time(Cell* a, const Cell* b) {
    double days = double(day_count_of(word_of(a)) - day_count_of(word_of(b)));
    double s = days * SECONDS_PER_DAY + (seconds_of(a) - seconds_of(b));
    set_float_bits(a, TYPE_TIME, s);
}

void now(Cell* out, bool utc, bool precise) {
    platform::ClockReading r = platform::read_clock(utc, precise);
    uint32_t zone = platform::pack_zone_minutes(r.zone_minutes);
    set_cell(out, pack(r.year, r.month, r.day, zone, true), 0.0);
    normalize(out, r.seconds, true);
}

namespace {

// ---- fields ----

enum Field : int32_t {
    F_DATE = 1, F_YEAR, F_MONTH, F_DAY, F_ZONE, F_TIME, F_HOUR, F_MINUTE, F_SECOND, F_WEEKDAY,
    F_YEARDAY, F_TIMEZONE, F_WEEK, F_ISOWEEK,
};

// The field of a word (case-insensitive), 0 when the word names none.
int32_t field_of_word(const Cell* w) {
    static const char* const names[] = {
        "date", "year", "month", "day", "zone", "time", "hour", "minute", "second",
        "weekday", "yearday", "timezone", "week", "isoweek", "julian",
    };
    static uint32_t symbols[15];
    if (!symbols[0])
        for (int i = 0; i < 15; i++) symbols[i] = symbol::canonical(symbol::intern(names[i]));
    uint32_t s = symbol::canonical(word_symbol(w));
    for (int i = 0; i < 15; i++)
        if (symbols[i] == s) return i == 14 ? F_YEARDAY : i + 1;
    return 0;
}

// The field an element names: an integer 1-14 or a field word; 0 for anything else.
int32_t field_of(const Cell* e) {
    uint32_t t = type_of(e);
    if (t == TYPE_INTEGER) {
        int32_t n = int_value(e);
        return n >= 1 && n <= 14 ? n : 0;
    }
    if (scalar::is_field_word(e)) return field_of_word(e);
    return 0;
}

double local_seconds(const Cell* c) { return seconds_of(c) + zone_seconds(zone_of(word_of(c))); }

void write_time(Cell* out, double seconds) { set_float_bits(out, TYPE_TIME, seconds); }

// Reads field n of the date into out.
void read_field(Cell* out, const Cell* d, int32_t n) {
    uint32_t w = word_of(d);
    double local = local_seconds(d);
    switch (n) {
        case F_DATE: set_cell(out, w & ~(HAS_TIME | ZONE_MASK), 0.0); break;
        case F_YEAR: set_integer(out, year_of(w)); break;
        case F_MONTH: set_integer(out, month_of(w)); break;
        case F_DAY: set_integer(out, day_of(w)); break;
        case F_ZONE: case F_TIMEZONE:
            if (has_time(w)) write_time(out, zone_seconds(zone_of(w))); else set_none(out);
            break;
        case F_TIME:
            if (has_time(w)) write_time(out, local); else set_none(out);
            break;
        case F_HOUR: set_integer(out, int32_t(std::trunc(local / 3600.0))); break;
        case F_MINUTE: set_integer(out, int32_t(std::floor(std::fmod(std::fabs(local), 3600.0) / 60.0))); break;
        case F_SECOND: set_float(out, std::fmod(local, 60.0)); break;
        case F_WEEKDAY: set_integer(out, weekday_of(day_count_of(w))); break;
        case F_YEARDAY: set_integer(out, year_day(w)); break;
        case F_WEEK: set_integer(out, week_of(w)); break;
        case F_ISOWEEK: set_integer(out, iso_week_of(w)); break;
        default: set_none(out); break;
    }
}

[[noreturn]] void invalid_arg(const Cell* v) { error::raise(error::ERR_SCRIPT_INVALID_ARG, v); }

int64_t integer_arg(const Cell* v) {
    if (type_of(v) != TYPE_INTEGER) invalid_arg(v);
    return int_value(v);
}

// The zone a path set gives: an integer n is n hours, a time! its hours and quarter hours.
uint32_t zone_from_value(const Cell* v) {
    if (type_of(v) == TYPE_INTEGER) {
        int32_t n = int_value(v);
        return pack_zone(n, 0, n < 0);
    }
    if (type_of(v) == TYPE_TIME) {
        double t = float_value(v);
        if (!(std::fabs(t) < 16 * 3600.0)) error::raise(error::ERR_SCRIPT_OUT_OF_RANGE, v);
        int32_t h = int32_t(std::trunc(t / 3600.0));
        int32_t m = int32_t(std::floor(std::fmod(std::fabs(t), 3600.0) / 60.0));
        return pack_zone(h, m, t < 0);
    }
    invalid_arg(v);
}

// Writes value into field n of the date d (changed in place).
void write_field(Cell* d, int32_t n, const Cell* v) {
    uint32_t w = word_of(d);
    switch (n) {
        case F_DATE: {
            if (type_of(v) != TYPE_DATE) invalid_arg(v);
            uint32_t given = word_of(v);
            bool with_time = has_time(given);
            uint32_t keep = with_time ? zone_of(w) : 0;
            set_cell(d, (given & ~(ZONE_MASK | HAS_TIME)) | (with_time ? HAS_TIME : 0) | keep,
                     with_time ? seconds_of(d) : 0.0);
            return;
        }
        case F_YEAR: {
            int64_t y = integer_arg(v);
            if (y < YEAR_MIN || y > YEAR_MAX) raise_limit();
            set_days(d, day_count(y, month_of(w), day_of(w)));
            return;
        }
        case F_MONTH: set_month(d, integer_arg(v)); return;
        case F_DAY: set_days(d, day_count(year_of(w), month_of(w), 0) + integer_arg(v)); return;
        case F_ZONE: {
            // The local time stays; the instant moves.
            double local = has_time(w) ? local_seconds(d) : 0.0;
            uint32_t zone = zone_from_value(v);
            set_cell(d, (w & ~ZONE_MASK) | HAS_TIME | zone, local - zone_seconds(zone));
            return;
        }
        case F_TIMEZONE: {
            // The instant stays; the local date and time follow the new zone.
            uint32_t zone = zone_from_value(v);
            double s = has_time(w) ? seconds_of(d) : 0.0;
            set_cell(d, (w & ~ZONE_MASK) | HAS_TIME | zone, 0.0);
            normalize(d, s, false);
            return;
        }
        case F_TIME:
            if (type_of(v) == TYPE_NONE) {
                set_cell(d, w & ~(HAS_TIME | ZONE_MASK), 0.0);
                return;
            }
            if (type_of(v) != TYPE_TIME) invalid_arg(v);
            set_cell(d, w | HAS_TIME, 0.0);
            normalize(d, float_value(v), true);
            return;
        case F_HOUR: case F_MINUTE: case F_SECOND: {
            // The time! field rule on the local time of day, then back to UTC.
            double local = time::with_field(local_seconds(d), n - F_HOUR + 1, v);
            set_cell(d, w | HAS_TIME, 0.0);
            normalize(d, local, true);
            return;
        }
        case F_WEEKDAY: set_weekday(d, integer_arg(v)); return;
        case F_YEARDAY: set_yearday(d, integer_arg(v)); return;
        case F_WEEK: {
            int64_t k = integer_arg(v);
            int64_t jan1 = day_count(year_of(w), 1, 1);
            if (k <= 1) set_days(d, jan1);
            else set_days(d, jan1 + 7 * (k - 2) + 7 - floor_mod(jan1 + 3, 7));
            return;
        }
        case F_ISOWEEK: set_week(d, integer_arg(v)); return;
        default: invalid_arg(v);
    }
}

// ---- make and to ----

// Reads a date spec block: [day month year], [year month day], then a time (a time! or
// hour minute second) and a zone (a time! or hours minutes). strict checks that no field
// rolled over.
void from_spec(Cell* out, const Cell* spec, bool strict) {
    int32_t count = block::length(spec);
    const Cell* v = block::head(spec);
    int state = 0;
    int64_t first = 0, month = 0, third = 0, hour = 0, minute = 0, second_i = 0;
    double second_f = 0.0, time_value = 0.0;
    bool has_time_slot = false, has_hour = false;
    int64_t zone_h = 0, zone_m = 0;
    bool zone_west = false, has_zone = false;
    const Cell* zone_time = nullptr;
    for (int32_t i = 0; i < count; i++) {
        const Cell* x = v + i;
        uint32_t t = type_of(x);
        if (t != TYPE_INTEGER && t != TYPE_TIME && t != TYPE_FLOAT) scalar::raise_bad_to(TYPE_DATE, spec);
        int64_t n = t == TYPE_INTEGER ? int_value(x) : 0;
        int next = -1;
        switch (state) {
            case 0: if (t == TYPE_INTEGER) { first = n; next = 1; } break;
            case 1: if (t == TYPE_INTEGER) { month = n; next = 2; } break;
            case 2: if (t == TYPE_INTEGER) { third = n; next = 3; } break;
            case 3:
                if (t == TYPE_INTEGER) { hour = n; has_hour = true; next = 8; }
                else if (t == TYPE_TIME) { time_value = float_value(x); has_time_slot = true; next = 4; }
                break;
            case 4: case 10:
                if (t == TYPE_INTEGER) { zone_h = n; has_zone = true; next = state == 4 ? 6 : 12; }
                else if (t == TYPE_TIME) { zone_time = x; has_zone = true; next = state == 4 ? 5 : 11; }
                break;
            case 6: case 12:
                if (t == TYPE_INTEGER) { zone_m = n; next = state + 1; }
                break;
            case 8: if (t == TYPE_INTEGER) { minute = n; next = 9; } break;
            case 9:
                if (t == TYPE_INTEGER) { second_i = n; next = 10; }
                else if (t == TYPE_FLOAT) { second_f = float_value(x); next = 10; }
                break;
            default: break;
        }
        if (next < 0) scalar::raise_bad_to(TYPE_DATE, spec);
        state = next;
    }
    if (count < 3) scalar::raise_bad_to(TYPE_DATE, spec);

    // The zone, packed as the lexer packs it (the sign from the hours, or from a time).
    uint32_t zone = 0;
    if (has_zone) {
        if (zone_time) {
            zone = zone_from_value(zone_time);
        } else {
            if (zone_h <= -16 || zone_h >= 16 || zone_m < 0 || zone_m > 59) {
                Cell z;
                set_integer(&z, int32_t(zone_h <= -16 || zone_h >= 16 ? zone_h : zone_m));
                error::raise(error::ERR_SCRIPT_OUT_OF_RANGE, &z);
            }
            zone_west = zone_h < 0;
            zone = pack_zone(int32_t(zone_h < 0 ? -zone_h : zone_h), int32_t(zone_m), zone_west);
        }
    }

    int64_t year = third, day = first;
    if (first >= 100 && first > third) {
        year = first;
        day = third;
    }
    double seconds = 0.0;
    if (has_time_slot) seconds = time_value;
    else if (has_hour) seconds = 3600.0 * double(hour) + 60.0 * double(minute) +
                                 (second_f != 0.0 ? second_f : double(second_i));
    if (!std::isfinite(seconds)) scalar::raise_bad_to(TYPE_DATE, spec);
    bool with_time = count > 3;

    int64_t y = year, m = month;
    carry_month(y, m);
    if (y < YEAR_MIN || y > YEAR_MAX) raise_limit();
    if (day <= -DAY_LIMIT || day >= DAY_LIMIT) raise_limit();
    set_cell(out, word_from_day_count(day_count(y, int32_t(m), 0) + day, 0, with_time), 0.0);
    if (with_time) normalize(out, seconds, false);

    if (strict) {
        uint32_t w = word_of(out);
        double s = seconds_of(out);
        int64_t stored_hour = int64_t(std::trunc(s / 3600.0));
        int64_t stored_minute = int64_t(std::floor(std::fmod(std::fabs(s), 3600.0) / 60.0));
        int64_t given_hour = has_hour ? hour : int64_t(std::trunc(seconds / 3600.0));
        int64_t given_minute = has_hour ? minute : int64_t(std::floor(std::fmod(std::fabs(seconds), 3600.0) / 60.0));
        bool ok = year_of(w) == year && month_of(w) == month && day_of(w) == day;
        if (ok && seconds != 0.0) ok = stored_hour >= 0 && stored_hour <= 23 && stored_minute == given_minute;
        if (ok && seconds == 0.0) ok = stored_hour == given_hour && stored_minute == given_minute;
        if (!ok) scalar::raise_bad_to(TYPE_DATE, spec);
    }
    if (with_time && zone) {
        set_cell(out, word_of(out) | zone, 0.0);
        normalize(out, seconds, true);
    }
}

void from_unix_time(Cell* out, int32_t n) {
    set_cell(out, word_from_day_count(day_count(1970, 1, 1) + n / 86400, 0, true), 0.0);
    normalize(out, double(n % 86400), false);
}

void make(Cell* out, Cell*, Cell* spec, uint32_t) {
    switch (type_of(spec)) {
        case TYPE_DATE: *out = *spec; return;
        case TYPE_BLOCK: case TYPE_PAREN: case TYPE_HASH: from_spec(out, spec, true); return;
        default: scalar::raise_bad_to(TYPE_DATE, spec);
    }
}

void to(Cell* out, Cell*, Cell* spec, uint32_t) {
    switch (type_of(spec)) {
        case TYPE_DATE: *out = *spec; return;
        case TYPE_INTEGER: from_unix_time(out, int_value(spec)); return;
        case TYPE_BLOCK: case TYPE_PAREN: case TYPE_HASH: from_spec(out, spec, false); return;
        default: scalar::raise_bad_to(TYPE_DATE, spec);
    }
}

// ---- random ----

void draw_random(Cell* v, bool seed, bool secure, bool) {
    uint32_t w = word_of(v);
    double s = seconds_of(v);
    if (seed) {
        int64_t whole = std::isfinite(s) && std::fabs(s) < 1e15 ? int64_t(std::trunc(s)) : 0;
        random::seed(w + uint32_t(whole));
        set_unset(v);
        return;
    }
    int64_t n = day_count_of(w);
    int64_t drawn = int64_t(random::uniform_int(int32_t(n), secure)) - 1;
    uint32_t zone = zone_of(w);
    bool with_time = has_time(w);
    double seconds = 0.0;
    if (with_time) {
        zone = uint32_t(secure ? random::secure_draw() : random::draw()) & ZONE_MASK;
        double h;
        if (secure) {
            double fine = random::secure_draw();
            double coarse = random::secure_draw();
            h = (coarse + fine / 2147483647.0) / (2147483648.0 / 3600.0);
        } else {
            h = 3600.0 * double(random::draw()) / 2147483647.0;
        }
        seconds = std::floor(h) * 24.0;
    }
    set_cell(v, word_from_day_count(drawn, zone, with_time), 0.0);
    if (with_time) normalize(v, seconds, true);
}

// ---- form and mold ----

// The month's name in system/locale/months, or nullptr when there is none.
const Cell* month_name(int32_t month) {
    const Cell* sys = word::global_value("system");
    if (!sys || type_of(sys) != TYPE_OBJECT) return nullptr;
    const Cell* locale = object::field(sys, symbol::intern("locale"));
    if (!locale || type_of(locale) != TYPE_OBJECT) return nullptr;
    const Cell* months = object::field(locale, symbol::intern("months"));
    if (!months || type_of(months) != TYPE_BLOCK) return nullptr;
    if (month < 1 || month > block::length(months)) return nullptr;
    const Cell* name = block::head(months) + (month - 1);
    return type_of(name) == TYPE_STRING ? name : nullptr;
}

std::string two_digits(int32_t n) { return std::string{char('0' + n / 10 % 10), char('0' + n % 10)}; }

int32_t emit_text(const Cell* v, uint32_t buffer, int32_t budget) {
    uint32_t w = word_of(v);
    int32_t year = year_of(w);
    const Cell* name = month_name(month_of(w));
    if (!name) error::raise(error::ERR_SCRIPT_INVALID_MONTHS);
    const char* sep = year < 0 ? "/" : "-";
    budget = scalar::emit(buffer, integer::to_decimal_text(day_of(w)).view(), budget);
    budget = scalar::emit(buffer, sep, budget);
    int32_t chars = string::length(name);
    if (chars > 3) chars = 3;
    uint32_t first = string::head_index(name);
    for (int32_t i = 0; i < chars; i++) {
        string::append_char(buffer, string::char_at_index(name, first + uint32_t(i)));
        budget--;
    }
    budget = scalar::emit(buffer, sep, budget);
    int32_t y = year < 0 ? -year : year;
    integer::DecimalText year_text = integer::to_decimal_text(y);
    std::string_view digits = year_text.view();
    if (year < 0) budget = scalar::emit(buffer, "-", budget);
    if (y < 100) budget = scalar::emit(buffer, std::string_view("000").substr(0, 4 - digits.size()), budget);
    budget = scalar::emit(buffer, digits, budget);
    if (has_time(w)) {
        budget = scalar::emit(buffer, "/", budget);
        budget = time::to_text(local_seconds(v), buffer, budget);
        uint32_t zone = zone_of(w);
        if (zone) {
            std::string z = (zone & ZONE_WEST) ? "-" : "+";
            z += two_digits(int32_t((zone >> 2) & 0xF));
            z += ":";
            z += two_digits(int32_t(zone & 3) * 15);
            budget = scalar::emit(buffer, z, budget);
        }
    }
    return budget;
}

int32_t form(const Cell* v, uint32_t buffer, const Cell*, int32_t budget) { return emit_text(v, buffer, budget); }
int32_t mold(const Cell* v, uint32_t buffer, bool, bool, bool, const Cell*, int32_t budget, int32_t) {
    return emit_text(v, buffer, budget);
}

// ---- compare ----

int32_t three_way(double x, double y) { return (x > y) - (x < y); }

int32_t compare(const Cell* a, const Cell* b, int32_t op) {
    if (type_of(b) != TYPE_DATE) return -2;
    uint32_t wa = word_of(a), wb = word_of(b);
    double sa = seconds_of(a), sb = seconds_of(b);
    bool same_zone = zone_of(wa) == zone_of(wb);
    if (has_time(wa) && has_time(wb)) {
        // Two instants: compare them in UTC (the local dates may differ by a day).
        double x = double(day_count_of(wa) - day_count_of(wb)) * SECONDS_PER_DAY + sa;
        switch (op) {
            case actions::OP_SAME:
                return same_zone && day_count_of(wa) == day_count_of(wb) &&
                               same_seconds(a, b) ? 0 : 1;
            case actions::OP_STRICT_EQUAL: case actions::OP_STRICT_LIT:
                return same_zone && float_::almost_equal(x, sb) ? 0 : 1;
            case actions::OP_EQUAL: case actions::OP_NOT_EQUAL: case actions::OP_FIND: case actions::OP_EQUAL_LIT:
                return float_::almost_equal(x, sb) ? 0 : 1;
            default:
                return float_::almost_equal(x, sb) ? 0 : three_way(x, sb);
        }
    }
    // The calendar comparison: year, month and day, then the seconds.
    int32_t da = int32_t(wa & ~(HAS_TIME | ZONE_MASK)), db = int32_t(wb & ~(HAS_TIME | ZONE_MASK));
    switch (op) {
        case actions::OP_SAME:
            return da == db && same_seconds(a, b) ? 0 : 1;
        case actions::OP_EQUAL: case actions::OP_NOT_EQUAL: case actions::OP_STRICT_EQUAL:
        case actions::OP_FIND: case actions::OP_STRICT_LIT: case actions::OP_EQUAL_LIT:
            return da == db && float_::almost_equal(sa, sb) ? 0 : 1;
        default:
            if (da != db) return da < db ? -1 : 1;
            return float_::almost_equal(sa, sb) ? 0 : three_way(sa, sb);
    }
}

// ---- arithmetic ----

void math(bool subtract) {
    Cell* a = arg(0);
    Cell* b = arg(1);
    uint32_t w = word_of(a);
    double s = seconds_of(a);
    int64_t days = day_count_of(w);
    switch (type_of(b)) {
        case TYPE_INTEGER:
            days += subtract ? -int64_t(int_value(b)) : int64_t(int_value(b));
            break;
        case TYPE_TIME:
            s += subtract ? -float_value(b) : float_value(b);
            w |= HAS_TIME;
            break;
        case TYPE_DATE: {
            if (!subtract) scalar::raise_not_related_action(ACT_ADD, TYPE_DATE);
            int64_t dd = days - day_count_of(word_of(b));
            double ds = s - seconds_of(b);
            Carried r = carry_zone_days(dd, ds, zone_of(w));
            set_integer(a, int32_t(r.days));
            stack::keep_result_slot();
            return;
        }
        default:
            error::raise_type(error::ERR_SCRIPT_INVALID_TYPE, type_of(b));
    }
    if (has_time(w)) {
        Carried r = carry_zone_days(days, s, zone_of(w));
        days = r.days;
        s = r.seconds;
    }
    set_cell(a, word_from_day_count(days, zone_of(w), has_time(w)), has_time(w) ? s : 0.0);
    stack::keep_result_slot();
}

void add() { math(false); }
void subtract() { math(true); }

// ---- paths ----

void eval_path(Cell* out, Cell* parent, Cell* element, Cell* value, const actions::PathStep& step) {
    int32_t n = field_of(element);
    if (!n) error::raise(error::ERR_SCRIPT_INVALID_PATH, step.path ? step.path : element, element);
    if (!value) {
        read_field(out, parent, n);
        return;
    }
    write_field(parent, n, value);
    scalar::store_back(parent, step);
    *out = *value;
}

void pick(Cell* out, Cell* d, int32_t, Cell* index) {
    int32_t n = field_of(index);
    if (!n) error::raise(error::ERR_SCRIPT_OUT_OF_RANGE, index);
    read_field(out, d, n);
}

}  // namespace
}  // namespace zel::date

namespace zel::datatypes {

void register_date() {
    using namespace date;
    actions::TypeSpec spec{TYPE_DATE, {}};
    actions::put(spec, ACT_MAKE, &date::make);
    actions::put(spec, ACT_RANDOM, &draw_random);
    actions::put(spec, ACT_TO, &date::to);
    actions::put(spec, ACT_FORM, &date::form);
    actions::put(spec, ACT_MOLD, &date::mold);
    actions::put(spec, ACT_EVAL_PATH, &date::eval_path);
    actions::put(spec, ACT_COMPARE, &date::compare);
    actions::put(spec, ACT_ADD, &date::add);
    actions::put(spec, ACT_SUBTRACT, &date::subtract);
    actions::put(spec, ACT_PICK, &date::pick);
    actions::register_type(spec);
}

}  // namespace zel::datatypes
