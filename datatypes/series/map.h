// map!: key/value pairs kept in the order each key was first added and found by key through
// a hash table (core/hashtable.h, kind 1). Not a series: it has its own make, to, reflect,
// form, mold, eval-path, compare, clear, copy, find, length?, put, remove and select.
//
// Cell: word 1 head index (0), word 2 the key/value block (cells in pairs, key first), word 3
// the table (table_node).
// A pair whose value cell has a header word of 0 is removed: its key stays in the block and
// the index, every walk skips it, and setting the key again revives it in place. The table's
// count is the number of live pairs. When removed pairs outnumber both 64 and the live ones,
// the block is compacted (live pairs keep their order) and the index rebuilt.
//
// Stored keys: words of the word family are kept as set-word! (flags cleared, binding kept);
// text and binary keys are copies, so that later changes to the caller's series do not reach
// them; the other key types are kept as given. A key matches a stored key of the same
// datatype that its compare action finds equal (case-insensitive by default, case-sensitive
// with /case, identical with /same).
//
// Nothing here evaluates Zel code.
#pragma once
#include <cstdint>

#include "core/cell.h"

namespace zel::map {

// The key/value block is the series node; word 3 holds the table's node.
inline uint32_t table_node(const Cell* c) { return series_extra(c); }
inline void set_table_node(Cell* c, uint32_t node) { set_series_extra(c, node); }

// The number of live pairs (`map/count`).
uint32_t count(const Cell* map);
// Whether values of the type may be keys (`map/hashable-key?`).
bool is_hashable_key(uint32_t type);
// Writes into out a map! over copies of the n cells (keys and values alternately; n even):
// new-line flags cleared, keys normalised, a key met again keeps its first place and takes
// the later value (`map/init-cell`). Raises script/invalid-path for a key that cannot be one.
void from_cells(Cell* out, const Cell* cells, uint32_t n);
// Sets every key/value pair of the block from its head (`map/put-pairs`, the extend native).
// Raises script/invalid-arg for an odd count, script/invalid-path for a bad key.
void put_pairs(Cell* map, const Cell* block, bool case_sensitive);

}  // namespace zel::map
