// What many unit-test files share: fixtures that start the runtime for their suite, the id of
// the error a call raises, evaluating a source text under a catch site, and the formed and
// molded text of a value.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "core/actions.h"
#include "core/cell.h"
#include "core/collector.h"
#include "core/error.h"
#include "core/interpreter.h"
#include "startup/runtime.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/cycle_stack.h"
#include "datatypes/series/string.h"
#include "io/lexer.h"

namespace zel::test {

// A suite that needs the runtime: it is started once, before the suite's first test.
class RuntimeTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { runtime::init_for_tests(); }
};

// A RuntimeTest whose tests may leave cells on the value stack or entries on the mold cycle
// stack: both are put back after each test.
class StackTest : public RuntimeTest {
protected:
    void SetUp() override { saved_top = stack::top; }
    void TearDown() override {
        stack::top = saved_top;
        cycle::reset();
    }
    Cell* saved_top = nullptr;
};

// Runs fn, which may raise; the id of the error it raised, or "" when it raised none. The
// stacks are put back as a catch site does.
template <typename Fn>
std::string raised_id(Fn fn) {
    if (stack::capture(fn) != stack::LEVEL_ERROR) return "";
    Cell err = stack::unwind_value;
    const Cell* id = error::field(&err, error::F_ID);
    return std::string(symbol::spelling(word_symbol(id)));
}

// Evaluates the source text under a catch site like the console's and puts the stacks back.
// Returns the last value, or the error raised with *raised set (when raised is given). A break,
// continue, return or throw left pending at the end fails the test.
inline Cell eval_source(std::string_view src, bool* raised = nullptr) {
    Cell result;
    set_none(&result);
    uint32_t level = stack::capture([&] {
        collector::RootedCell code;
        lexer::load_utf8(&code, src);
        interp::eval_block(&code, false);
        EXPECT_FALSE(stack::unwinding()) << src;
        result = *(stack::top - 1);
    });
    if (level != stack::LEVEL_NONE) result = stack::unwind_value;
    if (raised) *raised = level != stack::LEVEL_NONE;
    return result;
}

// The text form and mold give the value.
inline std::string formed(const Cell* v) {
    Cell s;
    actions::form_value(&s, v);
    return string::to_utf8(&s);
}

inline std::string molded(const Cell* v, bool all = false) {
    Cell s;
    actions::mold_value(&s, v, false, all);
    return string::to_utf8(&s);
}

}  // namespace zel::test
