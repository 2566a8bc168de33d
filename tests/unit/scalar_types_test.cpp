// The scalar datatypes beyond the numbers: the cell layouts the lexer and the datatypes
// share (pair!, tuple!, time!, points), the texts of handle! and triple! (which language code
// cannot make), the time text, and the bitset internals (bit order, growth by the complement
// flag, the spec measure, the set operations on complemented bitsets).
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <string>

#include "core/actions.h"
#include "core/collector.h"
#include "core/error.h"
#include "core/memory.h"
#include "startup/runtime.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/scalar/bitset.h"
#include "datatypes/scalar/handle.h"
#include "datatypes/scalar/pair.h"
#include "datatypes/scalar/point.h"
#include "datatypes/scalar/time.h"
#include "datatypes/scalar/triple.h"
#include "datatypes/scalar/tuple.h"
#include "datatypes/scalar/typeset.h"
#include "core/block.h"
#include "datatypes/series/string.h"
#include "io/lexer.h"
#include "test_support.h"

using namespace zel;

namespace {

using ScalarTypes = test::RuntimeTest;
using test::formed;
using test::molded;
using test::raised_id;

// The first value the lexer reads from the text.
Cell loaded(const char* text) {
    Cell blk;
    lexer::load_utf8(&blk, text);
    return *block::head(&blk);
}

std::string bytes_of(const Cell* bs) {
    std::string s;
    for (const uint8_t* p = bitset::data_start(bs); p < bitset::data_end(bs); p++) s += char(*p);
    return s;
}

}  // namespace

TEST_F(ScalarTypes, LexerLiteralsUseTheDatatypeLayouts) {
    Cell p = loaded("-3x2147483647");
    EXPECT_EQ(type_of(&p), uint32_t(TYPE_PAIR));
    EXPECT_EQ(pair::x_of(&p), -3);
    EXPECT_EQ(pair::y_of(&p), INT32_MAX);
    EXPECT_EQ(data_word(&p, 0), 0u);

    Cell t = loaded("1.2.3.250");
    EXPECT_EQ(type_of(&t), uint32_t(TYPE_TUPLE));
    EXPECT_EQ(tuple::count(&t), 4u);
    EXPECT_EQ((t.header & HEADER_TUPLE_COUNT_MASK) >> HEADER_TUPLE_COUNT_SHIFT, 4u);
    const uint8_t* b = payload_bytes(&t);
    EXPECT_EQ(b[0], 1);
    EXPECT_EQ(b[3], 250);
    EXPECT_EQ(b[4], 0);
    EXPECT_EQ(data_word(&t, 2), 0u);

    Cell tm = loaded("-1:30");
    EXPECT_EQ(type_of(&tm), uint32_t(TYPE_TIME));
    EXPECT_EQ(time::cell_value(&tm), -5400.0);

    Cell p2 = loaded("(1.5, -2)");
    EXPECT_EQ(type_of(&p2), uint32_t(TYPE_POINT2D));
    EXPECT_EQ(point::component(&p2, 0), 1.5f);
    EXPECT_EQ(point::component(&p2, 1), -2.0f);
    EXPECT_EQ(data_word(&p2, 2), 0u);

    Cell p3 = loaded("(1, 2, 3)");
    EXPECT_EQ(type_of(&p3), uint32_t(TYPE_POINT3D));
    EXPECT_EQ(point::component(&p3, 2), 3.0f);
}

TEST_F(ScalarTypes, TupleCountKeepsTheOtherHeaderBits) {
    Cell t;
    const uint8_t data[] = {9, 8, 7, 6, 5};
    tuple::write_cell(&t, data, 5);
    set_new_line(&t, true);
    tuple::set_count(&t, 3);
    EXPECT_TRUE(has_new_line(&t));
    EXPECT_EQ(type_of(&t), uint32_t(TYPE_TUPLE));
    EXPECT_EQ(tuple::count(&t), 3u);
    // Fewer than three bytes are padded; more than twelve are cut.
    tuple::write_cell(&t, data, 1);
    EXPECT_EQ(tuple::count(&t), 3u);
    EXPECT_EQ(formed(&t), "9.0.0");
    uint8_t many[16] = {};
    tuple::write_cell(&t, many, 16);
    EXPECT_EQ(tuple::count(&t), 12u);
    EXPECT_TRUE(tuple::all_zero(&t));
    // A header whose count field says 15 still reads as 12 bytes.
    t.header |= tuple::COUNT_MASK;
    EXPECT_EQ(tuple::count(&t), 12u);
}

