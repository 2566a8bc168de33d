// Float text conversion: exact both ways, the layouts of mold and form, the special texts.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "datatypes/scalar/float_text.h"

using namespace zel;

namespace {

double read(const std::string& s, size_t* unread = nullptr) {
    return float_::from_text(s.data(), s.data() + s.size(), unread);
}

uint64_t bits(double x) {
    uint64_t b;
    std::memcpy(&b, &x, 8);
    return b;
}

double from_bits(uint64_t b) {
    double x;
    std::memcpy(&x, &b, 8);
    return x;
}

// Random doubles over the whole range: random bit patterns (every exponent equally likely),
// with NaNs and infinities dropped.
struct DoubleSource {
    std::mt19937_64 gen{20240611};
    double next() {
        for (;;) {
            double x = from_bits(gen());
            if (std::isfinite(x)) return x;
        }
    }
};

struct PrettyGuard {
    bool saved = float_::is_pretty;
    explicit PrettyGuard(bool on) { float_::is_pretty = on; }
    ~PrettyGuard() { float_::is_pretty = saved; }
};

}  // namespace

TEST(FloatText, MoldReadsBackExactlyForAMillionRandomDoubles) {
    DoubleSource src;
    for (int i = 0; i < 1000000; i++) {
        double x = src.next();
        std::string text = float_::format_digits(x, 0, true);
        size_t unread = 99;
        double back = read(text, &unread);
        ASSERT_EQ(bits(back), bits(x)) << text;
        ASSERT_EQ(unread, 0u) << text;
    }
}

TEST(FloatText, MoldReadsBackExactlyForSpecialAndBoundaryValues) {
    const double cases[] = {
        0.0, -0.0, 1.0, -1.0, 0.1, 0.2, 0.3, 1.0 / 3.0, 2.0 / 3.0,
        std::numeric_limits<double>::min(),          // smallest normal
        std::numeric_limits<double>::denorm_min(),   // smallest subnormal
        -std::numeric_limits<double>::denorm_min(),
        std::numeric_limits<double>::max(), -std::numeric_limits<double>::max(),
        std::numeric_limits<double>::epsilon(), 0.49999999999999994, 9007199254740992.0,
        9007199254740993.0, 1e15, 1e16, 1e17, 1e22, 1e23, 1e-6, 1e-7, 5e-324, 2.2250738585072009e-308,
        4.9406564584124654e-324, 1.7976931348623157e308, 123456789012345678.0, 0.30000000000000004,
    };
    for (double x : cases) {
        std::string text = float_::format_digits(x, 0, true);
        EXPECT_EQ(bits(read(text)), bits(x)) << text;
    }
    // Every power of two and its neighbours.
    for (int e = -1074; e <= 1023; e++) {
        double x = std::ldexp(1.0, e);
        for (double y : {std::nextafter(x, 0.0), x, std::nextafter(x, HUGE_VAL)}) {
            if (!std::isfinite(y) || y == 0.0) continue;
            std::string text = float_::format_digits(y, 0, true);
            ASSERT_EQ(bits(read(text)), bits(y)) << text;
        }
    }
}

TEST(FloatText, ShortestDigitsHaveNoShorterExactForm) {
    DoubleSource src;
    for (int i = 0; i < 100000; i++) {
        double x = src.next();
        if (x == 0.0) continue;
        float_::Digits d;
        float_::to_digits(x, 0, true, d);
        if (d.length <= 1) continue;
        // One digit fewer, correctly rounded, never reads back as x.
        float_::Digits shorter;
        float_::to_digits(x, d.length - 1, true, shorter);
        std::string text = std::string(shorter.negative ? "-0." : "0.") + shorter.text + "e" +
                           std::to_string(shorter.point);
        ASSERT_NE(bits(read(text)), bits(x)) << "digits " << d.text << " could be " << shorter.text;
    }
}

TEST(FloatText, FixedDigitCountsAreCorrectlyRounded) {
    // The C library's %.*e is exact on glibc and serves as the oracle here.
    DoubleSource src;
    for (int i = 0; i < 100000; i++) {
        double x = src.next();
        if (x == 0.0) continue;
        int n = 1 + i % 22;
        float_::Digits d;
        float_::to_digits(x, n, true, d);
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.*e", n - 1, std::fabs(x));
        std::string expected;
        const char* e = std::strchr(buf, 'e');
        for (const char* p = buf; p < e; p++)
            if (*p != '.') expected += *p;
        while (expected.size() > 1 && expected.back() == '0') expected.pop_back();
        ASSERT_EQ(std::string(d.text), expected) << buf;
        ASSERT_EQ(d.point, std::atoi(e + 1) + 1) << buf;
        ASSERT_EQ(d.negative, x < 0);
    }
}

