// Cells of the scalar literals the lexer reads, written by their datatypes' constructors
// (pair.h, tuple.h, time.h, point.h, date.h and money.h hold the layouts); map values are
// built by map.h.
#include "io/lexer_scalars.h"

#include <cstring>

#include "core/error.h"
#include "datatypes/scalar/date.h"
#include "datatypes/scalar/money.h"
#include "datatypes/scalar/pair.h"
#include "datatypes/scalar/point.h"
#include "datatypes/scalar/time.h"
#include "datatypes/scalar/tuple.h"
#include "datatypes/series/map.h"

namespace zel::lexer {

void make_pair(Cell* out, int32_t x, int32_t y) { pair::write_cell(out, x, y); }

void make_tuple(Cell* out, const uint8_t* bytes, uint32_t count) { tuple::write_cell(out, bytes, count); }

void make_time(Cell* out, double seconds) { time::write_cell(out, seconds); }

void make_point2d(Cell* out, double x, double y) { point2D::write_cell(out, x, y); }

void make_point3d(Cell* out, double x, double y, double z) { point3D::write_cell(out, x, y, z); }

void make_date(Cell* out, const DateFields& d) {
    switch (d.form) {
        case DateFields::CALENDAR:
            date::write_cell(out, d.year, d.month, d.day, d.seconds, d.zone_hours, d.zone_minutes, d.has_time);
            break;
        case DateFields::WEEK:
            date::write_cell(out, d.year, 1, 1, d.seconds, d.zone_hours, d.zone_minutes, d.has_time);
            date::set_week(out, d.week);
            if (d.weekday) date::set_weekday(out, d.weekday);
            break;
        case DateFields::ORDINAL:
            date::write_cell(out, d.year, 1, 1, d.seconds, d.zone_hours, d.zone_minutes, d.has_time);
            date::set_yearday(out, d.yearday);
            break;
    }
}

bool make_money(Cell* out, bool negative, std::string_view currency, std::string_view int_digits,
                std::string_view fraction_digits) {
    return money::write_cell_from_digits(out, negative, currency, int_digits, fraction_digits);
}

bool is_map_key_type(uint32_t t) {
    switch (t) {
        case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_CHAR: case TYPE_INTEGER:
        case TYPE_FLOAT: case TYPE_WORD: case TYPE_SET_WORD: case TYPE_LIT_WORD:
        case TYPE_GET_WORD: case TYPE_REFINEMENT: case TYPE_ISSUE: case TYPE_PAIR:
        case TYPE_PERCENT: case TYPE_TUPLE: case TYPE_BINARY: case TYPE_TIME: case TYPE_TAG:
        case TYPE_EMAIL: case TYPE_DATE: case TYPE_MONEY: case TYPE_REF: case TYPE_POINT2D:
        case TYPE_POINT3D:
            return true;
        default:
            return false;
    }
}

void make_map(Cell* out, const Cell* cells, uint32_t count) { map::from_cells(out, cells, count); }

}  // namespace zel::lexer
