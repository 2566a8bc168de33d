// Cells of the scalar literals the lexer reads, written in their datatypes' layouts:
//   pair!      d2 x, d3 y (int32)
//   tuple!     byte count in header bits 19-22, the bytes from cell byte 4 on
//   time!      d2-d3 seconds (double)
//   point2D!   d1 x, d2 y (float32); point3D! d1 x, d2 y, d3 z
// Date, money and map values need their datatypes' constructors, which do not exist yet.
#include "io/lexer_scalars.h"

#include <cstring>

#include "core/error.h"

namespace zel::lexer {

void make_pair(Cell* out, int32_t x, int32_t y) {
    out->header = TYPE_PAIR;
    out->d1 = 0;
    out->d2 = uint32_t(x);
    out->d3 = uint32_t(y);
}

void make_tuple(Cell* out, const uint8_t* bytes, uint32_t count) {
    std::memset(out, 0, sizeof(Cell));
    out->header = TYPE_TUPLE | ((count & 0xF) << 19);
    std::memcpy(reinterpret_cast<uint8_t*>(out) + 4, bytes, count > 12 ? 12 : count);
}

void make_time(Cell* out, double seconds) { set_float_bits(out, TYPE_TIME, seconds); }

static uint32_t float32_bits(double v) {
    float f = float(v);
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    return bits;
}

void make_point2d(Cell* out, double x, double y) {
    out->header = TYPE_POINT2D;
    out->d1 = float32_bits(x);
    out->d2 = float32_bits(y);
    out->d3 = 0;
}

void make_point3d(Cell* out, double x, double y, double z) {
    out->header = TYPE_POINT3D;
    out->d1 = float32_bits(x);
    out->d2 = float32_bits(y);
    out->d3 = float32_bits(z);
}

void make_date(Cell* out, const DateFields& d) {
    (void)out;
    (void)d;
    error::raise(error::ERR_INTERNAL_NOT_DONE);
}

bool make_money(Cell* out, bool negative, std::string_view currency, std::string_view int_digits,
                std::string_view fraction_digits) {
    (void)out;
    (void)negative;
    (void)currency;
    (void)int_digits;
    (void)fraction_digits;
    error::raise(error::ERR_INTERNAL_NOT_DONE);
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

void make_map(Cell* out, const Cell* cells, uint32_t count) {
    (void)out;
    (void)cells;
    (void)count;
    error::raise(error::ERR_INTERNAL_NOT_DONE);
}

}  // namespace zel::lexer
