// integer!: the signed 32-bit integer, and the integer arithmetic core shared by char!,
// vectors, pairs and tuples.
//
// The arithmetic never wraps silently: add, subtract and multiply leaving the 32-bit range
// give a float! holding the exact double result; a division that does not come out even
// gives a float!; division or remainder by zero raises math/zero-divide and
// -2147483648 by -1 raises math/overflow.
#pragma once
#include <cstdint>
#include <string_view>

#include "core/cell.h"

namespace zel::integer {

// Arithmetic op codes shared by integer!, float!, char! and the fast paths.
enum MathOp : int32_t {
    OP_ADD = 0, OP_SUBTRACT, OP_MULTIPLY, OP_DIVIDE, OP_REMAINDER, OP_OR, OP_AND, OP_XOR,
};
// The action number of a math op code (add for 0 ... xor~ for 7).
int action_of(int32_t op);

// ---- constructors and readers ----
Cell* push(int32_t n);
Cell* append_new(uint32_t block_node, int32_t n);
inline void write_cell(Cell* c, int32_t n) { set_integer(c, n); }
void set_result(int32_t n);
inline int32_t cell_value(const Cell* c) { return int_value(c); }

// `integer/float-out-of-range`: true when the double truncated toward zero does not fit in
// 32 signed bits, or is NaN.
bool float_out_of_range(double x);
// A double truncated toward zero to int32; NaN, infinities and values out of range raise
// script/type-limit with integer!.
int32_t from_double_checked(double x);
inline int32_t sign(int32_t n) { return (n > 0) - (n < 0); }
// |n|; -2147483648 raises math/overflow.
int32_t abs_checked(int32_t n);

// `integer/to-decimal-text`: the decimal text of n, in a per-call buffer.
struct DecimalText {
    char text[12];
    uint8_t length;
    std::string_view view() const { return std::string_view(text, length); }
};
DecimalText to_decimal_text(int32_t n);

// `integer/arith`: a op b for the op codes above. Returns the 32-bit result. When result is
// given it receives the result: integer!, or float! when add, subtract or multiply left the
// 32-bit range or a division did not come out even. May raise math errors.
int32_t arith(int32_t a, int32_t b, int32_t op, Cell* result);

// The binary math actions (add ... xor~) of an integer! first argument on the stack
// arguments; the result goes to the result slot. May run another datatype's arithmetic.
void math(int32_t op);

// The integer in the text of a string value from its head (to integer!). Returns false when
// the text is not an integer (no digits, another character, or overflow).
bool scan_text(const Cell* str, int32_t& out);

}  // namespace zel::integer
