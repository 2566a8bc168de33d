// if, unless and either once their arguments are gathered (the condition at the arguments
// base, the blocks after it). Shared by their natives and by the interpreter, which runs them
// in place, without a native frame of their own.
#pragma once
#include <cstdint>

#include "core/cell.h"
#include "core/error.h"
#include "core/interpreter.h"
#include "core/native_table.h"
#include "core/stack.h"

namespace zel::natives {

// The chosen block's value is the result; none when if or unless runs nothing. either
// raises no-return on an unset! condition (if and unless take unset! as true).
[[gnu::always_inline]] inline void run_conditional(uint32_t slot) {
    const Cell* cond = stack::base;
    const Cell* body = nullptr;
    if (slot == CORE_SLOT_EITHER) {
        if (type_of(cond) == TYPE_UNSET) error::raise(error::ERR_SCRIPT_NO_RETURN);
        body = !is_falsy(cond) ? stack::base + 1 : stack::base + 2;
    } else if (is_falsy(cond) == (slot == CORE_SLOT_UNLESS)) {
        body = stack::base + 1;
    }
    if (body) {
        interp::eval_block(body, true);
    } else {
        stack::keep_result_slot();
        set_none(stack::base);
    }
}

}  // namespace zel::natives