TEST_F(ScalarTypes, TuplePushFromIntegersTakesTheLowBytes) {
    const int32_t ints[] = {256 + 7, -1};
    Cell* t = tuple::push_from_ints(2, ints);
    EXPECT_EQ(formed(t), "7.255.0");
    stack::drop(1);
}

TEST_F(ScalarTypes, HandleText) {
    Cell h;
    handle::write_cell(&h, 255, handle::PLAIN);
    EXPECT_EQ(data_word(&h, 2), 0xFFFFFFFFu);
    EXPECT_EQ(formed(&h), "000000FFh");
    EXPECT_EQ(molded(&h), "handle!");
    EXPECT_EQ(molded(&h, true), "#[handle! 000000FFh]");
    handle::write_cell(&h, 0xA1B2C3, handle::WINDOW);
    EXPECT_EQ(molded(&h, true), "#[handle! 00A1B2C3h window]");
    handle::write_cell(&h, 1, handle::RICH_TEXT);
    EXPECT_EQ(molded(&h, true), "#[handle! 00000001h rich-text]");
    // An unknown subtype has no name and never reads outside the table.
    handle::write_cell(&h, 1, 99);
    EXPECT_EQ(molded(&h, true), "#[handle! 00000001h]");
}

TEST_F(ScalarTypes, HandleComparison) {
    Cell a, b, n;
    handle::write_cell(&a, 5, handle::WINDOW);
    handle::write_cell(&b, 5, handle::FONT);
    set_integer(&n, 5);
    EXPECT_TRUE(actions::compare(&a, &b, actions::OP_EQUAL));
    EXPECT_FALSE(actions::compare(&a, &n, actions::OP_EQUAL));
    EXPECT_TRUE(actions::compare(&a, &n, actions::OP_NOT_EQUAL));
    handle::write_cell(&b, 0xFFFFFFFF, handle::PLAIN);   // -1 in signed order
    EXPECT_TRUE(actions::compare(&b, &a, actions::OP_LESSER));
}

TEST_F(ScalarTypes, TripleText) {
    Cell t;
    triple::write_cell(&t, 1, -2, 3);
    EXPECT_EQ(formed(&t), "make triple! [1 -2 3]");
    EXPECT_EQ(molded(&t), "make triple! [1 -2 3]");
    triple::write_cell(&t, INT32_MIN, 0, INT32_MAX);
    EXPECT_EQ(molded(&t), "make triple! [-2147483648 0 2147483647]");
}

TEST_F(ScalarTypes, TimeText) {
    struct Case {
        double seconds;
        const char* text;
    } cases[] = {
        {3723, "1:02:03"},    {0.5, "0:00:00.5"},    {90000, "25:00:00"}, {-61, "-0:01:01"},
        {59.25, "0:00:59.25"}, {1e-7, "0:00:00"},    {-0.0, "0:00:00"},   {36000.125, "10:00:00.125"},
        {1e20, "27777777777777776:46:40"},
    };
    for (const Case& c : cases) {
        Cell t;
        time::write_cell(&t, c.seconds);
        EXPECT_EQ(formed(&t), c.text) << c.seconds;
    }
    Cell t;
    time::write_cell(&t, INFINITY);
    EXPECT_EQ(formed(&t), "1.#INF");
    time::write_cell(&t, NAN);
    EXPECT_EQ(formed(&t), "1.#NaN");
}

TEST_F(ScalarTypes, TimeFieldsAndTheirSetRule) {
    EXPECT_EQ(time::hours(-5400), -1.0);
    EXPECT_EQ(time::minutes(-5400), 30.0);
    Cell v;
    set_integer(&v, 5);
    EXPECT_EQ(time::with_field(3723, 2, &v), 3903.0);   // 1:02:03 -> 1:05:03
    set_float(&v, 1.5);
    EXPECT_EQ(time::with_field(3723, 3, &v), 3721.5);
    EXPECT_EQ(raised_id([&] { time::with_field(3723, 1, &v); }), "invalid-arg");
    Cell f;
    time::field(&f, 3723.5, 3);
    EXPECT_EQ(type_of(&f), uint32_t(TYPE_FLOAT));
    EXPECT_EQ(float_value(&f), 3.5);
    EXPECT_EQ(raised_id([&] { time::field(&f, 1e20, 1); }), "type-limit");
}

