// hash!: a block whose values are also entered in a hash table (core/hashtable.h, kind 0),
// so that find, select and the set operations look values up instead of scanning.
//
// Cell: a block cell of type hash! whose word 3 holds the table's node. The table indexes the
// cells of the whole buffer from position 0, whatever the head index.
//
// Keeping the index in step: every series action that changes a block tells the block's
// owner through series::notify_owner, before and after the change; for a hash! that one
// place also calls track_change, which moves, drops or re-enters the index entries of the
// positions concerned. A change far from the tail (more than a few dozen entries to
// renumber) marks the index stale instead, and later changes leave a stale index alone; a
// lookup first rebuilds a stale index once, or else brings it up to the block's length
// (sync), so cells added or cut by any other route are indexed before they are searched.
//
// Nothing here evaluates Zel code.
#pragma once
#include <cstdint>

#include "core/cell.h"
#include "datatypes/series/series.h"

namespace zel::hash {

// Word 3 of a hash! cell: its table's node.
inline uint32_t table_node(const Cell* c) { return series_extra(c); }
inline void set_table_node(Cell* c, uint32_t node) { set_series_extra(c, node); }

// The table of a hash! value, in step with its block (rebuilt when stale); 0 for any other
// value. Every lookup in a hash!'s own index goes through this.
uint32_t synced_table(const Cell* value);

// Gives the hash! cell a new table indexing every cell of its block.
void index_cell(Cell* value);

// Keeps a hash!'s index in step with a change of its block (called by series::notify_owner
// for the before and the after notification of every modifying action).
void track_change(const Cell* value, series::Change action, int32_t index, int32_t part);
// The one change that touches two places at once: after swap exchanged the cells at the
// heads of a and b, both positions are entered again (either value may be a hash!).
// track_change leaves the swap notifications alone.
void track_swap(const Cell* a, const Cell* b);

}  // namespace zel::hash
