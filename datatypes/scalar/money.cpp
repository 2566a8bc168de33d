// money! (see money.h).
//
// The arithmetic unpacks the 22 digits into a magnitude held least significant digit first
// (index 0 is the fifth fraction digit, index 5 the units) and works digit by digit with
// decimal carries and borrows, long multiplication and long division.
#include "datatypes/scalar/money.h"

#include <cmath>
#include <cstring>
#include <string>

#include "core/actions.h"
#include "core/error.h"
#include "core/memory.h"
#include "core/object.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/word.h"
#include "datatypes/datatypes.h"
#include "datatypes/scalar/datatype.h"
#include "datatypes/scalar/float.h"
#include "datatypes/scalar/float_text.h"
#include "datatypes/scalar/integer.h"
#include "datatypes/scalar/random.h"
#include "core/block.h"
#include "core/cycle_stack.h"
#include "datatypes/series/string.h"
#include "io/lexer.h"

namespace zel::money {

namespace {

using stack::arg;

// A magnitude: DIGITS decimal digits, least significant first.
struct Mag {
    uint8_t d[DIGITS];
};

// The units digit's index in a Mag.
constexpr int UNITS = FRAC_DIGITS;

Mag unpack(const Cell* c) {
    Mag m;
    for (int i = 0; i < DIGITS; i++) m.d[i] = uint8_t(digit_at(c, DIGITS - i));
    return m;
}

void store(Cell* c, bool negative, uint32_t currency, const Mag& m) {
    std::memset(c, 0, sizeof(Cell));
    c->header = TYPE_MONEY | (negative ? SIGN : 0);
    uint8_t* b = reinterpret_cast<uint8_t*>(c);
    b[4] = uint8_t(currency);
    for (int k = 1; k <= DIGITS; k++) {
        uint8_t v = m.d[DIGITS - k];
        b[4 + (k + 1) / 2] |= (k & 1) ? uint8_t(v << 4) : v;
    }
}

bool mag_zero(const Mag& m) {
    for (uint8_t v : m.d)
        if (v) return false;
    return true;
}

// Digits from the most significant non-zero one down to the last (0 for zero).
int significant(const uint8_t* d, int n) {
    for (int i = n - 1; i >= 0; i--)
        if (d[i]) return i + 1;
    return 0;
}

int mag_compare(const Mag& a, const Mag& b) {
    for (int i = DIGITS - 1; i >= 0; i--)
        if (a.d[i] != b.d[i]) return a.d[i] < b.d[i] ? -1 : 1;
    return 0;
}

[[noreturn]] void raise_limit() { error::raise_type(error::ERR_SCRIPT_TYPE_LIMIT, TYPE_MONEY); }

// a + b; overflow of the 22 digits raises type-limit.
Mag mag_add(const Mag& a, const Mag& b) {
    Mag r;
    int carry = 0;
    for (int i = 0; i < DIGITS; i++) {
        int s = a.d[i] + b.d[i] + carry;
        carry = s >= 10;
        r.d[i] = uint8_t(carry ? s - 10 : s);
    }
    if (carry) raise_limit();
    return r;
}

// a - b for a >= b.
Mag mag_sub(const Mag& a, const Mag& b) {
    Mag r;
    int borrow = 0;
    for (int i = 0; i < DIGITS; i++) {
        int s = a.d[i] - b.d[i] - borrow;
        borrow = s < 0;
        r.d[i] = uint8_t(borrow ? s + 10 : s);
    }
    return r;
}

// a x b with the five extra fraction digits dropped.
Mag mag_mul(const Mag& a, const Mag& b) {
    int sa = significant(a.d, DIGITS), sb = significant(b.d, DIGITS);
    // Digits beyond 28 put the product at 10^17 or more.
    if (sa + sb > 28) raise_limit();
    uint32_t p[2 * DIGITS] = {};
    for (int i = 0; i < sa; i++)
        for (int j = 0; j < sb; j++) p[i + j] += uint32_t(a.d[i]) * b.d[j];
    for (int k = 0; k + 1 < 2 * DIGITS; k++) {
        p[k + 1] += p[k] / 10;
        p[k] %= 10;
    }
    for (int k = DIGITS + FRAC_DIGITS; k < 2 * DIGITS; k++)
        if (p[k]) raise_limit();
    Mag r;
    for (int i = 0; i < DIGITS; i++) r.d[i] = uint8_t(p[i + FRAC_DIGITS]);
    return r;
}

// A remainder in long division: up to DIGITS + 1 digits, least significant first.
struct Wide {
    uint8_t d[DIGITS + 1];
};

bool wide_at_least(const Wide& r, const Mag& b) {
    if (r.d[DIGITS]) return true;
    for (int i = DIGITS - 1; i >= 0; i--)
        if (r.d[i] != b.d[i]) return r.d[i] > b.d[i];
    return true;
}

void wide_sub(Wide& r, const Mag& b) {
    int borrow = 0;
    for (int i = 0; i <= DIGITS; i++) {
        int s = r.d[i] - (i < DIGITS ? b.d[i] : 0) - borrow;
        borrow = s < 0;
        r.d[i] = uint8_t(borrow ? s + 10 : s);
    }
}

// Long division of the digits dividend[0..n) (most significant first) by b (not zero):
// quotient digits into q (most significant first), the remainder into rem.
void long_divide(const uint8_t* dividend, int n, const Mag& b, uint8_t* q, Wide& rem) {
    std::memset(&rem, 0, sizeof rem);
    for (int i = 0; i < n; i++) {
        std::memmove(rem.d + 1, rem.d, DIGITS);
        rem.d[0] = dividend[i];
        uint8_t count = 0;
        while (wide_at_least(rem, b)) {
            wide_sub(rem, b);
            count++;
        }
        q[i] = count;
    }
}

// a / b truncated to 5 fraction digits; b is not zero.
Mag mag_div(const Mag& a, const Mag& b) {
    constexpr int N = DIGITS + FRAC_DIGITS;
    uint8_t dividend[N] = {};
    for (int i = 0; i < DIGITS; i++) dividend[i] = a.d[DIGITS - 1 - i];
    uint8_t q[N];
    Wide rem;
    long_divide(dividend, N, b, q, rem);
    for (int i = 0; i < FRAC_DIGITS; i++)
        if (q[i]) raise_limit();
    Mag r;
    for (int i = 0; i < DIGITS; i++) r.d[i] = q[N - 1 - i];
    return r;
}

// What is left of a after taking out the whole multiples of b (b not zero).
Mag mag_rem(const Mag& a, const Mag& b) {
    uint8_t dividend[DIGITS];
    for (int i = 0; i < DIGITS; i++) dividend[i] = a.d[DIGITS - 1 - i];
    uint8_t q[DIGITS];
    Wide rem;
    long_divide(dividend, DIGITS, b, q, rem);
    Mag r;
    std::memcpy(r.d, rem.d, DIGITS);
    return r;
}

// ---- signed amounts ----

struct Amount {
    bool negative;
    uint32_t currency;
    Mag mag;
};

Amount amount_of(const Cell* c) { return Amount{sign_bit(c), currency_of(c), unpack(c)}; }

bool amount_zero(const Amount& a) { return mag_zero(a.mag); }

// a + b with signs; a zero result is positive.
Amount signed_add(const Amount& a, const Amount& b) {
    if (amount_zero(a)) return b;
    if (amount_zero(b)) return a;
    Amount r{a.negative, 0, {}};
    if (a.negative == b.negative) {
        r.mag = mag_add(a.mag, b.mag);
        return r;
    }
    int c = mag_compare(a.mag, b.mag);
    if (c == 0) return Amount{false, 0, {}};
    r.negative = c > 0 ? a.negative : b.negative;
    r.mag = c > 0 ? mag_sub(a.mag, b.mag) : mag_sub(b.mag, a.mag);
    return r;
}

int32_t amount_sign(const Amount& a) { return amount_zero(a) ? 0 : (a.negative ? -1 : 1); }

// Three-way comparison of two amounts (currencies aside).
int32_t amount_compare(const Amount& a, const Amount& b) {
    int32_t sa = amount_sign(a), sb = amount_sign(b);
    if (sa != sb) return sa < sb ? -1 : 1;
    if (sa == 0) return 0;
    int c = mag_compare(a.mag, b.mag);
    return sa < 0 ? -c : c;
}

// ---- the currency list ----

// system/locale/currencies/list, or nullptr when it is not a block.
const Cell* currency_list() {
    const Cell* sys = word::global_value("system");
    if (!sys || type_of(sys) != TYPE_OBJECT) return nullptr;
    const Cell* locale = object::field(sys, symbol::intern("locale"));
    if (!locale || type_of(locale) != TYPE_OBJECT) return nullptr;
    const Cell* currencies = object::field(locale, symbol::intern("currencies"));
    if (!currencies || type_of(currencies) != TYPE_OBJECT) return nullptr;
    const Cell* list = object::field(currencies, symbol::intern("list"));
    return list && type_of(list) == TYPE_BLOCK ? list : nullptr;
}

// The word at a currency index, or nullptr.
const Cell* currency_entry(uint32_t index) {
    const Cell* list = currency_list();
    if (!list || index < 1 || int32_t(index) > block::length(list)) return nullptr;
    const Cell* w = block::head(list) + (index - 1);
    return is_any_word_type(type_of(w)) ? w : nullptr;
}

std::string_view currency_code(uint32_t index) {
    const Cell* w = currency_entry(index);
    return w ? symbol::spelling(word_symbol(w)) : std::string_view();
}

bool same_letters(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = char(x - 32);
        if (y >= 'a' && y <= 'z') y = char(y - 32);
        if (x != y) return false;
    }
    return true;
}

// ---- conversions ----

Amount from_integer_amount(int32_t n) {
    Cell c;
    from_integer(&c, n);
    return amount_of(&c);
}

[[noreturn]] void raise_bad_make(const Cell* value) {
    Cell dt;
    set_datatype(&dt, TYPE_MONEY);
    error::raise(error::ERR_SCRIPT_BAD_MAKE_ARG, &dt, value);
}

}  // namespace

