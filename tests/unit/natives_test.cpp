// The natives' machinery below the language level: the check flag's argument type check, and
// break, continue and throw arriving at loops, try and catch as exceptions (the form C++ code
// gives them when it evaluates Zel code and cannot pass a status on).
#include <gtest/gtest.h>

#include <string_view>
#include <vector>

#include "core/collector.h"
#include "core/error.h"
#include "core/interpreter.h"
#include "core/routines.h"
#include "core/runtime_words.h"
#include "startup/runtime.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/word.h"
#include "core/block.h"
#include "io/lexer.h"
#include "natives/natives.h"
#include "test_support.h"

using namespace zel;

namespace {

// A routine that evaluates its block and turns a pending break, continue, return, exit or
// throw into the exception form, as C++ callers of Zel code do.
void eval_raising(Cell* args) {
    Cell code = args[0];
    collector::RootGuard keep(&code);
    interp::eval_block(&code, false);
    if (stack::unwinding()) stack::raise_pending();
    set_none(&args[0]);
}

class NativesTest : public test::RuntimeTest {
protected:
    static void SetUpTestSuite() {
        RuntimeTest::SetUpTestSuite();
        routines::define("eval-raising", "code [block!]", eval_raising);
    }

    // The last value of the source, or the error raised with *raised set.
    static Cell eval(std::string_view src, bool* raised = nullptr) { return test::eval_source(src, raised); }

    static std::string error_id(const Cell& err) {
        if (type_of(&err) != TYPE_ERROR) return "(no error)";
        return std::string(symbol::spelling(word_symbol(error::field(&err, error::F_ID))));
    }

    // Calls the native of slot directly with the check flag set and the given arguments,
    // returning the id of the error it raises ("" when none).
    static std::string call_checked(int slot, std::initializer_list<const char*> sources, const int32_t* refs) {
        stack::Saved saved;
        std::string id;
        try {
            stack::open_frame(sym(SYM_ANON), 0, stack::FRAME_NATIVE);
            for (const char* s : sources) {
                Cell v = eval(s);
                stack::push_copy(&v);
            }
            natives::table[slot](true, refs);
        } catch (stack::Unwind&) {
            id = error_id(stack::unwind_value);
            last_error = stack::unwind_value;
            stack::pending = stack::LEVEL_NONE;
        }
        saved.restore();
        return id;
    }

