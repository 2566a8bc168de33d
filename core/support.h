// Runtime entry points that natives and routines call with values on the value stack:
// argument type checks against typesets, checked word and context-slot sets and gets, and the
// switch lookup. Each raises the script error its check names (expect-arg, need-value,
// no-value, not-defined, bad-make-arg) through error::raise.
//
// Arguments are value-stack cells (stack::arg(i) of the running call); a Cell* returned into a
// context's values is valid until the next evaluation or allocation.
#pragma once
#include <cstdint>

#include "core/cell.h"

namespace zel::support {

// ---- argument type checks ----

// `typeset/check-value`: value's type must be in the typeset (the 96-bit set of a typeset!
// cell, bit t = byte t >> 3, mask 0x80 >> (t & 7)); otherwise script/expect-arg with the word
// of the innermost named call, the value's datatype and the spec word of argument arg_number
// (0-based, spec order, refinements counted) of that call's function. Returns value.
const Cell* check_value(const Cell* typeset, int32_t arg_number, const Cell* value);
// `support/check-arg-type`: checks the argument cell at arguments base + position when
// position >= 0 (a negative position is an unused refinement's argument: nothing to check).
void check_arg_type(int32_t position, const Cell* typeset, int32_t arg_number);
// `support/check-arg-type-opt`: checks value only when the refinement cell is true.
const Cell* check_arg_type_opt(const Cell* refinement, const Cell* typeset, int32_t arg_number,
                               const Cell* value);
// `support/check-not-unset`: an unset! value raises expect-arg as check_value does.
void check_not_unset(int32_t arg_number, const Cell* value);
// `support/bad-make-arg`: raises script/bad-make-arg with the datatype and the spec.
[[noreturn]] void bad_make_arg(uint32_t type, const Cell* spec);

// ---- checked word and slot access ----

// `word/set-value`: sets the word to the topmost stack value, then resets the stack top to
// the arguments base. An unset! value raises script/need-value with the word and leaves the
// word unchanged. Runs an object's on-change* (may evaluate).
void set_word_value(const Cell* word);
// `word/set-value-keep`: the same without resetting the stack (inner set-words of a chain).
void set_word_value_keep(const Cell* word);
// `word/value-cell-checked`: the word's value cell; an unset! value raises script/no-value
// with the word.
Cell* word_value_checked(const Cell* word);

// `context/set-slot`: copies the topmost stack value into slot index of the context, marks
// the slot's word entry as changed when the context belongs to an object, and resets the
// stack top to the arguments base. No unset check, no change handler.
void set_slot(uint32_t ctx, int32_t index);
// `context/set-slot-checked`: copies the topmost stack value into the slot (in the running
// call's frame for a function context); an unset! value raises script/need-value with the
// slot's word. A function context whose function is not running raises script/not-defined.
void set_slot_checked(uint32_t ctx, int32_t index);
// `context/set-slot-reset`: set_slot_checked, then resets the stack top to the arguments base.
void set_slot_reset(uint32_t ctx, int32_t index);
// `context/get-slot-checked`: the slot's cell; a context without values (a function that is
// not running) raises script/not-defined with the slot's word.
Cell* get_slot_checked(uint32_t ctx, int32_t index);

// ---- /part ----

// The count a /part argument gives for the series s: an integer as it stands, or a position in
// the same series (when positions is true) as the distance from s's head. Anything else raises
// script/invalid-refine-arg with /part.
int32_t part_count(const Cell* s, const Cell* part, bool positions = true);

// ---- switch ----

// `support/block-access`: the switch lookup. The value is the first argument of the running
// call, the cases block the second. A block! value finds nothing. Otherwise the cases are
// walked from their head by 1 cell (mode 1) or 2 cells (mode 0); a cell of the value's type
// that compares equal matches. The answer is, with skip_to_block, the first block! after the
// match (none when there is none), otherwise the cell after the match (the match itself when
// it is the last cell). No match answers none. Mode 1 pushes the answer; mode 0 stores it in
// the result slot (top := base + 1).
void block_access(int mode, bool skip_to_block);
// The lookup itself, shared with the switch native: walks the cases from their head (clipped
// to their tail) by step cells for a cell of the value's type that compares equal, and
// answers the index of the answer cell in the cases' buffer as above, -1 for none. A block!
// value finds nothing. *matched (when given) tells whether a case matched at all.
int32_t switch_lookup(const Cell* value, const Cell* cases, uint32_t step, bool skip_to_block,
                      bool* matched = nullptr);

}  // namespace zel::support