// ---- constructors ----

bool write_cell_from_digits(Cell* c, bool negative, std::string_view currency, std::string_view int_digits,
                            std::string_view fraction_digits) {
    uint32_t index = 0;
    if (!currency.empty()) {
        index = currency_index(currency);
        if (!index) return false;
    }
    std::string whole;
    for (char ch : int_digits) {
        if (ch == '\'') continue;
        if (ch < '0' || ch > '9') return false;
        if (whole.empty() && ch == '0') continue;
        whole += ch;
    }
    if (whole.size() > size_t(INT_DIGITS)) return false;
    Mag m{};
    for (size_t i = 0; i < whole.size(); i++) m.d[UNITS + i] = uint8_t(whole[whole.size() - 1 - i] - '0');
    int k = 0;
    for (char ch : fraction_digits) {
        if (ch == '\'') continue;
        if (ch < '0' || ch > '9') return false;
        if (k < FRAC_DIGITS) m.d[UNITS - 1 - k] = uint8_t(ch - '0');
        k++;
    }
    store(c, negative, index, m);
    return true;
}

void write_cell_raw(Cell* c, bool negative, uint32_t currency, const uint8_t* digit_bytes) {
    std::memset(c, 0, sizeof(Cell));
    c->header = TYPE_MONEY | (negative ? SIGN : 0);
    uint8_t* b = reinterpret_cast<uint8_t*>(c);
    b[4] = uint8_t(currency);
    std::memcpy(b + 5, digit_bytes, 11);
}

