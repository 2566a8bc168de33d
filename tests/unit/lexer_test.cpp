// The lexer: values of every token class, nesting and paths, syntax errors with their
// arguments, new-line flags, the scanning modes, string input and callback events.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/collector.h"
#include "core/context.h"
#include "core/error.h"
#include "core/interpreter.h"
#include "core/memory.h"
#include "startup/runtime.h"
#include "core/runtime_words.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/scalar/pair.h"
#include "datatypes/scalar/point.h"
#include "datatypes/scalar/tuple.h"
#include "core/block.h"
#include "datatypes/series/string.h"
#include "io/lexer.h"
#include "test_support.h"

using namespace zel;

namespace {

std::string type_name(uint32_t t) {
    switch (t) {
#define ZEL_TYPE(id, name, cname, ...) case id: return std::string(name).substr(0, std::strlen(name) - 1);
#include "core/types.def"
#undef ZEL_TYPE
        default: return "type" + std::to_string(t);
    }
}

std::string number(double d) {
    if (std::isnan(d)) return "nan";
    if (std::isinf(d)) return d < 0 ? "-inf" : "inf";
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", d);
    return buf;
}

// A plain description of a value: its type, then its content.
std::string describe(const Cell* v) {
    uint32_t t = type_of(v);
    std::string out = type_name(t);
    switch (t) {
        case TYPE_INTEGER: return out + " " + std::to_string(int_value(v));
        case TYPE_FLOAT: case TYPE_PERCENT: case TYPE_TIME: return out + " " + number(float_value(v));
        case TYPE_CHAR: return out + " " + std::to_string(char_value(v));
        case TYPE_LOGIC: return out + (logic_value(v) ? " true" : " false");
        case TYPE_DATATYPE: return out + " " + type_name(datatype_value(v)) + "!";
        case TYPE_PAIR: return out + " " + std::to_string(pair::x_of(v)) + " " + std::to_string(pair::y_of(v));
        case TYPE_POINT2D: return out + " " + number(point::component(v, 0)) + " " + number(point::component(v, 1));
        case TYPE_POINT3D:
            return out + " " + number(point::component(v, 0)) + " " + number(point::component(v, 1)) + " " +
                   number(point::component(v, 2));
        case TYPE_TUPLE: {
            uint32_t n = tuple::count(v);
            const uint8_t* b = tuple::bytes(v);
            out += " ";
            for (uint32_t i = 0; i < n; i++) out += (i ? "." : "") + std::to_string(b[i]);
            return out;
        }
        case TYPE_BINARY: {
            SeriesBuf* b = memory::buf(series_node(v));
            static const char* hex = "0123456789ABCDEF";
            out += " ";
            for (uint32_t i = uint32_t(series_head(v)); i < b->tail; i++) {
                out += hex[b->data()[i] >> 4];
                out += hex[b->data()[i] & 15];
            }
            return out;
        }
        default: break;
    }
    if (is_any_word_type(t)) return out + " " + std::string(symbol::spelling(word_symbol(v)));
    if (is_text_type(t)) return out + " " + string::to_utf8(v);
    if (is_any_block_type(t)) {
        out += " [";
        const Cell* e = block::head(v);
        for (const Cell* end = block::tail(v); e < end; e++) out += (e == block::head(v) ? "" : ", ") + describe(e);
        return out + "]";
    }
    return out;
}

// The top-level values of a block, described and joined by " | ".
std::string describe_all(const Cell* b) {
    std::string out;
    for (const Cell* e = block::head(b); e < block::tail(b); e++) out += (out.empty() ? "" : " | ") + describe(e);
    return out;
}

std::string text_of(const Cell* v) {
    if (is_text_type(type_of(v))) return string::to_utf8(v);
    if (type_of(v) == TYPE_DATATYPE) return type_name(datatype_value(v)) + "!";
    if (type_of(v) == TYPE_NONE) return "none";
    return describe(v);
}

class LexerTest : public test::RuntimeTest {
protected:
    void SetUp() override {
        saved_top = stack::top;
        saved_stress = collector::state.stress;
    }
    void TearDown() override {
        stack::top = saved_top;
        collector::state.stress = saved_stress;
    }
    Cell* saved_top = nullptr;
    bool saved_stress = false;

    // Loads the source into a block kept on the value stack.
    static Cell* load(std::string_view src) {
        Cell* out = stack::push_none();
        lexer::load_utf8(out, src);
        return out;
    }
    static std::string loaded(std::string_view src) {
        std::string out;
        std::string err = raised([&] { out = describe_all(load(src)); });
        return err.empty() ? out : "raised " + err;
    }

