// date! calendar arithmetic against a day-by-day reference walk over years 1 to 2400, the
// zone carry's invariants, and money! arithmetic, comparison and conversions against a
// 128-bit integer model of amounts in units of 0.00001.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <string>

#include "core/actions.h"
#include "core/error.h"
#include "startup/runtime.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/scalar/date.h"
#include "datatypes/scalar/money.h"
#include "test_support.h"

using namespace zel;

namespace {

using test::raised_id;
using DateMoney = test::RuntimeTest;

// ---- the calendar reference ----

bool ref_leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }
int ref_days_in_month(int y, int m) {
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && ref_leap(y) ? 29 : days[m - 1];
}
// ISO 8601 week by the textbook rule: (yday - weekday + 10) div 7, moved into the previous
// year's last week or the next year's first.
int ref_weeks_in_year(int y, int jan1_weekday) {
    return jan1_weekday == 4 || (jan1_weekday == 3 && ref_leap(y)) ? 53 : 52;
}

}  // namespace

TEST_F(DateMoney, CalendarAgreesWithADayByDayWalkOverYears1To2400) {
    // Day 0 is 1 March of year 0, so 1 January of year 1 is day 306 (March to December).
    int64_t n = 306;
    int y = 1, m = 1, d = 1;
    int yday = 1;
    // Weekday of 1-Jan-0001: Monday (the proleptic Gregorian calendar).
    int weekday = 1;
    int jan1_weekday = 1;
    int failures = 0;
    while (y <= 2400 && failures < 20) {
        if (yday == 1) {
            jan1_weekday = weekday;
            if (y == 2000) {
                EXPECT_EQ(weekday, 6) << "1-Jan-2000 is a Saturday";
            }
        }
        uint32_t w = date::pack(y, m, d, 0, false);
        if (date::day_count(y, m, d) != n || date::day_count_of(w) != n) {
            ADD_FAILURE() << "day count of " << d << "-" << m << "-" << y;
            failures++;
        }
        date::Ymd back = date::from_day_count(n);
        if (back.year != y || back.month != m || back.day != d) {
            ADD_FAILURE() << "date of day " << n << " for " << d << "-" << m << "-" << y;
            failures++;
        }
        if (date::weekday_of(n) != weekday || date::year_day(w) != yday) {
            ADD_FAILURE() << "weekday/yearday of " << d << "-" << m << "-" << y;
            failures++;
        }
        // Sunday-started weeks: week 1 holds 1 January.
        int sunday_based = jan1_weekday % 7;   // 0 Sunday
        int ref_week = (yday + sunday_based - 1) / 7 + 1;
        if (date::week_of(w) != ref_week) {
            ADD_FAILURE() << "week of " << d << "-" << m << "-" << y << ": " << date::week_of(w) << " vs " << ref_week;
            failures++;
        }
        int iso = (yday - weekday + 10) / 7;
        if (iso < 1) {
            int prev_jan1 = ((jan1_weekday - 1 - (ref_leap(y - 1) ? 366 : 365)) % 7 + 7) % 7 + 1;
            iso = ref_weeks_in_year(y - 1, prev_jan1);
        } else if (iso > ref_weeks_in_year(y, jan1_weekday)) {
            iso = 1;
        }
        if (date::iso_week_of(w) != iso) {
            ADD_FAILURE() << "ISO week of " << d << "-" << m << "-" << y << ": " << date::iso_week_of(w) << " vs " << iso;
            failures++;
        }
        EXPECT_EQ(date::leap_year(y), ref_leap(y));
        // The next day.
        n++;
        weekday = weekday % 7 + 1;
        yday++;
        if (++d > ref_days_in_month(y, m)) {
            d = 1;
            if (++m > 12) {
                m = 1;
                y++;
                yday = 1;
            }
        }
    }
    EXPECT_EQ(failures, 0);
}

TEST_F(DateMoney, DayCountsRollOverAndBackwards) {
    // Day 0 is the last day of the previous month, larger days roll on.
    EXPECT_EQ(date::day_count(2020, 3, 0), date::day_count(2020, 2, 29));
    EXPECT_EQ(date::day_count(2019, 3, 0), date::day_count(2019, 2, 28));
    EXPECT_EQ(date::day_count(2020, 1, 32), date::day_count(2020, 2, 1));
    EXPECT_EQ(date::day_count(0, 3, 1), 0);
    // Years before 1 follow the same leap-year rule, so the count stays one day a day.
    for (int64_t n = -800000; n < 1000; n += 7) {
        date::Ymd d = date::from_day_count(n);
        ASSERT_EQ(date::day_count(d.year, d.month, d.day), n) << n;
        ASSERT_GE(d.day, 1);
        ASSERT_LE(d.day, ref_days_in_month(int(((d.year % 400) + 400) % 400), d.month)) << n;
    }
}

