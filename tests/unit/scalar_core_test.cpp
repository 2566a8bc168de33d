// Scalar internals: the random generator, the integer arithmetic core, decimal text, the
// approximate float equality, the float arithmetic core, and the typeset helpers.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "core/actions.h"
#include "core/error.h"
#include "startup/runtime.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/typeset_bits.h"
#include "datatypes/scalar/datatype.h"
#include "datatypes/scalar/float.h"
#include "datatypes/scalar/integer.h"
#include "datatypes/scalar/random.h"
#include "datatypes/scalar/typeset.h"
#include "core/block.h"
#include "test_support.h"

using namespace zel;

namespace {

// The tempering of a draw, written out independently of the generator.
uint32_t temper(uint32_t y) {
    auto sar = [](uint32_t w, int k) { return uint32_t(int32_t(w) >> k); };
    y ^= sar(y, 11);
    y ^= (y << 7) & 0x9D2C5680u;
    y ^= (y << 15) & 0xEFC60000u;
    y ^= sar(y, 18);
    return y;
}

using test::raised_id;
using ScalarErrors = test::RuntimeTest;

}  // namespace

TEST(Random, StartsFromTheSeed19650218AndTempersTheSeedingWordsFirst) {
    random::seed(19650218u);
    EXPECT_EQ(uint32_t(random::draw()), temper(19650218u));
    // Seeding with 0: the first draw is the tempered 0, the second the tempered state[1] = 1.
    random::seed(0);
    EXPECT_EQ(random::draw(), 0);
    EXPECT_EQ(uint32_t(random::draw()), temper(1));
}

TEST(Random, UniformIntegersAfterStartUp) {
    random::seed(19650218u);
    const int32_t expected[] = {3, 1, 7, 1, 3};
    for (int32_t e : expected) EXPECT_EQ(random::uniform_int(10, false), e);
}

TEST(Random, DrawsStayBelowBit31AcrossTwists) {
    random::seed(12345);
    for (int i = 0; i < 3 * 624 + 10; i++) {
        int32_t d = random::draw();
        ASSERT_GE(d, 0) << "draw " << i;
    }
}

TEST(Random, UniformIntegerBounds) {
    random::seed(7);
    for (int i = 0; i < 2000; i++) {
        EXPECT_EQ(random::uniform_int(1, false), 1);
        EXPECT_EQ(random::uniform_int(-1, false), -1);
        EXPECT_EQ(random::uniform_int(0, false), 0);
        int32_t r = random::uniform_int(-6, false);
        ASSERT_TRUE(r >= -6 && r <= -1) << r;
        int32_t m = random::uniform_int(INT32_MIN, false);
        ASSERT_TRUE(m <= -1) << m;
        int32_t s = random::uniform_int(100, true);
        ASSERT_TRUE(s >= 1 && s <= 100) << s;
    }
    // Reseeding replays the same sequence.
    random::seed(99);
    int32_t a = random::draw(), b = random::draw();
    random::seed(99);
    EXPECT_EQ(random::draw(), a);
    EXPECT_EQ(random::draw(), b);
}

