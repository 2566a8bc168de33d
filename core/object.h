// Object values: a context (kind 2, values in a block) wrapped in a value; the context's words
// are the object's fields.
//
// Cell (accessors object_* in core/cell.h): word 1 the context node, word 2 the class id
// (signed), word 3 the node of the on-change info (0 when the object has neither on-change*
// nor on-deep-change*). The context's owner cell (cell 1) holds a copy of the object cell; it
// is the authority for the on-change info, so a copy of the object taken before its info was
// built still reaches the handlers.
//
// On-change info: a block of two pair! cells, the first for on-change*, the second for
// on-deep-change*: x = (field index << 16) | argument count (x >= 0xFFFF0000: absent), y = the
// node of the handler's spec when the count was taken (a different spec means the handler
// was replaced: its arguments are counted again before the next call).
//
// Functions marked "may evaluate" run Zel code (make's body, change handlers): after them
// re-derive every buffer pointer, and keep needed values on the value stack or rooted; their
// cell arguments must themselves live on the value stack or be rooted.
#pragma once
#include <cstdint>

#include "core/actions.h"
#include "core/cell.h"

namespace zel::object {

// The next class id (the counter starts at 1,000,000; the first id is 1,000,001).
int32_t next_class_id();

// Writes an object cell of type t for the context (no on-change info) and stores it as the
// context's owner value.
void wrap(Cell* out, uint32_t ctx, int32_t class_id, uint32_t t = TYPE_OBJECT);

inline uint32_t context_of(const Cell* o) { return object_ctx(o); }

// make: from a prototype (an object, or nullptr) and a spec (a block, evaluated, or an
// object). Raises malconstruct for another spec. May evaluate.
void make(Cell* out, const Cell* proto, const Cell* spec);
// copy: a new object of the same class (and type); deep and types as the copy action.
void copy(Cell* out, const Cell* o, bool deep, const Cell* types);
// construct: an empty object (new class) or a copy of the prototype (same class) filled from
// the block without evaluation (`object/build-for-construct`).
void build_for_construct(Cell* out, const Cell* block, const Cell* proto, bool only);
// The set operation on an object (`object/assign-values`): from an object by name, from a
// block in order, else every field gets the value. May evaluate (on-change*).
void assign_values(const Cell* target, const Cell* value, bool any, bool only, bool some);
// For each field of source, stores into target's field of the same name a copy of the value
// (series deep-copied); every source field must exist in target (`object/copy-values-by-name`).
void copy_values_by_name(const Cell* target, const Cell* source);

// ---- fields ----
uint32_t field_count(const Cell* o);
// Slot index of a field (case-insensitive), -1 when absent.
int32_t index_of_word(const Cell* o, uint32_t symbol);
// Value cell of a field by symbol (case-insensitive), nullptr when absent.
Cell* field(const Cell* o, uint32_t symbol);
// The same, but a none cell when absent (`object/select-word-value`).
const Cell* select_word_value(const Cell* o, uint32_t symbol);
// The word-list entry whose value cell is cell, nullptr when cell is not one of o's values.
Cell* word_of_value_cell(const Cell* o, const Cell* cell);
// True when the word's value (or value #index of ctx) is an object! of that class.
bool word_holds_class(const Cell* word, int32_t class_id);
bool slot_holds_class(uint32_t ctx, int32_t index, int32_t class_id);
// Clears the new-line flag of every cell of a block; the changed flag of every field.
void clear_cells_bit30(uint32_t block_node);
void clear_changed_flags(uint32_t ctx);
// Flags the word-list entry of slot index as changed (a write through a context store).
void flag_changed(uint32_t ctx, int32_t index);

// ---- change handlers ----
// True when the object (through its context's owner cell) has on-change info.
bool has_on_change(const Cell* o);
// Builds the on-change info from the on-change* and on-deep-change* fields (a field that
// holds neither a function! nor a routine! raises bad-field-set); an object with
// on-deep-change* becomes the owner of its series. Stores o as its context's owner value.
void attach_on_change_info(Cell* o);
// The handlers run through interp::call_with_args: an unwinding out of a handler leaves these
// calls as an exception, never as a pending status.
//
// Stores value into slot index of the object context and runs on-change* (word, old, new);
// the stack top is restored afterwards. May evaluate.
void set_field_notify(uint32_t ctx, int32_t index, const Cell* word, const Cell* value);
// Runs the object's on-change* with (word, old, new) when it has one. May evaluate.
void call_on_change(const Cell* o, const Cell* word, const Cell* old_value, const Cell* new_value);
// The same for the field at index / for the object held by a word.
void fire_on_change_by_index(const Cell* o, int32_t index, const Cell* old_value, const Cell* new_value);
void fire_on_change_of_word(const Cell* object_word, const Cell* field_word, const Cell* old_value,
                            const Cell* new_value);
// Runs on-deep-change* with (owner, word, target, action, new or none, index, part). An object
// without on-change info raises invalid-obj-evt. May evaluate.
void call_on_deep_change(const Cell* o, const Cell* word, const Cell* target, const Cell* action,
                         const Cell* new_value, int32_t index, int32_t part);

// ---- text ----
// The fields as text (`object/mold-body`), for mold and form of objects, errors and ports.
// indenting: the mold's new-line layout with indent spaces a level. Returns the budget left.
int32_t mold_body(const Cell* o, uint32_t buffer, bool only, bool all, bool flat, const Cell* part,
                  int32_t limit, int32_t indent, bool indenting);

// ---- for the object! and error! handlers (datatypes/objects/) ----
// The value index of the word-list entry at position k, and the value it names.
int32_t slot_at(uint32_t ctx, uint32_t k);
Cell* value_of_entry(uint32_t ctx, uint32_t k);
// The word-list entry at position k as a plain word! bound to ctx.
void field_word(Cell* out, uint32_t ctx, uint32_t k);
// Whether the symbol is on-change or on-deep-change (fields a mold leaves out unless /all).
bool is_handler_symbol(uint32_t s);
// The on-change info node of the object of ctx (0: none).
uint32_t info_of(uint32_t ctx);
// Raises the error of a path step that names no field: invalid-path when the step asks for an
// error on a miss, else unset-path.
[[noreturn]] void raise_path_miss(const actions::PathStep& step, const Cell* element);
// A cell reading unset! (a path step's result for a missing field when the step allows it).
Cell* unset_cell();

}  // namespace zel::object