TEST_F(ScalarTypes, BitsetBitOrderIsMostSignificantFirst) {
    Cell bs;
    bitset::init_cell(&bs, 2, false);
    Cell spec;
    set_integer(&spec, 0);
    bitset::process_spec(&spec, &bs, bitset::OP_SET, bitset::Origin::OTHER);
    set_integer(&spec, 9);
    bitset::process_spec(&spec, &bs, bitset::OP_SET, bitset::Origin::OTHER);
    EXPECT_EQ(bytes_of(&bs), std::string("\x80\x40", 2));
    EXPECT_TRUE(bitset::has(&bs, 9));
    EXPECT_FALSE(bitset::has(&bs, 10));
    EXPECT_FALSE(bitset::has(&bs, 1000));
    EXPECT_TRUE(bitset::bit_outside(&bs, 16));
    EXPECT_TRUE(bitset::bit_outside(&bs, -1));
    EXPECT_FALSE(bitset::bit_outside(&bs, 15));
}

TEST_F(ScalarTypes, BitsetGrowthFillsByTheComplementFlag) {
    Cell plain, comp;
    bitset::init_cell(&plain, 1, false);
    bitset::init_cell(&comp, 1, true);
    EXPECT_TRUE(bitset::is_complemented(&comp));
    bitset::grow_to_bit(&plain, 17);
    bitset::grow_to_bit(&comp, 17);
    EXPECT_EQ(bitset::byte_length(&plain), 3u);
    EXPECT_EQ(bytes_of(&plain), std::string(3, '\0'));
    EXPECT_EQ(bytes_of(&comp), std::string(3, '\xFF'));
    // Growing never shrinks, and a complemented bitset answers beyond its buffer.
    bitset::grow_to_bit(&comp, 3);
    EXPECT_EQ(bitset::byte_length(&comp), 3u);
    EXPECT_TRUE(bitset::has(&comp, 1u << 30));
    // Setting a bit beyond a complemented buffer changes nothing; clearing one grows it.
    Cell spec;
    set_integer(&spec, 100);
    bitset::process_spec(&spec, &comp, bitset::OP_SET, bitset::Origin::OTHER);
    EXPECT_EQ(bitset::byte_length(&comp), 3u);
    bitset::process_spec(&spec, &comp, bitset::OP_CLEAR, bitset::Origin::OTHER);
    EXPECT_EQ(bitset::byte_length(&comp), 13u);
    EXPECT_FALSE(bitset::has(&comp, 100));
    EXPECT_TRUE(bitset::has(&comp, 99));
}

TEST_F(ScalarTypes, BitsetSpecMeasureAndTest) {
    Cell blk;
    lexer::load_utf8(&blk, R"(#"a" 3 - 40 "xyz" [7])");
    EXPECT_EQ(bitset::process_spec(&blk, nullptr, bitset::OP_MEASURE, bitset::Origin::MAKE), int64_t('z'));
    Cell empty;
    lexer::load_utf8(&empty, "");
    EXPECT_EQ(bitset::process_spec(&empty, nullptr, bitset::OP_MEASURE, bitset::Origin::MAKE), -1);
    Cell bs;
    bitset::init_cell(&bs, 16, false);
    bitset::process_spec(&blk, &bs, bitset::OP_SET, bitset::Origin::OTHER);
    EXPECT_EQ(bitset::process_spec(&blk, &bs, bitset::OP_TEST, bitset::Origin::OTHER), 1);
    for (uint32_t bit : {3u, 7u, 40u, uint32_t('a'), uint32_t('y')}) EXPECT_TRUE(bitset::has(&bs, bit)) << bit;
    for (uint32_t bit : {2u, 41u, uint32_t('b')}) EXPECT_FALSE(bitset::has(&bs, bit)) << bit;
    Cell neg;
    set_integer(&neg, -1);
    EXPECT_EQ(bitset::process_spec(&neg, &bs, bitset::OP_TEST, bitset::Origin::OTHER), 0);
    EXPECT_EQ(raised_id([&] { bitset::process_spec(&neg, &bs, bitset::OP_SET, bitset::Origin::OTHER); }),
              "out-of-range");
    Cell word;
    lexer::load_utf8(&word, "foo");
    const Cell* w = block::head(&word);
    EXPECT_EQ(raised_id([&] { bitset::process_spec(w, nullptr, bitset::OP_MEASURE, bitset::Origin::MAKE); }),
              "bad-make-arg");
    EXPECT_EQ(raised_id([&] { bitset::process_spec(w, nullptr, bitset::OP_MEASURE, bitset::Origin::TO); }),
              "bad-to-arg");
    EXPECT_EQ(raised_id([&] { bitset::process_spec(w, &bs, bitset::OP_TEST, bitset::Origin::OTHER); }),
              "invalid-arg");
}

