// Text encodings beyond the string decoders: UTF-8 steps and bounded encoders, the encoders
// into a string's scratch buffer (UTF-8 with CR LF, UTF-16LE), code page 1251, text from C
// buffers, and the display widths.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "datatypes/series/char_width.h"
#include "datatypes/series/string.h"
#include "datatypes/series/unicode.h"
#include "datatypes/series/utf8.h"
#include "test_support.h"

using namespace zel;

namespace {

using TextEncodingTest = test::StackTest;
using test::raised_id;
using Bytes = std::vector<uint8_t>;
using Cps = std::vector<uint32_t>;

void make(Cell* out, const Cps& cps, uint32_t unit = 1) {
    uint32_t node = string::new_node(16, unit);
    for (uint32_t c : cps) string::put_char(node, memory::buf(node)->length(), c);
    set_series(out, TYPE_STRING, node);
}

Cps content(uint32_t node) {
    Cps out;
    const SeriesBuf* b = memory::buf(node);
    for (uint32_t i = 0; i < b->length(); i++) out.push_back(string::char_at(b, i));
    return out;
}

TEST_F(TextEncodingTest, Utf8StepsCountAndSkip) {
    Bytes text = {'a', 0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80, 0xFF, 'z'};
    const uint8_t* end = text.data() + text.size();
    EXPECT_EQ(utf8::count_chars(text.data(), end), 6u);   // the rejected 0xFF counts as one
    EXPECT_EQ(utf8::skip_chars(text.data(), end, 2), text.data() + 3);
    EXPECT_EQ(utf8::skip_chars(text.data(), end, 99), end);
    int32_t cp;
    EXPECT_EQ(utf8::decode_step(text.data() + 6, end, cp), text.data() + 10);
    EXPECT_EQ(cp, 0x1F600);
    EXPECT_EQ(utf8::decode_step(text.data() + 10, end, cp), text.data() + 11);
    EXPECT_EQ(cp, -1);
    struct { uint8_t lead; int length; } leads[] = {{'a', 0}, {0x80, 0}, {0xC3, 2}, {0xE2, 3}, {0xF0, 4}, {0xFF, 4}};
    for (auto l : leads) EXPECT_EQ(utf8::sequence_length(l.lead), l.length) << int(l.lead);
}

TEST_F(TextEncodingTest, StrictDecodingOfTheEdgeCases) {
    struct Case { Bytes bytes; uint32_t cp; } cases[] = {
        {{0xEF, 0xBF, 0xBE}, 0xFFFE}, {{0xEF, 0xBF, 0xBF}, 0xFFFF}, {{0xF4, 0x8F, 0xBF, 0xBF}, 0x10FFFF},
        {{0xC0, 0x80}, utf8::INVALID}, {{0xC1, 0xBF}, utf8::INVALID}, {{0xE0, 0x9F, 0xBF}, utf8::INVALID},
        {{0xED, 0xA0, 0x80}, utf8::INVALID}, {{0xED, 0xB0, 0x80}, utf8::INVALID}, {{0xF0, 0x8F, 0xBF, 0xBF}, utf8::INVALID},
        {{0xF4, 0x90, 0x80, 0x80}, utf8::INVALID}, {{0xF5, 0x80, 0x80, 0x80}, utf8::INVALID},
    };
    for (const Case& c : cases) {
        size_t len;
        EXPECT_EQ(utf8::decode(c.bytes.data(), c.bytes.size(), len), c.cp) << std::hex << int(c.bytes[1]);
        EXPECT_EQ(utf8::decode_or_replace(c.bytes.data(), c.bytes.size(), len),
                  c.cp == utf8::INVALID ? utf8::REPLACEMENT : c.cp);
    }
}

TEST_F(TextEncodingTest, DecodeOneSequenceTellsCutFromMalformed) {
    Bytes euro = {0xE2, 0x82, 0xAC};
    size_t count = 3;
    EXPECT_EQ(unicode::decode_utf8_sequence(euro.data(), count), 0x20ACu);
    EXPECT_EQ(count, 3u);
    count = 2;   // cut short by the end
    EXPECT_EQ(unicode::decode_utf8_sequence(euro.data(), count), utf8::INVALID);
    Bytes bad = {0xE2, 0x41, 0x41};
    count = 3;
    EXPECT_EQ(raised_id([&] { unicode::decode_utf8_sequence(bad.data(), count); }), "invalid-utf8");
}

TEST_F(TextEncodingTest, EncodersRefuseCodePointsBeyondUnicode) {
    uint8_t out[4];
    EXPECT_EQ(utf8::encode_char(0x20AC, out), 3);
    EXPECT_EQ(utf8::char_length(0x10FFFF), 4);
    EXPECT_EQ(raised_id([&] { utf8::encode_char(0x110000, out); }), "invalid-char");
    EXPECT_EQ(raised_id([&] { utf8::char_length(0x110000); }), "invalid-char");
    // Bounded: only the leading bytes that fit.
    uint8_t cut[4] = {0, 0, 0, 0};
    EXPECT_EQ(utf8::encode_char_bounded(0x20AC, cut, 2), 2);
    EXPECT_EQ(cut[0], 0xE2);
    EXPECT_EQ(cut[1], 0x82);
    EXPECT_EQ(cut[2], 0);
    EXPECT_EQ(utf8::encode_char_bounded(0x20AC, cut, 0), 0);
    EXPECT_EQ(utf8::encode_char_bounded(0x20AC, cut, -3), 0);
}

TEST_F(TextEncodingTest, EncodeIntoMemoryWholeLimitedAndBounded) {
    Cell s;
    make(&s, {'a', 0xE9, 0x20AC, 0x1F600}, 4);
    uint8_t out[32];
    EXPECT_EQ(unicode::encode_utf8_into(&s, out, -1, true), 10u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out)), "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(unicode::encode_utf8_into(&s, out, 2, false), 3u);
    EXPECT_EQ(unicode::encode_utf8_bounded(&s, out, 5, 0, false), 5u);   // the euro sign cut after 2 bytes
    EXPECT_EQ(out[4], 0x82);
    EXPECT_EQ(unicode::encode_utf8_bounded(&s, out, 5, 0, true), 4u);    // room for the NUL kept
    EXPECT_EQ(out[4], 0);
    EXPECT_EQ(unicode::encode_utf8_bounded(&s, out, 32, 2, false), 3u);
}

