// The natives that leave code early or stop others from leaving: try catch throw break
// continue exit return.
//
// break, continue, return, exit and throw start their unwinding through the frame searches of
// the stack (which raise the throw-category errors when no target is reachable, or when a
// try/all frame lies in the way) and return; the status then passes up through every native
// that evaluates until the loop, function or catch that takes it. try takes errors, catch
// takes throws; both accept them as a status or as an exception.
#include "core/collector.h"
#include "core/context.h"
#include "core/interpreter.h"
#include "core/memory.h"
#include "core/object.h"
#include "core/runtime_words.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/tracer.h"
#include "core/word.h"
#include "core/block.h"
#include "core/block_ops.h"
#include "natives/native_support.h"
#include "natives/native_units.h"

namespace zel::natives {

namespace {

// A field of system/state, or nullptr.
const Cell* system_state_field(const char* name) {
    const Cell* system = word::global_value("system");
    if (!system || type_of(system) != TYPE_OBJECT) return nullptr;
    const Cell* state = object::field(system, symbol::intern("state"));
    if (!state || type_of(state) != TYPE_OBJECT) return nullptr;
    return object::field(state, symbol::intern(name));
}

// error/record-stack: while the error's stack field still holds the frame position it was
// raised at, replaces it with a block of the calling words up to there (functions only, or
// every named frame when system/state/stack-trace asks for more than 1), and keeps a copy of
// system/state/source-files in files when that is not empty. Runs before the frames of the
// failed evaluation are dropped.
void record_stack(Cell* err) {
    Cell* stack_field = error::field(err, error::F_STACK);
    if (type_of(stack_field) != TYPE_INTEGER) return;
    uint32_t end = uint32_t(int_value(stack_field) < 0 ? 0 : int_value(stack_field));
    int32_t mode = 1;
    const Cell* level = system_state_field("stack-trace");
    if (level && type_of(level) == TYPE_INTEGER && int_value(level) > 0) mode = int_value(level);
    Cell trace;
    block::init_cell(&trace, 8);
    collector::RootGuard keep(&trace);
    stack::append_stack_trace(series_node(&trace), mode, end);
    *error::field(err, error::F_STACK) = trace;
    const Cell* files = system_state_field("source-files");
    if (files && type_of(files) == TYPE_BLOCK && block::length(files) > 0) {
        Cell copy;
        block_ops::copy_deep(&copy, files);
        *error::field(err, error::F_FILES) = copy;
    }
}

void try_(const int32_t* refs) {
    Cell* block = arg(0);
    bool all = used(refs, 0), keep = used(refs, 1);
    stack::open_frame(sym(SYM_TRY), 0, all ? stack::FRAME_TRY_ALL : stack::FRAME_TRY);
    stack::Saved saved;
    try {
        interp::eval_block(block, true);
    } catch (stack::Unwind&) {
        if (stack::pending != stack::LEVEL_ERROR) throw;
        if (keep && type_of(&stack::unwind_value) == TYPE_ERROR) record_stack(&stack::unwind_value);
        saved.restore();
        stack::pending = stack::LEVEL_NONE;
        stack::set_result(&stack::unwind_value);
    }
    stack::close_frame_pass();
}

// Whether a throw's name answers a catch's /name argument (none: every throw is caught).
bool name_matches(const Cell* wanted, const Cell* thrown) {
    if (!wanted) return true;
    if (type_of(thrown) == TYPE_UNSET) return false;
    if (type_of(wanted) == TYPE_WORD) return symbol::same_canonical(word_symbol(wanted), word_symbol(thrown));
    for (int32_t k = 0; k < block::length(wanted); k++) {
        if (type_of(&block::head(wanted)[k]) != TYPE_WORD) {
            Cell refinement;
            global_word(&refinement, "name", TYPE_REFINEMENT);
            error::raise(error::ERR_SCRIPT_INVALID_REFINE_ARG, &refinement, wanted);
        }
    }
    for (int32_t k = 0; k < block::length(wanted); k++)
        if (symbol::same_canonical(word_symbol(&block::head(wanted)[k]), word_symbol(thrown))) return true;
    return false;
}

void catch_(const int32_t* refs) {
    Cell* block = arg(0);
    Cell* names = ref_arg(refs, 0);
    stack::open_frame(sym(SYM_ANON), 0, stack::FRAME_CATCH);
    stack::Saved saved;
    try {
        interp::eval_block(block, true);
    } catch (stack::Unwind&) {
        if (stack::pending != stack::LEVEL_THROW) throw;
        saved.restore();
    }
    if (stack::pending != stack::LEVEL_THROW) {
        stack::close_frame_pass();
        return;
    }
    stack::pending = stack::LEVEL_NONE;
    stack::reset_top();
    stack::clear_thrown_mark();   // the throw ends here (or starts again from here)
    Cell* value = stack::push_copy(&stack::unwind_value);
    Cell* name = stack::push_copy(&stack::unwind_name);
    if (name_matches(names, name)) {
        tracer::send(tracer::EV_CATCH, nullptr, -1, value, nullptr);
        if (!stack::unwinding()) stack::set_result(value);
        stack::close_frame_pass();
        return;
    }
    // Not for this catch: sent on to the next catch further down, as if thrown from here.
    Cell v = *value, n = *name;
    stack::close_frame_drop();
    stack::start_throw(&v, type_of(&n) == TYPE_UNSET ? nullptr : &n);
}

void throw_(const int32_t* refs) {
    tracer::send(tracer::EV_THROW, nullptr, -1, arg(0), nullptr);
    if (stack::unwinding()) return;
    stack::start_throw(arg(0), ref_arg(refs, 0));
}

void break_(const int32_t* refs) {
    stack::start_break(ref_arg(refs, 0), false);
}

void continue_(const int32_t* refs) {
    stack::start_break(nullptr, true);
}

void exit(const int32_t* refs) {
    stack::start_return(nullptr);
}

void return_(const int32_t* refs) {
    stack::start_return(arg(0));
}

}  // namespace

void register_unwind() {
    set<SLOT_try_, try_>();
    set<SLOT_catch_, catch_>();
    set<SLOT_throw_, throw_>();
    set<SLOT_break_, break_>();
    set<SLOT_continue_, continue_>();
    set<SLOT_exit, exit>();
    set<SLOT_return_, return_>();
}

}  // namespace zel::natives
