// point2D! and point3D!: coordinates with 32-bit float components, written (1.5, 2) and
// (1, 2, 3). point2D! is where pair! arithmetic goes when it leaves integer space.
//
// Cells: point2D! word 1 x, word 2 y (IEEE single bits), word 3 0; point3D! word 1 x,
// word 2 y, word 3 z (component 0-2).
// Every computation runs in doubles and each result component is rounded to a 32-bit float
// when stored. IEEE special values pass through the arithmetic (no math errors).
#pragma once
#include <cstdint>
#include <cstring>

#include "core/cell.h"

namespace zel::point {

inline uint32_t bits_of(double v) {
    float f = float(v);
    uint32_t b;
    std::memcpy(&b, &f, 4);
    return b;
}
inline float float_of(uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}
// Component i (0 x, 1 y, 2 z) of a point cell.
inline float component(const Cell* c, int i) { return float_of(data_word(c, i)); }
inline void set_component(Cell* c, int i, double v) { set_data_word(c, i, bits_of(v)); }

}  // namespace zel::point

namespace zel::point2D {

inline void write_cell(Cell* c, double x, double y) {
    c->header = TYPE_POINT2D;
    point::set_component(c, 0, x);
    point::set_component(c, 1, y);
    set_data_word(c, 2, 0);
}
Cell* append_new(uint32_t block_node, double x, double y);
Cell* push(double x, double y);
void set_result(double x, double y);

// `point2D/arith`: add (0), subtract (1), multiply (2), divide (3), remainder (4) of the first
// two stack arguments (a point2D! first) into the result slot; other ops raise
// script/cannot-use. pair! arithmetic enters here after converting its operands.
void arith(int32_t op);

// The point2D! a text loads as; script/bad-to-arg with point2D! and the text otherwise.
void from_text(Cell* out, const Cell* text);

}  // namespace zel::point2D

namespace zel::point3D {

inline void write_cell(Cell* c, double x, double y, double z) {
    c->header = TYPE_POINT3D;
    point::set_component(c, 0, x);
    point::set_component(c, 1, y);
    point::set_component(c, 2, z);
}
Cell* append_new(uint32_t block_node, double x, double y, double z);
Cell* push(double x, double y, double z);
void set_result(double x, double y, double z);

// `point3D/arith`: as point2D/arith for point3D! values.
void arith(int32_t op);

// The point3D! a text loads as; script/bad-to-arg with point3D! and the text otherwise.
void from_text(Cell* out, const Cell* text);

}  // namespace zel::point3D
