// vector!: a series of machine numbers of one element type and one width, packed in a byte
// buffer: 8-, 16- or 32-bit integers or characters, 32- or 64-bit floats, 64-bit percents.
//
// Cell: word 1 head index (elements), word 2 buffer node, word 3 element type (elem_type:
// TYPE_CHAR, TYPE_INTEGER, TYPE_FLOAT or TYPE_PERCENT). The element width in bytes is the
// buffer's unit (1, 2, 4 or 8); element i lives at data + i * unit.
//
// Element reading: integers are signed (an 8-bit 0xFF reads -1), characters are code points
// (unsigned), 4-byte floats widen to double. Element writing: integers and characters keep
// their low 8, 16 or 32 bits; floats and percents are stored as doubles or rounded to singles.
// A percent element holds the fraction (50% is 0.5).
//
// Nothing here evaluates Zel code except the owner notifications of append, insert, change
// and sort; those re-read the vector after notifying.
#pragma once
#include <cstdint>

#include "core/cell.h"
#include "core/memory.h"

namespace zel::vector {

inline uint32_t elem_type(const Cell* v) { return series_extra(v); }
inline void set_elem_type(Cell* v, uint32_t t) { set_series_extra(v, t); }
inline uint32_t unit_of(const Cell* v) { return memory::buf(series_node(v))->unit(); }

// Element width in bytes when a spec names none (`vector/default-unit`).
inline uint32_t default_unit(uint32_t elem) { return elem == TYPE_FLOAT || elem == TYPE_PERCENT ? 8 : 4; }

// `vector/length`: elements from the head to the tail (0 when the head is past it).
int32_t length(const Cell* v);

// `vector/get-int`: the element of 1, 2 or 4 bytes as a signed integer.
inline int32_t get_int(const uint8_t* p, uint32_t unit) {
    if (unit == 1) return int8_t(*p);
    if (unit == 2) { int16_t x; __builtin_memcpy(&x, p, 2); return x; }
    int32_t x; __builtin_memcpy(&x, p, 4); return x;
}
// The character element of 1, 2 or 4 bytes as a code point.
inline uint32_t get_char(const uint8_t* p, uint32_t unit) {
    if (unit == 1) return *p;
    if (unit == 2) { uint16_t x; __builtin_memcpy(&x, p, 2); return x; }
    uint32_t x; __builtin_memcpy(&x, p, 4); return x;
}
// `vector/get-float`: the element of 4 or 8 bytes as a double.
inline double get_float(const uint8_t* p, uint32_t unit) {
    if (unit == 4) { float f; __builtin_memcpy(&f, p, 4); return f; }
    double d; __builtin_memcpy(&d, p, 8); return d;
}
// Stores the low unit bytes of x.
inline void put_int(uint8_t* p, uint32_t unit, int64_t x) {
    if (unit == 1) { *p = uint8_t(x); return; }
    if (unit == 2) { uint16_t v = uint16_t(x); __builtin_memcpy(p, &v, 2); return; }
    uint32_t v = uint32_t(x); __builtin_memcpy(p, &v, 4);
}
// Stores x as a double (unit 8) or rounded to a single (unit 4).
inline void put_float(uint8_t* p, uint32_t unit, double x) {
    if (unit == 4) { float f = float(x); __builtin_memcpy(p, &f, 4); return; }
    __builtin_memcpy(p, &x, 8);
}

// `vector/push-element`: the element at p as a value of the element type, written to out.
void read_element(Cell* out, const uint8_t* p, uint32_t unit, uint32_t elem);
// `vector/set-element`: stores a value of the element type (checked by the caller) at p.
void set_element(uint8_t* p, const Cell* value, uint32_t unit);

// `vector/init-cell`: a vector! with an empty buffer of count elements of unit bytes, head 0.
// A product past 32 bits raises internal/no-memory. Allocates.
void init_cell(Cell* c, uint32_t count, uint32_t elem, uint32_t unit);
// `vector/append-int32`: one 4-byte integer at the tail (32-bit integer vectors). Allocates.
void append_int32(Cell* v, int32_t x);
// `vector/append-value`: one value of the element type at the tail; another type raises
// script/invalid-arg with the value. Allocates.
void append_value(Cell* v, const Cell* value);
// `vector/to-block`: a new block of the elements from the head, one value each.
void to_block(const Cell* v, Cell* out);

}  // namespace zel::vector
