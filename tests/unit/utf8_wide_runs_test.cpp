// Strict UTF-8 decoding once the text needs 2- or 4-byte units: ASCII runs after the widening
// keep every character, with and without CR translation.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "datatypes/series/string.h"
#include "test_support.h"

using namespace zel;

namespace {

class Utf8WideRuns : public test::RuntimeTest {};

std::vector<uint32_t> code_points(uint32_t node) {
    std::vector<uint32_t> out;
    const SeriesBuf* b = memory::buf(node);
    for (uint32_t i = 0; i < b->length(); i++) out.push_back(string::char_at(b, i));
    return out;
}

std::vector<uint32_t> expected_of(const std::u32string& s) { return std::vector<uint32_t>(s.begin(), s.end()); }

TEST_F(Utf8WideRuns, AsciiAfterWideningKeepsEveryCharacter) {
    struct Case {
        std::string utf8;
        bool cr;
        std::u32string expected;
        uint32_t unit;
    } cases[] = {
        {"ab\xE2\x82\xAC" "cdefgh\xC3\xA0xyz", false, U"ab€cdefghàxyz", 2},
        {"\xC4\x81" "a\r\nb\rc", true, U"āa\nb\nc", 2},
        {"\xC4\x81" "a\r\nb", false, U"āa\r\nb", 2},
        {"\xC3\xA9" "a\r\nb", true, U"éa\nb", 1},
        {"x\xF0\x9F\x98\x80" "abc\xC3\xA9" "def", false, U"x\U0001F600abcédef", 4},
        {"\xF0\x9F\x98\x80\r\nq", true, U"\U0001F600\nq", 4},
    };
    for (const Case& c : cases) {
        uint32_t node = string::decode_utf8(reinterpret_cast<const uint8_t*>(c.utf8.data()), c.utf8.size(), 0,
                                            nullptr, c.cr);
        EXPECT_EQ(expected_of(c.expected), code_points(node)) << c.utf8;
        EXPECT_EQ(c.unit, memory::buf(node)->unit()) << c.utf8;
    }
}

TEST_F(Utf8WideRuns, LongRunsGrowTheBuffer) {
    std::string text = "\xE2\x82\xAC";
    std::u32string expected = U"€";
    for (int i = 0; i < 100000; i++) {
        text += char('a' + i % 26);
        expected += char32_t('a' + i % 26);
    }
    uint32_t node = string::decode_utf8(reinterpret_cast<const uint8_t*>(text.data()), text.size(), 0, nullptr, false);
    EXPECT_EQ(expected_of(expected), code_points(node));
}

}  // namespace
