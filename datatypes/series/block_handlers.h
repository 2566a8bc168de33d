// The block! handlers that the other any-block types (paren!, the path types, hash!, map!)
// and the set natives build on (block.cpp, block_search.cpp).
#pragma once
#include <cstdint>

#include "core/actions.h"
#include "core/cell.h"

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
