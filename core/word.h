// Words: a symbol plus a binding (context node and slot index). word!, set-word!, lit-word!,
// get-word!, refinement! and issue! share the layout and differ by type id.
#pragma once
#include <cstdint>
#include <string_view>

#include "core/cell.h"
#include "core/context.h"
#include "core/error.h"
#include "core/stack.h"

namespace zel::word {

// A word of type t bound to the global context (the slot found or added case-insensitively).
void make_global(Cell* out, uint32_t t, uint32_t symbol);
void make_global(Cell* out, uint32_t t, std::string_view spelling);
// The word of symbol in ctx when ctx holds it (case-sensitive), else the global word.
void in_context(Cell* out, uint32_t ctx, uint32_t symbol);

// The value cell of a bound word; raises no-value (unbound), not-in-context (a function's
// word outside its call).
Cell* value_cell(const Cell* w);
// The value cell, or nullptr when the word cannot reach one.
Cell* value_or_null(const Cell* w);

// Reads a word's value, raising no-value when it is unset.
inline const Cell* get(const Cell* w) {
    const Cell* v = value_cell(w);
    if (type_of(v) == TYPE_UNSET) error::raise(error::ERR_SCRIPT_NO_VALUE, w);
    return v;
}
// Writes a word's value; an object field's change handler runs when fire is set.
void set(const Cell* w, const Cell* value, bool fire = true);

// The value of a global word by spelling (nullptr when absent).
Cell* global_value(std::string_view spelling);
// Sets a global word by spelling.
void set_global(std::string_view spelling, const Cell* value);

}  // namespace zel::word
