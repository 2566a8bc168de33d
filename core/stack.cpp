// The value stack and the call-frame stack (see stack.h).
#include "core/stack.h"

#include <memory>

#include "core/collector.h"
#include "core/context.h"
#include "core/error.h"
#include "core/runtime_words.h"
#include "core/word.h"
#include "core/block.h"
#include "core/cycle_stack.h"

namespace zel::stack {

Cell* bottom = nullptr;
Cell* top = nullptr;
Cell* limit = nullptr;
Cell* base = nullptr;
Frame* fbottom = nullptr;
Frame* ftop = nullptr;
Frame* flimit = nullptr;
uint32_t pending = LEVEL_NONE;
Cell unwind_value;
Cell unwind_name;

namespace {
Cell* value_end = nullptr;
Frame* frame_end = nullptr;
Frame* thrown_mark = nullptr;

void mark_values() {
    collector::mark_cells(bottom, top);
    collector::mark_cell(&unwind_value);
    collector::mark_cell(&unwind_name);
    mark_frames();
}

// Restores the normal limits once the reserve served an overflow error.
void restore_limits() {
    limit = value_end - VALUE_RESERVE;
    flimit = frame_end - FRAME_RESERVE;
}

}  // namespace

[[noreturn]] void overflow_frames() {
    limit = value_end;
    flimit = frame_end;
    cycle::reset();
    error::raise(error::ERR_INTERNAL_STACK_OVERFLOW);
}

void init() {
    static std::unique_ptr<Cell[]> values(new Cell[VALUE_CELLS]);
    static std::unique_ptr<Frame[]> frames(new Frame[FRAME_RECORDS]);
    bottom = top = base = values.get();
    value_end = bottom + VALUE_CELLS;
    fbottom = ftop = frames.get();
    frame_end = fbottom + FRAME_RECORDS;
    restore_limits();
    set_unset(&unwind_value);
    set_unset(&unwind_name);
    collector::add_root_marker(mark_values);
}

void overflow() {
    if (limit == value_end) {
        // Even the reserve is spent: nothing orderly is left to do.
        std::abort();
    }
    overflow_frames();
}

uint32_t frame_depth() { return uint32_t(ftop - fbottom); }

void unwind_frames_to(Frame* target) {
    while (ftop > target) {
        Frame* f = --ftop;
        if (f->func_ctx) restore_function_context(f);
    }
}

// ---- non-local exits ----

namespace {
// Searches below the topmost frame for a frame satisfying want; a try/all frame met first
// (the topmost included) or the bottom gives nullptr.
template <typename Want>
Frame* find_target(Want want) {
    if (ftop == fbottom) return nullptr;
    if ((ftop - 1)->kind() == FRAME_TRY_ALL) return nullptr;
    for (Frame* f = ftop - 2; f >= fbottom; f--) {
        if (want(f)) return f;
        if (f->kind() == FRAME_TRY_ALL) return nullptr;
    }
    return nullptr;
}
}  // namespace

void start_break(const Cell* value, bool is_continue) {
    Frame* f = find_target([](Frame* fr) { return fr->kind() == FRAME_LOOP; });
    if (!f) error::raise(is_continue ? error::ERR_THROW_CONTINUE : error::ERR_THROW_BREAK);
    if (value && !is_continue) unwind_value = *value; else set_unset(&unwind_value);
    pending = is_continue ? LEVEL_CONTINUE : LEVEL_BREAK;
}

void start_return(const Cell* value) {
    Frame* f = find_target([](Frame* fr) { return (fr->header & FRAME_RETURN_TARGET) != 0; });
    if (!f) error::raise(error::ERR_THROW_RETURN);
    if (value) unwind_value = *value; else set_unset(&unwind_value);
    pending = value ? LEVEL_RETURN : LEVEL_EXIT;
}

void start_throw(const Cell* value, const Cell* name) {
    mark_thrown_frame();
    Frame* f = find_target([](Frame* fr) { return fr->kind() == FRAME_CATCH; });
    if (!f) {
        thrown_mark = nullptr;
        error::raise(error::ERR_THROW_THROW, value);
    }
    unwind_value = *value;
    if (name) unwind_name = *name; else set_unset(&unwind_name);
    pending = LEVEL_THROW;
}

void raise_pending() {
    if (pending != LEVEL_NONE) throw Unwind{};
}

void mark_thrown_frame() {
    if (!thrown_mark) thrown_mark = ftop;
}

void clear_thrown_mark() { thrown_mark = nullptr; }

void calling_word(Cell* out) {
    Frame* from = thrown_mark ? thrown_mark : ftop;
    thrown_mark = nullptr;
    for (Frame* f = from - 1; f >= fbottom; f--) {
        if (f->symbol == sym(SYM_BODY) || f->symbol == sym(SYM_ANON) || f->symbol == 0) continue;
        word::in_context(out, f->word_ctx ? f->word_ctx : context::global, f->symbol);
        return;
    }
    word::make_global(out, TYPE_WORD, sym(SYM_NOT_FOUND));
}

void append_stack_trace(uint32_t block_node, int32_t mode, uint32_t end_frame) {
    Frame* end = fbottom + end_frame;
    if (end > ftop) end = ftop;
    for (Frame* f = fbottom; f < end; f++) {
        if (f->symbol == sym(SYM_BODY) || f->symbol == sym(SYM_ANON) || f->symbol == 0) continue;
        if (mode <= 1) {
            Cell w;
            word::in_context(&w, f->word_ctx ? f->word_ctx : context::global, f->symbol);
            const Cell* v = word::value_or_null(&w);
            if (!v || type_of(v) != TYPE_FUNCTION) continue;
        }
        Cell* c = memory::append_cell(block_node);
        word::make_global(c, TYPE_WORD, f->symbol);
    }
}

void mark_frames() {
    for (Frame* f = fbottom; f < ftop; f++) {
        if (f->word_ctx) collector::mark_node_cells(f->word_ctx);
        if (f->func_ctx) {
            collector::mark_node_cells(f->func_ctx);
            // The saved reference is a values node when the context keeps its values in a
            // series; for stack contexts it is a stack position.
            if (!context::on_stack(f->func_ctx) && f->saved_ref) collector::mark_node_cells(f->saved_ref);
        }
    }
}

Saved::Saved()
    : top(index_of(stack::top)), base(index_of(stack::base)), ftop(stack::ftop),
      guards(collector::guard_depth()), cycle_depth(cycle::depth()), position(error::current_position) {}

void Saved::restore() const {
    unwind_frames_to(ftop);
    // A thrown-frame mark among the frames just dropped would name a later error's call wrongly.
    if (thrown_mark > ftop) thrown_mark = nullptr;
    stack::top = bottom + top;
    stack::base = bottom + base;
    collector::restore_guard_depth(guards);
    cycle::restore(cycle_depth);
    error::current_position = position;
    restore_limits();
}

}  // namespace zel::stack
