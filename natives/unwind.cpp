// The natives that leave code early or stop others from leaving: try catch throw break
// continue exit return.
//
// break, continue, return, exit and throw start their unwinding through the frame searches of
// the stack (which raise the throw-category errors when no target is reachable, or when a
// try/all frame lies in the way) and return; the status then passes up through every native
// that evaluates until the loop, function or catch that takes it. try takes errors, catch
// takes throws; both accept them as a status or as an exception.
#include "core/context.h"
#include "core/interpreter.h"
#include "core/memory.h"
#include "core/runtime_words.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/tracer.h"
#include "core/word.h"
#include "core/block.h"
#include "natives/native_support.h"
#include "natives/native_units.h"

namespace zel::natives {

namespace {

void try_(const int32_t* refs) {
    Cell* block = arg(0);
    bool all = used(refs, 0), keep = used(refs, 1);
    stack::open_frame(sym(SYM_TRY), 0, all ? stack::FRAME_TRY_ALL : stack::FRAME_TRY);
    stack::Saved saved;
    try {
        interp::eval_block(block, true);
    } catch (stack::Unwind&) {
        if (stack::pending != stack::LEVEL_ERROR) throw;
        if (keep && type_of(&stack::unwind_value) == TYPE_ERROR) error::record_stack(&stack::unwind_value);
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