TEST_F(TextEncodingTest, Utf8TextInTheScratchBuffer) {
    Cell s;
    make(&s, {'a', '\n', 0xE9, 'b'});
    int64_t len = -1;
    const char* text = string::to_utf8_text(&s, len);
    EXPECT_EQ(std::string(text), "a\n\xC3\xA9" "b");
    EXPECT_EQ(len, 5);
    uint32_t scratch = string::scratch_node(&s);
    ASSERT_NE(scratch, 0u);
    len = -1;
    EXPECT_EQ(std::string(string::to_utf8_text_lines(&s, len, true)), "a\r\n\xC3\xA9" "b");
    EXPECT_EQ(len, 6);
    EXPECT_EQ(string::scratch_node(&s), scratch);   // the scratch buffer is reused
    len = 2;
    EXPECT_EQ(std::string(string::to_utf8_text(&s, len)), "a\n");
    // From the head, in any unit.
    Cell wide;
    make(&wide, {'x', 0x1F600}, 4);
    set_series_head(&wide, 1);
    len = -1;
    EXPECT_EQ(std::string(string::to_utf8_text(&wide, len)), "\xF0\x9F\x98\x80");
    Cell bad;
    make(&bad, {0x110000}, 4);
    len = -1;
    EXPECT_EQ(raised_id([&] { string::to_utf8_text(&bad, len); }), "invalid-char");
}

