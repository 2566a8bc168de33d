// pair!: a two-dimensional integer coordinate written 640x480 (window sizes, offsets,
// image sizes, ranges). Cell: word 2 x, word 3 y, both signed 32-bit; word 1 unused (0).
//
// Its arithmetic takes a pair, an integer or a float as the second operand and moves to
// point2D! when a float factor or divisor, a point operand or a 32-bit overflow leaves
// integer space. Floats that must become components are range-checked (script/type-limit),
// never truncated blindly.
#pragma once
#include <cstdint>

#include "core/cell.h"

namespace zel::pair {

// ---- constructors and readers ----
// x in word 2, y in word 3 (the layout core/cell.h's set_pair, pair_x and pair_y keep).
inline int32_t x_of(const Cell* c) { return pair_x(c); }
inline int32_t y_of(const Cell* c) { return pair_y(c); }
inline void set_x(Cell* c, int32_t x) { set_pair_x(c, x); }
inline void set_y(Cell* c, int32_t y) { set_pair_y(c, y); }
inline void write_cell(Cell* c, int32_t x, int32_t y) { set_pair(c, x, y); }
Cell* append_new(uint32_t block_node, int32_t x, int32_t y);
Cell* push(int32_t x, int32_t y);
void set_result(int32_t x, int32_t y);


// `pair/arith`: add (0), subtract (1), multiply (2), divide (3), remainder (4), or (5),
// and (6), xor (7) of the first two stack arguments (a pair! first) into the result slot.
// Raises math/zero-divide, math/overflow, script/invalid-arg (non-finite float operand),
// script/invalid-type (an operand of another type).
void arith(int32_t op);

// The pair! a text loads as (to pair! of a string): script/bad-to-arg with pair! and the text
// when it is not a single pair.
void from_text(Cell* out, const Cell* text);

}  // namespace zel::pair
