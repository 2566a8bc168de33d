// Object values: a context wrapped in a value; the context's words are the fields.
// Cell: d1 context node, d2 class id, d3 node of the on-change info (0 when the object has
// neither on-change* nor on-deep-change*).
#pragma once
#include <cstdint>

#include "core/cell.h"

namespace zel::object {

// The next class id (the counter starts at 1,000,000; the first id is 1,000,001).
int32_t next_class_id();

// Writes an object cell of type t for the context and stores it as the context's owner.
void wrap(Cell* out, uint32_t ctx, int32_t class_id, uint32_t t = 32);

// Makes an object from a prototype (object or none) and a spec block (evaluated).
void make(Cell* out, const Cell* proto, const Cell* spec);

inline uint32_t context_of(const Cell* o) { return o->d1; }
bool has_on_change(const Cell* o);
// Builds the on-change info of the object (from its on-change* / on-deep-change* fields).
void attach_on_change_info(Cell* o);
// Stores value into slot index of an object context and runs on-change* (word, old, new).
void set_field_notify(uint32_t ctx, int32_t index, const Cell* word, const Cell* value);

// Value cell of a field by symbol (case-insensitive), nullptr when absent.
Cell* field(const Cell* o, uint32_t symbol);
uint32_t field_count(const Cell* o);

void register_types();

}  // namespace zel::object
