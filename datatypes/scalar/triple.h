// triple!: three signed 32-bit integers packed in one cell, the runtime's small record
// inside blocks (the parse engine's rule stack). Language code cannot make one; it can only
// form and mold it, so that a triple that leaks into a printed block shows its content.
//
// Cell: word 1 a, word 2 b, word 3 c.
#pragma once
#include <cstdint>

#include "core/cell.h"

namespace zel::triple {

inline void write_cell(Cell* c, int32_t a, int32_t b, int32_t v) {
    c->header = TYPE_TRIPLE;
    set_data_word(c, 0, uint32_t(a));
    set_data_word(c, 1, uint32_t(b));
    set_data_word(c, 2, uint32_t(v));
}
Cell* append_new(uint32_t block_node, int32_t a, int32_t b, int32_t c);
Cell* push(int32_t a, int32_t b, int32_t c);
inline int32_t a_of(const Cell* c) { return int32_t(data_word(c, 0)); }
inline int32_t b_of(const Cell* c) { return int32_t(data_word(c, 1)); }
inline int32_t c_of(const Cell* c) { return int32_t(data_word(c, 2)); }
inline void set_a(Cell* c, int32_t v) { set_data_word(c, 0, uint32_t(v)); }
inline void set_b(Cell* c, int32_t v) { set_data_word(c, 1, uint32_t(v)); }
inline void set_c(Cell* c, int32_t v) { set_data_word(c, 2, uint32_t(v)); }

}  // namespace zel::triple