void from_integer(Cell* out, int32_t n) {
    // In 64 bits, so that -2147483648 has its magnitude too.
    int64_t v = n;
    bool negative = v < 0;
    if (negative) v = -v;
    Mag m{};
    for (int i = UNITS; v; i++) {
        m.d[i] = uint8_t(v % 10);
        v /= 10;
    }
    store(out, negative, 0, m);
}

void from_float(Cell* out, double x, bool strict) {
    Cell value;
    set_float(&value, x);
    double ax = std::fabs(x);
    if (!std::isfinite(x) || (ax > 0 && ax < 1e-5) || ax >= 1e17) raise_bad_make(&value);
    float_::Digits dg;
    float_::to_digits(x, DIGITS, false, dg);
    Mag m{};
    if (dg.point != float_::POINT_ZERO) {
        // value = 0.digits x 10^point: digit i (0-based) has weight 10^(point - 1 - i).
        int fraction_digits = dg.length - dg.point;
        if (strict && fraction_digits > FRAC_DIGITS) raise_bad_make(&value);
        for (int i = 0; i < dg.length; i++) {
            int exponent = dg.point - 1 - i;
            int index = UNITS + exponent;
            if (index >= DIGITS) raise_bad_make(&value);
            if (index >= 0) m.d[index] = uint8_t(dg.text[i] - '0');
        }
    }
    store(out, x < 0, 0, m);
}

