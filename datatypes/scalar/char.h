// char!: one Unicode code point (0 to 0x10FFFF). A child of integer!: it reuses the integer
// arithmetic, but every result must stay a valid code point (else math/overflow).
#pragma once
#include <cstdint>

#include "core/cell.h"

namespace zel::char_ {

constexpr uint32_t MAX_CODE_POINT = 0x10FFFF;

Cell* push(uint32_t code_point);
Cell* append_new(uint32_t block_node, uint32_t code_point);
inline void write_cell(Cell* c, uint32_t code_point) { set_char(c, code_point); }
void set_result(uint32_t code_point);
inline uint32_t cell_value(const Cell* c) { return char_value(c); }

// `char/math`: the binary math actions of a char! first argument on the stack arguments.
void math(int32_t op);

}  // namespace zel::char_