TEST(FloatText, FixedDigitsRoundExactHalvesToEven) {
    struct Case { double x; int n; const char* digits; int point; };
    const Case cases[] = {
        {2.5, 1, "2", 1}, {3.5, 1, "4", 1}, {1.5, 1, "2", 1}, {0.125, 2, "12", 0}, {0.375, 2, "38", 0},
        {999.5, 3, "1", 4},   // a run of 9s carries into a new leading digit
        {2.675, 3, "267", 1}, // 2.67499999999999982236431605997495353221893310546875: below the half
    };
    for (const Case& c : cases) {
        float_::Digits d;
        float_::to_digits(c.x, c.n, true, d);
        EXPECT_STREQ(d.text, c.digits) << c.x;
        EXPECT_EQ(d.point, c.point) << c.x;
    }
}

TEST(FloatText, DigitsOfZeroInfinityAndNaN) {
    struct Case { double x; bool dot_zero; const char* text; int point; bool negative; };
    const Case cases[] = {
        {0.0, true, "0.0", float_::POINT_ZERO, false},
        {-0.0, true, "-0.0", float_::POINT_ZERO, true},
        {0.0, false, "0", float_::POINT_ZERO, false},
        {-0.0, false, "-0", float_::POINT_ZERO, true},
        {HUGE_VAL, true, "1.#INF", float_::POINT_SPECIAL, false},
        {-HUGE_VAL, true, "-1.#INF", float_::POINT_SPECIAL, true},
        {std::nan(""), true, "1.#NaN", float_::POINT_SPECIAL, false},
    };
    for (const Case& c : cases) {
        float_::Digits d;
        float_::to_digits(c.x, 0, c.dot_zero, d);
        EXPECT_STREQ(d.text, c.text);
        EXPECT_EQ(d.point, c.point) << c.text;
        EXPECT_EQ(d.negative, c.negative) << c.text;
    }
    float_::Digits d;
    float_::to_digits(1234.5, 0, true, d);
    EXPECT_STREQ(d.text, "12345");
    EXPECT_EQ(d.point, 4);
}

TEST(FloatText, MoldLayout) {
    struct Case { double x; int n; bool dot_zero; const char* text; };
    const Case cases[] = {
        {1.0, 0, true, "1.0"},
        {100.0, 0, true, "100.0"},
        {1e300, 0, true, "1.0e300"},
        {1.2345678901234568e17, 0, true, "1.2345678901234568e17"},
        {0.1, 0, true, "0.1"},
        {-0.0, 0, true, "-0.0"},
        {1.234e-7, 0, true, "0.0000001234"},
        {1.234e-8, 0, true, "1.234e-8"},
        {1e16, 0, true, "10000000000000000.0"},
        {1e17, 0, true, "1.0e17"},
        {1e-7, 0, true, "0.0000001"},
        {1e-8, 0, true, "1.0e-8"},
        {0.1 + 0.2, 0, true, "0.30000000000000004"},
        {-2.5, 0, true, "-2.5"},
        {1e20, 0, false, "1e20"},
        {3599.9999999, 6, false, "3600"},
        {0.5, 6, false, "0.5"},
        {1e-20, 6, false, "1e-20"},
        {-1.5e-300, 0, true, "-1.5e-300"},
        {HUGE_VAL, 0, true, "1.#INF"},
        {-HUGE_VAL, 0, true, "-1.#INF"},
        {std::nan(""), 0, true, "1.#NaN"},
        {123456.789, 22, true, "123456.7890000000043074"},
        {0.1, 22, true, "0.1000000000000000055511"},
    };
    for (const Case& c : cases) EXPECT_EQ(float_::format_digits(c.x, c.n, c.dot_zero), c.text) << c.text;
}