TEST_F(DateMoney, ZoneCarryKeepsTheInstantAndPutsTheLocalTimeInOneDay) {
    std::mt19937_64 gen(42);
    std::uniform_int_distribution<int64_t> days(-100000, 3000000);
    std::uniform_real_distribution<double> secs(-400000.0, 400000.0);
    std::uniform_int_distribution<uint32_t> zones(0, 127);
    for (int i = 0; i < 20000; i++) {
        int64_t n = days(gen);
        double s = std::round(secs(gen));
        uint32_t z = zones(gen);
        date::Carried c = date::carry_zone_days(n, s, z);
        double local = c.seconds + date::zone_seconds(z);
        ASSERT_GE(local, 0.0) << n << " " << s << " zone " << z;
        ASSERT_LT(local, 86400.0) << n << " " << s << " zone " << z;
        ASSERT_EQ(double(c.days - n) * 86400.0 + c.seconds, s) << n << " " << s << " zone " << z;
    }
    EXPECT_EQ(raised_id([] { date::carry_zone_days(0, NAN, 0); }), "type-limit");
    EXPECT_EQ(raised_id([] { date::carry_zone_days(0, 1e300, 0); }), "type-limit");
}

TEST_F(DateMoney, PackingChecksTheRanges) {
    EXPECT_EQ(raised_id([] { date::pack(16384, 1, 1, 0, false); }), "type-limit");
    EXPECT_EQ(raised_id([] { date::pack(-16385, 1, 1, 0, false); }), "type-limit");
    EXPECT_EQ(raised_id([] { date::pack_zone(16, 0, false); }), "out-of-range");
    EXPECT_EQ(raised_id([] { date::pack_zone(1, 60, false); }), "out-of-range");
    uint32_t w = date::pack(-16384, 12, 31, date::pack_zone(15, 45, true), true);
    EXPECT_EQ(date::year_of(w), -16384);
    EXPECT_EQ(date::month_of(w), 12);
    EXPECT_EQ(date::day_of(w), 31);
    EXPECT_TRUE(date::has_time(w));
    EXPECT_EQ(date::zone_seconds(date::zone_of(w)), -(15 * 3600 + 45 * 60));
    // -0:45 keeps its sign; +5:30 packs hours 5 and 2 quarters.
    EXPECT_EQ(date::pack_zone(0, 45, true), 0x40u | 3u);
    EXPECT_EQ(date::pack_zone(5, 30, false), (5u << 2) | 2u);
}

// ---- money! against 128-bit integers ----

namespace {

using i128 = __int128;

constexpr i128 pow10(int k) {
    i128 r = 1;
    while (k--) r *= 10;
    return r;
}
constexpr i128 LIMIT = pow10(22);   // amounts are below 10^17 in units of 10^-5

std::string digits_of(i128 v) {
    if (v == 0) return "0";
    std::string s;
    while (v) {
        s.insert(s.begin(), char('0' + int(v % 10)));
        v /= 10;
    }
    return s;
}

// A money! cell for a scaled amount (|v| < 10^22).
Cell money_of(i128 v, const char* currency = "") {
    bool negative = v < 0;
    i128 a = negative ? -v : v;
    std::string whole = digits_of(a / 100000);
    std::string fraction = digits_of(a % 100000);
    fraction.insert(0, 5 - fraction.size(), '0');
    Cell c;
    EXPECT_TRUE(money::write_cell_from_digits(&c, negative, currency, whole, fraction));
    return c;
}

i128 scaled_of(const Cell* c) {
    i128 v = 0;
    for (int k = 1; k <= money::DIGITS; k++) v = v * 10 + money::digit_at(c, k);
    return money::sign_bit(c) ? -v : v;
}

// A random amount with a random number of digits.
i128 random_amount(std::mt19937_64& gen) {
    int n = int(gen() % 23);
    i128 v = 0;
    for (int i = 0; i < n; i++) v = v * 10 + i128(gen() % 10);
    return (gen() & 1) ? -v : v;
}

struct Outcome {
    std::string error;
    Cell result;
};

Outcome run(const Cell& a, const Cell& b, int action) {
    Cell* saved_base = stack::base;
    Cell* saved_top = stack::top;
    stack::base = stack::top;
    *stack::push() = a;
    *stack::push() = b;
    Outcome o;
    o.error = raised_id([&] { actions::get<actions::StackFn>(type_of(&a), action)(); });
    o.result = *stack::base;
    stack::base = saved_base;
    stack::top = saved_top;
    return o;
}

// The model: "" with the scaled result, or the error id.
struct Expected {
    std::string error;
    i128 value = 0;
};

i128 abs128(i128 v) { return v < 0 ? -v : v; }

Expected model(i128 a, i128 b, int action) {
    Expected e;
    auto limited = [&](i128 r) {
        if (abs128(r) >= LIMIT) e.error = "type-limit";
        else e.value = r;
    };
    switch (action) {
        case ACT_ADD: limited(a + b); break;
        case ACT_SUBTRACT: limited(a - b); break;
        case ACT_MULTIPLY: {
            if (a == 0 || b == 0) break;
            // |a x b| / 10^5 must stay below 10^22: |a x b| below 10^27.
            if (abs128(a) >= (pow10(27) + abs128(b) - 1) / abs128(b)) {
                e.error = "type-limit";
                break;
            }
            i128 r = a * b / 100000;
            if (r == 0) e.error = "type-limit";
            else limited(r);
            break;
        }
        case ACT_DIVIDE: {
            if (b == 0) { e.error = "zero-divide"; break; }
            if (a == 0) break;
            i128 r = a * 100000 / b;
            if (r == 0) e.error = "type-limit";
            else limited(r);
            break;
        }
        case ACT_REMAINDER:
            if (b == 0) { e.error = "zero-divide"; break; }
            e.value = a % b;
            break;
    }
    return e;
}

std::string show(i128 v) { return (v < 0 ? "-" : "") + digits_of(abs128(v)); }

}  // namespace

