// The runtime's support entry points: typeset checks naming the calling word and argument,
// checked word and slot access, and the switch lookup.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "core/actions.h"
#include "core/collector.h"
#include "core/context.h"
#include "core/error.h"
#include "core/interpreter.h"
#include "core/routines.h"
#include "startup/runtime.h"
#include "core/runtime_words.h"
#include "core/stack.h"
#include "core/support.h"
#include "core/symbol.h"
#include "core/typeset_bits.h"
#include "core/word.h"
#include "core/block.h"
#include "datatypes/series/string.h"
#include "io/lexer.h"
#include "test_support.h"

using namespace zel;

namespace {

Cell typeset_of(std::initializer_list<uint32_t> types) {
    Cell ts{TYPE_TYPESET, 0, 0, 0};
    for (uint32_t t : types) typeset_bits::add(&ts, t);
    return ts;
}

// A routine whose second argument must be an integer! or a block! (checked by the runtime's
// typeset check, as a routine body written in C++ does for an any-type! argument).
void checked_routine(Cell* args) {
    Cell ts = typeset_of({TYPE_INTEGER, TYPE_BLOCK});
    support::check_value(&ts, 1, &args[1]);
    args[0] = args[1];
}

class SupportTest : public test::RuntimeTest {
protected:
    static void SetUpTestSuite() {
        RuntimeTest::SetUpTestSuite();
        routines::define("checked-routine", "first [any-type!] second [any-type!]", checked_routine);
    }

    // Runs fn under a catch site; the id of the error it raised, or "".
    template <typename Fn>
    static std::string raised_id(Fn fn) {
        stack::Saved saved;
        std::string id;
        try {
            fn();
        } catch (stack::Unwind&) {
            last_error = stack::unwind_value;
            id = std::string(symbol::spelling(error::id_symbol(&last_error)));
            stack::pending = stack::LEVEL_NONE;
        }
        saved.restore();
        return id;
    }

    static Cell eval(std::string_view src) {
        Cell result;
        set_none(&result);
        std::string id = raised_id([&] {
            Cell code;
            lexer::load_utf8(&code, src);
            collector::RootGuard keep(&code);
            interp::eval_block(&code, false);
            result = *(stack::top - 1);
        });
        if (!id.empty()) result = last_error;
        return result;
    }

    static std::string arg_text(error::Field f) {
        const Cell* a = error::field(&last_error, f);
        if (type_of(a) == TYPE_DATATYPE) return "datatype " + std::to_string(datatype_value(a));
        if (is_any_word_type(type_of(a))) return std::string(symbol::spelling(word_symbol(a)));
        return "type " + std::to_string(type_of(a));
    }