int32_t sign_of(const Cell* c) {
    for (int k = 1; k <= DIGITS; k++)
        if (digit_at(c, k)) return sign_bit(c) ? -1 : 1;
    return 0;
}

int32_t to_integer(const Cell* money) {
    int64_t v = 0;
    for (int k = 1; k <= INT_DIGITS; k++) {
        v = v * 10 + digit_at(money, k);
        if (v > 2147483648LL) break;
    }
    bool negative = sign_bit(money);
    if (v > (negative ? 2147483648LL : 2147483647LL)) error::raise_type(error::ERR_SCRIPT_TYPE_LIMIT, TYPE_INTEGER);
    return int32_t(negative ? -v : v);
}

double to_float(const Cell* money) {
    if (is_zero(money)) return 0.0;
    std::string text;
    for (int k = 1; k <= DIGITS; k++) {
        if (k == INT_DIGITS + 1) text += '.';
        text += char('0' + digit_at(money, k));
    }
    double x = float_::from_text(text.data(), text.data() + text.size(), nullptr);
    return sign_bit(money) ? -x : x;
}

uint32_t currency_index(std::string_view code) {
    const Cell* list = currency_list();
    if (!list || code.size() != 3) return 0;
    int32_t n = block::length(list);
    if (n > int32_t(MAX_CURRENCIES)) n = int32_t(MAX_CURRENCIES);
    const Cell* w = block::head(list);
    for (int32_t i = 0; i < n; i++)
        if (is_any_word_type(type_of(w + i)) && same_letters(symbol::spelling(word_symbol(w + i)), code))
            return uint32_t(i + 1);
    return 0;
}

uint32_t currency_index_of_symbol(uint32_t symbol) { return currency_index(symbol::spelling(symbol)); }

void currency_word(Cell* out, const Cell* money) {
    const Cell* w = currency_entry(currency_of(money));
    if (!w) {
        set_none(out);
        return;
    }
    *out = *w;
    out->header = TYPE_WORD;
}

void set_currency(Cell* c, uint32_t index) { reinterpret_cast<uint8_t*>(c)[4] = uint8_t(index); }

