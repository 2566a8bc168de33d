// string! storage: units and widening, splicing, UTF-8 decoding, mold escapes, text
// comparison and case mapping.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/actions.h"
#include "core/error.h"
#include "startup/runtime.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/case_map.h"
#include "datatypes/series/string.h"
#include "test_support.h"

using namespace zel;

namespace {

using StringTest = test::RuntimeTest;
using test::raised_id;

using Cps = std::vector<uint32_t>;

uint32_t make_string(const Cps& cps, uint32_t unit = 1) {
    uint32_t node = string::new_node(16, unit);
    for (uint32_t c : cps) string::put_char(node, memory::buf(node)->length(), c);
    return node;
}

Cps content(uint32_t node) {
    Cps out;
    const SeriesBuf* b = memory::buf(node);
    for (uint32_t i = 0; i < b->length(); i++) out.push_back(string::char_at(b, i));
    return out;
}

uint32_t unit(uint32_t node) { return memory::buf(node)->unit(); }

// The bytes of a binary! value.
std::vector<uint8_t> content_bytes(const Cell* bin) {
    const SeriesBuf* b = memory::buf(series_node(bin));
    return std::vector<uint8_t>(b->data(), b->data() + b->tail);
}

Cps decode(const std::vector<uint8_t>& bytes, int32_t* remaining = nullptr, bool cr = false) {
    return content(string::decode_utf8(bytes.data(), bytes.size(), 0, remaining, cr));
}

// ---- units and widening ----

TEST_F(StringTest, AppendingAWideCharWidensByTheAppendRule) {
    struct Case { uint32_t cp; uint32_t unit; } cases[] = {
        {0x41, 1}, {0x7F, 1}, {0x80, 2}, {0xE9, 2}, {0xFFFF, 2}, {0x10000, 4}, {0x10FFFF, 4}};
    for (const Case& c : cases) {
        uint32_t node = string::new_node(16);
        string::append_ascii(node, "ab");
        string::append_char(node, c.cp);
        EXPECT_EQ(unit(node), c.unit) << std::hex << c.cp;
        EXPECT_EQ(content(node), (Cps{'a', 'b', c.cp})) << std::hex << c.cp;
    }
}

TEST_F(StringTest, WritingAndDecodingKeepLatin1InOneByte) {
    uint32_t node = make_string({'a', 'b'});
    string::write_char(node, 1, 0xE9);
    EXPECT_EQ(unit(node), 1u);
    EXPECT_EQ(content(node), (Cps{'a', 0xE9}));
    string::write_char(node, 0, 0x20AC);
    EXPECT_EQ(unit(node), 2u);
    EXPECT_EQ(content(node), (Cps{0x20AC, 0xE9}));
}

TEST_F(StringTest, WideningOneToFourKeepsEveryCharacterAndHeadIndex) {
    uint32_t node = string::new_node(16);
    string::append_ascii(node, "hello world, a longer text");
    Cell view;
    set_series(&view, TYPE_STRING, node, 6);
    string::append_char(node, 0x1F600);
    EXPECT_EQ(unit(node), 4u);
    EXPECT_EQ(string::to_utf8(&view), "world, a longer text\xF0\x9F\x98\x80");
    EXPECT_EQ(string::length(&view), 21);
}

TEST_F(StringTest, WideningTwoToFour) {
    uint32_t node = make_string({0x100, 'x'});
    ASSERT_EQ(unit(node), 2u);
    string::widen(node, 4);
    EXPECT_EQ(unit(node), 4u);
    EXPECT_EQ(content(node), (Cps{0x100, 'x'}));
    string::widen(node, 2);  // never narrows
    EXPECT_EQ(unit(node), 4u);
}

TEST_F(StringTest, PutCharGrowsToReachTheIndexAndFillsTheGap) {
    uint32_t node = string::new_node(16);
    string::put_char(node, 40, 'z');
    EXPECT_EQ(memory::buf(node)->length(), 41u);
    Cps c = content(node);
    EXPECT_EQ(c[40], uint32_t('z'));
    EXPECT_EQ(c[0], 0u);
    EXPECT_EQ(c[39], 0u);
}

TEST_F(StringTest, InsertAndRemoveChars) {
    uint32_t node = make_string({'a', 'c'});
    string::insert_char(node, 1, 'b');
    EXPECT_EQ(content(node), (Cps{'a', 'b', 'c'}));
    string::insert_char(node, 99, 0x3A9);  // clipped to the tail, widens
    EXPECT_EQ(content(node), (Cps{'a', 'b', 'c', 0x3A9}));
    EXPECT_EQ(unit(node), 2u);
    string::remove_chars(node, 1, 2);
    EXPECT_EQ(content(node), (Cps{'a', 0x3A9}));
    string::remove_chars(node, 5, 1);  // past the tail: nothing
    string::remove_chars(node, 1, 100);
    EXPECT_EQ(content(node), (Cps{'a'}));
}

TEST_F(StringTest, EmptyResetNarrowsToOneByte) {
    Cell s;
    set_series(&s, TYPE_STRING, make_string({0x10000, 'a'}), 1);
    string::empty_reset(&s);
    EXPECT_EQ(unit(series_node(&s)), 1u);
    EXPECT_EQ(string::total_length(&s), 0u);
    EXPECT_EQ(series_head(&s), 0);
}

// ---- splice (append, insert and change build on it) ----

TEST_F(StringTest, SpliceInsertsReplacesAndRepeats) {
    struct Case { std::string target; uint32_t at, remove; std::string src; uint32_t dup; std::string expected; } cases[] = {
        {"abc", 3, 0, "de", 1, "abcde"},
        {"bc", 0, 0, "a", 1, "abc"},
        {"abc", 0, 3, "X", 1, "X"},
        {"abc", 0, 2, "XY", 1, "XYc"},
        {"x", 1, 0, "ab", 3, "xababab"},
        {"x", 1, 0, "ab", 5, "xababababab"},
        {"abc", 1, 1, "", 1, "ac"},
        {"abc", 9, 9, "z", 1, "abcz"},  // positions clipped to the content
    };
    for (const Case& c : cases) {
        uint32_t t = string::node_from_utf8(c.target.data(), c.target.size());
        uint32_t s = string::node_from_utf8(c.src.data(), c.src.size());
        string::splice(t, c.at, c.remove, s, 0, memory::buf(s)->length(), c.dup);
        EXPECT_EQ(string::node_to_utf8(t), c.expected) << c.target << " / " << c.src;
    }
}

TEST_F(StringTest, SpliceFromItselfCopiesTheSourceFirst) {
    uint32_t t = string::node_from_utf8("abcdef", 6);
    string::splice(t, 1, 0, t, 0, 6, 1);
    EXPECT_EQ(string::node_to_utf8(t), "aabcdefbcdef");
}

TEST_F(StringTest, SpliceWidensTheTargetToTheSourceUnitAndConvertsNarrowSources) {
    uint32_t t = string::node_from_utf8("ab", 2);
    uint32_t wide = make_string({0x4E2D});
    string::splice(t, 1, 0, wide, 0, 1, 1);
    EXPECT_EQ(unit(t), 2u);
    EXPECT_EQ(content(t), (Cps{'a', 0x4E2D, 'b'}));
    uint32_t narrow = string::node_from_utf8("xy", 2);
    string::splice(t, 0, 0, narrow, 0, 2, 2);
    EXPECT_EQ(content(t), (Cps{'x', 'y', 'x', 'y', 'a', 0x4E2D, 'b'}));
}

TEST_F(StringTest, SpliceRefusesSizesBeyondTheBufferLimit) {
    uint32_t t = string::node_from_utf8("ab", 2);
    uint32_t s = string::node_from_utf8("0123456789", 10);
    EXPECT_EQ(raised_id([&] { string::splice(t, 0, 0, s, 0, 10, 0x7FFFFFFF); }), "no-memory");
    EXPECT_EQ(string::node_to_utf8(t), "ab");
}

// ---- UTF-8 decoding ----

TEST_F(StringTest, DecodingPicksTheNarrowestUnit) {
    struct Case { std::vector<uint8_t> bytes; Cps cps; uint32_t unit; } cases[] = {
        {{0xC3, 0xA9}, {0xE9}, 1},
        {{0xC3, 0xA9, 0xE2, 0x82, 0xAC}, {0xE9, 0x20AC}, 2},
        {{0x61, 0xF0, 0x9F, 0x98, 0x80}, {0x61, 0x1F600}, 4},
        {{0xEF, 0xBB, 0xBF}, {}, 1},
        {{0xEF, 0xBB, 0xBF, 0x61}, {0x61}, 1},
        {{0xEF, 0xBF, 0xBE}, {0xFFFE}, 2},
        {{}, {}, 1},
    };
    for (const Case& c : cases) {
        uint32_t node = string::decode_utf8(c.bytes.data(), c.bytes.size(), 0, nullptr, false);
        EXPECT_EQ(content(node), c.cps);
        EXPECT_EQ(unit(node), c.unit);
    }
}

TEST_F(StringTest, MalformedUtf8RaisesInvalidUtf8) {
    std::vector<std::vector<uint8_t>> bad = {
        {0xED, 0xB0, 0x80}, {0xED, 0xA0, 0x80}, {0xC0, 0x80}, {0xC1, 0xBF}, {0x80},
        {0xE0, 0x80, 0x80}, {0xF4, 0x90, 0x80, 0x80}, {0xF8, 0x88, 0x80, 0x80, 0x80}, {0x61, 0xC3, 0x28}};
    for (const auto& bytes : bad)
        EXPECT_EQ(raised_id([&] { decode(bytes); }), "invalid-utf8") << std::hex << int(bytes[0]);
}

TEST_F(StringTest, ACutSequenceStopsAndReportsTheBytesLeft) {
    int32_t remaining = -1;
    EXPECT_EQ(decode({0x61, 0xE2, 0x82}, &remaining), (Cps{0x61}));
    EXPECT_EQ(remaining, 2);
    remaining = -1;
    EXPECT_EQ(decode({0x61, 0xF0, 0x9F}, &remaining), (Cps{0x61}));
    EXPECT_EQ(remaining, 2);
    remaining = -1;
    decode({0x61, 0x62}, &remaining);
    EXPECT_EQ(remaining, -1);  // untouched on a full decode
}

TEST_F(StringTest, CrTranslationTurnsCrLfAndLoneCrIntoLf) {
    EXPECT_EQ(decode({'a', 13, 10, 'b'}, nullptr, true), (Cps{'a', 10, 'b'}));
    EXPECT_EQ(decode({'a', 13, 'b'}, nullptr, true), (Cps{'a', 10, 'b'}));
    EXPECT_EQ(decode({'a', 13, 10, 'b'}, nullptr, false), (Cps{'a', 13, 10, 'b'}));
}

TEST_F(StringTest, DecodingIntoATargetReplacesItsContentAndKeepsItsUnit) {
    uint32_t target = make_string({0x100, 0x101, 0x102});
    string::decode_utf8(reinterpret_cast<const uint8_t*>("xy"), 2, target, nullptr, false);
    EXPECT_EQ(content(target), (Cps{'x', 'y'}));
    EXPECT_EQ(unit(target), 2u);
}

// Decoding in place gives what decoding into a new buffer gives: content, unit, the bytes
// left of a cut sequence, the error of a malformed one.
TEST_F(StringTest, DecodingInPlaceMatchesDecodingIntoANewBuffer) {
    std::vector<uint8_t> long_mixed;
    for (int i = 0; i < 300; i++) {
        for (char c : std::string("line of text, ")) long_mixed.push_back(uint8_t(c));
        long_mixed.insert(long_mixed.end(), {0xC3, 0xA9, 0xC3, 0xA0, '\r', '\n'});
    }
    std::vector<uint8_t> widens_late = long_mixed;
    widens_late.insert(widens_late.end(), {0xE2, 0x82, 0xAC, 'x', 0xC3, 0xA9, 0xF0, 0x9F, 0x98, 0x80, 'y'});
    widens_late.insert(widens_late.end(), long_mixed.begin(), long_mixed.end());
    std::vector<uint8_t> cut_after_wide = widens_late;
    cut_after_wide.insert(cut_after_wide.end(), {0xE2, 0x82});
    std::vector<uint8_t> bad_late = long_mixed;
    bad_late.insert(bad_late.end(), {0xC3, 0x28});
    std::vector<std::vector<uint8_t>> cases = {
        {}, {'a', 'b', 'c'}, {0xEF, 0xBB, 0xBF}, {0xEF, 0xBB, 0xBF, 'a', 0xC3, 0xA9}, {0xC3, 0xA9, 'a', 'b'},
        {'a', 13, 10, 'b', 13, 'c', 13}, {0x61, 0xE2, 0x82}, {0xC3, 0xA9, 0xF0, 0x9F}, {0xE2, 0x82, 0xAC},
        {0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xC3, 0xA9}, {0x61, 0xC3, 0x28}, {0xC3, 0xA9, 0x80}, {0xED, 0xA0, 0x80},
        long_mixed, widens_late, cut_after_wide, bad_late,
    };
    for (bool cr : {false, true}) {
        for (size_t k = 0; k < cases.size(); k++) {
            const std::vector<uint8_t>& bytes = cases[k];
            int32_t want_left = -1, got_left = -1;
            uint32_t want = 0, got = 0;
            std::string want_error = raised_id([&] {
                want = string::decode_utf8(bytes.data(), bytes.size(), 0, &want_left, cr);
            });
            std::vector<uint8_t> last_bad;
            if (!want_error.empty()) {
                Cell err = stack::unwind_value;
                last_bad = content_bytes(error::field(&err, error::F_ARG1));
            }
            std::string got_error = raised_id([&] {
                uint32_t node = memory::new_series(bytes.empty() ? 1 : bytes.size(), 1);
                if (!bytes.empty()) std::memcpy(memory::buf(node)->data(), bytes.data(), bytes.size());
                got = string::decode_utf8_in_place(node, bytes.size(), &got_left, cr);
            });
            SCOPED_TRACE("case " + std::to_string(k) + (cr ? " with cr" : ""));
            EXPECT_EQ(got_error, want_error);
            if (!want_error.empty()) {
                // The error shows the same offending bytes.
                Cell err = stack::unwind_value;
                EXPECT_EQ(content_bytes(error::field(&err, error::F_ARG1)), last_bad);
                continue;
            }
            EXPECT_EQ(content(got), content(want));
            EXPECT_EQ(unit(got), unit(want));
            EXPECT_EQ(got_left, want_left);
        }
    }
}

TEST_F(StringTest, Utf8SizeMeasuresEveryWidth) {
    uint32_t node = make_string({'a', 0xE9, 0x20AC, 0x1F600});
    EXPECT_EQ(string::utf8_size(node, 0, 4), 1u + 2 + 3 + 4);
}

// ---- UTF-16LE ----

Cps decode16(const std::vector<uint8_t>& bytes, bool cr = false) {
    return content(string::decode_utf16le(bytes.data(), bytes.size() / 2, 0, cr));
}

TEST_F(StringTest, Utf16leDecodingChoosesTheUnitAndJoinsPairs) {
    struct Case { std::vector<uint8_t> bytes; bool cr; Cps cps; uint32_t unit; } cases[] = {
        {{'a', 0, 'b', 0}, false, {'a', 'b'}, 1},
        {{0xE9, 0, 0xAC, 0x20}, false, {0xE9, 0x20AC}, 2},
        {{0x00, 0xD8, 0x00, 0xDC}, false, {0x10000}, 4},
        {{'a', 0, 13, 0, 10, 0, 'b', 0}, true, {'a', 10, 'b'}, 1},
        {{'a', 0, 13, 0, 'b', 0}, true, {'a', 'b'}, 1},
        {{'a', 0, 13, 0, 'b', 0}, false, {'a', 13, 'b'}, 1},
        {{0x00, 0xDC, 'a', 0}, false, {0xDC00, 'a'}, 4},
    };
    for (const Case& c : cases) {
        uint32_t node = string::decode_utf16le(c.bytes.data(), c.bytes.size() / 2, 0, c.cr);
        EXPECT_EQ(content(node), c.cps);
        EXPECT_EQ(unit(node), c.unit);
    }
}

TEST_F(StringTest, BrokenSurrogatePairRaisesInvalidData) {
    EXPECT_EQ(raised_id([] { decode16({0x00, 0xD8, 0x41, 0x00}); }), "invalid-data");
    EXPECT_EQ(raised_id([] { decode16({'a', 0, 0x00, 0xD8}); }), "invalid-data");
}

TEST_F(StringTest, Utf16leEncodingRoundTrips) {
    Cell s;
    set_series(&s, TYPE_STRING, make_string({'a', '\n', 0x10000, 0x20AC}));
    std::string plain = string::to_utf16le(&s, false);
    EXPECT_EQ(plain, std::string("a\0\n\0\x00\xD8\x00\xDC\xAC\x20", 10));
    std::string lines = string::to_utf16le(&s, true);
    EXPECT_EQ(lines.substr(0, 6), std::string("a\0\r\0\n\0", 6));
    EXPECT_EQ(decode16(std::vector<uint8_t>(plain.begin(), plain.end())), (Cps{'a', '\n', 0x10000, 0x20AC}));
}

// ---- escapes and mold ----

std::string escaped(uint32_t cp, bool all) {
    uint32_t out = string::new_node(16);
    string::append_escaped(out, cp, string::ESCAPE_STRING, all);
    return string::node_to_utf8(out);
}

TEST_F(StringTest, EscapeRule) {
    struct Case { uint32_t cp; bool all; std::string text; } cases[] = {
        {0x00, false, "^@"},  {0x09, false, "^-"}, {0x0A, false, "^/"},   {0x1B, false, "^["},
        {0x1E, false, "^(1E)"}, {0x1F, false, "^_"}, {0x22, false, "^\""}, {0x5E, false, "^^"},
        {0x7F, false, "^~"},  {0x85, false, "^(85)"}, {0x9F, false, "^(9F)"},
        {0xE9, false, "\xC3\xA9"}, {0xE9, true, "^(E9)"}, {0x20AC, true, "^(20AC)"}, {'a', true, "a"},
        {'{', false, "{"},
    };
    for (const Case& c : cases) EXPECT_EQ(escaped(c.cp, c.all), c.text) << std::hex << c.cp;
}

std::string molded(const std::string& text, int32_t limit = -1, bool all = false) {
    Cell s;
    string::from_utf8(&s, text);
    uint32_t out = string::new_node(16);
    actions::mold_into(&s, out, false, all, false, limit);
    return string::node_to_utf8(out);
}

TEST_F(StringTest, MoldChoosesDelimitersAndEscapes) {
    struct Case { std::string text; std::string mold; } cases[] = {
        {"abc", "\"abc\""},
        {"a\nb", "\"a^/b\""},
        {"a\nb\nc\nd", "{a^/b^/c^/d}"},
        {"say \"hi\"", "{say \"hi\"}"},
        {"a^b", "\"a^^b\""},
        {"{x}", "\"{x}\""},
        {"\"{", "{\"^{}"},
        {"\"}", "{\"^}}"},
        {"\"{x}", "{\"{x}}"},
        {"\"}{", "{\"^}^{}"},
        {"\"{{}", "{\"^{^{^}}"},
        {"\"^", "{\"^^}"},
        {"", "\"\""},
    };
    for (const Case& c : cases) EXPECT_EQ(molded(c.text), c.mold) << c.text;
}

// The brace rule as stated: each "{" met while the text is still balanced looks ahead for its
// match; the first one without a match makes every later "{" escaped.
std::string naive_brace_mold(const std::string& text) {
    std::string out = "{";
    int depth = 0;
    bool balanced = true;
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        if (c == '{') {
            if (balanced) {
                int d = 0;
                bool found = false;
                for (size_t j = i; j < text.size() && !found; j++) {
                    if (text[j] == '{') d++;
                    else if (text[j] == '}' && --d == 0) found = true;
                }
                balanced = found;
            }
            if (balanced) depth++;
            else out += '^';
            out += c;
        } else if (c == '}') {
            if (depth < 1) out += '^';
            else depth--;
            out += c;
        } else {
            out += c;
        }
    }
    return out + "}";
}

