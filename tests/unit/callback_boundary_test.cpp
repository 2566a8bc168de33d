// The boundary between C++ and Zel callbacks: interp::call_with_args never returns with a
// break, continue, return, exit or throw pending (it raises them as stack::Unwind), while
// call_with_args_status leaves them pending for a caller that passes them on.
#include "tests/unit/test_support.h"

namespace zel::test {
namespace {

class CallbackBoundary : public StackTest {
protected:
    // Calls fn with one integer argument inside a catch and a loop frame (so that throw and
    // break find their targets); returns whether the call raised, with the level pending.
    bool call(const Cell* fn, int32_t argument, bool with_status, uint32_t* level) {
        stack::Saved saved;
        stack::open_frame(symbol::intern("catcher"), 0, stack::FRAME_CATCH);
        stack::open_frame(symbol::intern("looper"), 0, stack::FRAME_LOOP);
        Cell* arg = stack::push();
        set_integer(arg, argument);
        bool raised = false;
        try {
            if (with_status) interp::call_with_args_status(fn, symbol::intern("cb"), arg, 1);
            else interp::call_with_args(fn, symbol::intern("cb"), arg, 1);
        } catch (stack::Unwind&) {
            raised = true;
        }
        *level = stack::pending;
        stack::pending = stack::LEVEL_NONE;
        saved.restore();
        return raised;
    }
};

TEST_F(CallbackBoundary, CallWithArgsRaisesWhatAFunctionLeftPending) {
    // Each value is rooted before the next evaluation may collect.
    collector::RootedCell thrower, breaker, plain;
    *thrower = eval_source("func [x] [throw x]");
    *breaker = eval_source("func [x] [break]");
    *plain = eval_source("func [x] [x + 1]");
    uint32_t level;
    EXPECT_TRUE(call(&thrower, 7, false, &level));
    EXPECT_EQ(level, stack::LEVEL_THROW);
    EXPECT_EQ(int_value(&stack::unwind_value), 7);
    EXPECT_TRUE(call(&breaker, 0, false, &level));
    EXPECT_EQ(level, stack::LEVEL_BREAK);
    EXPECT_FALSE(call(&plain, 1, false, &level));
    EXPECT_EQ(level, stack::LEVEL_NONE);
}

TEST_F(CallbackBoundary, StatusVariantLeavesItPending) {
    collector::RootedCell thrower;
    *thrower = eval_source("func [x] [throw x]");
    uint32_t level;
    EXPECT_FALSE(call(&thrower, 3, true, &level));
    EXPECT_EQ(level, stack::LEVEL_THROW);
}

// A native called back directly starts its return from the frame below the callback: the
// status, raised, lands at the enclosing function.
TEST_F(CallbackBoundary, ReturnFromANativeCallbackLandsAtItsFunction) {
    Cell result = eval_source("f: func [b] [sort/compare b :return 'not-returned] f [2 1]");
    EXPECT_EQ(molded(&result), "2");
}

}  // namespace
}  // namespace zel::test
