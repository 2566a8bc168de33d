// Error values below the language level: the catalog resolution of every id the C++ code
// raises, where/near/stack filled in by a raise, error/report, and the uncaught-error path.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "core/collector.h"
#include "core/error.h"
#include "core/interpreter.h"
#include "core/memory.h"
#include "core/print_hooks.h"
#include "startup/runtime.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/word.h"
#include "core/block.h"
#include "io/lexer.h"
#include "test_support.h"

using namespace zel;

namespace {

std::string printed;
void capture(const char* text, long length, int new_line) {
    printed.append(text, size_t(length));
    if (new_line) printed += '\n';
}

class ErrorTest : public test::RuntimeTest {
protected:
    // Evaluates source; the error it raised (none when it raised nothing).
    static Cell raised(std::string_view src) {
        bool got_error = false;
        Cell result = test::eval_source(src, &got_error);
        if (!got_error) set_none(&result);
        return result;
    }

    static std::string word_text(const Cell* w) {
        if (!is_any_word_type(type_of(w))) return "(type " + std::to_string(type_of(w)) + ")";
        return std::string(symbol::spelling(word_symbol(w)));
    }
};

TEST_F(ErrorTest, EveryIdTheRuntimeRaisesHasItsCatalogEntry) {
    // Start-up refuses to run when an id of errors.def is missing from the catalog; here each
    // one is also made and formed, which needs its message.
    for (int id = 0; id < error::ERR_COUNT; id++) {
        Cell err;
        error::make(&err, error::Id(id));
        collector::RootGuard keep(&err);
        std::string text = error::form_to_utf8(&err);
        EXPECT_EQ(text.rfind("*** ", 0), 0u) << id;
        if (id != error::ERR_INTERNAL_INVALID_ERROR) {
            EXPECT_EQ(text.find("Internal Error: invalid error object"), std::string::npos) << id << ": " << text;
        }
    }
}

TEST_F(ErrorTest, ARaiseFillsInWhereNearAndTheStack) {
    raised("error-test-f: func [x] [x / 0] error-test-g: func [] [error-test-f 1]");
    Cell err = raised("1 + 1 error-test-g");
    collector::RootGuard keep(&err);
    ASSERT_EQ(type_of(&err), uint32_t(TYPE_ERROR));
    EXPECT_EQ(word_text(error::field(&err, error::F_WHERE)), "/");
    // near: the expression being evaluated, in the function's body.
    const Cell* near = error::field(&err, error::F_NEAR);
    ASSERT_EQ(type_of(near), uint32_t(TYPE_BLOCK));
    EXPECT_EQ(word_text(block::head(near)), "x");
    // stack: the functions under way, outermost first (system/state/stack-trace is 1).
    const Cell* st = error::field(&err, error::F_STACK);
    ASSERT_EQ(type_of(st), uint32_t(TYPE_BLOCK));
    ASSERT_EQ(block::length(st), 2);
    EXPECT_EQ(word_text(block::head(st)), "error-test-g");
    EXPECT_EQ(word_text(block::head(st) + 1), "error-test-f");
}

TEST_F(ErrorTest, NearNeverShowsLibraryCode) {
    // Functions defined while the library loads, as the library's own are.
    memory::library_loading = true;
    raised("lib-inner: func [x] [1 + 1 x / 0]  lib-outer: func [x] [lib-inner x]");
    memory::library_loading = false;
    Cell err = raised("error-test-a: 1 lib-outer 5");
    collector::RootGuard keep(&err);
    ASSERT_EQ(type_of(&err), uint32_t(TYPE_ERROR));
    const Cell* near = error::field(&err, error::F_NEAR);
    ASSERT_EQ(type_of(near), uint32_t(TYPE_BLOCK));
    EXPECT_EQ(word_text(block::head(near)), "lib-outer");
    EXPECT_EQ(word_text(error::field(&err, error::F_WHERE)), "/");
    // User code handed to a library function is user code again.
    memory::library_loading = true;
    raised("lib-run: func [code] [1 + 1 do code]");
    memory::library_loading = false;
    err = raised("lib-run [error-test-a: 2 error-test-a / 0]");
    near = error::field(&err, error::F_NEAR);
    ASSERT_EQ(type_of(near), uint32_t(TYPE_BLOCK));
    EXPECT_EQ(word_text(block::head(near)), "error-test-a");
    EXPECT_EQ(type_of(block::head(near) + 1), uint32_t(TYPE_WORD));   // the second expression
}

TEST_F(ErrorTest, WithStackRecordingOffTheFramePositionWaitsForRecordStack) {
    raised("system/state/stack-trace: 0");
    Cell err;
    set_none(&err);
    collector::RootGuard keep(&err);
    stack::Saved saved;
    try {
        Cell code;
        lexer::load_utf8(&code, "error-test-g");
        collector::RootGuard keep_code(&code);
        interp::eval_block(&code, false);
    } catch (stack::Unwind&) {
        err = stack::unwind_value;
        stack::pending = stack::LEVEL_NONE;
        EXPECT_EQ(type_of(error::field(&err, error::F_STACK)), uint32_t(TYPE_INTEGER));
        // Recorded where it is caught, before the frames are dropped.
        error::record_stack(&err);
    }
    saved.restore();
    raised("system/state/stack-trace: 1");
    const Cell* st = error::field(&err, error::F_STACK);
    ASSERT_EQ(type_of(st), uint32_t(TYPE_BLOCK));
    ASSERT_EQ(block::length(st), 2);
    EXPECT_EQ(word_text(block::head(st) + 1), "error-test-f");
    std::string text = error::form_to_utf8(&err);
    EXPECT_NE(text.find("\n*** Stack: error-test-g error-test-f"), std::string::npos) << text;
}

TEST_F(ErrorTest, ReportPrintsWithoutRaising) {
    printed.clear();
    print_hooks::add(capture, nullptr);
    Cell word;
    word::make_global(&word, TYPE_WORD, "reported-word");
    Cell* top = stack::top;
    error::report(error::ERR_SCRIPT_NO_VALUE, &word);
    print_hooks::remove(capture, nullptr);
    // The report's unset result is left as the caller's next value.
    EXPECT_EQ(stack::top, top + 1);
    EXPECT_EQ(type_of(top), uint32_t(TYPE_UNSET));
    stack::top = top;
    EXPECT_EQ(printed.rfind("*** Script Error: reported-word has no value\n*** Where: ", 0), 0u) << printed;
}

TEST_F(ErrorTest, AnUncaughtErrorEndsTheProcessWithStatus254) {
    Cell err = raised("1 / 0");
    collector::RootGuard keep(&err);
    EXPECT_EXIT(error::uncaught(&err), ::testing::ExitedWithCode(254),
                "^\\*\\*\\* Math Error: attempt to divide by zero\n\\*\\*\\* Where: /\n\\*\\*\\* Near : 1 / 0");
    Cell not_an_error;
    set_integer(&not_an_error, 1);
    EXPECT_EXIT(error::uncaught(&not_an_error), ::testing::ExitedWithCode(254), "escaped every handler");
}

}  // namespace