TEST_F(StringTest, BraceBalanceMatchesTheRuleOnRandomTexts) {
    uint32_t seed = 12345;
    auto next = [&] { seed = seed * 1103515245u + 12345u; return (seed >> 16) & 0x7FFF; };
    const char alphabet[] = "{}{}x\"";
    for (int round = 0; round < 2000; round++) {
        std::string text = "\"";  // a quote forces brace mode
        size_t len = next() % 24;
        for (size_t i = 0; i < len; i++) text += alphabet[next() % 6];
        ASSERT_EQ(molded(text), naive_brace_mold(text)) << text;
    }
}

TEST_F(StringTest, MoldOfDeeplyNestedBracesIsLinear) {
    std::string text = "\"" + std::string(200000, '{') + std::string(200000, '}');
    std::string m = molded(text);
    EXPECT_EQ(m.size(), text.size() + 2);  // all balanced: nothing escaped
}

TEST_F(StringTest, MoldSwitchesToBracesAtFiftyCharacters) {
    EXPECT_EQ(molded(std::string(49, 'x')), "\"" + std::string(49, 'x') + "\"");
    EXPECT_EQ(molded(std::string(50, 'x')), "{" + std::string(50, 'x') + "}");
}

TEST_F(StringTest, MoldBudget) {
    EXPECT_EQ(molded("abcdef", 3), "\"abc\"");
    Cell s;
    string::from_utf8(&s, "abcdef");
    uint32_t out = string::new_node(16);
    EXPECT_EQ(actions::mold_into(&s, out, false, false, false, 10), 10 - 6 - 2);
    string::from_utf8(&s, "abc");
    EXPECT_EQ(actions::form_into(&s, out, 10), 7);
}