TEST_F(TextEncodingTest, WideTextAddsCarriageReturnsAndPairs) {
    Cell s;
    make(&s, {'a', '\n', 'b'});
    const uint16_t* w = unicode::to_wide_text(&s);
    EXPECT_EQ(std::vector<uint16_t>(w, w + 5), (std::vector<uint16_t>{0x61, 0x0D, 0x0A, 0x62, 0}));
    Cell pair;
    make(&pair, {0x10000, 'z'}, 4);
    int64_t count = -1;
    w = unicode::to_wide_text_part(&pair, count, false);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(std::vector<uint16_t>(w, w + 4), (std::vector<uint16_t>{0xD800, 0xDC00, 'z', 0}));
    count = 1;
    unicode::to_wide_text_part(&pair, count, false);
    EXPECT_EQ(count, 2);
    Cell bad;
    make(&bad, {'a', 0x110000}, 4);
    count = -1;
    EXPECT_EQ(unicode::to_wide_text_part(&bad, count, false), nullptr);
    uint16_t units[8];
    EXPECT_EQ(unicode::latin1_to_utf16("a\xE9", units), 2u);
    EXPECT_EQ(units[1], 0xE9);
    EXPECT_EQ(units[2], 0);
}

TEST_F(TextEncodingTest, CodePage1251) {
    Bytes text = {'A', 0xC0, 0xFF, 0x88, '\r', '\n', 0xB9, '\r', 'x'};
    EXPECT_EQ(content(unicode::decode_cp1251(text.data(), text.size(), 0, true)),
              (Cps{'A', 0x410, 0x44F, 0x20AC, '\n', 0x2116, '\n', 'x'}));
    uint32_t node = unicode::decode_cp1251(text.data(), 2, 0, false);
    EXPECT_EQ(memory::buf(node)->unit(), 2u);
    uint32_t ascii = unicode::decode_cp1251(text.data(), 1, 0, false);
    EXPECT_EQ(memory::buf(ascii)->unit(), 1u);
}

TEST_F(TextEncodingTest, TextFromCBuffers) {
    Cell s;
    Bytes utf8 = {0xEF, 0xBB, 0xBF, 'h', 0xC3, 0xA9};
    string::from_c_buffer(&s, utf8.data(), utf8.size(), string::ENCODING_UTF8);
    EXPECT_EQ(type_of(&s), uint32_t(TYPE_STRING));
    EXPECT_EQ(string::to_utf8(&s), "h\xC3\xA9");
    Bytes utf16 = {'h', 0, 0x00, 0xD8, 0x00, 0xDC};
    string::from_c_buffer(&s, utf16.data(), utf16.size(), string::ENCODING_UTF16LE);
    EXPECT_EQ(content(series_node(&s)), (Cps{'h', 0x10000}));
    EXPECT_EQ(raised_id([&] { string::from_c_buffer(&s, utf8.data(), utf8.size(), 7); }), "not-done");
    Bytes broken = {0x00, 0xD8, 0x41, 0x00};
    EXPECT_EQ(raised_id([&] { string::from_c_buffer(&s, broken.data(), broken.size(), string::ENCODING_UTF16LE); }),
              "invalid-data");
}

TEST_F(TextEncodingTest, DisplayWidths) {
    struct Case { uint32_t cp; int width, cjk; } cases[] = {
        {0, 0, 0}, {'A', 1, 1}, {'\t', 1, 1}, {0x7F, 1, 1}, {0x300, 0, 0}, {0x36F, 0, 0}, {0xAD, 1, 2},
        {0x1160, 0, 0}, {0x200B, 0, 0}, {0x4E00, 2, 2}, {0x1100, 2, 2}, {0xFF01, 2, 2}, {0x3FFFD, 2, 2},
        {0xA1, 1, 2}, {0x10FFFD, 1, 2}, {0xE01EF, 0, 0}, {0x1F600, 2, 2}, {0x10FFFF, 1, 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(char_width::of(c.cp), c.width) << std::hex << c.cp;
        EXPECT_EQ(char_width::of_cjk(c.cp), c.cjk) << std::hex << c.cp;
    }
    const uint32_t ranges[][2] = {{5, 9}, {20, 20}};
    EXPECT_TRUE(char_width::in_ranges(20, ranges, 2));
    EXPECT_FALSE(char_width::in_ranges(10, ranges, 2));
    EXPECT_FALSE(char_width::in_ranges(4, ranges, 2));
    EXPECT_FALSE(char_width::in_ranges(21, ranges, 2));
}

}  // namespace