namespace {

// ---- operands ----

// An arithmetic operand as an amount: money! as it is, integer! digit by digit, float! and
// percent! through their decimal expansion (truncated); any other type raises invalid-type.
Amount operand(const Cell* v) {
    switch (type_of(v)) {
        case TYPE_MONEY: return amount_of(v);
        case TYPE_INTEGER: return from_integer_amount(int_value(v));
        case TYPE_FLOAT: case TYPE_PERCENT: {
            Cell c;
            from_float(&c, float_value(v), false);
            return amount_of(&c);
        }
        default: error::raise_type(error::ERR_SCRIPT_INVALID_TYPE, type_of(v));
    }
}

[[noreturn]] void wrong_denom(const Cell* a, const Cell* b) { error::raise(error::ERR_SCRIPT_WRONG_DENOM, a, b); }

// ---- arithmetic ----

enum Op { ADD, SUBTRACT, MULTIPLY, DIVIDE, REMAINDER };

void math(Op op) {
    Cell* a = arg(0);
    Cell* b = arg(1);
    uint32_t ta = type_of(a), tb = type_of(b);
    if (op == MULTIPLY && ta == TYPE_MONEY && tb == TYPE_MONEY) error::raise_type(error::ERR_SCRIPT_INVALID_TYPE, TYPE_MONEY);
    if ((op == DIVIDE || op == REMAINDER) && ta != TYPE_MONEY && tb == TYPE_MONEY)
        error::raise_type(error::ERR_SCRIPT_INVALID_TYPE, ta);
    Amount x = operand(a);
    Amount y = operand(b);
    if (x.currency && y.currency && x.currency != y.currency) wrong_denom(a, b);
    uint32_t currency = y.currency ? y.currency : x.currency;
    Amount r{false, 0, {}};
    switch (op) {
        case ADD: r = signed_add(x, y); break;
        case SUBTRACT: {
            Amount ny = y;
            ny.negative = !ny.negative;
            r = signed_add(x, ny);
            break;
        }
        case MULTIPLY:
            if (amount_zero(x) || amount_zero(y)) break;
            r.mag = mag_mul(x.mag, y.mag);
            if (mag_zero(r.mag)) raise_limit();
            r.negative = x.negative != y.negative;
            break;
        case DIVIDE:
            if (amount_zero(y)) error::raise(error::ERR_MATH_ZERO_DIVIDE);
            if (!amount_zero(x)) {
                r.mag = mag_div(x.mag, y.mag);
                if (mag_zero(r.mag)) raise_limit();
                r.negative = x.negative != y.negative;
            }
            if (ta == TYPE_MONEY && tb == TYPE_MONEY) {
                Cell q;
                store(&q, r.negative, 0, r.mag);
                set_float(a, to_float(&q));
                stack::keep_result_slot();
                return;
            }
            break;
        case REMAINDER:
            if (amount_zero(y)) error::raise(error::ERR_MATH_ZERO_DIVIDE);
            r.mag = mag_rem(x.mag, y.mag);
            r.negative = x.negative && !mag_zero(r.mag);
            break;
    }
    store(a, r.negative && !mag_zero(r.mag), currency, r.mag);
    stack::keep_result_slot();
}

void add() { math(ADD); }
void subtract() { math(SUBTRACT); }
void multiply() { math(MULTIPLY); }
void divide() { math(DIVIDE); }
void remainder() { math(REMAINDER); }

void absolute() {
    arg(0)->header &= ~SIGN;
    stack::keep_result_slot();
}
void negate(Cell* v) { v->header ^= SIGN; }

bool is_even(const Cell* v) { return (digit_at(v, INT_DIGITS) & 1) == 0; }
bool is_odd(const Cell* v) { return (digit_at(v, INT_DIGITS) & 1) != 0; }

// ---- round ----

void round(Cell* v, Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceiling, bool half_ceiling) {
    Amount a = amount_of(v);
    if (amount_zero(a)) {
        stack::keep_result_slot();
        return;
    }
    Mag s;
    if (!scale) {
        s = from_integer_amount(1).mag;
    } else {
        switch (type_of(scale)) {
            case TYPE_MONEY: s = unpack(scale); break;
            case TYPE_INTEGER: s = from_integer_amount(int_value(scale)).mag; break;
            case TYPE_FLOAT: {
                Cell c;
                from_float(&c, float_value(scale), true);
                s = unpack(&c);
                break;
            }
            default: scalar::raise_not_related_calling(type_of(scale));
        }
    }
    if (mag_zero(s)) {
        stack::keep_result_slot();
        return;
    }
    const Mag& m = a.mag;
    Mag r = mag_rem(m, s);
    if (mag_zero(r)) {
        stack::keep_result_slot();
        return;
    }
    Mag lower = mag_sub(m, r);
    Mag gap = mag_sub(s, r);   // what the upper multiple adds
    int c = mag_compare(r, gap);   // r against scale - r: below, a half, above
    // The parity of the quotient m div s: lower / s, exact.
    auto quotient_odd = [&]() {
        uint8_t dividend[DIGITS];
        for (int i = 0; i < DIGITS; i++) dividend[i] = lower.d[DIGITS - 1 - i];
        uint8_t q[DIGITS];
        Wide rest;
        long_divide(dividend, DIGITS, s, q, rest);
        return (q[DIGITS - 1] & 1) != 0;
    };
    bool up;
    if (down) up = false;
    else if (floor) up = a.negative;
    else if (ceiling) up = !a.negative;
    else if (c < 0) up = false;
    else if (c > 0) up = true;
    else if (even) up = quotient_odd();
    else if (half_down) up = false;
    else if (half_ceiling) up = !a.negative;
    else up = true;
    Mag result = up ? mag_add(m, gap) : lower;
    store(v, a.negative && !mag_zero(result), a.currency, result);
    stack::keep_result_slot();
}

// ---- make and to ----

void from_text(Cell* out, Cell* spec) {
    const SeriesBuf* b = memory::buf(series_node(spec));
    int32_t head = series_head(spec);
    int32_t count = int32_t(b->length()) - head;
    int32_t err = lexer::SCAN_INVALID;
    if (count > 0) lexer::scan_money_string(out, b->data() + size_t(head) * b->unit(), size_t(count), b->unit(), &err);
    if (err != lexer::SCAN_OK) scalar::raise_bad_to(TYPE_MONEY, spec);
}

void convert(Cell* out, Cell* spec) {
    uint32_t t = type_of(spec);
    switch (t) {
        case TYPE_MONEY: *out = *spec; return;
        case TYPE_INTEGER: from_integer(out, int_value(spec)); return;
        case TYPE_FLOAT: from_float(out, float_value(spec), true); return;
        default:
            if (is_text_type(t)) return from_text(out, spec);
            scalar::raise_bad_to(TYPE_MONEY, spec);
    }
}

// [currency amount fraction]: see make.
void from_spec(Cell* out, Cell* spec) {
    int32_t n = block::length(spec);
    const Cell* v = block::head(spec);
    int32_t i = 0;
    uint32_t currency = 0;
    if (n >= 1 && type_of(v) == TYPE_WORD) {
        currency = currency_index_of_symbol(word_symbol(v));
        if (!currency || n < 2) raise_bad_make(spec);
        i = 1;
    }
    if (i >= n || n - i > 2) raise_bad_make(spec);
    const Cell* amount = v + i;
    if (type_of(amount) == TYPE_FLOAT) {
        if (n - i != 1) raise_bad_make(spec);
        from_float(out, float_value(amount), true);
    } else if (type_of(amount) == TYPE_INTEGER) {
        from_integer(out, int_value(amount));
        if (n - i == 2) {
            const Cell* f = amount + 1;
            if (type_of(f) != TYPE_INTEGER || int_value(f) < 0 || int_value(f) > MAX_FRACTION) raise_bad_make(spec);
            Mag m = unpack(out);
            int32_t fraction = int_value(f);
            for (int k = 0; k < FRAC_DIGITS; k++) {
                m.d[k] = uint8_t(fraction % 10);
                fraction /= 10;
            }
            store(out, int_value(amount) < 0, 0, m);
        }
    } else {
        raise_bad_make(spec);
    }
    set_currency(out, currency);
}

void make(Cell* out, Cell*, Cell* spec, uint32_t) {
    switch (type_of(spec)) {
        case TYPE_WORD: {
            uint32_t index = currency_index_of_symbol(word_symbol(spec));
            if (!index) raise_bad_make(spec);
            store(out, false, index, Mag{});
            return;
        }
        case TYPE_BLOCK: from_spec(out, spec); return;
        default: convert(out, spec); return;
    }
}

void to(Cell* out, Cell*, Cell* spec, uint32_t) { convert(out, spec); }

// ---- random ----

void draw_random(Cell* v, bool seed, bool secure, bool) {
    if (seed) {
        random::seed((v->header & SIGN) ^ data_word(v, 0) ^ data_word(v, 1) ^ data_word(v, 2));
        set_unset(v);
        return;
    }
    auto draw = [secure]() { return uint32_t(secure ? random::secure_draw() : random::draw()); };
    Amount a = amount_of(v);
    bool below = false;   // once a digit fell below its bound, the rest are free
    for (int i = DIGITS - 1; i >= 0; i--) {
        uint8_t d = a.mag.d[i];
        if (!below && d == 0 && significant(a.mag.d, DIGITS) <= i) continue;   // leading zeros stay
        if (below) {
            a.mag.d[i] = uint8_t(draw() % 10);
            continue;
        }
        for (;;) {
            uint8_t r = uint8_t(draw() % (d + 1u));
            if (r < d) {
                a.mag.d[i] = r;
                below = true;
                break;
            }
            // Staying on the bound is kept only rarely, so that the amount itself is seldom drawn.
            if (draw() % 1000 == draw() % 1000) break;
        }
    }
    store(v, a.negative, a.currency, a.mag);
}

// ---- form and mold ----

// system/options/money-digits when it is an integer, else 2.
int32_t shown_fraction_digits() {
    const Cell* sys = word::global_value("system");
    if (!sys || type_of(sys) != TYPE_OBJECT) return 2;
    const Cell* options = object::field(sys, symbol::intern("options"));
    if (!options || type_of(options) != TYPE_OBJECT) return 2;
    const Cell* n = object::field(options, symbol::intern("money-digits"));
    return n && type_of(n) == TYPE_INTEGER ? int_value(n) : 2;
}

std::string text_of(const Cell* v, bool separators, bool all) {
    std::string t;
    if (is_negative(v)) t += '-';
    t += currency_code(currency_of(v));
    t += '$';
    int first = 1;
    while (first <= INT_DIGITS && digit_at(v, first) == 0) first++;
    if (first > INT_DIGITS) {
        t += '0';
    } else {
        for (int p = first; p <= INT_DIGITS; p++) {
            t += char('0' + digit_at(v, p));
            if (separators && (p + 1) % 3 == 0 && p != INT_DIGITS) t += '\'';
        }
    }
    int32_t n = shown_fraction_digits();
    if (n >= 6 || all) n = FRAC_DIGITS;
    if (n > 0) {
        t += '.';
        int last = INT_DIGITS + n;
        for (int p = INT_DIGITS + 1; p <= last; p++) {
            t += char('0' + digit_at(v, p));
            // A separator follows the third fraction digit whenever that digit is shown.
            if (separators && (p + 1) % 3 == 0) t += '\'';
        }
    }
    return t;
}

int32_t form(const Cell* v, uint32_t buffer, const Cell*, int32_t budget) {
    return scalar::emit(buffer, text_of(v, true, false), budget);
}
int32_t mold(const Cell* v, uint32_t buffer, bool, bool all, bool, const Cell*, int32_t budget, int32_t) {
    return scalar::emit(buffer, text_of(v, false, all), budget);
}

// ---- compare ----

// The ordering of two currencies for sort: none first, then the codes alphabetically.
int32_t currency_order(uint32_t a, uint32_t b) {
    if (a == b) return 0;
    if (!a) return -1;
    if (!b) return 1;
    int c = currency_code(a).compare(currency_code(b));
    if (c == 0) return a < b ? -1 : 1;
    return c < 0 ? -1 : 1;
}

bool is_equality(int32_t op) {
    return op == actions::OP_EQUAL || op == actions::OP_NOT_EQUAL || op == actions::OP_EQUAL_LIT;
}
bool is_strict(int32_t op) {
    return op == actions::OP_STRICT_EQUAL || op == actions::OP_SAME || op == actions::OP_STRICT_LIT;
}

int32_t compare_money(const Cell* a, const Cell* b, int32_t op) {
    Amount x = amount_of(a), y = amount_of(b);
    uint32_t ca = x.currency, cb = y.currency;
    if (op == actions::OP_SORT || op == actions::OP_CASE_SORT) {
        int32_t c = currency_order(ca, cb);
        return c ? c : amount_compare(x, y);
    }
    if (is_strict(op) || (op == actions::OP_FIND && cb)) {
        if (ca != cb) return 1;
        return amount_compare(x, y) == 0 ? 0 : 1;
    }
    bool compatible = !ca || !cb || ca == cb;
    if (is_equality(op) || op == actions::OP_FIND) {
        if (!compatible) return 1;
        return amount_compare(x, y) == 0 ? 0 : 1;
    }
    if (!compatible) {
        cycle::reset();
        wrong_denom(a, b);
    }
    return amount_compare(x, y);
}

int32_t compare(const Cell* a, const Cell* b, int32_t op) {
    uint32_t tb = type_of(b);
    if ((op == actions::OP_STRICT_EQUAL || op == actions::OP_SAME || op == actions::OP_FIND ||
         op == actions::OP_STRICT_LIT) && tb != TYPE_MONEY)
        return 1;
    switch (tb) {
        case TYPE_MONEY: return compare_money(a, b, op);
        case TYPE_INTEGER: {
            Cell c;
            from_integer(&c, int_value(b));
            return compare_money(a, &c, op);
        }
        case TYPE_FLOAT: case TYPE_PERCENT: {
            double x = float_value(b);
            if (!std::isnan(x)) {
                // The signs decide first; floats too small or too large for money! then compare
                // by magnitude.
                int32_t sm = sign_of(a);
                int32_t sx = (x > 0) - (x < 0);
                if (sm != sx) return sm < sx ? -1 : 1;
                if (sm == 0) return 0;
                double ax = std::fabs(x);
                if (ax < 1e-5) return sm;
                if (ax >= 1e17) return -sm;
            }
            Cell c;
            from_float(&c, x, true);
            return compare_money(a, &c, op);
        }
        default:
            return -2;
    }
}

// ---- paths ----

uint32_t code_symbol, amount_symbol;

// 1 code, 2 amount, 0 anything else.
int32_t field_of(const Cell* e) {
    if (type_of(e) == TYPE_INTEGER) {
        int32_t n = int_value(e);
        return n == 1 || n == 2 ? n : 0;
    }
    if (scalar::is_field(e, code_symbol, "code")) return 1;
    if (scalar::is_field(e, amount_symbol, "amount")) return 2;
    return 0;
}

void read_field(Cell* out, const Cell* v, int32_t n) {
    if (n == 1) {
        currency_word(out, v);
        return;
    }
    *out = *v;
    set_currency(out, 0);
}

void eval_path(Cell* out, Cell* parent, Cell* element, Cell* value, const actions::PathStep& step) {
    const Cell* where = step.path ? step.path : parent;
    int32_t n = field_of(element);
    if (!n) error::raise(error::ERR_SCRIPT_INVALID_PATH, where, element);
    if (value) error::raise(error::ERR_SCRIPT_BAD_PATH_SET, where, element);
    read_field(out, parent, n);
}

void pick(Cell* out, Cell* v, int32_t, Cell* index) {
    int32_t n = field_of(index);
    if (!n) error::raise(error::ERR_SCRIPT_OUT_OF_RANGE, index);
    read_field(out, v, n);
}

}  // namespace
}  // namespace zel::money