// ---- comparison ----

int32_t cmp(const std::string& a, const std::string& b, int32_t op) {
    Cell x, y;
    string::from_utf8(&x, a);
    string::from_utf8(&y, b);
    return string::compare_text(&x, &y, op, false);
}

TEST_F(StringTest, CompareTextFoldsUnlessStrict) {
    using namespace actions;
    struct Case { std::string a, b; int32_t op, result; } cases[] = {
        {"abc", "ABC", OP_EQUAL, 0},       {"abc", "ABC", OP_STRICT_EQUAL, 1},
        {"abc", "abd", OP_LESSER, -1},     {"ab", "abc", OP_LESSER, -1},
        {"abc", "ab", OP_LESSER, 1},       {"ab", "abc", OP_EQUAL, 1},
        {"", "", OP_EQUAL, 0},             {"a", "", OP_LESSER, 1},
        {"\xC3\xA9", "\xC3\x89", OP_EQUAL, 0}, {"\xC3\xA9", "\xC3\x89", OP_STRICT_EQUAL, 1},
        {"B", "a", OP_SORT, 1},            {"B", "a", OP_CASE_SORT, -1},
        {"\xCF\x83", "\xCE\xA3", OP_EQUAL, 0},  // sigma: beyond Latin-1
    };
    for (const Case& c : cases) EXPECT_EQ(cmp(c.a, c.b, c.op), c.result) << c.a << " " << c.b << " op " << c.op;
}

