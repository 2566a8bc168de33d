// Helpers shared by the natives: argument and refinement access, the two truth tests of the
// conditional natives, the check-flag type check, and the loop frame with its body step.
//
// Calling convention (natives.h): arguments at stack::arg(0), arg(1) ...; refs[k] is -1 for
// an unused refinement k (spec order), else the argument index where its arguments start.
// The result goes into arg(0), the result slot.
//
// Rooting: value-stack cells never move, so a Cell* to an argument stays valid for the whole
// call; a Cell* into a series buffer does not survive an evaluation.
//
// Unwinding: after every evaluation check stack::unwinding() and return unless the native
// handles that level itself. Errors (and statuses converted by raise_pending) arrive as the
// C++ exception stack::Unwind.
#pragma once
#include <cstdint>
#include <string_view>

#include "core/cell.h"
#include "core/error.h"
#include "core/stack.h"
#include "natives/natives.h"

namespace zel::natives {

inline Cell* arg(int32_t i) { return stack::arg(i); }
// True when refinement k (0-based, spec order) is used.
inline bool used(const int32_t* refs, int k) { return refs[k] >= 0; }
// The first argument cell of refinement k, or nullptr when it is not used.
inline Cell* ref_arg(const int32_t* refs, int k) { return refs[k] >= 0 ? stack::arg(refs[k]) : nullptr; }

// logic/arg-false: true exactly for none! and false (unset! counts as truthy).
inline bool arg_false(const Cell* v) { return is_falsy(v); }
// logic/arg-true: none! and false give false, everything else true; unset! raises
// script/no-return ("block did not return a value").
inline bool arg_true(const Cell* v) {
    if (type_of(v) == TYPE_UNSET) error::raise(error::ERR_SCRIPT_NO_RETURN);
    return !is_falsy(v);
}

// The word a native is defined under (natives.def), by slot.
std::string_view native_name(int slot);

// check_arguments: see natives.h.

// Raises script/expect-arg for argument n (0-based, spec order, refinements counted) of the
// native in slot, holding a value of the given type.
[[noreturn]] void raise_arg_type(int slot, int32_t n, uint32_t type);

// A global word! of the given spelling (an error argument).
void global_word(Cell* out, std::string_view spelling, uint32_t type = TYPE_WORD);

// ---- loops ----

// What a loop does after one evaluation of its body.
enum class Flow {
    NEXT,      // go on (the body ended normally)
    CONTINUE,  // continue was used: the iteration ended early
    BREAK,     // break was used: the loop ends with the value in its result slot
    PASS,      // return, exit or throw is on its way up: close the loop frame and return
};

// The loop frame every loop opens after pushing its state cells: break and continue look for
// it. Its result slot (the frame's base cell) starts unset. Saved is taken after opening, so
// that an unwinding that arrives as an exception can put the loop back where it was.
class LoopFrame {
public:
    LoopFrame();
    // Evaluates body (a block cell that lives below the loop frame) in the loop frame; its
    // value lands in the loop's result slot.
    Flow run(const Cell* body);
    // Evaluates a while condition: break and continue there raise throw/while-cond.
    Flow run_condition(const Cell* cond);
    // Runs a step that may evaluate Zel code (setting the loop words, which may call an
    // on-change handler; removing elements, which may tell an owner) and says what follows.
    template <typename F>
    Flow guard(F&& step) {
        try {
            step();
        } catch (stack::Unwind&) {
            if (!accepts_exception()) throw;
            saved_.restore();
        }
        return settle();
    }
    Cell* result() const { return stack::base; }
    // Closes the loop frame, handing its result to the native's result slot.
    void finish() { stack::close_frame_pass(); }

private:
    // Break and continue may also arrive as exceptions (raised by C++ code that evaluated Zel
    // code and could not pass the status on); anything else goes on up.
    static bool accepts_exception() {
        return stack::pending == stack::LEVEL_BREAK || stack::pending == stack::LEVEL_CONTINUE;
    }
    // Turns the pending level into a Flow: break stores its value in the loop's result slot,
    // continue leaves unset there; both are stopped here.
    Flow settle();

    stack::Saved saved_;
};

// ---- output ----

}  // namespace zel::natives