TEST(FloatText, ReadingText) {
    struct Case { const char* text; double value; size_t unread; };
    const double inf = HUGE_VAL;
    const Case cases[] = {
        {"1.#INF", inf, 0}, {"-1.#INF", -inf, 0}, {"+1.#inf", inf, 0}, {"5.#INF", inf, 0},
        {"1e400", inf, 0}, {"-1e400", -inf, 0}, {"1e-400", 0.0, 0}, {"-1e-400", -0.0, 0},
        {"0.1", 0.1, 0}, {"+3", 3.0, 0}, {"-0", -0.0, 0}, {"007", 7.0, 0}, {"5.", 5.0, 0}, {".5", 0.5, 0},
        {"", 0.0, 0}, {"-", -0.0, 0}, {"abc", 0.0, 3}, {"12abc", 12.0, 3}, {"1e", 1.0, 1}, {"1e+", 1.0, 2},
        {"2.5E3", 2500.0, 0}, {"0.000e5", 0.0, 0}, {"1e99999999999999999999", inf, 0},
        {"0.00000000000000000000000000000000000000001e40", 0.1, 0},
        {"100000000000000000000000000000000000000000e-400", 0.0, 0},
        {"2.2250738585072011e-308", 2.2250738585072011e-308, 0},
        {"9007199254740993", 9007199254740992.0, 0},
    };
    for (const Case& c : cases) {
        size_t unread = 99;
        std::string text = c.text;
        double v = read(text, &unread);
        EXPECT_EQ(bits(v), bits(c.value)) << c.text << " read as " << v;
        EXPECT_EQ(unread, c.unread) << c.text;
    }
    EXPECT_TRUE(std::isnan(read("1.#NaN")));
    EXPECT_TRUE(std::isnan(read("-1.#nan")));
}

TEST(FloatText, FormByKind) {
    PrettyGuard pretty(true);
    struct Case { double x; int kind; const char* text; };
    const Case cases[] = {
        {0.1 + 0.2, float_::KIND_FLOAT, "0.3"},
        {1e-20, float_::KIND_FLOAT, "0.0"},
        {-1e-20, float_::KIND_FLOAT, "0.0"},
        {1e20, float_::KIND_FLOAT, "1.0e20"},
        {100.0, float_::KIND_FLOAT, "100.0"},
        {1.5, float_::KIND_FLOAT, "1.5"},
        {1e-7, float_::KIND_FLOAT, "1.0e-7"},
        {4.35 * 100, float_::KIND_FLOAT, "435.0"},              // 434.99999999999994
        {1.0000000000000002, float_::KIND_FLOAT, "1.0"},
        {33.333333333333336, float_::KIND_FLOAT, "33.33333333333334"},
        {HUGE_VAL, float_::KIND_FLOAT, "1.#INF"},
        {-HUGE_VAL, float_::KIND_FLOAT, "-1.#INF"},
        {std::nan(""), float_::KIND_FLOAT, "1.#NaN"},
        {50.0, float_::KIND_PERCENT, "50%"},
        {12.5, float_::KIND_PERCENT, "12.5%"},
        {1.5, float_::KIND_PERCENT, "1.5%"},
        {1e-20, float_::KIND_PERCENT, "0%"},
        {1e20, float_::KIND_PERCENT, "1e20%"},
        {0.1, float_::KIND_VECTOR_FLOAT32, "0.1"},
        {100.0, float_::KIND_VECTOR_FLOAT32, "100.0"},
        {12.5, float_::KIND_VECTOR_PERCENT32, "12.5%"},
        {1.0, float_::KIND_POINT, "1"},
        {1e-20, float_::KIND_POINT, "0"},
        {2.5, float_::KIND_POINT, "2.5"},
        {3599.9999999, float_::KIND_TIME, "3600"},
        {1.5, float_::KIND_TIME, "1.5"},
        {1e-20, float_::KIND_TIME, "0.0"},
    };
    for (const Case& c : cases) EXPECT_EQ(float_::to_text(c.x, c.kind), c.text) << c.text;
}

TEST(FloatText, FormWithoutPrettyKeepsSmallAndLongValues) {
    PrettyGuard pretty(false);
    EXPECT_EQ(float_::to_text(1e-20, float_::KIND_FLOAT), "9.999999999999999e-21");
    EXPECT_EQ(float_::to_text(4.35 * 100, float_::KIND_FLOAT), "434.9999999999999");
    EXPECT_EQ(float_::to_text(1e-20, float_::KIND_PERCENT), "1e-20%");
}
