// float! and percent!: the IEEE-754 double of the language and the double shown as a
// percentage (1.0 is 100%). Holds their constructors and actions, the shared double
// arithmetic (which integer! and time! also reach), the approximate equality of = and <>,
// and the float rounding.
//
// Floating-point arithmetic runs with every exception masked: division by zero and overflow
// give infinities or NaN, never an error.
#pragma once
#include <cstdint>

#include "core/cell.h"

namespace zel::float_ {

// ---- constructors and readers ----
Cell* push(double x);
Cell* append_new(uint32_t block_node, double x);
inline void write_cell(Cell* c, double x) { set_float(c, x); }
void set_result(double x);
// The double of a float-like cell (float!, percent!, time!).
inline double cell_value(const Cell* c) { return float_value(c); }

// ---- predicates ----
double abs(double x);
// `float/almost-equal`: equal, or within 2^-52 absolutely, or within 10 units in the last
// place; NaN is never equal.
bool almost_equal(double x, double y);
bool almost_equal32(float f, float g);

// ---- arithmetic ----
// `float/arith`: x op y for op codes 0-4 (add, subtract, multiply, divide, remainder);
// any other op raises script/cannot-use naming the calling word and float!.
double arith(double x, double y, int32_t op);
// `float/math`: the binary math actions whose first argument is float!, percent!, time! or
// integer!, on the stack arguments; the result goes to the result slot.
void math(int32_t op);
// power of the first stack argument (float-like or integer!) by the second (integer! or
// float!, else script/expect-arg); the result keeps the first's type (integer! gives float!).
void power();
// The compare handler of float-like values (float!, percent!, time!).
int32_t compare(const Cell* a, const Cell* b, int32_t op);
// The round handler shared by float!, percent! and time!; scale may be null (no /to).
void round(Cell* value, Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceiling,
           bool half_ceiling);

// The double in the text of a string value from its head (to float!); false when the text is
// empty or not a float literal.
bool scan_text(const Cell* str, double& out);

}  // namespace zel::float_

namespace zel::percent {

inline void write_cell(Cell* c, double x) { set_float_bits(c, TYPE_PERCENT, x); }
Cell* append_new(uint32_t block_node, double x);
Cell* push(double x);
void set_result(double x);
inline double cell_value(const Cell* c) { return float_value(c); }

// The double a text loads as for to percent! (an integer!, float! or percent! literal);
// false when the text loads as anything else.
bool scan_text(const Cell* str, double& out);

}  // namespace zel::percent
