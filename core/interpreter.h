// The interpreter: evaluates blocks of values expression by expression, looks words up, sets
// words and paths, evaluates parens and paths, and calls natives, actions, functions, routines
// and ops (infix, all of one precedence, left to right).
//
// Code positions are (node, index) pairs, re-read after every evaluation: each expression
// boundary the walker passes is a safe point where the collector may move the code's buffer
// (compiled plain expressions, which allocate nothing, pass none; their block's entry is one).
//
// Every entry point may evaluate Zel code. After eval_block, eval_next, eval_value, apply and
// call_with_args_status return, check stack::unwinding(): a break, continue, return, exit or
// throw may be on its way up as a status. call_with_args never returns with one (see there).
#pragma once
#include <cstdint>

#include "core/cell.h"

namespace zel::interp {

// Evaluates the whole block (from its head). pass: the last value goes to the caller's result
// slot (stack top := base + 1); otherwise it is pushed on the stack.
void eval_block(const Cell* block, bool pass);
// eval_block for a caller that has changed nothing since its last evaluation of the block
// but the values of words (a loop entering its body again): compiled code found unchanged
// since is not compared again.
void eval_block_again(const Cell* block, bool pass);
// Evaluates one expression of the block at index; the value is pushed (keep) or stored in
// the result slot. Returns the index after the expression.
uint32_t eval_next(const Cell* block, uint32_t index, bool keep);
// Evaluates a single value as an expression (do of a word, a path...); the value is pushed.
void eval_value(const Cell* value);
// Calls a function value with the arguments taken from an args block (apply). path, when
// given, names refinements to use in its elements after the first (the function's word).
void apply(const Cell* fn, const Cell* args_block, bool all_mode, bool safer, const Cell* name,
           const Cell* path = nullptr);
// Runs a callable with arguments already on the stack, for callbacks from C++ (comparators,
// change handlers, tracers, lexer callbacks): opens a call frame named by name_symbol, pushes
// the argc cells, fills unused refinements and locals, runs. The result is pushed; the cells
// just above it still hold the callee's final argument values (argument k >= 1 at the result
// + 1 + k) until the next push, so a caller may read what the callee left in an argument.
//
// The boundary rule: the C++ code around a callback cannot pass a pending break, continue,
// return, exit or throw on as a status, so call_with_args raises it as the exception form
// (stack::raise_pending) that every catch site accepts; it never returns with a status
// pending. call_with_args_status leaves the status pending instead: only for a caller that
// returns at once to an evaluator when stack::unwinding() (a native that passes it on).
void call_with_args(const Cell* fn, uint32_t name_symbol, const Cell* args, int32_t argc);
void call_with_args_status(const Cell* fn, uint32_t name_symbol, const Cell* args, int32_t argc);

// The native stack guard: raises stack-overflow well before the native stack ends.
void check_native_stack();
void set_native_stack_base(void* base, size_t usable);

// Tracing state (the tracer itself comes with the library).
extern bool tracing;

// The interpreter's fast routes (inline shortcuts for plain values, numeric ops, simple calls
// and the conditionals). ZEL_NO_FAST_PATHS=1 turns them off at start-up: every block then
// takes the general route, the one a tracer sees, so the test suite proves them equal.
extern bool fast_paths;

// Compiled blocks: a block evaluated again and again runs its plain expressions from code
// made for it, checked against the block's cells before use (see interpreter.cpp).
// ZEL_NO_CODE_CACHE=1 turns them off at start-up, so the suite can prove both equal.
extern bool code_cache;

// Moves on whenever a series may have changed behind compiled code: a native that changes a
// series outside run_gathered's watch (as a loop between its rounds) moves it itself.
extern uint64_t code_epoch;
inline void note_series_change() { code_epoch++; }

}  // namespace zel::interp
