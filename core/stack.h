// The value stack and the call-frame stack.
//
// Every call passes its arguments on the value stack; the arguments base is both the first
// argument and the call's result slot. Each call also records a frame that names it (for
// error reports and stack traces), keeps recursive function contexts consistent, and serves
// as the target that errors, break, continue, return, exit and throw unwind to.
//
// Both stacks are fixed C++ arrays: a Cell* into the value stack stays valid for the life of
// the process (only its contents change).
//
// Unwinding. An error travels as a C++ exception (Unwind) with `pending` = LEVEL_ERROR and the
// error value in `unwind_value`. break, continue, return, exit and throw travel as a status:
// their native sets `pending` and returns normally, and every evaluating caller checks
// `unwinding()` after each evaluation and returns at once. A construct that stops an
// unwinding clears `pending`. C++ code that evaluates but cannot pass a status on (callbacks
// from inside an action) converts it with raise_pending(), as interp::call_with_args does;
// catch sites (try, catch, loops, function bodies, traced do) accept both forms.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/cell.h"
#include "core/context.h"

namespace zel::stack {

enum FrameKind : uint32_t {
    FRAME_CALL = 1,      // a function call
    FRAME_NATIVE = 2,    // a native or action call, or the runtime's own evaluations
    FRAME_TRY = 4,
    FRAME_TRY_ALL = 5,   // try/all: a barrier for break, continue, return, exit, throw
    FRAME_CATCH = 6,     // target of throw
    FRAME_EVAL = 7,      // the interpreter evaluating a whole block
    FRAME_LOOP = 8,      // target of break and continue
};
constexpr uint32_t FRAME_KIND_SHIFT = 24;
constexpr uint32_t FRAME_RETURN_TARGET = 1u << 28;
constexpr uint32_t FRAME_INTERPRETER = 1u << 31;

struct Frame {
    uint32_t header;      // kind in bits 24-27, return-target bit 28, interpreter bit 31
    uint32_t symbol;      // the naming word's symbol
    uint32_t saved_base;  // the caller's arguments base (value-stack index)
    uint32_t word_ctx;    // the naming word's context
    uint32_t func_ctx;    // function context whose values live on the stack, or 0
    uint32_t saved_ref;   // that context's values reference before this call
    uint32_t kind() const { return (header >> FRAME_KIND_SHIFT) & 0xF; }
};

enum Level : uint32_t {
    LEVEL_NONE = 0,
    LEVEL_THROW = 0x7FFFFFFA,
    LEVEL_EXIT = 0x7FFFFFFB,
    LEVEL_RETURN = 0x7FFFFFFC,
    LEVEL_CONTINUE = 0x7FFFFFFD,
    LEVEL_BREAK = 0x7FFFFFFE,
    LEVEL_ERROR = 0x7FFFFFFF,
};

struct Unwind {};   // the C++ exception that carries an unwinding; its level is `pending`

constexpr uint32_t VALUE_CELLS = 20000;
constexpr uint32_t FRAME_RECORDS = 12000;
constexpr uint32_t VALUE_RESERVE = 256;   // only the raising of stack-overflow may use these
constexpr uint32_t FRAME_RESERVE = 64;

extern Cell* bottom;
extern Cell* top;
extern Cell* limit;
extern Cell* base;        // the running call's arguments base and result slot
extern Frame* fbottom;
extern Frame* ftop;       // next free frame record
extern Frame* flimit;

extern uint32_t pending;
extern Cell unwind_value;   // the error, the thrown value, or break/return's value
extern Cell unwind_name;    // the name a throw carries (unset when none)

void init();

[[noreturn]] void overflow();

// A new top cell, read as unset! until the caller fills it: the collector marks every cell up
// to the top, and a stale cell left from an earlier use could name a dead series.
inline Cell* push() {
    if (top >= limit) overflow();
    top->header = TYPE_UNSET;
    return top++;
}
inline Cell* push_copy(const Cell* v) {
    Cell* c = push();
    *c = *v;
    return c;
}
inline Cell* push_unset() { Cell* c = push(); set_unset(c); return c; }
inline Cell* push_none() { Cell* c = push(); set_none(c); return c; }
inline Cell* arg(int32_t i) { return base + i; }
inline Cell* result() { return base; }
inline uint32_t index_of(const Cell* c) { return uint32_t(c - bottom); }
inline Cell* at_index(uint32_t i) { return bottom + i; }
inline void drop(uint32_t n) { top = (top - bottom >= n) ? top - n : bottom; }
inline void reset_top() { top = base; }
inline void keep_result_slot() { top = base + 1; }
inline void set_result(const Cell* v) { top = base + 1; *base = *v; }
inline Cell* topmost() { return top > bottom ? top - 1 : bottom; }

inline bool unwinding() { return pending != LEVEL_NONE; }

// ---- frames ----
[[noreturn]] void overflow_frames();

// Opens a frame named by a symbol; the new arguments base is the current value-stack top.
inline void open_frame(uint32_t symbol, uint32_t word_ctx, uint32_t kind, uint32_t flags = 0) {
    if (ftop >= flimit) overflow_frames();
    Frame* f = ftop++;
    f->header = (kind << FRAME_KIND_SHIFT) | flags;
    f->symbol = symbol;
    f->saved_base = uint32_t(base - bottom);
    f->word_ctx = word_ctx;
    f->func_ctx = 0;
    f->saved_ref = 0;
    base = top;
}
// A function-call frame: the function context's values now live at the new arguments base.
inline void open_call_frame(uint32_t symbol, uint32_t word_ctx, uint32_t func_ctx, uint32_t flags = 0) {
    open_frame(symbol, word_ctx, FRAME_CALL, flags);
    Frame* f = ftop - 1;
    f->func_ctx = func_ctx;
    f->saved_ref = func_ctx ? ctx_values(context::record(func_ctx)) : 0;   // where its values were
}
// Points the top frame's function context at the current arguments base.
inline void enter_function_context(uint32_t func_ctx) {
    set_ctx_values(context::record(func_ctx), uint32_t(base - bottom) + 1);   // value-stack index + 1
}
inline void restore_function_context(const Frame* f) { set_ctx_values(context::record(f->func_ctx), f->saved_ref); }
inline void pop_frame_record() {
    Frame* f = --ftop;
    if (f->func_ctx) restore_function_context(f);
    base = bottom + f->saved_base;
}
// Pops the top frame, restoring its function context; top := base + 1 (result kept as the
// caller's next value), base := saved base.
inline void close_frame_keep() {
    Cell* result = base;
    pop_frame_record();
    top = result + 1;
}
// As close_frame_keep, then copies the result into the caller's result slot.
inline void close_frame_pass() {
    Cell r = *base;
    pop_frame_record();
    *base = r;
    top = base + 1;
}
// Pops the top frame; top := the caller's base after the dropped values.
inline void close_frame_drop() {
    Cell* old_base = base;
    pop_frame_record();
    top = old_base;
}

inline Frame* topmost_frame() { return ftop > fbottom ? ftop - 1 : nullptr; }
uint32_t frame_depth();

// Unwinds frames down to (excluding) the given frame position, restoring function contexts.
void unwind_frames_to(Frame* target);

// ---- frame searches for the non-local exits ----
// Sets `pending` for break/continue after checking that a loop frame is reachable; raises
// throw/break or throw/continue otherwise. value (may be null) is break's /return value.
void start_break(const Cell* value, bool is_continue);
// The same for return/exit (value null: exit) looking for a return-target frame.
void start_return(const Cell* value);
// The same for throw: value and name (null: none) are kept for the catch.
void start_throw(const Cell* value, const Cell* name);
// Converts a pending status into the exception form (for C++ code that cannot pass it on).
void raise_pending();

// The word naming the innermost named call (not <body> or <anon>), bound as its frame
// recorded; <not-found> when none.
void calling_word(Cell* out);
// Saves a thrown-frame mark used by calling_word; a catch that takes the throw clears it.
void mark_thrown_frame();
void clear_thrown_mark();

// Appends one word per named frame from the bottom (error stack traces).
void append_stack_trace(uint32_t block_node, int32_t mode, uint32_t end_frame);
// Marks the frames' contexts (collector root section).
void mark_frames();

// State that catch sites save and restore after an unwinding reached them.
struct Saved {
    uint32_t top, base;
    Frame* ftop;
    size_t guards;
    uint32_t cycle_depth;
    Cell position;   // error::current_position: the expression errors name as near
    Saved();
    void restore() const;
};

// Runs fn as a catch site of every unwinding: an error raised in fn, or an unwinding still
// pending when it returns, stops here. The stacks are put back as they were before fn, the
// pending level is cleared and returned (LEVEL_NONE when fn ended normally); the error or
// thrown value stays in unwind_value. fn copies out what it computed before it returns.
template <typename Fn>
uint32_t capture(Fn&& fn) {
    Saved saved;
    try {
        fn();
    } catch (Unwind&) {
    }
    uint32_t level = pending;
    pending = LEVEL_NONE;
    saved.restore();
    return level;
}

}  // namespace zel::stack