TEST(IntegerCore, ArithmeticKeepsIntegersAndTurnsToFloatOnOverflow) {
    using namespace integer;
    struct Case { int32_t a, b, op; bool is_float; double value; };
    const Case cases[] = {
        {2, 3, OP_ADD, false, 5},
        {2147483647, 1, OP_ADD, true, 2147483648.0},
        {-2147483648, -1, OP_ADD, true, -2147483649.0},
        {-2147483648, 1, OP_SUBTRACT, true, -2147483649.0},
        {2147483647, -1, OP_SUBTRACT, true, 2147483648.0},
        {65536, 65536, OP_MULTIPLY, true, 4294967296.0},
        {-65536, 65536, OP_MULTIPLY, true, -4294967296.0},
        {-2147483648, 1, OP_MULTIPLY, false, -2147483648.0},
        {46341, 46341, OP_MULTIPLY, true, 2147488281.0},
        {7, 2, OP_DIVIDE, true, 3.5},
        {6, 2, OP_DIVIDE, false, 3},
        {-7, 2, OP_DIVIDE, true, -3.5},
        {-7, 2, OP_REMAINDER, false, -1},
        {7, -2, OP_REMAINDER, false, 1},
        {12, 10, OP_AND, false, 8},
        {12, 10, OP_OR, false, 14},
        {12, 10, OP_XOR, false, 6},
    };
    for (const Case& c : cases) {
        Cell r;
        arith(c.a, c.b, c.op, &r);
        if (c.is_float) {
            ASSERT_EQ(type_of(&r), uint32_t(TYPE_FLOAT)) << c.a << " op " << c.op << " " << c.b;
            EXPECT_EQ(float_value(&r), c.value) << c.a << " op " << c.op << " " << c.b;
        } else {
            ASSERT_EQ(type_of(&r), uint32_t(TYPE_INTEGER)) << c.a << " op " << c.op << " " << c.b;
            EXPECT_EQ(int_value(&r), int32_t(c.value)) << c.a << " op " << c.op << " " << c.b;
        }
    }
    // Without a result cell, division truncates.
    EXPECT_EQ(arith(100, 3, OP_DIVIDE, nullptr), 33);
}

TEST(IntegerCore, DecimalText) {
    const std::pair<int32_t, const char*> cases[] = {
        {0, "0"}, {7, "7"}, {-7, "-7"}, {10, "10"}, {2147483647, "2147483647"}, {-2147483648, "-2147483648"},
        {-1000000, "-1000000"}, {9, "9"}, {99, "99"}, {100, "100"}, {-99, "-99"}, {12345, "12345"},
        {1000000000, "1000000000"}, {-2147483647, "-2147483647"},
    };
    for (auto& [n, text] : cases) EXPECT_EQ(integer::to_decimal_text(n).view(), text);
}

TEST(IntegerCore, FloatRangeOfTruncation) {
    EXPECT_FALSE(integer::float_out_of_range(2147483647.9));
    EXPECT_FALSE(integer::float_out_of_range(-2147483648.9));
    EXPECT_TRUE(integer::float_out_of_range(2147483648.0));
    EXPECT_TRUE(integer::float_out_of_range(-2147483649.0));
    EXPECT_TRUE(integer::float_out_of_range(std::nan("")));
    EXPECT_TRUE(integer::float_out_of_range(HUGE_VAL));
}

TEST(FloatCore, ApproximateEquality) {
    struct Case { double x, y; bool equal; };
    const double ulp1 = std::nextafter(1.0, 2.0);
    double ten_ulps = 1.0, eleven_ulps;
    for (int i = 0; i < 10; i++) ten_ulps = std::nextafter(ten_ulps, 2.0);
    eleven_ulps = std::nextafter(ten_ulps, 2.0);
    const Case cases[] = {
        {0.1 + 0.2, 0.3, true},
        {1.0, ulp1, true},
        {1.0, ten_ulps, true},
        {1.0, eleven_ulps, false},
        {0.0, -0.0, true},
        {1e-300, -1e-300, true},           // within the absolute tolerance
        {1e-15, 2e-15, false},
        {std::nan(""), std::nan(""), false},
        {std::nan(""), 1.0, false},
        {1.0, 1.5, false},
        {-1.0, -std::nextafter(1.0, 2.0), true},
    };
    for (const Case& c : cases) EXPECT_EQ(float_::almost_equal(c.x, c.y), c.equal) << c.x << " " << c.y;

    EXPECT_TRUE(float_::almost_equal32(1.0f, std::nextafter(1.0f, 2.0f)));
    EXPECT_FALSE(float_::almost_equal32(1.0f, 1.001f));
    EXPECT_FALSE(float_::almost_equal32(std::nanf(""), std::nanf("")));
    EXPECT_TRUE(float_::almost_equal32(0.0f, -0.0f));
    EXPECT_TRUE(float_::almost_equal32(HUGE_VALF, HUGE_VALF));
    EXPECT_FALSE(float_::almost_equal32(HUGE_VALF, -HUGE_VALF));
}

