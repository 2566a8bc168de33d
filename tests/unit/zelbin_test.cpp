// The Zelbin writers and reader: the exact bytes of small values in both modes, sharing and
// cycles, damaged data, and round trips of generated values.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/context.h"
#include "core/memory.h"
#include "core/block.h"
#include "io/zelbin.h"
#include "test_support.h"

using namespace zel;
using Bytes = std::vector<uint8_t>;

namespace {

class Zelbin : public test::StackTest {};

Bytes encode_source(std::string_view src, bool compact) {
    Cell v = test::eval_source(src);
    Cell out;
    zelbin::encode(&out, &v, compact);
    SeriesBuf* b = memory::buf(series_node(&out));
    return Bytes(b->data(), b->data() + b->tail);
}

// The compact records of data without a symbol table.
Bytes compact_records(const Bytes& data) {
    EXPECT_EQ(data[7], zelbin::F_COMPACT);
    EXPECT_EQ(data[8], 1);   // record count
    size_t size = data[9];   // records size, below 128 in these tests
    EXPECT_EQ(data.size(), 10 + size);
    return Bytes(data.begin() + 10, data.end());
}

// Decodes data as the codec does; the block of top-level values.
Cell decode(const Bytes& data) {
    Cell arg, dest;
    set_none(&arg);
    Cell* d = stack::push();
    block::init_cell(d, 4);
    zelbin::decode(data.data(), data.size(), series_node(d), &arg);
    dest = *d;
    return dest;
}

// The molded value after a round trip, or the id of the error raised.
std::string round_trip(std::string_view src, bool compact) {
    std::string result;
    std::string id = test::raised_id([&] {
        Bytes data = encode_source(src, compact);
        Cell block = decode(data);
        result = test::molded(block::head(&block));
    });
    return id.empty() ? result : "error " + id;
}

std::string decode_error(const Bytes& data) {
    return test::raised_id([&] { decode(data); });
}

TEST_F(Zelbin, EmptyBlockInPlainMode) {
    Bytes data = encode_source("[]", false);
    Bytes expected = {'Z', 'E', 'L', 'B', 'I', 'N', 2, 0, 1, 0, 0, 0, 12, 0, 0, 0,
                      5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(data, expected);
}

TEST_F(Zelbin, CompactScalarEncodings) {
    struct Case {
        const char* src;
        Bytes records;
    };
    const Case cases[] = {
        {"0", {0x80}},
        {"63", {0xBF}},
        {"64", {0x0B, 0x80, 0x01}},
        {"-1", {0x0B, 0x01}},
        {"true", {0xC2}},
        {"false", {0xC3}},
        {"none", {0x03}},
        {"1.0", {0x4C, 0x02}},
        {"-5.0", {0x4C, 0x09}},
        {"2147483000.0", {0x4C, 0xF0, 0xF5, 0xFF, 0xFF, 0x0F}},
        {"0.5", {0x0C, 0, 0, 0, 0, 0, 0, 0xE0, 0x3F}},
        {"-0.0", {0x0C, 0, 0, 0, 0, 0, 0, 0, 0x80}},
        {"50%", {0x66, 0x64}},
        {"1.2.3", {0x27, 1, 2, 3}},
        {"1.2.3.4", {0x67, 4, 1, 2, 3, 4}},
        {"#\"a\"", {0x0A, 0x61}},
        {"3x-4", {0x25, 0x06, 0x07}},
        {"\"abc\"", {0x07, 0x0C, 'a', 'b', 'c'}},
        {"next next \"abc\"", {0x47, 0x02, 0x0C, 'a', 'b', 'c'}},
        // a string of 2-byte units: length 5 times 4 plus unit code 1
        {"\"\u00e9\u0101bcd\"", {0x07, 21, 0xE9, 0, 0x01, 0x01, 'b', 0, 'c', 0, 'd', 0}},
        {"[1 [2]]", {0x05, 0x02, 0x81, 0x05, 0x01, 0x82}},
        // image!: width, height, then the stored pixel bytes B, G, R, A
        {"make image! [1x1 1.2.3]", {0x35, 0x01, 0x01, 3, 2, 1, 0xFF}},
        {"next make image! [2x1 1.2.3]", {0x75, 0x01, 0x02, 0x01, 3, 2, 1, 0xFF, 3, 2, 1, 0xFF}},
    };
    for (const auto& c : cases) EXPECT_EQ(compact_records(encode_source(c.src, true)), c.records) << c.src;
}

TEST_F(Zelbin, CompactFloatsThatAreNotWhole) {
    Bytes r = compact_records(encode_source("2147483001.0", true));
    EXPECT_EQ(r.size(), 9u);
    EXPECT_EQ(r[0], 0x0C);
    r = compact_records(encode_source("12.345%", true));
    EXPECT_EQ(r.size(), 9u);
    EXPECT_EQ(r[0], 38);
}

TEST_F(Zelbin, TypesetDropsItsZeroTail) {
    Bytes r = compact_records(encode_source("make typeset! [none! logic!]", true));
    EXPECT_EQ(r, (Bytes{33, 1, 0x18}));
}

TEST_F(Zelbin, RoundTripsInBothModes) {
    const char* sources[] = {
        "[]",
        "[1 -1 64 2147483647 -2147483648 0.5 -0.0 1e300 50% 12.345% 12:30:15.5 -1:00]",
        "[1-Jan-2024 1-Jan-2024/10:00 1-Jan-2024/10:00+2:00 $1.50 -$0.00001 EUR$12]",
        "[1.2.3 1.2.3.4.5.6.7.8.9.10.11.12 3x4 #\"a\" #\"^(10FFFF)\" #issue]",
        "[a b: :c 'd /e f/g 'h/i :j/k l/m:]",
        "[\"str\" \"\u00e9\" \"\U0001F600\"]",
        "reduce [true false none integer! make typeset! [integer! block!] make bitset! \"abc\"]",
        "reduce [complement make bitset! \"a\" make map! [a 1 \"b\" [2]] make hash! [x y z]]",
        "[(1 + 2) [[[]]]]",
        "reduce [:append :if :+ 1.5.2]",
        "reduce [make error! \"boom\"]",
        "reduce [make vector! [1 -2] make vector! [integer! 8 [-1 2]] make vector! [char! 16 [#\"a\"]]]",
        "reduce [make vector! [float! 32 [0.5]] make vector! [1.5] make vector! [10%] make vector! []]",
        "v: make vector! [1 2 3] reduce [v next v]",
        "reduce [make image! [2x1 1.2.3] next make image! [2x2 #{0102030405060708090A0B0C} #{00FF}] make image! 0x3]",
        "i: make image! 3x1 reduce [i at i 2 tail i]",
        "object [a: 1 b: \"x\" f: func [n /r] [n + a] g: does [self]]",
        "reduce [func [x [integer!] /local y] [y: x * 2 y]]",
    };
    for (const char* src : sources) {
        for (bool compact : {true, false}) {
            Cell v = test::eval_source(src);
            EXPECT_EQ(round_trip(src, compact), test::molded(&v)) << src << (compact ? " compact" : " plain");
        }
    }
}

// The text types and binary! keep their type, head and contents (compared here by their
// text and bytes: their mold comes with their own handlers).
TEST_F(Zelbin, TextTypesAndBinariesKeepTypeAndContents) {
    const char* src = "reduce [%dir/file.txt http://x.y/z <tag a=1> a@b.c @ref #{00FF10} next \"\u00e9t\u00e9\"]";
    const uint32_t types[] = {TYPE_FILE, TYPE_URL, TYPE_TAG, TYPE_EMAIL, TYPE_REF, TYPE_BINARY, TYPE_STRING};
    const char* texts[] = {"dir/file.txt", "http://x.y/z", "tag a=1", "a@b.c", "ref", nullptr, "t\u00e9"};
    for (bool compact : {true, false}) {
        Cell block = decode(encode_source(src, compact));
        ASSERT_EQ(type_of(block::head(&block)), uint32_t(TYPE_BLOCK));
        const Cell* items = memory::buf(series_node(block::head(&block)))->cells();
        for (int i = 0; i < 7; i++) {
            EXPECT_EQ(type_of(&items[i]), types[i]) << i;
            if (texts[i]) {
                EXPECT_EQ(string::to_utf8(&items[i]), texts[i]) << i;
            }
        }
        const SeriesBuf* b = memory::buf(series_node(&items[5]));
        EXPECT_EQ(series_head(&items[6]), 1);
        EXPECT_EQ(Bytes(b->data(), b->data() + b->tail), (Bytes{0x00, 0xFF, 0x10}));
    }
}

TEST_F(Zelbin, NegativeZeroSurvivesBitForBit) {
    for (bool compact : {true, false}) {
        Cell block = decode(encode_source("first [-0.0]", compact));
        const Cell* v = block::head(&block);
        ASSERT_EQ(type_of(v), uint32_t(TYPE_FLOAT));
        EXPECT_EQ(data_word(v, 2), 0x80000000u);   // the double's high word
        EXPECT_EQ(data_word(v, 1), 0u);
    }
}

TEST_F(Zelbin, PlainFloatsStartAtMultiplesOfEightAndPaddingReadsAsNothing) {
    Bytes data = encode_source("[1 2.5]", false);
    // Records at 16: block header, head, count (12 bytes), integer (8 bytes), a padding
    // word, then the float's header at records offset 24.
    ASSERT_EQ(data.size(), 16u + 24 + 12);
    EXPECT_EQ(data[16 + 20], 0);
    EXPECT_EQ(data[16 + 24], 12);
    EXPECT_EQ(round_trip("[1 2.5]", false), "[1 2.5]");
}

TEST_F(Zelbin, SharedStringsKeepOneBufferWithTheirOwnHeads) {
    for (bool compact : {true, false}) {
        Cell block = decode(encode_source("s: \"abcdef\" reduce [s at s 3]", compact));
        const Cell* a = block::head(&block);
        ASSERT_EQ(type_of(a), uint32_t(TYPE_BLOCK));
        const Cell* items = memory::buf(series_node(a))->cells();
        EXPECT_EQ(series_node(&items[0]), series_node(&items[1]));
        EXPECT_EQ(series_head(&items[0]), 0);
        EXPECT_EQ(series_head(&items[1]), 2);
    }
    // The second record is the header with the shared bit, its head, and a path: top-level
    // value 0, its element 0.
    Bytes r = compact_records(encode_source("s: \"ab\" reduce [s next s]", true));
    EXPECT_EQ(r, (Bytes{0x05, 0x02, 0x07, 0x08, 'a', 'b', 0xC1, 0x47, 0x01, 0x02, 0x00, 0x00}));
}

TEST_F(Zelbin, StringAtHeadThreeKeepsItsWholeText) {
    EXPECT_EQ(round_trip("head at \"abcdef\" 4", true), "\"abcdef\"");
    EXPECT_EQ(round_trip("at \"abcdef\" 4", false), "\"def\"");
}

TEST_F(Zelbin, CyclesAndSharedContexts) {
    for (bool compact : {true, false}) {
        Cell block = decode(encode_source("b: [1] append/only b b b", compact));
        const Cell* b = block::head(&block);
        const Cell* inner = &memory::buf(series_node(b))->cells()[1];
        EXPECT_EQ(series_node(inner), series_node(b));

        // Two words of one object, and the object itself: one context after decoding.
        Cell r = decode(encode_source("o: object [a: 1 b: 2] reduce [in o 'a in o 'b o]", compact));
        const Cell* items = memory::buf(series_node(block::head(&r)))->cells();
        EXPECT_EQ(word_context(&items[0]), word_context(&items[1]));
        EXPECT_EQ(word_context(&items[0]), object_ctx(&items[2]));

        // A method written before its object: the object, read inside the method's body,
        // refers back to the method before it is made.
        Cell m = decode(encode_source("o: object [a: 2 f: func [n] [n * a]] reduce [:o/f o]", compact));
        const Cell* pair = memory::buf(series_node(block::head(&m)))->cells();
        ASSERT_EQ(type_of(&pair[0]), uint32_t(TYPE_FUNCTION));
        ASSERT_EQ(type_of(&pair[1]), uint32_t(TYPE_OBJECT));
        EXPECT_EQ(callable_ctx(&context::values(object_ctx(&pair[1]))[1]), callable_ctx(&pair[0]));   // o/f is the same function
    }
}

TEST_F(Zelbin, GlobalWordsAreWrittenByName) {
    Bytes data = encode_source("first ['some-new-word-here]", false);
    // Header, symbol table (1 symbol), then the word record with bit 25.
    size_t records = 16 + 8 + 4 + 24;
    ASSERT_EQ(data.size(), records + 12);
    EXPECT_EQ(data[records], TYPE_LIT_WORD);
    EXPECT_EQ(data[records + 3], 0x02);
    Cell block = decode(data);
    EXPECT_EQ(word_context(block::head(&block)), context::global);
}

TEST_F(Zelbin, ValuesThatCannotBeSerialized) {
    EXPECT_EQ(test::raised_id([] { encode_source("reduce [:quit-return]", false); }), "no-codec");
}

TEST_F(Zelbin, DamagedDataIsRefused) {
    const Bytes head = {'Z', 'E', 'L', 'B', 'I', 'N', 2, 1};
    auto with = [&](Bytes rest) {
        Bytes d = head;
        d.insert(d.end(), rest.begin(), rest.end());
        return d;
    };
    EXPECT_EQ(decode_error(with({1, 1, 0x3E})), "zb-invalid-record");          // unknown type id
    EXPECT_EQ(decode_error(with({1, 1, 0x00})), "zb-invalid-record");          // type id 0
    EXPECT_EQ(decode_error(with({1, 9, 0x80})), "zb-invalid-record");          // records size past the end
    EXPECT_EQ(decode_error(with({1, 3, 0xC4, 0x0F, 0x00})), "zb-invalid-record");   // the set prefix
    EXPECT_EQ(decode_error(with({1, 2, 0x05, 0x7F})), "zb-invalid-record");    // count past the end
    EXPECT_EQ(decode_error(with({1, 2, 0x0F, 0x00})), "zb-invalid-record");    // symbol without a table
    EXPECT_EQ(decode_error(with({1, 6, 0x0B, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F})), "zb-invalid-record");   // uLEB over 32 bits
    EXPECT_EQ(decode_error(with({1, 3, 0xFF, 0x01, 0x05})), "zb-invalid-record");   // path outside the data
    EXPECT_EQ(decode_error(with({1, 3, 0x15, 0x6C, 0x05})), "zb-invalid-record");   // native slot 108
    EXPECT_EQ(decode_error(Bytes{'Z', 'E', 'L', 'B', 'I', 'X', 2, 1, 1, 1, 0x80}), "invalid-data");
    EXPECT_EQ(decode_error(Bytes{'Z', 'E', 'L', 'B', 'I', 'N', 2, 0, 1, 0, 0}), "invalid-data");
    EXPECT_EQ(decode_error(with({0x31})), "zb-invalid-record");   // 0x31 is 49: a truncated money!
}

// Every cut of a real encoding raises an error (or decodes the values before the cut), and
// never reads outside the data (the sanitizer build watches).
TEST_F(Zelbin, EveryTruncationFailsCleanly) {
    const char* src = "o: object [a: 1 s: \"x\"] reduce [o in o 'a [1.5 \"str\" #{0102}] make map! [k 1] 1-Jan-2000/1:00]";
    for (bool compact : {true, false}) {
        Bytes data = encode_source(src, compact);
        for (size_t cut = 0; cut < data.size(); cut++) {
            Bytes part(data.begin(), data.begin() + long(cut));
            std::string id = decode_error(part);
            EXPECT_FALSE(id.empty()) << "cut at " << cut << (compact ? " compact" : " plain");
        }
    }
}

// Generated values: nested blocks of scalars, strings, words, maps and objects, with shared
// series, round-trip in both modes to the same molded text.
std::string random_value(std::mt19937& r, int depth) {
    switch (r() % (depth > 3 ? 8 : 11)) {
        case 0: return std::to_string(int32_t(r()));
        case 1: return std::to_string(r() % 1000) + "." + std::to_string(r() % 100);
        case 2: return "\"s" + std::to_string(r() % 50) + "\"";
        case 3: return "'w" + std::to_string(r() % 20);
        case 4: return std::to_string(r() % 30) + "%";
        case 5: return std::to_string(r() % 5) + "." + std::to_string(r() % 256) + "." + std::to_string(r() % 256);
        case 6: return "#\"" + std::string(1, char('a' + r() % 26)) + "\"";
        case 7: return "first ['q" + std::to_string(r() % 5) + " :g s/p]";
        case 8: {
            std::string s = "[";
            for (int i = 0, n = int(r() % 6); i < n; i++) s += random_value(r, depth + 1) + " ";
            return s + "]";
        }
        case 9: return "make map! reduce [quote k1 " + random_value(r, depth + 1) + " \"k2\" " + random_value(r, depth + 1) + "]";
        default: return "object [f: " + random_value(r, depth + 1) + " g: 'w1]";
    }
}

TEST_F(Zelbin, GeneratedValuesRoundTrip) {
    std::mt19937 r(99);
    for (int i = 0; i < 200; i++) {
        std::string items;
        for (int k = 0; k < 8; k++) items += random_value(r, 0) + " ";
        // A shared series and a cycle in every value.
        std::string src = "s: \"shared\" b: reduce [" + items + "] append b reduce [s s b]";
        Cell v = test::eval_source(src);
        std::string expected = test::molded(&v);
        for (bool compact : {true, false}) EXPECT_EQ(round_trip(src, compact), expected) << src;
        ASSERT_EQ(type_of(&v), uint32_t(TYPE_BLOCK)) << src << "\n" << test::formed(&v);
        Cell block = decode(encode_source(src, true));
        const Cell* top = block::head(&block);
        SeriesBuf* b = memory::buf(series_node(top));
        const Cell* last = &b->cells()[b->length() - 1];
        EXPECT_EQ(series_node(last), series_node(top));
        EXPECT_EQ(series_node(&b->cells()[b->length() - 2]), series_node(&b->cells()[b->length() - 3]));
    }
}

}  // namespace

namespace {

// Boot dialect: a set record assigns a word and leaves no value; a word names its context by
// literal index.
TEST_F(Zelbin, BootDialectSetRecordsAndLiteralContexts) {
    const char sym[] = "zz-boot-word";
    Bytes d = {'Z', 'E', 'L', 'B', 'I', 'N', 1, 5, 1};
    Bytes records = {0xC4, 0x0F, 0x00, 0x85,                       // zz-boot-word: 5
                     0x20, 0x00, 0x0E, 0x10, 0x01, 0x00, 0x87,       // object [zz-boot-word: 7]
                     0x4F, 0x00, 0x00, 0x01};                        // that object's word, index -1
    d.push_back(uint8_t(records.size()));
    d.push_back(1);
    d.push_back(uint8_t(sizeof sym));
    d.insert(d.end(), {0, 0, 0, 0});
    d.insert(d.end(), sym, sym + sizeof sym);
    d.insert(d.end(), records.begin(), records.end());
    Cell* dest = stack::push();
    block::init_cell(dest, 4);
    zelbin::boot_load(d.data(), d.size(), series_node(dest));
    ASSERT_EQ(block::length(dest), 2);
    Cell v = test::eval_source("zz-boot-word");
    EXPECT_EQ(test::molded(&v), "5");
    const Cell* w = &memory::buf(series_node(dest))->cells()[1];
    Cell value = *context::value_at(word_context(w), word_index(w));
    EXPECT_EQ(test::molded(&value), "7");
    // The user dialect refuses the same data.
    EXPECT_EQ(decode_error(d), "zb-invalid-record");
}

TEST(ZelbinBoot, WrongMagicEndsStartUp) {
    const uint8_t bad[] = {'Z', 'E', 'L', 'B', 'I', 'X', 1, 5, 0, 0};
    EXPECT_EXIT(zelbin::boot_load(bad, sizeof bad, 0), testing::ExitedWithCode(1), "Not a Zelbin file");
}

}  // namespace
