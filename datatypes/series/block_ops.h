// Block operations the runtime core uses beyond the cell helpers of block.h.
#pragma once
#include <cstdint>

#include "core/cell.h"

namespace zel::block_ops {

// A deep copy of a series value from its head: nested any-blocks and text, binary and
// vector series are copied too; the result keeps the source's type (head index 0).
// Raises no-cycle for a block that contains itself.
void copy_deep(Cell* out, const Cell* value);

// Molds the cells of an any-block from its head (without brackets), honouring new-line
// flags and indentation. Returns the budget left.
int32_t mold_body(const Cell* block, uint32_t buffer, bool only, bool all, bool flat, int32_t limit,
                  int32_t indent);

}  // namespace zel::block_ops