TEST(FloatCore, RemainderOfSpecialValues) {
    using integer::OP_REMAINDER;
    EXPECT_EQ(float_::arith(5.5, 2.0, OP_REMAINDER), 1.5);
    EXPECT_EQ(float_::arith(-5.5, 2.0, OP_REMAINDER), -1.5);
    EXPECT_EQ(float_::arith(5.0, HUGE_VAL, OP_REMAINDER), 5.0);
    EXPECT_TRUE(std::isnan(float_::arith(HUGE_VAL, HUGE_VAL, OP_REMAINDER)));
    EXPECT_TRUE(std::isnan(float_::arith(5.0, std::nan(""), OP_REMAINDER)));
    EXPECT_TRUE(std::isnan(float_::arith(5.0, 0.0, OP_REMAINDER)));
    EXPECT_EQ(float_::arith(1.0, 0.0, integer::OP_DIVIDE), HUGE_VAL);
    EXPECT_TRUE(std::isnan(float_::arith(0.0, 0.0, integer::OP_DIVIDE)));
}

TEST_F(ScalarErrors, IntegerCoreRaisesMathErrors) {
    using namespace integer;
    Cell r;
    EXPECT_EQ(raised_id([&] { arith(7, 0, OP_DIVIDE, &r); }), "zero-divide");
    EXPECT_EQ(raised_id([&] { arith(7, 0, OP_REMAINDER, &r); }), "zero-divide");
    EXPECT_EQ(raised_id([&] { arith(INT32_MIN, -1, OP_DIVIDE, &r); }), "overflow");
    EXPECT_EQ(raised_id([&] { arith(INT32_MIN, -1, OP_REMAINDER, &r); }), "overflow");
    EXPECT_EQ(raised_id([&] { abs_checked(INT32_MIN); }), "overflow");
    EXPECT_EQ(raised_id([&] { from_double_checked(1e10); }), "type-limit");
    EXPECT_EQ(raised_id([&] { from_double_checked(std::nan("")); }), "type-limit");
    EXPECT_EQ(abs_checked(-5), 5);
    EXPECT_EQ(from_double_checked(-1.9), -1);
}

TEST_F(ScalarErrors, FloatCoreRefusesBitwiseOps) {
    EXPECT_EQ(raised_id([] { float_::arith(1.0, 2.0, integer::OP_AND); }), "cannot-use");
}

namespace {

// Runs the binary math of a first operand on the stack arguments, as the action dispatcher
// would, and gives the error id (or "") and the first argument cell afterwards.
struct MathCall {
    std::string error;
    Cell result;
};
template <typename Fn>
MathCall run_math(const Cell& x, const Cell& y, Fn fn) {
    Cell* saved_base = stack::base;
    Cell* saved_top = stack::top;
    stack::base = stack::top;
    *stack::push() = x;
    *stack::push() = y;
    MathCall call;
    call.error = raised_id(fn);
    call.result = *stack::base;
    stack::base = saved_base;
    stack::top = saved_top;
    return call;
}

}  // namespace