    static Cell last_error;
};

Cell SupportTest::last_error;

TEST_F(SupportTest, TypesetBitsAreTakenMostSignificantFirst) {
    // Type ids 0-7 live in the first byte, id 0 in its top bit.
    Cell ts{TYPE_TYPESET, 0x10, 0, 0};   // byte 0 = 0x10: bit for id 3 (none!) only
    Cell none, logic;
    set_none(&none);
    set_logic(&logic, true);
    EXPECT_EQ(raised_id([&] { support::check_value(&ts, 0, &none); }), "");
    EXPECT_EQ(raised_id([&] { support::check_value(&ts, 0, &logic); }), "expect-arg");
    EXPECT_EQ(arg_text(error::F_ARG2), "datatype " + std::to_string(TYPE_LOGIC));
    Cell first_byte{TYPE_TYPESET, 0x01, 0, 0};   // mask 0x80 >> 7: id 7 (string!)
    EXPECT_TRUE(typeset_bits::has(&first_byte, TYPE_STRING));
    EXPECT_FALSE(typeset_bits::has(&first_byte, 0));
}

TEST_F(SupportTest, TypeErrorsNameTheCallingWordAndTheArgument) {
    Cell r = eval("checked-routine 1 2");
    ASSERT_EQ(type_of(&r), uint32_t(TYPE_INTEGER));
    EXPECT_EQ(int_value(&r), 2);
    r = eval(R"(checked-routine 1 "no")");
    ASSERT_EQ(type_of(&r), uint32_t(TYPE_ERROR));
    EXPECT_EQ(std::string(symbol::spelling(error::id_symbol(&r))), "expect-arg");
    EXPECT_EQ(arg_text(error::F_ARG1), "checked-routine");
    EXPECT_EQ(arg_text(error::F_ARG2), "datatype " + std::to_string(TYPE_STRING));
    EXPECT_EQ(arg_text(error::F_ARG3), "second");
}

TEST_F(SupportTest, ArgumentChecksSkipUnusedRefinementsAndCatchUnset) {
    Cell ints = typeset_of({TYPE_INTEGER});
    stack::Saved saved;
    stack::open_frame(sym(SYM_ANON), 0, stack::FRAME_NATIVE);
    Cell* a = stack::push();
    set_logic(a, true);
    Cell* flag = stack::push();
    set_logic(flag, false);
    EXPECT_EQ(raised_id([&] { support::check_arg_type(-1, &ints, 0); }), "");   // unused
    EXPECT_EQ(raised_id([&] { support::check_arg_type(0, &ints, 0); }), "expect-arg");
    EXPECT_EQ(raised_id([&] { support::check_arg_type_opt(flag, &ints, 1, a); }), "");
    set_logic(flag, true);
    EXPECT_EQ(raised_id([&] { support::check_arg_type_opt(flag, &ints, 1, a); }), "expect-arg");
    Cell unset;
    set_unset(&unset);
    EXPECT_EQ(raised_id([&] { support::check_not_unset(0, &unset); }), "expect-arg");
    EXPECT_EQ(arg_text(error::F_ARG2), "datatype " + std::to_string(TYPE_UNSET));
    EXPECT_EQ(raised_id([&] { support::check_not_unset(0, a); }), "");
    EXPECT_EQ(raised_id([&] { support::bad_make_arg(TYPE_NATIVE, a); }), "bad-make-arg");
    saved.restore();
}

TEST_F(SupportTest, SettingAWordToUnsetRaisesAndLeavesTheWord) {
    eval("support-word: 5");
    Cell w;
    word::make_global(&w, TYPE_WORD, "support-word");
    stack::Saved saved;
    stack::open_frame(sym(SYM_ANON), 0, stack::FRAME_NATIVE);
    stack::push_unset();
    EXPECT_EQ(raised_id([&] { support::set_word_value(&w); }), "need-value");
    EXPECT_EQ(int_value(word::value_cell(&w)), 5);
    Cell* v = stack::push();
    set_integer(v, 6);
    support::set_word_value_keep(&w);
    EXPECT_EQ(stack::top, v + 1);   // keep: the stack is left alone
    EXPECT_EQ(int_value(word::value_cell(&w)), 6);
    support::set_word_value(&w);
    EXPECT_EQ(stack::top, stack::base);   // reset to the arguments base
    EXPECT_EQ(int_value(support::word_value_checked(&w)), 6);
    Cell unset_word;
    word::make_global(&unset_word, TYPE_WORD, "support-never-set-word");
    EXPECT_EQ(raised_id([&] { support::word_value_checked(&unset_word); }), "no-value");
    saved.restore();
}

TEST_F(SupportTest, SlotsOfObjectsAndIdleFunctions) {
    Cell obj = eval("support-obj: make object! [a: 1 b: 2]");
    ASSERT_EQ(type_of(&obj), uint32_t(TYPE_OBJECT));
    collector::RootGuard keep(&obj);
    uint32_t ctx = object_ctx(&obj);
    int32_t b = context::index_of(ctx, symbol::intern("b"), true);
    stack::Saved saved;
    stack::open_frame(sym(SYM_ANON), 0, stack::FRAME_NATIVE);
    Cell* v = stack::push();
    set_integer(v, 20);
    support::set_slot(ctx, b);
    EXPECT_EQ(int_value(support::get_slot_checked(ctx, b)), 20);
    bool flagged = false;
    for (uint32_t k = 0; k < context::word_count(ctx); k++)
        if (word_index(context::word_at(ctx, k)) == b)
            flagged = word_changed(context::word_at(ctx, k));
    EXPECT_TRUE(flagged);
    stack::push_unset();
    EXPECT_EQ(raised_id([&] { support::set_slot_checked(ctx, b); }), "need-value");
    EXPECT_EQ(arg_text(error::F_ARG1), "b");
    EXPECT_EQ(int_value(support::get_slot_checked(ctx, b)), 20);
    set_integer(stack::push(), 30);
    support::set_slot_reset(ctx, b);
    EXPECT_EQ(stack::top, stack::base);
    EXPECT_EQ(int_value(support::get_slot_checked(ctx, b)), 30);

    // A function that is not running has no values to read.
    Cell fn = eval("support-fn: func [x] [x]");
    ASSERT_EQ(type_of(&fn), uint32_t(TYPE_FUNCTION));
    EXPECT_EQ(raised_id([&] { support::get_slot_checked(callable_ctx(&fn), 0); }), "not-defined");
    EXPECT_EQ(arg_text(error::F_ARG1), "x");
    saved.restore();
}

// The switch lookup over (value, cases) pushed as the arguments of a call.
std::string lookup(const char* value_src, const char* cases_src, int mode, bool skip) {
    Cell value, cases;
    lexer::load_utf8(&value, value_src);
    collector::RootGuard keep_value(&value);
    lexer::load_utf8(&cases, cases_src);
    collector::RootGuard keep_cases(&cases);
    stack::Saved saved;
    stack::open_frame(sym(SYM_ANON), 0, stack::FRAME_NATIVE);
    stack::push_copy(block::head(&value));
    stack::push_copy(block::head(&cases));
    support::block_access(mode, skip);
    Cell answer = mode == 1 ? *(stack::top - 1) : *stack::base;
    if (mode == 0) {
        EXPECT_EQ(stack::top, stack::base + 1);
    }
    saved.restore();
    uint32_t node = string::new_node(32);
    Cell text;
    set_series(&text, TYPE_STRING, node);
    collector::RootGuard keep_text(&text);
    actions::mold_into(&answer, node);
    return string::node_to_utf8(node);
}

TEST_F(SupportTest, SwitchLookup) {
    struct Case {
        const char* value;
        const char* cases;
        int mode;
        bool skip;
        const char* expected;
    } cases[] = {
        {"1", "[1 2 [found]]", 1, true, "[found]"},
        {"2", "[1 2 [found]]", 1, true, "[found]"},
        {"3", "[1 2 [found]]", 1, true, "none"},
        {"[1]", "[[1] [found]]", 1, true, "none"},           // a block value finds nothing
        {"1", "[1 [a] 2 [b]]", 1, false, "[a]"},            // the cell after the match
        {"b", "[a 1 b]", 1, false, "b"},                     // the last cell: itself
        {R"("B")", R"(["a" 1 "b" 2])", 0, false, "2"},      // equal ignores case
        {"1.0", "[1 [int] 1.0 [float]]", 1, true, "[float]"},   // types must agree
        {"x", "[1 x y x z]", 0, false, "none"},              // mode 0 walks by 2: 1, y, z
        {"y", "[1 x y x z]", 0, false, "x"},
        {"1", "[1]", 1, true, "none"},                       // no block after the match
    };
    for (const Case& c : cases)
        EXPECT_EQ(lookup(c.value, c.cases, c.mode, c.skip), c.expected) << c.value << " in " << c.cases;
}

TEST_F(SupportTest, RuntimeWordsAreInternedAndGlobal) {
    EXPECT_EQ(symbol::spelling(sym(SYM_PUT_ED)), "put-ed");
    EXPECT_EQ(symbol::spelling(sym(SYM_BAR)), "|");
    EXPECT_EQ(symbol::spelling(sym(SYM_LEXER_CALLBACK)), "<lexer-callback>");
    EXPECT_EQ(symbol::spelling(sym(SYM_OOO)), "ooo");
    EXPECT_TRUE(runtime_words::is_global_word(SYM_LINUX));
    EXPECT_FALSE(runtime_words::is_global_word(SYM_X));
    EXPECT_GE(context::index_of(context::global, sym(SYM_SWAPED), true), 0);
    EXPECT_GE(context::index_of(context::global, sym(SYM_CAT_INTERNAL), true), 0);
    Cell r;
    runtime_words::make_word(&r, SYM_PART, TYPE_REFINEMENT);
    EXPECT_EQ(type_of(&r), uint32_t(TYPE_REFINEMENT));
    EXPECT_EQ(word_symbol(&r), sym(SYM_PART));
}

}  // namespace
