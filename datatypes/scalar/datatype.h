// datatype!, unset!, none! and logic!: the four smallest datatypes, each wholly inside its
// cell, with the constructors the rest of the runtime uses and the truth tests of logic!.
//
// Also the small helpers every scalar unit shares (namespace scalar): appending ASCII text
// to a form/mold buffer against a part budget, and the argument errors that name the
// calling word.
//
// Constructors never allocate except append_new (which may grow the block's buffer).
#pragma once
#include <cstdint>
#include <string_view>

#include "core/actions.h"
#include "core/cell.h"

namespace zel::datatype {

// `datatype/push`: pushes a datatype! naming the type id.
Cell* push(uint32_t type);
// `datatype/append-new`: appends a datatype! at the block's tail.
Cell* append_new(uint32_t block_node, uint32_t type);

}  // namespace zel::datatype

namespace zel::unset {

// The process-wide unset! cell other code copies.
const Cell* value();
Cell* push();
Cell* append_new(uint32_t block_node);
void set_result();

}  // namespace zel::unset

namespace zel::none {

// The process-wide none! cell other code copies.
const Cell* value();
Cell* push();
Cell* append_new(uint32_t block_node);
void set_result();

}  // namespace zel::none

namespace zel::logic {

// The two constant logic! cells that to logic! returns.
const Cell* true_cell();
const Cell* false_cell();

Cell* push(bool flag);
Cell* append_new(uint32_t block_node, bool flag);
void set_result(bool flag);
// The 0/1 word of a logic! cell.
inline uint32_t cell_value(const Cell* c) { return logic_word(c); }

// `logic/truth-of`: 0 for none! and false, 1 for every other value. With check set, an
// unset! value raises script/no-value with arg as arg1. May raise.
bool truth_of(const Cell* value, bool check, const Cell* arg);
// `logic/arg-true`: truth of the result slot; unset! raises script/no-return.
bool arg_true();
// `logic/arg-false`: the result slot holds none! or false.
bool arg_false();
// `logic/stack-top-falsy`, `logic/stack-top-true`: the most recently pushed cell.
bool stack_top_falsy();
bool stack_top_true();

}  // namespace zel::logic

namespace zel::scalar {

// Appends ASCII text to a string buffer; returns the budget minus the characters written.
int32_t emit(uint32_t buffer, std::string_view text, int32_t budget);

// script/expect-arg naming the calling word, the given datatype and the spec word of
// argument arg_index of the running function (0-based). Never returns.
[[noreturn]] void raise_expect_arg(int32_t arg_index, uint32_t value_type);
// script/not-related ("incompatible argument for", word, "of", datatype) with the calling
// word as arg1.
[[noreturn]] void raise_not_related_calling(uint32_t type);
// script/not-related with the word of an action as arg1.
[[noreturn]] void raise_not_related_action(int action, uint32_t type);
// script/cannot-use ("cannot use", calling word, "on", datatype, "value").
[[noreturn]] void raise_cannot_use(uint32_t type);
// script/bad-to-arg with the target datatype and the value.
[[noreturn]] void raise_bad_to(uint32_t type, const Cell* value);

// The handler of another datatype for a stack-reading action (arithmetic), called with the
// argument cells as they are. Raises expect-arg when that type does not support the action.
void run_stack_action(uint32_t type, int action);
// Hands an arithmetic action over to the type of the second operand, which takes this type
// as its own second operand: raises expect-arg before anything changes when that type does
// not support the action, else swaps the first two arguments and runs its handler.
void run_swapped(uint32_t type, int action);

// Loads a text value (string!, file!, url!, tag!, email!, ref!) from its head with the
// lexer into out. True when the whole text is exactly one value; false for any other
// content or a syntax error (the error is dropped). The to-conversions of the scalar types
// read strings through this (`convert/scan-string`).
bool load_one_value(const Cell* text, Cell* out);

// True for the word types a field name may come as (word!, set-word!, lit-word!, get-word!).
inline bool is_field_word(const Cell* c) {
    uint32_t t = type_of(c);
    return t == TYPE_WORD || t == TYPE_SET_WORD || t == TYPE_LIT_WORD || t == TYPE_GET_WORD;
}
// The symbol of a field name, interned on first use and cached by the caller:
// `static uint32_t s; field_symbol(s, "hour")`.
uint32_t field_symbol(uint32_t& cache, const char* spelling);
// Whether a word names the field (case-insensitive).
bool is_field(const Cell* word, uint32_t& cache, const char* spelling);

// After a path set changed a scalar held in a copy (parent), writes the new value back
// where the path took it from: the path's first word when the scalar is its value, else
// the container one step up (an object field, a block slot, a map key ...) through that
// container's own path set, which runs the object's change handler or tells the series'
// owner. Does nothing without a path (an eval-path action call). May evaluate Zel code.
void store_back(const Cell* value, const actions::PathStep& step);

}  // namespace zel::scalar