TEST_F(ScalarTypes, BitsetSetOperationsFollowMembership) {
    // a = {0, 1} plain; b = everything but {1} (complemented, one byte).
    Cell a, b;
    bitset::init_cell(&a, 1, false);
    bitset::data_start(&a)[0] = 0xC0;
    bitset::init_cell(&b, 1, true);
    bitset::data_start(&b)[0] = 0xBF;
    struct Case {
        int32_t op;
        bool complemented;
        uint32_t length;
        uint8_t first;
    } cases[] = {
        {9, true, 1, 0xFF},    // union: everything
        {10, false, 1, 0x80},  // intersect: {0}
        {11, false, 1, 0x40},  // exclude: {1}
        {12, true, 1, 0x7F},   // difference: everything but {0}
        {6, false, 1, 0x80},   // and~
    };
    for (const Case& c : cases) {
        Cell r;
        bitset::set_operation(&r, c.op, &a, &b);
        EXPECT_EQ(bitset::is_complemented(&r), c.complemented) << c.op;
        EXPECT_EQ(bitset::byte_length(&r), c.length) << c.op;
        EXPECT_EQ(bitset::data_start(&r)[0], c.first) << c.op;
    }
    // The operands are untouched, and the result may replace an operand.
    EXPECT_EQ(bitset::data_start(&a)[0], 0xC0);
    Cell r = a;
    bitset::set_operation(&r, 9, &r, &b);
    EXPECT_TRUE(bitset::is_complemented(&r));
    EXPECT_EQ(bitset::data_start(&a)[0], 0xC0);
    // and~ of a longer plain operand with a shorter one ends at the common length; with a
    // shorter complemented operand the longer operand's bytes are kept.
    Cell wide;
    bitset::init_cell(&wide, 4, false);
    std::memset(bitset::data_start(&wide), 0x11, 4);
    bitset::set_operation(&r, 6, &wide, &a);
    EXPECT_EQ(bitset::byte_length(&r), 1u);
    bitset::set_operation(&r, 6, &wide, &b);
    EXPECT_EQ(bitset::byte_length(&r), 4u);
    EXPECT_EQ(bytes_of(&r), std::string("\x11\x11\x11\x11", 4));
    Cell n;
    set_integer(&n, 1);
    EXPECT_EQ(raised_id([&] { bitset::set_operation(&r, 9, &a, &n); }), "invalid-type");
}

TEST_F(ScalarTypes, BitsetSurvivesACollection) {
    collector::RootedCell bs;
    bitset::init_cell(&bs, 8, true);
    bitset::data_start(&bs)[7] = 0x0F;
    collector::run_cycle();
    EXPECT_TRUE(bitset::is_complemented(&bs));
    EXPECT_EQ(bitset::byte_length(&bs), 8u);
    EXPECT_EQ(bitset::data_start(&bs)[7], 0x0F);
}

TEST_F(ScalarTypes, TypesetSetOperation) {
    Cell a, b, r;
    typeset::clear_cell(&a);
    typeset::clear_cell(&b);
    set_datatype(&r, TYPE_INTEGER);
    typeset::add_type(&a, &r);
    set_datatype(&r, TYPE_FLOAT);
    typeset::add_type(&b, &r);
    typeset::set_operation(&r, 9, &a, &b);
    EXPECT_EQ(typeset::count(&r), 2u);
    typeset::set_operation(&r, 10, &a, &b);
    EXPECT_EQ(typeset::count(&r), 0u);
    typeset::set_operation(&r, 12, &r, &b);
    EXPECT_EQ(typeset::count(&r), 1u);
    Cell dt;
    set_datatype(&dt, TYPE_INTEGER);
    typeset::set_operation(&r, 11, &a, &dt);
    EXPECT_EQ(typeset::count(&r), 0u);
    typeset::set_operation(&r, 8, &a, &b);
    EXPECT_EQ(typeset::count(&r), 1u);
    Cell n;
    set_integer(&n, 1);
    EXPECT_EQ(raised_id([&] { typeset::set_operation(&r, 9, &a, &n); }), "invalid-arg");
}