TEST_F(DateMoney, MoneyArithmeticMatchesTheIntegerModel) {
    std::mt19937_64 gen(2024);
    const int actions_list[] = {ACT_ADD, ACT_SUBTRACT, ACT_MULTIPLY, ACT_DIVIDE, ACT_REMAINDER};
    int failures = 0;
    for (int i = 0; i < 40000 && failures < 20; i++) {
        i128 a = random_amount(gen), b = random_amount(gen);
        int action = actions_list[i % 5];
        // money x money is refused: multiply by an integer amount instead.
        Cell ca = money_of(a), cb = money_of(b);
        i128 model_b = b;
        if (action == ACT_MULTIPLY) {
            int32_t k = int32_t(gen() % 2000001) - 1000000;
            if (gen() % 4 == 0) k = int32_t(gen());
            set_integer(&cb, k);
            model_b = i128(k) * 100000;
        }
        Outcome o = run(ca, cb, action);
        Expected e = model(a, model_b, action);
        bool ok;
        if (!e.error.empty()) {
            ok = o.error == e.error;
        } else if (action == ACT_DIVIDE) {
            // money / money gives the float of the truncated quotient.
            Cell q = money_of(e.value);
            ok = o.error.empty() && type_of(&o.result) == TYPE_FLOAT && float_value(&o.result) == money::to_float(&q);
        } else {
            ok = o.error.empty() && type_of(&o.result) == TYPE_MONEY && scaled_of(&o.result) == e.value;
        }
        if (!ok) {
            failures++;
            ADD_FAILURE() << "action " << action << " of " << show(a) << " and " << show(model_b) << ": expected "
                          << (e.error.empty() ? show(e.value) : e.error) << ", got "
                          << (o.error.empty() ? show(type_of(&o.result) == TYPE_MONEY ? scaled_of(&o.result) : 0) : o.error);
        }
    }
    EXPECT_EQ(failures, 0);
}

TEST_F(DateMoney, MoneyDividesByIntegersAndComparesLikeTheModel) {
    std::mt19937_64 gen(7);
    int failures = 0;
    for (int i = 0; i < 20000 && failures < 20; i++) {
        i128 a = random_amount(gen), b = random_amount(gen);
        Cell ca = money_of(a), cb = money_of(b);
        // Comparison ops: < and = against the model's order.
        bool less = actions::compare(&ca, &cb, actions::OP_LESSER);
        bool equal = actions::compare(&ca, &cb, actions::OP_EQUAL);
        if (less != (a < b) || equal != (a == b)) {
            failures++;
            ADD_FAILURE() << "compare " << show(a) << " " << show(b);
        }
        // Division by a non-zero integer keeps money!.
        int32_t k = int32_t(gen() % 19999) - 9999;
        if (k == 0) k = 7;
        Cell ck;
        set_integer(&ck, k);
        Outcome o = run(ca, ck, ACT_DIVIDE);
        Expected e = model(a, i128(k) * 100000, ACT_DIVIDE);
        bool ok = e.error.empty() ? (o.error.empty() && scaled_of(&o.result) == e.value) : o.error == e.error;
        if (!ok) {
            failures++;
            ADD_FAILURE() << "divide " << show(a) << " by " << k;
        }
    }
    EXPECT_EQ(failures, 0);
}

