// Block operations the runtime core uses beyond the cell helpers of block.h. The block!
// handlers that the other any-block types build on are in datatypes/series/block_handlers.h.
//
// None of these evaluates Zel code (the owner notification will, once ownership tracking is
// wired in). They may allocate, so pointers into a buffer that grows must be re-derived.
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
// The same, stopping before a value once the budget is below 1 when part (the /part
// argument of the mold call) is given.
int32_t mold_body_part(const Cell* block, uint32_t buffer, bool only, bool all, bool flat, const Cell* part,
                       int32_t limit, int32_t indent);

// Forms the cells of an any-block from its head with one space between values (none after
// a value whose text ends in a tab, line feed or carriage return); "..." for a block that is
// already being formed. Returns the budget left (`block/form`).
int32_t form_body(const Cell* block, uint32_t buffer, const Cell* part, int32_t limit);

// The value after the first word!, set-word!, get-word! or lit-word! of the block (from its
// head) with the symbol, compared case-insensitively (exactly when strict); nullptr when the
// word is absent or is the last cell (`block/find-word`).
Cell* find_word(const Cell* block, uint32_t symbol, bool strict);

}  // namespace zel::block_ops
