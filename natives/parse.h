// The parse dialect engine: matches an input series (string, binary or any-block) against a
// block of rules, may edit the input while it matches, collects values, and reports every
// step to an optional trace callback.
//
// The walk is an explicit state machine over two block stacks of its own (the rule stack, three
// cells per open rule level, and the series stack, the inputs of the running calls and of the
// open `into` levels), never machine-stack recursion, so rule nesting is bounded only by the
// stacks' limit (script/parse-stack).
//
// Rooting: every position the walk keeps is an index; the input, the current rule block and
// the collect targets live in value-stack cells, the levels in the rule stack (a collector
// root). Parens in rules and the trace callback may evaluate Zel code and so move every buffer:
// the walk re-derives every pointer after them.
//
// Unwinding: break, continue, return, exit and throw raised by a paren in the rules pass
// through parse as a pending status (the native returns at once); from the trace callback they
// arrive as the exception form of call_with_args. Either way the call's stack entries are
// released first.
#pragma once
#include <cstdint>

#include "core/cell.h"

namespace zel::parse {

// Cells one rule level takes on the rule stack.
constexpr uint32_t LEVEL_CELLS = 3;
// The most cells either stack may hold (checked before a level opens).
constexpr uint32_t STACK_LIMIT = 10000;

// `parse/init`: makes both stacks (runtime start-up).
void init();

// `parse/process`: runs the rules over the input. Cells are value-stack cells of the caller:
// input and rules are read at entry; case_mode 0 or 2; limit an absolute index or -1 for none;
// callback a function! cell or nullptr. The result (logic! or block!) goes into result. Returns
// false when an unwinding status is pending (the caller returns at once).
bool process(Cell* result, const Cell* input, const Cell* rules, int case_mode, int64_t limit,
             const Cell* callback);

// The open cells of the two stacks (tests: both are empty when no parse runs).
uint32_t rule_stack_cells();
uint32_t series_stack_cells();

}  // namespace zel::parse
