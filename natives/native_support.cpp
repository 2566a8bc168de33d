// Helpers shared by the natives (see native_support.h).
#include "natives/native_support.h"

#include "core/callable.h"
#include "core/interpreter.h"
#include "core/memory.h"
#include "core/runtime_words.h"
#include "core/typeset_bits.h"
#include "core/word.h"

namespace zel::natives {

using memory::buf;

namespace {

const char* const names[SLOT_COUNT + 1] = {
    nullptr,
#define ZEL_NATIVE(n, word, ...) word,
#include "natives/natives.def"
#undef ZEL_NATIVE
};

// The native! value defined for slot, or nullptr.
const Cell* native_value(int slot) {
    if (slot < 1 || slot > SLOT_COUNT || !names[slot]) return nullptr;
    const Cell* v = word::global_value(names[slot]);
    if (!v || type_of(v) != TYPE_NATIVE || int32_t(callable_slot(v)) != slot) return nullptr;
    return v;
}

stack::Saved open_loop_frame() {
    stack::open_frame(sym(SYM_ANON), 0, stack::FRAME_LOOP);
    stack::push_unset();
    return stack::Saved();
}

}  // namespace

std::string_view native_name(int slot) {
    if (slot < 1 || slot > SLOT_COUNT || !names[slot]) return "<anon>";
    return names[slot];
}

void global_word(Cell* out, std::string_view spelling, uint32_t type) { word::make_global(out, type, spelling); }

void raise_arg_type(int slot, int32_t n, uint32_t type) {
    Cell calling;
    global_word(&calling, native_name(slot));
    error::raise_expect_arg_n(&calling, native_value(slot), n, type);
}

void check_arguments(int slot, const int32_t* refs) {
    const Cell* found = native_value(slot);
    if (!found) return;
    Cell fn = *found;
    int32_t cell = 0;        // the stack cell of the next argument
    bool active = true;
    callable::walk_args_cache(callable::args_cache(&fn), [&](callable::CacheEntry entry, Cell& e, int32_t spec_no) {
        if (entry == callable::CacheEntry::ARGUMENT && active) {
            const Cell* v = stack::arg(cell++);
            if (!typeset_bits::has(&e, type_of(v))) raise_arg_type(slot, spec_no, type_of(v));
        } else if (entry == callable::CacheEntry::REFINEMENT) {
            int32_t ordinal = cache_ref_ordinal(&e);
            active = refs[ordinal - 1] >= 0;
            if (active) cell = refs[ordinal - 1];
        }
        return true;
    });
}

// ---- loops ----

LoopFrame::LoopFrame() : saved_(open_loop_frame()) {}

Flow LoopFrame::settle() {
    switch (stack::pending) {
        case stack::LEVEL_NONE:
            return Flow::NEXT;
        case stack::LEVEL_BREAK:
            stack::pending = stack::LEVEL_NONE;
            stack::set_result(&stack::unwind_value);
            return Flow::BREAK;
        case stack::LEVEL_CONTINUE:
            stack::pending = stack::LEVEL_NONE;
            stack::keep_result_slot();
            set_unset(stack::base);
            return Flow::CONTINUE;
        default:
            return Flow::PASS;
    }
}

Flow LoopFrame::run(const Cell* body) {
    return guard([body] { interp::eval_block_again(body, true); });
}

Flow LoopFrame::run_condition(const Cell* cond) {
    try {
        interp::eval_block_again(cond, true);
    } catch (stack::Unwind&) {
        if (!accepts_exception()) throw;
        saved_.restore();
    }
    if (stack::pending == stack::LEVEL_BREAK || stack::pending == stack::LEVEL_CONTINUE) {
        stack::pending = stack::LEVEL_NONE;
        set_unset(&stack::unwind_value);
        error::raise(error::ERR_THROW_WHILE_COND);
    }
    return stack::pending == stack::LEVEL_NONE ? Flow::NEXT : Flow::PASS;
}

}  // namespace zel::natives
