// Ownership tracking: an object that has an on-deep-change* handler owns the series held in
// its fields (and the series nested in them), so that a change made inside such a series by
// any series action reaches the owner's on-deep-change* with the field's word.
//
// Invariants:
// - A series is owned when its buffer carries F_OWNED (every ownable kind, image! included:
//   a mark in a value cell would be lost on copies and could not be cleared on drop); the
//   owners table then holds one entry for its node: payload (the owned value, the owner
//   object, the owner's field word). Only the first owner of a series is kept.
// - An owner object has context::OWNER_BIT in its context cell's header: recording stops at
//   such an object and dropping does not descend into it.
// - The table is a collector root for its own buffers. An entry keeps its payload (owner,
//   word) alive only while its key series is reachable otherwise; entries whose key series
//   died are dropped after marking (a series nobody can reach can no longer change).
// - Walks are bounded by the mold cycle stack (a self-containing block is visited once).
//
// Only notify_change runs Zel code.
#pragma once
#include <cstdint>

#include "core/cell.h"

namespace zel::ownership {

// Makes the owners table (start-up, after the natives table).
void init();

// The kinds of value that can be owned: the any-blocks, the text series, binary!, vector!,
// image! and bitset!.
bool is_ownable(uint32_t type);
// True when the value is an ownable series whose buffer carries the owned flag.
bool is_owned(const Cell* value);

// Records owner (an object) and its field word as the owner of the value's series and of
// every series inside it (`ownership/record-owner-walk`). May allocate; never evaluates.
void record_owner_walk(const Cell* value, const Cell* owner, const Cell* word);
// Makes the object the owner of the series of all its fields (an object with
// on-deep-change*): each field's value is recorded under that field's word.
void own_fields(const Cell* object);
// Clears the ownership of the value's series and of everything inside it
// (`ownership/drop-owner`). Never allocates.
void drop_owner(const Cell* value);
// drop_owner on count cells of the block from index (`ownership/drop-owner-range`).
void drop_owner_range(const Cell* block, int32_t index, int32_t count);
// The owner object cell of the node's entry, nullptr when the node has no owner
// (`ownership/owner-of`). Valid until the next allocation.
const Cell* owner_of(uint32_t node);
// The entry's payload (value, owner, word) of the node, nullptr when absent.
const Cell* entry_of(uint32_t node);

// Calls the owner's on-deep-change* when the changed value (a series, or an object) has an
// owner with change handlers: (owner, word, value, action word, new value or none, index,
// part). Returns whether it called (`ownership/notify-change`). May evaluate Zel code: after
// it, re-derive buffer pointers and re-read the series; a break, continue, return, exit or
// throw from the handler leaves it as an exception (interp::call_with_args), never pending.
bool notify_change(const Cell* value, uint32_t action_symbol, const Cell* new_value, int32_t index,
                   int32_t part);

// Collector step, called once marking is done: marks the payload of every entry whose key
// series is reachable (repeating while that reaches further keys), then drops the entries
// whose key series or owner context was not marked.
void after_marking();

// Diagnostics and tests: live entries in the table; the table node.
uint32_t entry_count();
uint32_t table();

}  // namespace zel::ownership
