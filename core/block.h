// block! cell operations shared by the runtime: the constructors and accessors through which
// every unit builds and reads blocks (and the other any-block types, which share the layout).
#pragma once
#include <cstdint>

#include "core/cell.h"
#include "core/memory.h"

namespace zel::block {

// A new empty block buffer with room for n cells (n < 1 counts as 1).
inline uint32_t new_node(int64_t n) { return memory::new_cell_series(size_t(n < 1 ? 1 : n)); }
// Writes an empty block of type t with room for n cells into the cell.
inline void init_cell(Cell* c, int64_t n, uint32_t t = TYPE_BLOCK) { set_series(c, t, new_node(n), 0, 0); }

// Cells from the head index to the tail (0 when the head lies past the tail).
inline int32_t length(const Cell* b) {
    int32_t h = series_head(b);
    int32_t n = int32_t(memory::buf(series_node(b))->length()) - (h < 0 ? 0 : h);
    return n < 0 ? 0 : n;
}
inline Cell* head(const Cell* b) {
    SeriesBuf* sb = memory::buf(series_node(b));
    int32_t h = series_head(b);
    uint32_t len = sb->length();
    return sb->cells() + (h < 0 ? 0 : (uint32_t(h) > len ? len : uint32_t(h)));
}
inline Cell* tail(const Cell* b) { return memory::buf(series_node(b))->cell_tail(); }
inline Cell* at(uint32_t node, uint32_t index) { return memory::buf(node)->cells() + index; }

// Appends a copy of v at the tail of the block buffer and returns the new cell.
inline Cell* append(uint32_t node, const Cell* v) {
    Cell tmp = *v;   // v may live in the buffer that is about to grow
    Cell* c = memory::append_cell(node);
    *c = tmp;
    return c;
}
// Appends copies of count cells.
void append_cells(uint32_t node, const Cell* first, uint32_t count);
// Inserts count cells at index, moving the later cells up.
void insert_cells(uint32_t node, uint32_t index, const Cell* first, uint32_t count);
// How a sort's /compare function answered about x and y: negative puts x first, positive
// after y, 0 equal (true first; false and none after; a number three-way; else first).
int32_t comparator_answer(const Cell* answer);
// A new block node holding copies of the cells of b from its head (shallow).
uint32_t copy_node(const Cell* b);

}  // namespace zel::block
