// The runtime interface (api/zel.h) as a program outside the runtime sees it: evaluating text
// to a value or an error, molding and forming with a width, splitting a script's header,
// incomplete input, print hooks, and value handles that outlive collections. No call may leave
// an unwinding pending or the value stack moved.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/zel.h"
#include "core/collector.h"
#include "core/stack.h"
#include "tests/unit/test_support.h"

using namespace zel;

namespace {

class ApiTest : public test::RuntimeTest {
protected:
    void SetUp() override { saved_top = stack::top; }
    void TearDown() override {
        EXPECT_EQ(stack::top, saved_top) << "an api call left the value stack moved";
        EXPECT_EQ(stack::pending, stack::LEVEL_NONE) << "an api call left an unwinding pending";
    }
    Cell* saved_top = nullptr;
};

std::string molded(const api::Value& v, int32_t limit = -1) {
    std::string text;
    EXPECT_TRUE(api::mold(v, text, limit));
    return text;
}

TEST_F(ApiTest, EvaluatesTextToValuesAndErrors) {
    struct Case {
        const char* source;
        api::Outcome outcome;
        const char* type;
        const char* shown;   // the mold of a value, the first line of a formed error
    };
    const Case cases[] = {
        {"1 + 2", api::Outcome::Value, "integer!", "3"},
        {"append [a] 'b", api::Outcome::Value, "block!", "[a b]"},
        {"x: 1", api::Outcome::Value, "integer!", "1"},
        {"", api::Outcome::Value, "unset!", ""},
        {"api-test-undefined-word", api::Outcome::Error, "error!",
         "*** Script Error: api-test-undefined-word has no value"},
        {"1 / 0", api::Outcome::Error, "error!", "*** Math Error: attempt to divide by zero"},
        {"{open string", api::Outcome::Error, "error!", "*** Syntax Error: (line 1) invalid string! at {open string"},
        // A throw or break that nothing catches becomes an error at the top.
        {"throw 1", api::Outcome::Error, "error!", "*** Throw Error: no catch for throw: 1"},
        {"break", api::Outcome::Error, "error!", "*** Throw Error: no loop to break"},
    };
    for (const Case& c : cases) {
        api::Value v;
        EXPECT_EQ(api::evaluate_text(c.source, v), c.outcome) << c.source;
        EXPECT_EQ(api::type_name(v), c.type) << c.source;
        if (c.outcome == api::Outcome::Error) {
            std::string text = api::form_error(v);
            EXPECT_EQ(text.substr(0, text.find('\n')), c.shown) << c.source;
        } else if (!api::is_unset(v)) {
            EXPECT_EQ(molded(v), c.shown) << c.source;
        }
    }
}

TEST_F(ApiTest, MoldAndFormCutToTheWidthWithAnEllipsis) {
    api::Value v;
    ASSERT_EQ(api::evaluate_text("append/dup copy {} #\"x\" 40", v), api::Outcome::Value);
    EXPECT_EQ(molded(v), "\"" + std::string(40, 'x') + "\"");
    EXPECT_EQ(molded(v, 10), "\"xxxxxx...");
    std::string text;
    EXPECT_TRUE(api::form(v, text, 10));
    EXPECT_EQ(text, "xxxxxxx...");
    EXPECT_TRUE(api::form(v, text, 40));
    EXPECT_EQ(text, std::string(40, 'x'));
    // Narrower than the ellipsis: one character stays.
    EXPECT_EQ(molded(v, 2), "\"...");
}

TEST_F(ApiTest, ScriptBodyFollowsTheHeader) {
    api::Value code, body, result;
    ASSERT_TRUE(api::load("Zel [title: \"t\"] 6 * 7", code));
    ASSERT_TRUE(api::script_body(code, body));
    EXPECT_EQ(molded(body), "[6 * 7]");   // the block from past the header
    ASSERT_EQ(api::evaluate(body, result), api::Outcome::Value);
    EXPECT_EQ(molded(result), "42");

    for (const char* source : {"6 * 7", "Zel 6", "zel-not [] 1", "[Zel []]"}) {
        api::Value c, b;
        ASSERT_TRUE(api::load(source, c)) << source;
        EXPECT_FALSE(api::script_body(c, b)) << source;
    }
}

TEST_F(ApiTest, OpenDelimiterOfIncompleteInput) {
    const std::pair<const char*, char> cases[] = {
        {"1 2", 0}, {"[1 2", '['}, {"(a [b]", '('}, {"{abc", '{'}, {"[a {b", '{'}, {"x: [\n1\n", '['}, {"]", 0},
    };
    for (const auto& [text, open] : cases) EXPECT_EQ(api::open_delimiter(text), open) << text;
}

std::vector<std::string> printed;
void hook(const char* text, long length, int new_line) {
    printed.push_back(std::string(text, size_t(length)) + (new_line ? "|nl" : "|"));
}

TEST_F(ApiTest, PrintGoesThroughTheHooks) {
    printed.clear();
    api::add_print_hooks(hook, nullptr);
    api::print("one");
    api::print("two", false);
    api::Value v;
    EXPECT_EQ(api::evaluate_text("print [1 + 1 \"x\"] prin 'y", v), api::Outcome::Value);
    api::remove_print_hooks(hook, nullptr);
    api::print("");   // no hook: standard output
    EXPECT_EQ(printed, (std::vector<std::string>{"one|nl", "two|", "2 x|nl", "y|"}));
}

TEST_F(ApiTest, ValuesOutliveCollections) {
    std::vector<api::Value> kept;
    for (int i = 0; i < 20; i++) {
        api::Value v;
        ASSERT_EQ(api::evaluate_text("append copy [a b] " + std::to_string(i), v), api::Outcome::Value);
        kept.push_back(std::move(v));   // moving keeps the slot
    }
    kept.erase(kept.begin(), kept.begin() + 10);   // freed slots are reused below
    api::Value garbage;
    ASSERT_EQ(api::evaluate_text("loop 200 [copy/deep [[1 2] [3 4] {text}]] recycle", garbage), api::Outcome::Value);
    for (int i = 0; i < 5; i++) {
        api::Value v;
        ASSERT_EQ(api::evaluate_text("copy {fresh}", v), api::Outcome::Value);
        kept.push_back(std::move(v));
    }
    collector::run_cycle();
    for (int i = 0; i < 10; i++) EXPECT_EQ(molded(kept[size_t(i)]), "[a b " + std::to_string(i + 10) + "]");
    for (size_t i = 10; i < kept.size(); i++) EXPECT_EQ(molded(kept[i]), "\"fresh\"");
}

}  // namespace