TEST_F(StringTest, CompareTextMatchMode) {
    Cell a, b;
    string::from_utf8(&a, "Hello world");
    string::from_utf8(&b, "hello");
    EXPECT_EQ(string::compare_text(&a, &b, actions::OP_EQUAL, true), 0);
    EXPECT_NE(string::compare_text(&a, &b, actions::OP_STRICT_EQUAL, true), 0);
    EXPECT_EQ(string::compare_text(&b, &a, actions::OP_EQUAL, true), 1);
}

TEST_F(StringTest, StringsOfDifferentUnitsCompareByCodePoint) {
    uint32_t n1 = make_string({'a', 0x100}), n2 = make_string({'a', 0x100}, 4);
    Cell a, b;
    set_series(&a, TYPE_STRING, n1);
    set_series(&b, TYPE_STRING, n2);
    EXPECT_EQ(string::compare_text(&a, &b, actions::OP_STRICT_EQUAL, false), 0);
}

// ---- case mapping ----

TEST_F(StringTest, CaseMapPinnedRows) {
    using case_map::lower_char;
    using case_map::upper_char;
    struct Case { uint32_t cp, upper, lower; } cases[] = {
        {'a', 'A', 'a'},         {'A', 'A', 'a'},         {0xB5, 0x39C, 0xB5},     {0xFF, 0x178, 0xFF},
        {0xDF, 0xDF, 0xDF},      {0x131, 0x49, 0x131},    {0x17F, 0x53, 0x17F},    {0x1C5, 0x1C4, 0x1C6},
        {0x1C6, 0x1C4, 0x1C6},   {0x10D0, 0x1C90, 0x10D0}, {0x130, 0x130, 0x69},   {0x1E9E, 0x1E9E, 0xDF},
        {0x2126, 0x2126, 0x3C9}, {0x212A, 0x212A, 0x6B},  {0x10428, 0x10400, 0x10428},
        {0x10400, 0x10400, 0x10428}, {0x1E943, 0x1E921, 0x1E943}, {0x1E944, 0x1E944, 0x1E944},
        {0x2000, 0x2000, 0x2000}, {0, 0, 0},              {0x10FFFF, 0x10FFFF, 0x10FFFF},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(upper_char(c.cp), c.upper) << std::hex << c.cp;
        EXPECT_EQ(lower_char(c.cp), c.lower) << std::hex << c.cp;
    }
    EXPECT_EQ(case_map::toggle_char('a'), uint32_t('A'));
    EXPECT_EQ(case_map::toggle_char('A'), uint32_t('a'));
}

TEST_F(StringTest, ChangeCaseWidensAndHonoursPart) {
    Cell s;
    set_series(&s, TYPE_STRING, make_string({'a', 0xFF, 'b'}));
    case_map::change_case(&s, nullptr, case_map::UPPER);
    EXPECT_EQ(content(series_node(&s)), (Cps{'A', 0x178, 'B'}));
    EXPECT_EQ(unit(series_node(&s)), 2u);

    struct Case { int32_t part; std::string expected; } cases[] = {{2, "ABcd"}, {99, "ABCD"}, {-1, "abcd"}, {0, "abcd"}};
    for (const Case& c : cases) {
        string::from_utf8(&s, "abcd");
        Cell part;
        set_integer(&part, c.part);
        case_map::change_case(&s, &part, case_map::UPPER);
        EXPECT_EQ(string::to_utf8(&s), c.expected) << c.part;
    }
    Cell other;
    string::from_utf8(&other, "abcd");
    EXPECT_EQ(raised_id([&] { case_map::change_case(&s, &other, case_map::UPPER); }), "invalid-refine-arg");
}

}  // namespace