TEST_F(ScalarErrors, MathRefusesUnsupportedOperandsWithoutChangingTheFirst) {
    Cell one, none_cell, pct, chr, half;
    set_integer(&one, 1);
    set_none(&none_cell);
    set_float_bits(&pct, TYPE_PERCENT, 0.5);
    set_char(&chr, 'a');
    set_float(&half, 0.5);

    MathCall c = run_math(one, none_cell, [] { integer::math(integer::OP_ADD); });
    EXPECT_EQ(c.error, "invalid-type");
    EXPECT_EQ(type_of(&c.result), uint32_t(TYPE_INTEGER));
    EXPECT_EQ(int_value(&c.result), 1);

    c = run_math(half, none_cell, [] { float_::math(integer::OP_MULTIPLY); });
    EXPECT_EQ(c.error, "invalid-type");
    EXPECT_EQ(float_value(&c.result), 0.5);

    // A char! second operand is refused when the first is percent!.
    c = run_math(pct, chr, [] { float_::math(integer::OP_ADD); });
    EXPECT_EQ(c.error, "invalid-type");
    EXPECT_EQ(type_of(&c.result), uint32_t(TYPE_PERCENT));

    // Results land in the first argument with the type the rules give.
    c = run_math(one, half, [] { integer::math(integer::OP_ADD); });
    EXPECT_EQ(c.error, "");
    EXPECT_EQ(type_of(&c.result), uint32_t(TYPE_FLOAT));
    EXPECT_EQ(float_value(&c.result), 1.5);

    c = run_math(pct, one, [] { float_::math(integer::OP_ADD); });
    EXPECT_EQ(type_of(&c.result), uint32_t(TYPE_PERCENT));
    EXPECT_EQ(float_value(&c.result), 1.5);

    c = run_math(one, pct, [] { integer::math(integer::OP_ADD); });
    EXPECT_EQ(type_of(&c.result), uint32_t(TYPE_FLOAT));
    EXPECT_EQ(float_value(&c.result), 1.5);

    // The integer arithmetic hands a float operand to the float arithmetic, which has no
    // bitwise operations.
    c = run_math(one, half, [] { integer::math(integer::OP_AND); });
    EXPECT_EQ(c.error, "cannot-use");
    EXPECT_EQ(type_of(&c.result), uint32_t(TYPE_INTEGER));

    c = run_math(one, one, [] { integer::math(integer::OP_DIVIDE); });
    EXPECT_EQ(type_of(&c.result), uint32_t(TYPE_INTEGER));
    EXPECT_EQ(int_value(&c.result), 1);
}

TEST_F(ScalarErrors, TypesetSetOperationsTakeTypesetsOrDatatypes) {
    auto ts = [](std::initializer_list<uint32_t> types) {
        Cell c;
        typeset::clear_cell(&c);
        for (uint32_t t : types) typeset_bits::add(&c, t);
        return c;
    };
    Cell ints = ts({TYPE_INTEGER}), num = ts({TYPE_INTEGER, TYPE_FLOAT}), fc = ts({TYPE_FLOAT, TYPE_CHAR});
    Cell float_type;
    set_datatype(&float_type, TYPE_FLOAT);
    struct Case { Cell a, b; int32_t op; Cell expected; };
    const Case cases[] = {
        {ints, float_type, 9, num},                                   // union with a datatype
        {ints, num, 8, ints},                                         // unique: the first as it is
        {num, fc, 10, ts({TYPE_FLOAT})},                              // intersect
        {num, fc, 11, ts({TYPE_INTEGER})},                            // exclude
        {num, fc, 12, ts({TYPE_INTEGER, TYPE_CHAR})},                 // difference
        {num, fc, 7, ts({TYPE_INTEGER, TYPE_CHAR})},                  // xor~
        {num, float_type, 6, ts({TYPE_FLOAT})},                       // and~
        {ints, fc, 5, ts({TYPE_INTEGER, TYPE_FLOAT, TYPE_CHAR})},     // or~
    };
    for (const Case& c : cases) {
        MathCall call = run_math(c.a, c.b, [&] { typeset::bitwise_op(c.op); });
        EXPECT_EQ(call.error, "") << "op " << c.op;
        EXPECT_EQ(type_of(&call.result), uint32_t(TYPE_TYPESET));
        EXPECT_TRUE(std::memcmp(payload_bytes(&call.result), payload_bytes(&c.expected), 12) == 0) << "op " << c.op;
    }
    Cell one;
    set_integer(&one, 1);
    EXPECT_EQ(run_math(ints, one, [] { typeset::bitwise_op(9); }).error, "invalid-arg");
}

