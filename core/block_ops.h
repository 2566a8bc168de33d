// Block operations the runtime core uses beyond the cell helpers of block.h, and the block!
// handlers that the other any-block types (paren!, the path types) build on.
//
// None of these evaluates Zel code (the owner notification will, once ownership tracking is
// wired in). They may allocate, so pointers into a buffer that grows must be re-derived.
#pragma once
#include <cstdint>

#include "core/actions.h"
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

namespace zel::block {

// The block! handlers that the path types reuse: make, to and copy
// give a value of type t (make/to) or of the source's type (copy).
Cell* make(Cell* proto, Cell* spec, uint32_t t);
Cell* to(Cell* proto, Cell* spec, uint32_t t);
Cell* copy(Cell* value, Cell* out, Cell* part, bool deep, Cell* types);

// Search, sort and set operations (block_search.cpp). Only sort with a function comparator
// evaluates Zel code; every other one of these leaves the collector alone.
// find and select: a scan, or a hash!'s table lookup; the result cell is pushed.
Cell* find(const actions::FindArgs& a);
Cell* select(const actions::FindArgs& a);
// put: overwrites the value after the key, or appends the key and the value. Returns value.
Cell* put(Cell* series, Cell* key, Cell* value, bool case_sensitive);
// sort: sorts the records in place (moving the head back for a negative /part) and returns
// the series. May evaluate (the /compare function).
Cell* sort(Cell* series, bool case_sensitive, Cell* skip, Cell* comparator, Cell* part, bool all,
           bool reverse, bool stable);
// The set operations of the set natives: unique (8), union (9), intersect (10), exclude (11)
// and difference (12) of a and b (b unused by unique), record by record of skip cells,
// comparing first cells with = (== when case_sensitive); out gets a new series of a's type.
// Raises invalid-refine-arg for a skip below 1.
void set_operation(Cell* out, bool case_sensitive, int32_t skip, int32_t code, const Cell* a, const Cell* b);

}  // namespace zel::block