namespace zel::datatypes {

void register_money() {
    using namespace money;
    actions::TypeSpec spec{TYPE_MONEY, {}};
    actions::put(spec, ACT_MAKE, &money::make);
    actions::put(spec, ACT_RANDOM, &draw_random);
    actions::put(spec, ACT_TO, &money::to);
    actions::put(spec, ACT_FORM, &money::form);
    actions::put(spec, ACT_MOLD, &money::mold);
    actions::put(spec, ACT_EVAL_PATH, &money::eval_path);
    actions::put(spec, ACT_COMPARE, &money::compare);
    actions::put(spec, ACT_ABSOLUTE, &money::absolute);
    actions::put(spec, ACT_ADD, &money::add);
    actions::put(spec, ACT_DIVIDE, &money::divide);
    actions::put(spec, ACT_MULTIPLY, &money::multiply);
    actions::put(spec, ACT_NEGATE, &money::negate);
    actions::put(spec, ACT_REMAINDER, &money::remainder);
    actions::put(spec, ACT_ROUND, &money::round);
    actions::put(spec, ACT_SUBTRACT, &money::subtract);
    actions::put(spec, ACT_EVEN_Q, &money::is_even);
    actions::put(spec, ACT_ODD_Q, &money::is_odd);
    actions::put(spec, ACT_PICK, &money::pick);
    actions::register_type(spec);
}

}  // namespace zel::datatypes
