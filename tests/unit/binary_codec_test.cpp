// The base-2, 16, 58 and 64 encoders and decoders of binary!: round trips over random data in
// every text unit, published base-58 vectors, and random text (digits, white space, comments,
// padding and bad characters mixed) decoded beside a plain reference decoder: both must fail,
// or both give the same bytes.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "base_reference.h"
#include "datatypes/series/binary.h"
#include "test_support.h"

using namespace zel;

namespace {

using BinaryCodecTest = test::StackTest;

std::string encode(int base, const std::string& bytes) {
    std::string out(binary::encoded_size(base, bytes.size()), '\0');
    char* end = binary::encode(base, out.data(), reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    out.resize(size_t(end - out.data()));
    return out;
}

// Decodes code points held in units of the given width; nullopt when the decoder fails.
std::optional<std::string> decode(int base, const std::vector<uint32_t>& text, uint32_t unit) {
    std::vector<uint8_t> raw(text.size() * unit + 1);
    for (size_t i = 0; i < text.size(); i++) {
        if (unit == 1) raw[i] = uint8_t(text[i]);
        else if (unit == 2) reinterpret_cast<uint16_t*>(raw.data())[i] = uint16_t(text[i]);
        else reinterpret_cast<uint32_t*>(raw.data())[i] = text[i];
    }
    Cell* out = stack::push_none();
    std::optional<std::string> bytes;
    if (binary::decode(base, raw.data(), text.size(), unit, out)) {
        EXPECT_EQ(type_of(out), TYPE_BINARY);
        bytes = std::string(reinterpret_cast<const char*>(binary::head_address(out)), binary::length(out));
    } else {
        EXPECT_EQ(type_of(out), TYPE_NONE);
    }
    stack::drop(1);
    return bytes;
}

std::vector<uint32_t> code_points(const std::string& s) { return std::vector<uint32_t>(s.begin(), s.end()); }

std::string random_bytes(std::mt19937& rng, size_t n) {
    std::string s(n, '\0');
    for (char& c : s) c = char(rng() & 0xFF);
    return s;
}

// A base-64 encoder bit by bit, independent of the table-driven one.
std::string plain_base64(const std::string& bytes) {
    static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    uint32_t acc = 0;
    int have = 0;
    for (unsigned char c : bytes) {
        acc = (acc << 8) | c;
        have += 8;
        while (have >= 6) {
            out.push_back(alphabet[(acc >> (have - 6)) & 63]);
            have -= 6;
        }
    }
    if (have > 0) out.push_back(alphabet[(acc << (6 - have)) & 63]);
    while (out.size() % 4) out.push_back('=');
    return out;
}

TEST_F(BinaryCodecTest, RoundTripsRandomDataInEveryBaseAndUnit) {
    std::mt19937 rng(12345);
    for (int base : {2, 16, 58, 64}) {
        for (size_t n : {0, 1, 2, 3, 4, 5, 31, 32, 33, 100, 257}) {
            std::string bytes = random_bytes(rng, n);
            if (n > 2 && base == 58) bytes[0] = bytes[1] = 0;   // leading zero bytes become "1"s
            std::string text = encode(base, bytes);
            for (uint32_t unit : {1u, 2u, 4u}) {
                auto back = decode(base, code_points(text), unit);
                ASSERT_TRUE(back.has_value()) << base << " " << text;
                EXPECT_EQ(*back, bytes) << "base " << base << " unit " << unit;
            }
        }
    }
    std::string big = random_bytes(rng, 1 << 20);
    EXPECT_EQ(*decode(64, code_points(encode(64, big)), 1), big);
}

TEST_F(BinaryCodecTest, EncodesLikeThePlainDefinitions) {
    std::mt19937 rng(99);
    for (size_t n = 0; n < 200; n++) {
        std::string bytes = random_bytes(rng, n);
        EXPECT_EQ(encode(64, bytes), plain_base64(bytes));
        std::string hex, bits;
        for (unsigned char c : bytes) {
            hex += "0123456789ABCDEF"[c >> 4];
            hex += "0123456789ABCDEF"[c & 15];
            for (int b = 7; b >= 0; b--) bits += char('0' + ((c >> b) & 1));
        }
        EXPECT_EQ(encode(16, bytes), hex);
        EXPECT_EQ(encode(2, bytes), bits);
    }
}

TEST_F(BinaryCodecTest, Base58PublishedVectors) {
    struct Case { std::string hex, text; };
    const Case cases[] = {
        {"", ""},
        {"61", "2g"},
        {"626262", "a3gV"},
        {"636363", "aPEr"},
        {"73696d706c792061206c6f6e6720737472696e67", "2cFupjhnEsSn59qHXstmK2ffpLv2"},
        {"00eb15231dfceb60925886b67d065299925915aeb172c06647", "1NS17iag9jJgTHD1VXjvLCEnZuQ3rJDE9L"},
        {"516b6fcd0f", "ABnLTmg"},
        {"bf4f89001e670274dd", "3SEo3LWLoPntC"},
        {"572e4794", "3EFU7m"},
        {"ecac89cad93923c02321", "EJDM8drfXA6uyA"},
        {"10c8511e", "Rt5zm"},
        {"00000000000000000000", "1111111111"},
    };
    for (const Case& c : cases) {
        auto bytes = decode(16, code_points(c.hex), 1);
        ASSERT_TRUE(bytes.has_value());
        EXPECT_EQ(encode(58, *bytes), c.text);
        auto back = decode(58, code_points(c.text), 1);
        ASSERT_TRUE(back.has_value()) << c.text;
        EXPECT_EQ(*back, *bytes) << c.text;
    }
}

// Random text over characters that matter to the decoders, compared with the reference.
TEST_F(BinaryCodecTest, RandomTextDecodesLikeTheReference) {
    std::mt19937 rng(2024);
    const std::vector<uint32_t> extras = {' ', '\t', '\n', '\r', 11, 8, 12, '\'', ';', '=', '=', '-', '_', '.', 'G',
                                          'z', 'Z', 0x7F, 0x80, 0xE9, 0x4E2D, 0x1F600, 0, '2', '/', '+'};
    for (int base : {2, 16, 64}) {
        std::string digits = base == 2 ? "01" : base == 16 ? "0123456789abcdefABCDEF"
                                                           : "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        int accepted = 0;
        for (int round = 0; round < 20000; round++) {
            size_t n = rng() % 24;
            std::vector<uint32_t> text;
            for (size_t i = 0; i < n; i++) {
                if (rng() % 4) text.push_back(uint8_t(digits[rng() % digits.size()]));
                else text.push_back(extras[rng() % extras.size()]);
            }
            auto want = test::reference_decode(base, text);
            uint32_t unit = 4;
            auto got = decode(base, text, unit);
            ASSERT_EQ(got.has_value(), want.has_value()) << "base " << base << " round " << round;
            if (want) {
                EXPECT_EQ(*got, *want);
                accepted++;
            }
            // Narrower units hold the same text when it fits.
            bool narrow = true;
            for (uint32_t c : text) narrow = narrow && c < 256;
            if (narrow) {
                EXPECT_EQ(decode(base, text, 1), want);
            }
        }
        EXPECT_GT(accepted, 100) << "base " << base;   // the random text reaches both outcomes
    }
}

TEST_F(BinaryCodecTest, SizesOverflowToTheLargestSize) {
    EXPECT_EQ(binary::encoded_size(64, 3), 4u);
    EXPECT_EQ(binary::encoded_size(64, 4), 8u);
    EXPECT_EQ(binary::encoded_size(2, SIZE_MAX / 4), SIZE_MAX);
    EXPECT_EQ(binary::encoded_size(16, SIZE_MAX / 2 + 1), SIZE_MAX);
}

}  // namespace