TEST_F(ScalarErrors, TypesetHelpers) {
    Cell num;
    typeset::clear_cell(&num);
    typeset_bits::add(&num, TYPE_FLOAT);
    typeset_bits::add(&num, TYPE_INTEGER);
    EXPECT_EQ(typeset::count(&num), 2u);

    Cell blk;
    typeset::types_to_block(&num, &blk);
    ASSERT_EQ(block::length(&blk), 2);
    EXPECT_EQ(symbol::spelling(word_symbol(block::head(&blk))), "integer!");
    EXPECT_EQ(symbol::spelling(word_symbol(block::head(&blk) + 1)), "float!");

    // Every type but unset!, and bits above the registered types never count.
    Cell holder;
    block::init_cell(&holder, 2);
    Cell* all = typeset::append_all_but_unset(series_node(&holder));
    EXPECT_FALSE(typeset_bits::has(all, TYPE_UNSET));
    EXPECT_TRUE(typeset_bits::has(all, TYPE_INTEGER));
    EXPECT_EQ(typeset::count(all), actions::highest_type() - 1);
    Cell full;
    typeset::clear_cell(&full);
    for (int i = 0; i < 3; i++) set_data_word(&full, i, 0xFFFFFFFFu);
    EXPECT_EQ(typeset::count(&full), actions::highest_type());

    // A type block of a function argument: datatypes, typesets, nested blocks skipped.
    Cell spec;
    block::init_cell(&spec, 3);
    Cell dt, inner;
    set_datatype(&dt, TYPE_CHAR);
    block::append(series_node(&spec), &dt);
    block::init_cell(&inner, 1);
    block::append(series_node(&spec), &inner);
    block::append(series_node(&spec), &num);
    Cell* made = typeset::append_from_spec(series_node(&holder), &spec);
    EXPECT_EQ(typeset::count(made), 3u);
    EXPECT_TRUE(typeset_bits::has(made, TYPE_CHAR));

    Cell bad;
    block::init_cell(&bad, 1);
    Cell one;
    set_integer(&one, 1);
    block::append(series_node(&bad), &one);
    EXPECT_EQ(raised_id([&] { typeset::append_from_spec(series_node(&holder), &bad); }), "invalid-type-spec");
}

TEST_F(ScalarErrors, TruthTests) {
    Cell unset_cell, none_cell, false_cell, zero;
    set_unset(&unset_cell);
    set_none(&none_cell);
    set_logic(&false_cell, false);
    set_integer(&zero, 0);
    EXPECT_FALSE(logic::truth_of(&none_cell, true, &zero));
    EXPECT_FALSE(logic::truth_of(&false_cell, true, &zero));
    EXPECT_TRUE(logic::truth_of(&zero, true, &zero));
    EXPECT_TRUE(logic::truth_of(&unset_cell, false, &zero));
    EXPECT_EQ(raised_id([&] { logic::truth_of(&unset_cell, true, &zero); }), "no-value");

    // The result-slot tests: unset! is an error for arg_true only.
    Cell* saved_base = stack::base;
    Cell* saved_top = stack::top;
    stack::base = stack::top;
    const std::pair<Cell, int> slots[] = {{none_cell, 0}, {false_cell, 0}, {zero, 1}};
    for (const auto& [value, truth] : slots) {
        *stack::base = value;
        stack::top = stack::base + 1;
        EXPECT_EQ(logic::arg_true(), truth == 1);
        EXPECT_EQ(logic::arg_false(), truth == 0);
        EXPECT_EQ(logic::stack_top_true(), truth == 1);
        EXPECT_EQ(logic::stack_top_falsy(), truth == 0);
    }
    *stack::base = unset_cell;
    stack::top = stack::base + 1;
    EXPECT_FALSE(logic::arg_false());
    EXPECT_EQ(raised_id([] { logic::arg_true(); }), "no-return");
    stack::base = saved_base;
    stack::top = saved_top;
}