    // Runs f; the error it raises as error_summary gives it, or "" when it raises none. The
    // stacks are restored as a catch site does.
    template <typename F>
    static std::string raised(F f) {
        stack::Saved saved;
        try {
            f();
        } catch (stack::Unwind&) {
            std::string s = stack::pending == stack::LEVEL_ERROR ? error_summary() : "unwinding";
            stack::pending = stack::LEVEL_NONE;
            saved.restore();
            return s;
        }
        return "";
    }

    // The raised error as "id arg1 | arg2 | arg3" (absent arguments left out).
    static std::string error_summary() {
        const Cell* err = &stack::unwind_value;
        std::string out = std::string(symbol::spelling(word_symbol(error::field(err, error::F_ID))));
        for (auto f : {error::F_ARG1, error::F_ARG2, error::F_ARG3}) {
            const Cell* a = error::field(err, f);
            if (type_of(a) != TYPE_NONE) out += (f == error::F_ARG1 ? " " : " | ") + text_of(a);
        }
        return out;
    }
    static std::string lex_error(std::string_view src) {
        std::string err = raised([&] { load(src); });
        return err.empty() ? "no error" : err;
    }

    // Evaluates Zel source; the last value is returned (kept on the stack).
    static Cell* eval(std::string_view src) {
        Cell* code = load(src);
        interp::eval_block(code, false);
        return stack::topmost();
    }

