// Builders of the scalar values the lexer reads whose datatypes live elsewhere: one function
// per datatype, so that the loaders only validate text and hand over the fields.
#pragma once
#include <cstdint>
#include <string_view>

#include "core/cell.h"

namespace zel::lexer {

void make_pair(Cell* out, int32_t x, int32_t y);
// count bytes (3-12).
void make_tuple(Cell* out, const uint8_t* bytes, uint32_t count);
void make_time(Cell* out, double seconds);
void make_point2d(Cell* out, double x, double y);
void make_point3d(Cell* out, double x, double y, double z);

// The fields of a validated date literal.
struct DateFields {
    enum Form { CALENDAR, WEEK, ORDINAL };
    Form form = CALENDAR;
    int32_t year = 0;
    int32_t month = 1;
    int32_t day = 1;
    int32_t week = 0;        // WEEK: ISO week 1-53
    int32_t weekday = 0;     // WEEK: 1-7, 0 when not given
    int32_t yearday = 0;     // ORDINAL: day of the year from 1
    bool has_time = false;
    double seconds = 0;      // local time of day
    bool has_zone = false;
    int32_t zone_hours = 0;  // signed
    int32_t zone_minutes = 0;  // 0-59, with the sign of the zone
};
void make_date(Cell* out, const DateFields& d);

// Builds a money! from its validated parts (currency: empty or three letters; digit texts may
// hold ' separators). Returns false when the currency is unknown.
bool make_money(Cell* out, bool negative, std::string_view currency, std::string_view int_digits,
                std::string_view fraction_digits);

// Whether a value of the type may be a map! key.
bool is_map_key_type(uint32_t t);
// A map! over count cells holding keys and values alternately.
void make_map(Cell* out, const Cell* cells, uint32_t count);

}  // namespace zel::lexer
