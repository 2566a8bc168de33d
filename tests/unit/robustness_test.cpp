// Bad input never ends the process: random bytes through the lexer, and random code through
// the interpreter, give values or language errors.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "core/actions.h"
#include "core/collector.h"
#include "core/interpreter.h"
#include "startup/runtime.h"
#include "core/stack.h"
#include "io/lexer.h"
#include "test_support.h"

using namespace zel;

namespace {

using Robustness = test::RuntimeTest;

// Loads (and, when it loads, molds) the text; returns false when an error was raised.
bool load_and_mold(const std::string& text) {
    return stack::capture([&] {
        collector::RootedCell block;
        lexer::load_utf8(&block, text);
        collector::RootedCell molded;
        actions::mold_value(&molded, &block);
    }) == stack::LEVEL_NONE;
}

// Evaluates the text as code under a handler of every unwinding.
void eval_text(const std::string& text) {
    stack::capture([&] {
        collector::RootedCell block;
        lexer::load_utf8(&block, text);
        interp::eval_block(&block, false);
    });
}

TEST_F(Robustness, RandomBytesNeverCrashTheLexer) {
    std::mt19937 rng(12345);
    const std::string alphabet = "[](){}\"'#%$@:/\\^-+.,;<>= \n\tabcxyz019eE~!?*&|";
    for (int round = 0; round < 3000; round++) {
        std::string text;
        size_t len = rng() % 40;
        for (size_t i = 0; i < len; i++) {
            // Mostly syntax characters, sometimes any byte (invalid UTF-8 included).
            if (rng() % 8 == 0) text += char(rng() % 256);
            else text += alphabet[rng() % alphabet.size()];
        }
        load_and_mold(text);
    }
    SUCCEED();
}

TEST_F(Robustness, RandomCodeGivesValuesOrErrors) {
    std::mt19937 rng(54321);
    // A vocabulary without loops, so that every evaluation ends.
    const char* const words[] = {
        "1", "0", "-1", "2147483647", "1.5", "\"s\"", "#\"c\"", "[]", "[1 2]", "()", "(1)", "a:", "a",
        ":a", "'a", "+", "-", "*", "/", "=", "<", "append", "insert", "copy", "first", "next", "back",
        "pick", "poke", "mold", "form", "reduce", "compose", "do", "if", "either", "not", "type?",
        "make", "block!", "string!", "integer!", "object!", "func", "try", "none", "true", "length?",
        "head", "tail", "clear", "reverse", "take", "change", "remove", "a/1", "a/b", "b:", "b", "to",
        "negate", "absolute", "same?", "equal?", "get", "set", "unset", "value?", "return", "break",
        "throw", "catch", "continue", "exit", "self",
    };
    const size_t count = sizeof words / sizeof words[0];
    for (int round = 0; round < 3000; round++) {
        std::string text;
        size_t len = 1 + rng() % 12;
        for (size_t i = 0; i < len; i++) {
            text += words[rng() % count];
            text += ' ';
        }
        eval_text(text);
    }
    SUCCEED();
}

TEST_F(Robustness, DeepNestingIsRefusedCleanly) {
    std::string deep(5000, '[');
    deep += std::string(5000, ']');
    EXPECT_FALSE(load_and_mold(deep)) << "molding 5000 levels raises too-deep";
    std::string parens(100000, '(');
    parens += "1";
    parens += std::string(100000, ')');
    eval_text(parens);
    SUCCEED();
}

}  // namespace