    static uint32_t transcode(Cell* result, std::string_view src, const lexer::Options& opt, size_t* stop = nullptr) {
        return lexer::transcode(result, reinterpret_cast<const uint8_t*>(src.data()), src.size(), opt, stop);
    }
};

// ---- values of every token class ----

struct Case {
    const char* src;
    const char* expected;
};

TEST_F(LexerTest, NumbersLoadByTheirLiteralRules) {
    const Case cases[] = {
        {"", ""},
        {"1 -7 +3", "integer 1 | integer -7 | integer 3"},
        {"2147483647 -2147483648", "integer 2147483647 | integer -2147483648"},
        {"2147483648", "float 2147483648"},
        {"12345678901", "float 12345678901"},
        {"00000000001", "float 1"},                     // more than ten digits
        {"1'000'000'000", "integer 1000000000"},         // separators are not digits
        {"1'000", "integer 1000"},
        {"1.5 1. .5 -.5 1e3 1E3 -1.5e-3 1'000.5",
         "float 1.5 | float 1 | float 0.5 | float -0.5 | float 1000 | float 1000 | float -0.0015 | float 1000.5"},
        {"12% 50% 1.5% 1'000%", "percent 0.12 | percent 0.5 | percent 0.014999999999999999 | percent 10"},
        {"1.#inf -1.#INF 1.#NaN", "float inf | float -inf | float nan"},
        {"FFh 0Fh 0FFh FFFFFFFFh 1Eh", "integer 255 | integer 15 | integer 255 | integer -1 | integer 30"},
        {"FF E1", "word FF | word E1"},
        {"1x2 -1X-20 0x0", "pair 1 2 | pair -1 -20 | pair 0 0"},
        {"1.2.3 255.0.10.1 1.2.3.4.5.6.7.8.9.10.11.12",
         "tuple 1.2.3 | tuple 255.0.10.1 | tuple 1.2.3.4.5.6.7.8.9.10.11.12"},
        {"10:30 1:30.5 1:2:3.5 -0:01 1:60 1:2:75",
         "time 37800 | time 90.5 | time 3723.5 | time -60 | time 7200 | time 3795"},
        {"(1, 2) (1,2,3) ( 1.5 , -2 ) (1.#INF, 0)",
         "point2D 1 2 | point3D 1 2 3 | point2D 1.5 -2 | point2D inf 0"},
        {"(1 2)", "paren [integer 1, integer 2]"},
    };
    for (const Case& c : cases) EXPECT_EQ(loaded(c.src), c.expected) << c.src;
}

TEST_F(LexerTest, WordsIssuesAndRefinements) {
    const Case cases[] = {
        {"a a: :a 'a", "word a | set-word a | get-word a | lit-word a"},
        {"/a / // #a", "refinement a | word / | word // | issue a"},
        {"=: <: + - > >= <= <> < % %%", "set-word = | set-word < | word + | word - | word > | word >= | word <= | word <> | word < | word % | word %%"},
        {"été 日本", "word été | word 日本"},
        {"\xC2\xA0" "1", "integer 1"},                   // leading Unicode space, then a number
        {"a\xC2\xA0" "b", "word a | word b"},            // a Unicode space ends a word
        {"\xE3\x80\x80", ""},                             // nothing but Unicode space
        {"#(true) #(false) #(none) #(unset) #(integer!) #(Block!)",
         "logic true | logic false | none | unset | datatype integer! | datatype block!"},
    };
    for (const Case& c : cases) EXPECT_EQ(loaded(c.src), c.expected) << c.src;
}

// Far more distinct words than the lexer's symbol cache has slots, of every length around
// its limit, read twice: each word keeps its own symbol, spelling and global slot, cased
// spellings stay apart (sharing their slot), and a second read gives the same symbols.
TEST_F(LexerTest, ManyDistinctWordsKeepTheirOwnSymbols) {
    std::vector<std::string> words;
    for (int i = 0; i < 12000; i++) {
        std::string w = "w" + std::to_string(i) + std::string(size_t(i % 34), i % 2 ? 'x' : 'X');
        words.push_back(w);
    }
    for (const char* w : {"CaseWord", "caseword", "CASEWORD"}) words.push_back(w);
    std::string src;
    for (const std::string& w : words) src += w + " ";
    std::vector<uint32_t> first;
    for (int round = 0; round < 2; round++) {
        collector::RootedCell block;
        lexer::load_utf8(&block, src);
        SeriesBuf* b = memory::buf(series_node(&block));
        ASSERT_EQ(b->length(), words.size());
        for (size_t i = 0; i < words.size(); i++) {
            uint32_t sym = word_symbol(&b->cells()[i]);
            ASSERT_EQ(symbol::spelling(sym), words[i]);
            ASSERT_EQ(word_context(&b->cells()[i]), context::global);
            ASSERT_EQ(word_index(&b->cells()[i]), context::global_index(sym)) << words[i];
            if (round == 0) first.push_back(sym);
            else ASSERT_EQ(sym, first[i]);
        }
        size_t n = words.size();
        EXPECT_EQ(word_index(&b->cells()[n - 1]), word_index(&b->cells()[n - 3]));
        EXPECT_NE(word_symbol(&b->cells()[n - 1]), word_symbol(&b->cells()[n - 3]));
    }
}

TEST_F(LexerTest, TextValuesDecodeTheirEscapes) {
    const Case cases[] = {
        {"\"abc\" \"\"", "string abc | string "},
        {"\"^(TAB)^(esc)^(del)^a^[^~\"", "string \t\x1B\x7F\x01\x1B\x7F"},
        {"{a{b}c} {a^}b} {}", "string a{b}c | string a}b | string "},
        {"{line\none}", "string line\none"},
        {"%{a^/b}% %%{a}% b}%%", "string a^/b | string a}% b"},
        {"%a%20b %\"a b\" %\"a^\"b\" %\"a^^b\" %dir/f.txt %a%C3%A9%E2%82%AC%FF",
         "file a b | file a b | file a\"b | file a^b | file dir/f.txt | file aé€\xEF\xBF\xBD"},
        {"http://x.org/a%20b a:b mailto:a@b", "url http://x.org/a b | url a:b | url mailto:a@b"},
        {"a@b.c @ref", "email a@b.c | ref ref"},
        {"<a b> <a x='>' y=\">\">", "tag a b | tag a x='>' y=\">\""},
        {"#\"a\" #\"^(line)\" #\"^(1F600)\" #\"^/\" #\"é\" #\"^\"\"",
         "char 97 | char 10 | char 128512 | char 10 | char 233 | char 34"},
        {"#{0F 1e ; comment\n} 2#{01000001} 16#{} #{}", "binary 0F1E | binary 41 | binary  | binary "},
        {"64#{QUJD} 64#{QQ==} 64#{QUI=} 64#{QQ} 64#{QUI} 64#{ QU JD }",
         "binary 414243 | binary 41 | binary 4142 | binary 41 | binary 4142 | binary 414243"},
    };
    for (const Case& c : cases) EXPECT_EQ(loaded(c.src), c.expected) << c.src;
    Cell* b = load("\"a^/b^-c^(41)^(line)^^^\"^@x\"");
    EXPECT_EQ(string::to_utf8(block::head(b)), std::string("a\nb\tcA\n^\"\0x", 11));
}

TEST_F(LexerTest, StringUnitFollowsTheWidestCharacter) {
    const struct {
        const char* src;
        uint32_t unit;
    } cases[] = {
        {"\"abc\"", 1}, {"\"é\"", 2}, {"\"€\"", 2}, {"\"^(20AC)\"", 2}, {"\"^(0041)\"", 2},
        {"\"^(1F600)\"", 4}, {"\"😀\"", 4}, {"{^(1F600)}", 4}, {"\"^(E9)\"", 1},
    };
    for (const auto& c : cases) {
        Cell* b = load(c.src);
        ASSERT_EQ(block::length(b), 1) << c.src;
        EXPECT_EQ(memory::buf(series_node(block::head(b)))->unit(), c.unit) << c.src;
    }
    Cell* b = load("\"^(1F600)x\"");
    EXPECT_EQ(string::to_utf8(block::head(b)), "\xF0\x9F\x98\x80x");
}

// ---- nesting and paths ----

TEST_F(LexerTest, BlocksParensAndPathsNest) {
    const Case cases[] = {
        {"[a [b] (c [d])]", "block [word a, block [word b], paren [word c, block [word d]]]"},
        {"[] ()", "block [] | paren []"},
        {"a/b/c", "path [word a, word b, word c]"},
        {"'a/b :a/b a/b: c", "lit-path [word a, word b] | get-path [word a, word b] | set-path [word a, word b] | word c"},
        {"a/:b a/'b a/1 a/-1 a/1.5", "path [word a, get-word b] | path [word a, lit-word b] | path [word a, integer 1] | "
                                     "path [word a, integer -1] | path [word a, float 1.5]"},
        {"a/(b)/c a/(b) c", "path [word a, paren [word b], word c] | path [word a, paren [word b]] | word c"},
        {"a/\"s\" a/#i", "path [word a, string s] | path [word a, issue i]"},
        {"[a/b]", "block [path [word a, word b]]"},
        {"f/(1, 2)", "path [word f, point2D 1 2]"},
        {"(a, b)", "raised invalid (line 1) | float! | (a, b)"},
        {"(1, 2 + x)", "raised invalid (line 1) | point2D! | (1, 2 + x)"},
        {"(x , 2)", "raised invalid (line 1) | point2D! | (x , 2)"},
        {"(x, 2)", "raised invalid (line 1) | word! | x, 2)"},
        {"(1 ;c\n, 2) (1 ;c\n, 2 , 3)", "point2D 1 2 | point3D 1 2 3"},
    };
    for (const Case& c : cases) EXPECT_EQ(loaded(c.src), c.expected) << c.src;
}

// ---- syntax errors ----

TEST_F(LexerTest, SyntaxErrorsNameTheLineTheTypeAndTheText) {
    const Case cases[] = {
        {"1''0", "invalid (line 1) | integer! | 1''0"},
        {"[1 2", "missing (line 1) | ] | [1 2"},
        {"1 2]", "missing (line 1) | [ | ]"},
        {"[1 2)", "missing (line 1) | ] | )"},
        {"(1 2]", "missing (line 1) | ) | ]"},
        {"[(1]", "missing (line 1) | ) | ]"},
        {"a/b/", "invalid (line 1) | path! | a/b/"},
        {"a/", "invalid (line 1) | path! | a/"},
        {"a/b:/c", "invalid (line 1) | path! | a/b:/c"},
        {"#\"\"", "invalid (line 1) | char! | #\"\""},
        {"#\"ab\"", "invalid (line 1) | char! | #\"ab\""},
        {"#\"^\"", "invalid (line 1) | char! | #\"^\""},
        {"#{0F1}", "invalid (line 1) | binary! | #{0F1}"},
        {"3#{00}", "invalid (line 1) | binary! | 3#{00}"},
        {"64#{Q}", "invalid (line 1) | binary! | 64#{Q}"},
        {"64#{Q===}", "invalid (line 1) | binary! | 64#{Q===}"},
        {"1.2.256", "invalid (line 1) | tuple! | 1.2.256"},
        {"1.2.3.4.5.6.7.8.9.10.11.12.13", "invalid (line 1) | tuple! | 1.2.3.4.5.6.7.8.9.10.11.12.13"},
        {"Fh", "invalid (line 1) | word! | Fh"},
        {"1h", "invalid (line 1) | integer! | 1h"},
        {"123456789h", "invalid (line 1) | integer! | 123456789h"},
        {"#(foo)", "malconstruct (line 1) | #(foo)"},
        {"#(true )", "malconstruct (line 1) | #(true )"},
        {"}", "bad-char (line 1) | }"},
        {"\xC0", "bad-char (line 1) | \xEF\xBF\xBD"},
        {"\"abc", "invalid (line 1) | string! | \"abc"},
        {"\"a\nb\"", "invalid (line 1) | string! | \"a"},
        {"\"a^(110000)\"", "invalid (line 1) | string! | \"a^(110000)\""},
        {"\"a\xED\xA0\x80\"", "invalid (line 1) | string! | \"a\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"{abc", "invalid (line 1) | string! | {abc"},
        {"x {a {b}", "invalid (line 1) | string! | {a {b}"},
        {"%{abc}%%", "invalid (line 1) | string! | %{abc}%%"},
        {"%%{abc}%", "invalid (line 1) | string! | %%{abc}%"},
        {"'a:", "invalid (line 1) | lit-word! | 'a:"},
        {":a:", "invalid (line 1) | word! | :a:"},
        {"=:x", "invalid (line 1) | word! | =:x"},
        {"$1.234567", "invalid (line 1) | money! | $1.234567"},
        {"US$1", "invalid (line 1) | money! | US$1"},
        {"$1'", "invalid (line 1) | money! | $1'"},
        {"29-Feb-2001", "invalid (line 1) | date! | 29-Feb-2001"},
        {"1-Jan-2000/24:00", "invalid (line 1) | date! | 1-Jan-2000/24:00"},
        {"1-Foo-2000", "invalid (line 1) | date! | 1-Foo-2000"},
        {"1:2:", "invalid (line 1) | time! | 1:2:"},
        {"1x2.5", "invalid (line 1) | pair! | 1x2.5"},
        {"x , y", "invalid (line 1) | point2D! | , y"},
        {"(1, 2, 3, 4)", "invalid (line 1) | point3D! | (1, 2, 3, 4)"},
        {"(1 2, 3)", "invalid (line 1) | point2D! | (1 2, 3)"},
        {"(1, 1e)", "invalid (line 1) | float! | (1, 1e)"},
        {"#[1]", "invalid (line 1) | map! | #[1]"},
        {"1\n2\n 1''0", "invalid (line 3) | integer! | 1''0"},
        {"[\n[\n", "missing (line 3) | ] | ["},
        {"1''0000000000000000000000000000000000000000000",
         "invalid (line 1) | integer! | 1''000000000000000000000000000"},
    };
    for (const Case& c : cases) EXPECT_EQ(lex_error(c.src), c.expected) << c.src;
}

TEST_F(LexerTest, ErrorsLeaveTheLexerReady) {
    EXPECT_EQ(lex_error("[a [b (c"), "missing (line 1) | ) | (c");
    EXPECT_EQ(loaded("[a [b (c)]]"), "block [word a, block [word b, paren [word c]]]");
    EXPECT_EQ(loaded("x"), "word x");
}

// ---- new-line flags ----

TEST_F(LexerTest, ValuesThatStartALineCarryTheNewLineFlag) {
    Cell* b = load("a\nb c\n[\nd e] {x}\n\"s\"\na/b 1 ;c\n2");
    std::vector<bool> flags;
    for (const Cell* e = block::head(b); e < block::tail(b); e++) flags.push_back(has_new_line(e));
    EXPECT_EQ(flags, (std::vector<bool>{false, true, false, true, false, true, true, false, true}));
    const Cell* inner = block::head(b) + 3;
    ASSERT_EQ(type_of(inner), TYPE_BLOCK);
    EXPECT_TRUE(has_new_line(block::head(inner)));
    EXPECT_FALSE(has_new_line(block::head(inner) + 1));
    // The head of a path never carries the flag, even when the path starts a line.
    const Cell* path = block::head(b) + 6;
    ASSERT_EQ(type_of(path), TYPE_PATH);
    EXPECT_FALSE(has_new_line(block::head(path)));
}

// ---- modes ----

TEST_F(LexerTest, OneValueModeStopsAfterTheFirstValue) {
    lexer::Options o;
    o.one_value = true;
    Cell* r = stack::push_none();
    size_t stop = 0;
    EXPECT_EQ(transcode(r, "1 [2 3] 4", o, &stop), TYPE_INTEGER);
    EXPECT_EQ(describe(r), "integer 1");
    EXPECT_EQ(stop, 1u);
    EXPECT_EQ(transcode(r, " [2 3] 4", o, &stop), TYPE_BLOCK);
    EXPECT_EQ(describe(r), "block [integer 2, integer 3]");
    EXPECT_EQ(stop, 6u);
    EXPECT_EQ(transcode(r, "a/b c", o, &stop), TYPE_PATH);
    EXPECT_EQ(describe(r), "path [word a, word b]");
    EXPECT_EQ(stop, 3u);
    EXPECT_EQ(transcode(r, "{a} b", o, &stop), TYPE_STRING);
    EXPECT_EQ(describe(r), "string a");
    EXPECT_EQ(stop, 3u);
}

TEST_F(LexerTest, ScanModeAnswersTheTypeWithoutBuilding) {
    const struct {
        const char* src;
        uint32_t type;
    } cases[] = {
        {"1.5", TYPE_FLOAT}, {"1.2.3", TYPE_TUPLE}, {"1.2.3.4.5.6.7.8.9.10.11.12.13", TYPE_ERROR},
        {"1x", TYPE_ERROR}, {"[1 2] 3", TYPE_BLOCK}, {"[1 2", TYPE_ERROR}, {"a/b c", TYPE_PATH},
        {"a: 1", TYPE_SET_WORD}, {"'a", TYPE_LIT_WORD}, {"", 0}, {"   ", 0}, {";c", 0},
        {"#(true)", TYPE_LOGIC}, {"2147483648", TYPE_FLOAT}, {"1-Jan-2000", TYPE_DATE}, {"$1.50", TYPE_MONEY},
        {"#[a 1]", TYPE_MAP}, {"(1, 2, 3)", TYPE_POINT3D}, {"1''0", TYPE_ERROR},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(lexer::scan_type(reinterpret_cast<const uint8_t*>(c.src), std::strlen(c.src)), c.type) << c.src;
    }
    lexer::Options o;
    o.one_value = true;
    o.load = false;
    Cell* r = stack::push_none();
    set_integer(r, 5);
    size_t stop = 0;
    transcode(r, "1.5 2", o, &stop);
    EXPECT_EQ(type_of(r), TYPE_NONE);
    EXPECT_EQ(stop, 3u);
}

TEST_F(LexerTest, PrescanGuessesWithoutChecking) {
    lexer::Options o;
    o.prescan = true;
    const struct {
        const char* src;
        uint32_t type;
    } cases[] = {
        {"1.5", TYPE_FLOAT}, {"1.2.3.4.5.6.7.8.9.10.11.12.13", TYPE_TUPLE}, {"1''0", TYPE_INTEGER},
        {"a/b", TYPE_PATH}, {"\"abc\" 1", TYPE_STRING}, {"[1 2]", TYPE_BLOCK}, {"}", TYPE_ERROR},
    };
    for (const auto& c : cases) EXPECT_EQ(transcode(nullptr, c.src, o), c.type) << c.src;
}

TEST_F(LexerTest, IntoAppendsToTheTargetBlock) {
    Cell* target = load("x");
    lexer::Options o;
    o.into = target;
    Cell* r = stack::push_none();
    transcode(r, "1 [2]", o);
    EXPECT_EQ(describe(target), "block [word x, integer 1, block [integer 2]]");
    EXPECT_EQ(series_node(r), series_node(target));
    // Values finished before an error stay in the target.
    EXPECT_EQ(raised([&] { transcode(r, "3 [4 1''0", o); }), "invalid (line 1) | integer! | 1''0");
    EXPECT_EQ(describe(target), "block [word x, integer 1, block [integer 2], integer 3, block [integer 4]]");
}

TEST_F(LexerTest, NulEndsTheInput) {
    const char src[] = "1 2\0 3";
    Cell* r = stack::push_none();
    transcode(r, std::string_view(src, sizeof src - 1), lexer::Options{});
    EXPECT_EQ(describe(r), "block [integer 1, integer 2]");
}

// ---- string input ----

TEST_F(LexerTest, LoadStringCountsCharacters) {
    Cell* s = stack::push_none();
    string::from_utf8(s, "é 1 😀 2");
    Cell* r = stack::push_none();
    size_t stop = 0;
    lexer::load_string(r, s, 3, lexer::Options{}, &stop);
    EXPECT_EQ(describe(r), "block [word é, integer 1]");
    EXPECT_EQ(stop, 3u);
    lexer::load_string(r, s, -1, lexer::Options{}, &stop);
    EXPECT_EQ(describe(r), "block [word é, integer 1, word 😀, integer 2]");
    EXPECT_EQ(stop, 7u);
    lexer::Options o;
    o.one_value = true;
    Cell at = *s;
    set_series_head(&at, 4);   // from the fourth character
    lexer::load_string(r, &at, -1, o, &stop);
    EXPECT_EQ(describe(r), "word 😀");
    EXPECT_EQ(stop, 1u);
}

// ---- number scanning from strings ----

TEST_F(LexerTest, NumbersScanFromStringsOfAnyUnit) {
    auto int_of = [](const std::u32string& text, int32_t& err) {
        return lexer::scan_integer_string(reinterpret_cast<const uint8_t*>(text.data()), text.size(), 4, &err);
    };
    int32_t err;
    EXPECT_EQ(int_of(U"-2147483648", err), INT32_MIN);
    EXPECT_EQ(err, lexer::SCAN_OK);
    EXPECT_EQ(int_of(U"2147483648", err), 0);
    EXPECT_EQ(err, lexer::SCAN_OVERFLOW);
    EXPECT_EQ(int_of(U"1'000", err), 1000);
    EXPECT_EQ(err, lexer::SCAN_OK);
    EXPECT_EQ(int_of(U"12a", err), 12);
    EXPECT_EQ(err, lexer::SCAN_INVALID);

    const char* ascii = "1,5";
    EXPECT_EQ(lexer::scan_float_string(reinterpret_cast<const uint8_t*>(ascii), 3, 1, &err), 1.5);
    EXPECT_EQ(err, lexer::SCAN_OK);
    std::u16string wide = u"1e400";
    EXPECT_TRUE(std::isinf(lexer::scan_float_string(reinterpret_cast<const uint8_t*>(wide.data()), wide.size(), 2, &err)));
    EXPECT_EQ(err, lexer::SCAN_OK);
    EXPECT_TRUE(std::isnan(lexer::scan_float_string(reinterpret_cast<const uint8_t*>("abc"), 3, 1, &err)));
    EXPECT_EQ(err, lexer::SCAN_INVALID);

    Cell m;
    for (const char* bad : {"US$1", "$", "$1'", "1..5", "$.5"}) {
        lexer::scan_money_string(&m, reinterpret_cast<const uint8_t*>(bad), std::strlen(bad), 1, &err);
        EXPECT_EQ(err, lexer::SCAN_INVALID) << bad;
    }
}

// ---- callbacks ----

TEST_F(LexerTest, CallbackReceivesTheEventsOfItsMask) {
    eval("lex-events: copy []"
         "lex-log: func [event input type line token] [[load open close] append lex-events reduce [event type line token] true]");
    Cell* cb = eval(":lex-log");
    lexer::Options o;
    o.callback = cb;
    Cell* r = stack::push_none();
    transcode(r, "1\n[a]", o);
    EXPECT_EQ(describe(r), "block [integer 1, block [word a]]");
    EXPECT_EQ(describe(eval("lex-events")),
              "block [word load, datatype integer!, integer 1, integer 1, "
              "word open, datatype block!, integer 2, pair 3 4, "
              "word load, datatype word!, integer 2, word a, "
              "word close, datatype block!, integer 2, pair 3 6]");
}

TEST_F(LexerTest, CallbackMarksAllEventsWithoutAnEventBlock) {
    eval("lex-events: copy []"
         "lex-all: func [event input type line token] [append lex-events event true]");
    Cell* cb = eval(":lex-all");
    lexer::Options o;
    o.callback = cb;
    Cell* r = stack::push_none();
    transcode(r, "x ;c", o);
    EXPECT_EQ(describe(eval("lex-events")),
              "block [word prescan, word scan, word load, word prescan, word scan]");
    eval("lex-events: copy []"
         "lex-comment: func [event input type line token] [[scan] append lex-events type true]");
    o.callback = eval(":lex-comment");
    transcode(r, "x ;c", o);
    EXPECT_EQ(describe(eval("lex-events")), "block [datatype word!, word comment]");
}

TEST_F(LexerTest, CallbackAnswersSteerTheScan) {
    lexer::Options o;
    Cell* r = stack::push_none();
    // Refusing every load yields an empty block.
    o.callback = eval("func [event input type line token] [[load] false]");
    transcode(r, "1 a \"s\"", o);
    EXPECT_EQ(describe(r), "block []");
    // Blocks are not loaded values: they are still built, empty.
    transcode(r, "1 [2]", o);
    EXPECT_EQ(describe(r), "block [block []]");
    // Declining errors steps over the bad text.
    o.callback = eval("func [event input type line token] [[error] false]");
    transcode(r, "1 } 2 1''0 3 ] 4", o);
    EXPECT_EQ(describe(r), "block [integer 1, integer 2, integer 3, integer 4]");
    // Accepting an error raises it.
    o.callback = eval("func [event input type line token] [[error] true]");
    EXPECT_EQ(raised([&] { transcode(r, "1 }", o); }), "bad-char (line 1) | }");
    // An unclosed block declined at the end gives none.
    o.callback = eval("func [event input type line token] [[error] false]");
    transcode(r, "[1 2", o);
    EXPECT_EQ(type_of(r), TYPE_NONE);
}

TEST_F(LexerTest, CallbackCanSkipInput) {
    // At every word the callback moves the input three characters past the word's end.
    lexer::Options o;
    o.callback = eval("func [event input type line token] [[prescan] either type = word! "
                      "[input: skip input 3 false] [true]]");
    Cell* r = stack::push_none();
    Cell* s = stack::push_none();
    string::from_utf8(s, "1 skip 22 3");
    lexer::load_string(r, s, -1, o, nullptr);
    EXPECT_EQ(describe(r), "block [integer 1, integer 3]");
    // Indexes count characters, not bytes.
    string::from_utf8(s, "1 skip éé 3");
    lexer::load_string(r, s, -1, o, nullptr);
    EXPECT_EQ(describe(r), "block [integer 1, integer 3]");
}

TEST_F(LexerTest, ThrowFromACallbackPassesThrough) {
    lexer::Options o;
    o.callback = eval("func [event input type line token] [[load] throw token]");
    Cell* r = stack::push_none();
    stack::Saved saved;
    stack::open_frame(sym(SYM_ANON), 0, stack::FRAME_CATCH);
    bool thrown = false;
    try {
        transcode(r, "7 8", o);
        thrown = stack::unwinding();
    } catch (stack::Unwind&) {
        thrown = true;
    }
    EXPECT_TRUE(thrown);
    EXPECT_EQ(stack::pending, stack::LEVEL_THROW);
    EXPECT_EQ(describe(&stack::unwind_value), "integer 7");
    stack::pending = stack::LEVEL_NONE;
    saved.restore();
    EXPECT_EQ(loaded("9"), "integer 9");
}

TEST_F(LexerTest, ValuesSurviveCollectionsDuringCallbacks) {
    lexer::Options o;
    o.callback = eval("func [event input type line token] [[load] loop 3 [copy \"garbage\"] true]");
    Cell* r = stack::push_none();
    collector::state.stress = true;
    uint32_t cycles = collector::state.cycles;
    transcode(r, "\"abc\" [x \"def\" %f] #{0102} {br}", o);
    collector::state.stress = saved_stress;
    EXPECT_GT(collector::state.cycles, cycles);
    EXPECT_EQ(describe(r), "block [string abc, block [word x, string def, file f], binary 0102, string br]");
}

// Whether text typed so far needs more lines: the opening of the construct the text ends
// inside of, as the lexer reads it.
TEST(LexerOpenAtEnd, NamesTheConstructLeftOpen) {
    const struct {
        const char* src;
        char open;
    } cases[] = {
        {"", 0}, {"1 + 1\n", 0}, {"[1 2\n", '['}, {"(1\n[2]\n", '('}, {"#[a\n", '['},
{"{a\nb\n", '{'}, {"{a {b} \n", '{'}, {"%{a\n", '{'},
        {"%%{a}%\n", '{'}, {"#{0F\n", '{'}, {"#{0F ; }\n", '{'}, {"2#{0000\n", '{'},
        // delimiters the lexer reads as part of other tokens
        {"length? %{a^}%\n", 0}, {"#\"[\"\n", 0}, {"; [\n", 0}, {"\"]\" [\n", '['},
        {"{\"}\n", 0}, {"\"a{\"\n", 0}, {"<a [>\n", 0},
        // wrong in a way more lines cannot mend
        {"1 2]\n", 0}, {"(1 2]\n", 0}, {"[(1, 2\n", 0}, {"\"abc\n", 0}, {"1''0 [\n", 0}, {"a/b/\n", 0},
    };
    runtime::init_for_tests();
    for (const auto& c : cases) {
        EXPECT_EQ(lexer::open_at_end(reinterpret_cast<const uint8_t*>(c.src), std::strlen(c.src)), c.open) << c.src;
    }
}

}  // namespace