    static Cell last_error;
};

Cell NativesTest::last_error;

TEST_F(NativesTest, CheckFlagRaisesExpectArgNamingTheArgument) {
    const int32_t none[] = {-1, -1, -1, -1};
    EXPECT_EQ(call_checked(natives::SLOT_if_, {"true", "1"}, none), "expect-arg");
    EXPECT_EQ(std::string(symbol::spelling(word_symbol(error::field(&last_error, error::F_ARG1)))), "if");
    EXPECT_EQ(datatype_value(error::field(&last_error, error::F_ARG2)), uint32_t(TYPE_INTEGER));
    EXPECT_EQ(std::string(symbol::spelling(word_symbol(error::field(&last_error, error::F_ARG3)))), "then-blk");

    // Right types pass the check and the native runs.
    EXPECT_EQ(call_checked(natives::SLOT_if_, {"false", "[1]"}, none), "");
}

TEST_F(NativesTest, CheckFlagChecksOnlyUsedRefinementArguments) {
    const int32_t unused[] = {-1};
    const int32_t used_at_2[] = {2};
    // switch value cases /default case [block!]
    EXPECT_EQ(call_checked(natives::SLOT_switch_, {"1", "[1 [2]]"}, unused), "");
    EXPECT_EQ(call_checked(natives::SLOT_switch_, {"1", "[2 [2]]", "[3]"}, used_at_2), "");
    EXPECT_EQ(call_checked(natives::SLOT_switch_, {"1", "[2 [2]]", "3"}, used_at_2), "expect-arg");
    EXPECT_EQ(std::string(symbol::spelling(word_symbol(error::field(&last_error, error::F_ARG3)))), "case");
}

TEST_F(NativesTest, CheckFlagOnTheMathConversionAndOsNatives) {
    struct Case {
        int slot;
        std::initializer_list<const char*> args;
        std::vector<int32_t> refs;
        const char* error;   // "" when the call succeeds
    } cases[] = {
        {natives::SLOT_sine, {"30"}, {-1}, ""},
        {natives::SLOT_sine, {"{30}"}, {-1}, "expect-arg"},
        {natives::SLOT_max, {"1", "2"}, {}, ""},
        {natives::SLOT_max, {"none", "2"}, {}, "expect-arg"},
        {natives::SLOT_to_hex, {"1", "2"}, {1}, ""},
        {natives::SLOT_to_hex, {"1", "2.0"}, {1}, "expect-arg"},
        {natives::SLOT_shift, {"1", "2"}, {-1, -1}, ""},
        {natives::SLOT_as_pair, {"1", "{2}"}, {}, "expect-arg"},
        {natives::SLOT_new_line, {"[a]", "true", "0"}, {-1, 2}, "out-of-range"},
        {natives::SLOT_checksum, {"{a}", "'crc32"}, {-1}, ""},
        {natives::SLOT_checksum, {"{a}", "'crc32", "1.5"}, {2}, "expect-arg"},
        {natives::SLOT_get_env, {"1"}, {}, "expect-arg"},
        {natives::SLOT_wait, {"[1]"}, {-1}, "invalid-arg"},
        // compose reports a value that is not a block itself
        {natives::SLOT_compose, {"1"}, {-1, -1, -1}, "expect-val"},
    };
    for (const Case& c : cases) EXPECT_EQ(call_checked(c.slot, c.args, c.refs.data()), c.error) << c.slot;
}

struct IntCase {
    const char* src;
    int32_t expected;
};

TEST_F(NativesTest, LoopsTakeBreakAndContinueRaisedAsExceptions) {
    const IntCase cases[] = {
        {"n: 0 loop 3 [n: n + 1 eval-raising [break]] n", 1},
        {"n: 0 loop 3 [eval-raising [continue] n: n + 1] n", 0},
        {"loop 3 [eval-raising [break/return 4]]", 4},
        {"n: 0 repeat i 3 [eval-raising [continue] n: n + 1] n", 0},
        {"n: 0 foreach x [1 2 3] [n: n + x eval-raising [if x = 2 [break]]] n", 3},
        {"n: 0 forever [n: n + 1 eval-raising [if n = 5 [break]]] n", 5},
        {"n: 0 until [n: n + 1 eval-raising [if n < 3 [continue]] n >= 3] n", 3},
        {"b: [1 2 3] n: 0 forall b [n: n + 1 eval-raising [break]] n", 1},
        // try lets them pass on to the loop
        {"loop 2 [try [eval-raising [break/return 6]]]", 6},
        // inner loops take them first
        {"n: 0 loop 2 [loop 3 [n: n + 1 eval-raising [break]]] n", 2},
    };
    for (const IntCase& c : cases) {
        stack::Frame* frames = stack::ftop;
        Cell* top = stack::top;
        Cell r = eval(c.src);
        ASSERT_EQ(type_of(&r), uint32_t(TYPE_INTEGER)) << c.src;
        EXPECT_EQ(int_value(&r), c.expected) << c.src;
        EXPECT_EQ(stack::ftop, frames) << c.src;
        EXPECT_EQ(stack::top, top) << c.src;
    }
}

TEST_F(NativesTest, CatchTakesThrowsRaisedAsExceptions) {
    const IntCase cases[] = {
        {"catch [eval-raising [throw 7]]", 7},
        {"catch/name [catch/name [eval-raising [throw/name 1 'a]] 'b] 'a", 1},
        {"catch [loop 3 [eval-raising [throw 8]]]", 8},
    };
    for (const IntCase& c : cases) {
        Cell r = eval(c.src);
        ASSERT_EQ(type_of(&r), uint32_t(TYPE_INTEGER)) << c.src;
        EXPECT_EQ(int_value(&r), c.expected) << c.src;
    }
}

TEST_F(NativesTest, ExceptionsKeepTheirMeaningInsideConditions) {
    bool raised = false;
    Cell r = eval("while [eval-raising [break]] [1]", &raised);
    EXPECT_TRUE(raised);
    EXPECT_EQ(error_id(r), "while-cond");

    // An error passes through loops and catch to the nearest try.
    r = eval("e: try [catch [loop 2 [eval-raising [1 / 0]]]] e/id", &raised);
    EXPECT_FALSE(raised);
    ASSERT_TRUE(is_any_word_type(type_of(&r)));
    EXPECT_EQ(std::string(symbol::spelling(word_symbol(&r))), "zero-divide");
}

}  // namespace