TEST_F(DateMoney, MoneyConversions) {
    std::mt19937_64 gen(99);
    for (int i = 0; i < 5000; i++) {
        i128 a = random_amount(gen);
        Cell c = money_of(a);
        // to-float: the correctly rounded double of the decimal text.
        std::string text = show(a / 100000) + "." + std::string(5 - digits_of(abs128(a % 100000)).size(), '0') +
                           digits_of(abs128(a % 100000));
        if (a < 0 && a / 100000 == 0) text = "-" + text;
        ASSERT_EQ(money::to_float(&c), std::strtod(text.c_str(), nullptr)) << text;
        // to-integer: truncation toward zero, or type-limit beyond 32 bits.
        i128 whole = a / 100000;
        if (whole > 2147483647 || whole < -i128(2147483648LL)) {
            ASSERT_EQ(raised_id([&] { money::to_integer(&c); }), "type-limit") << text;
        } else {
            ASSERT_EQ(money::to_integer(&c), int32_t(whole)) << text;
        }
    }
    // Integers digit by digit, the most negative one included.
    Cell c;
    for (int32_t n : {0, 1, -1, 99999, 2147483647, -2147483647 - 1}) {
        money::from_integer(&c, n);
        EXPECT_EQ(scaled_of(&c), i128(n) * 100000) << n;
    }
    // Floats: the 22-digit expansion truncated to 5 fraction digits, checked against the C
    // library's exact printing.
    std::uniform_real_distribution<double> mag(-17.0, 17.0);
    for (int i = 0; i < 5000; i++) {
        double x = std::pow(10.0, mag(gen)) * ((gen() & 1) ? -1 : 1);
        if (std::fabs(x) < 1e-5 || std::fabs(x) >= 1e17) continue;
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.21e", std::fabs(x));
        // buf: d.ddd...e+XX with 22 significant digits, correctly rounded.
        std::string sig = std::string(1, buf[0]) + std::string(buf + 2, 21);
        int exp10 = std::atoi(std::strchr(buf, 'e') + 1);
        i128 scaled = 0;
        for (int k = 0; k < 22; k++) {
            int weight = exp10 - k + 5;   // power of ten in units of 10^-5
            if (weight < 0) break;
            scaled += i128(sig[k] - '0') * pow10(weight);
        }
        if (x < 0) scaled = -scaled;
        money::from_float(&c, x, false);
        ASSERT_EQ(scaled_of(&c), scaled) << buf;
    }
    EXPECT_EQ(raised_id([&] { money::from_float(&c, 0.1, true); }), "bad-make-arg");
    EXPECT_EQ(raised_id([&] { money::from_float(&c, 0.25, true); }), "");
    EXPECT_EQ(raised_id([&] { money::from_float(&c, 1e17, false); }), "bad-make-arg");
    EXPECT_EQ(raised_id([&] { money::from_float(&c, 9e-6, false); }), "bad-make-arg");
    EXPECT_EQ(raised_id([&] { money::from_float(&c, NAN, false); }), "bad-make-arg");
    EXPECT_EQ(raised_id([&] { money::from_float(&c, -HUGE_VAL, false); }), "bad-make-arg");
}

TEST_F(DateMoney, MoneyCellLayoutAndCurrencies) {
    Cell c = money_of(i128(123456789) * 100000 + 12345, "usd");
    // byte 4 the currency index, then the 22 digits two per byte, high nibble first
    const uint8_t* b = money::bytes_of(&c);
    EXPECT_EQ(b[4], 155);
    EXPECT_EQ(b[5], 0x00);
    EXPECT_EQ(b[9], 0x12);   // digits 9 and 10
    EXPECT_EQ(b[13], 0x91);  // digits 17 (units) and 18 (tenths)
    EXPECT_EQ(b[15], 0x45);  // digits 21 and 22
    EXPECT_EQ(money::currency_index("EUR"), 47u);
    EXPECT_EQ(money::currency_index("eur"), 47u);
    EXPECT_EQ(money::currency_index("XYZ"), 0u);
    EXPECT_EQ(money::currency_index("US"), 0u);
    Cell d;
    EXPECT_FALSE(money::write_cell_from_digits(&d, false, "XYZ", "1", ""));
    EXPECT_FALSE(money::write_cell_from_digits(&d, false, "", "123456789012345678", ""));
    EXPECT_TRUE(money::write_cell_from_digits(&d, false, "", "0001'234", "123456"));
    EXPECT_EQ(scaled_of(&d), i128(1234) * 100000 + 12345);
    // Different currencies: equality says no, ordering refuses.
    Cell e = money_of(100000, "EUR");
    EXPECT_FALSE(actions::compare(&c, &e, actions::OP_EQUAL));
    EXPECT_EQ(raised_id([&] { actions::compare(&c, &e, actions::OP_LESSER); }), "wrong-denom");
    EXPECT_EQ(run(c, e, ACT_ADD).error, "wrong-denom");
}
