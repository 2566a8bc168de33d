// Loaders of the number-like token classes (integer, hexadecimal, float, special float,
// percent, tuple, pair, point, time, date, money) and the number scanning from strings that
// the to-conversions use without running the lexer.
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "datatypes/scalar/float_text.h"
#include "io/lexer_internal.h"
#include "io/lexer_scalars.h"

namespace zel::lexer {

namespace {

inline bool is_digit(uint8_t c) { return c >= '0' && c <= '9'; }

double quiet_nan() {
    uint64_t bits = 0x7FF8000000000000ull;
    double d;
    std::memcpy(&d, &bits, 8);
    return d;
}

// Removes ' separators into buf (at most 320 bytes); returns the length.
size_t strip_separators(const uint8_t* text, size_t n, char* buf) {
    size_t k = 0;
    for (size_t i = 0; i < n && k < 320; i++)
        if (text[i] != '\'') buf[k++] = char(text[i]);
    return k;
}

// A decimal integer with optional sign and ' separators (not two in a row), as integer
// literals are read. Returns false for any other text; big values saturate in 64 bits.
bool read_integer(const uint8_t* t, size_t n, int64_t& value, size_t& digits) {
    size_t i = 0;
    bool neg = false;
    if (i < n && (t[i] == '+' || t[i] == '-')) neg = t[i++] == '-';
    int64_t v = 0;
    digits = 0;
    bool sep = false;
    for (; i < n; i++) {
        uint8_t c = t[i];
        if (is_digit(c)) {
            if (v < 100000000000LL) v = v * 10 + (c - '0');
            digits++;
            sep = false;
        } else if (c == '\'' && !sep && digits > 0) {
            sep = true;
        } else {
            return false;
        }
    }
    if (digits == 0) return false;
    value = neg ? -v : v;
    return true;
}

// ---- loaders ----

void load_float(State& s, size_t start, size_t end, uint32_t, bool load) {
    s.pos = end;
    if (!is_float_syntax(s.text + start, end - start)) throw_error(s, start, TYPE_FLOAT);
    char buf[320];
    size_t n = strip_separators(s.text + start, end - start, buf);
    double d = text_to_double(buf, buf + n);
    if (!load) return;
    Cell v;
    set_float(&v, d);
    append_value(s, v);
}

void load_integer(State& s, size_t start, size_t end, uint32_t flags, bool load) {
    s.pos = end;
    size_t i = start;
    bool neg = false;
    if (s.text[i] == '+' || s.text[i] == '-') neg = s.text[i++] == '-';
    int64_t v = 0;
    size_t digits = 0;
    bool sep = false;
    for (; i < end; i++) {
        uint8_t c = s.text[i];
        if (is_digit(c)) {
            if (v < 100000000000LL) v = v * 10 + (c - '0');
            digits++;
            sep = false;
        } else if (c == '\'' && !sep) {
            sep = true;
        } else {
            throw_error(s, start, TYPE_INTEGER);
        }
    }
    if (digits == 0) throw_error(s, start, TYPE_INTEGER);
    bool fits = digits <= 10 && (neg ? v <= 2147483648LL : v <= 2147483647LL);
    if (!fits) {
        // Too big for an integer: the same text is a float.
        s.token_type = TYPE_FLOAT;
        load_float(s, start, end, flags, load);
        return;
    }
    if (!load) return;
    Cell c;
    set_integer(&c, int32_t(neg ? -v : v));
    append_value(s, c);
}

// 0FFh, FFh: two to eight upper-case hexadecimal digits before the h.
void load_hex(State& s, size_t start, size_t end, uint32_t, bool load) {
    s.pos = end;
    size_t n = end - start - 1;
    if (n == 1 && !is_digit(s.text[start])) throw_error(s, start, TYPE_WORD);
    if (n < 2 || n > 8) throw_error(s, start, TYPE_INTEGER);
    uint32_t v = 0;
    for (size_t i = start; i < end - 1; i++) {
        uint8_t c = s.text[i];
        uint32_t d;
        if (is_digit(c)) d = c - '0';
        else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else throw_error(s, start, TYPE_INTEGER);
        v = (v << 4) | d;
    }
    if (!load) return;
    Cell c;
    set_integer(&c, int32_t(v));
    append_value(s, c);
}

// 12%, 1.5%: the number before the %, divided by 100 exactly (its exponent lowered by 2).
void load_percent(State& s, size_t start, size_t end, uint32_t, bool load) {
    s.pos = end + 1;
    if (!is_float_syntax(s.text + start, end - start)) throw_error(s, start, TYPE_FLOAT);
    char buf[340];
    size_t n = strip_separators(s.text + start, end - start, buf);
    int64_t exponent = 0;
    size_t mantissa = n;
    for (size_t i = 0; i < n; i++) {
        if (buf[i] == 'e' || buf[i] == 'E') {
            mantissa = i;
            size_t j = i + 1;
            bool neg = j < n && buf[j] == '-';
            if (j < n && (buf[j] == '-' || buf[j] == '+')) j++;
            for (; j < n; j++)
                if (exponent < 100000000) exponent = exponent * 10 + (buf[j] - '0');
            if (neg) exponent = -exponent;
            break;
        }
    }
    std::string text(buf, mantissa);
    text += 'e';
    text += std::to_string(exponent - 2);
    double d = text_to_double(text.data(), text.data() + text.size());
    if (!load) return;
    Cell v;
    set_float_bits(&v, TYPE_PERCENT, d);
    append_value(s, v);
}

// 1.#INF, -1.#INF, 1.#NaN in any letter case.
void load_special_float(State& s, size_t start, size_t end, uint32_t, bool load) {
    s.pos = end;
    size_t p = start;
    bool neg = false;
    if (s.text[p] == '+' || s.text[p] == '-') neg = s.text[p++] == '-';
    if (end - p != 6 || s.text[p] != '1' || s.text[p + 1] != '.' || s.text[p + 2] != '#')
        throw_error(s, start, TYPE_FLOAT);
    char w[3];
    for (int i = 0; i < 3; i++) {
        uint8_t c = s.text[p + 3 + i];
        w[i] = char(c >= 'A' && c <= 'Z' ? c + 32 : c);
    }
    double d;
    if (std::memcmp(w, "inf", 3) == 0) d = neg ? -std::numeric_limits<double>::infinity()
                                               : std::numeric_limits<double>::infinity();
    else if (std::memcmp(w, "nan", 3) == 0) d = quiet_nan();
    else throw_error(s, start, TYPE_FLOAT);
    if (!load) return;
    Cell v;
    set_float(&v, d);
    append_value(s, v);
}

// 1.2.3: three to twelve parts of 0-255.
void load_tuple(State& s, size_t start, size_t end, uint32_t, bool load) {
    s.pos = end;
    uint8_t bytes[12];
    uint32_t n = 0;
    int v = -1;
    for (size_t p = start; p < end; p++) {
        uint8_t c = s.text[p];
        if (is_digit(c)) {
            v = (v < 0 ? 0 : v) * 10 + (c - '0');
            if (v > 255) throw_error(s, start, TYPE_TUPLE);
        } else if (c == '.' && v >= 0 && n < 12) {
            bytes[n++] = uint8_t(v);
            v = -1;
        } else {
            throw_error(s, start, TYPE_TUPLE);
        }
    }
    if (v < 0 || n >= 12) throw_error(s, start, TYPE_TUPLE);
    bytes[n++] = uint8_t(v);
    if (n < 3) throw_error(s, start, TYPE_TUPLE);
    if (!load) return;
    Cell c;
    make_tuple(&c, bytes, n);
    append_value(s, c);
}

// 10x20: two integers around x or X.
void load_pair(State& s, size_t start, size_t end, uint32_t flags, bool load) {
    s.pos = end;
    if (flags & FLAG_DOT) throw_error(s, start, TYPE_PAIR);
    size_t x = start + 1;
    while (x < end && s.text[x] != 'x' && s.text[x] != 'X') x++;
    int64_t a, b;
    size_t digits;
    if (x >= end || !read_integer(s.text + start, x - start, a, digits) ||
        !read_integer(s.text + x + 1, end - x - 1, b, digits) || a < INT32_MIN || a > INT32_MAX ||
        b < INT32_MIN || b > INT32_MAX)
        throw_error(s, start, TYPE_PAIR);
    if (!load) return;
    Cell c;
    make_pair(&c, int32_t(a), int32_t(b));
    append_value(s, c);
}

// One number of a point: a special float when it holds #, else a float text.
double point_number(State& s, size_t a, size_t b, size_t start) {
    if (b - a >= 313 || a == b) throw_error(s, start, TYPE_FLOAT);
    bool special = false;
    for (size_t p = a; p < b; p++) special |= s.text[p] == '#';
    if (special) {
        size_t p = a;
        bool neg = false;
        if (s.text[p] == '+' || s.text[p] == '-') neg = s.text[p++] == '-';
        if (b - p == 6 && s.text[p] == '1' && s.text[p + 1] == '.' && s.text[p + 2] == '#') {
            char w[3];
            for (int i = 0; i < 3; i++) {
                uint8_t c = s.text[p + 3 + i];
                w[i] = char(c >= 'A' && c <= 'Z' ? c + 32 : c);
            }
            if (std::memcmp(w, "inf", 3) == 0)
                return neg ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
            if (std::memcmp(w, "nan", 3) == 0) return quiet_nan();
        }
        throw_error(s, start, TYPE_FLOAT);
    }
    if (!is_float_syntax(s.text + a, b - a)) throw_error(s, start, TYPE_FLOAT);
    char buf[320];
    size_t n = strip_separators(s.text + a, b - a, buf);
    return text_to_double(buf, buf + n);
}

// (1, 2) and (1, 2, 3): the token is the text between the parentheses.
void load_point(State& s, size_t start, size_t end, uint32_t, bool load) {
    s.pos = end + 1;
    s.start_state = in_path(s) ? START_PATH : START_TOKEN;
    size_t err_at = start > 0 ? start - 1 : start;   // report from the opening parenthesis
    double c[3];
    int k = 0;
    size_t p = start;
    auto blanks = [&] {
        while (p < end && (s.text[p] == ' ' || s.text[p] == '\t')) p++;
    };
    for (;;) {
        blanks();
        size_t a = p;
        while (p < end && s.text[p] != ',' && s.text[p] != ' ' && s.text[p] != '\t') p++;
        c[k++] = point_number(s, a, p, err_at);
        blanks();
        if (p >= end) break;
        if (s.text[p] != ',') throw_error(s, err_at, k >= 3 ? TYPE_POINT3D : TYPE_POINT2D);
        if (k == 3) throw_error(s, err_at, TYPE_POINT3D);
        p++;
    }
    if (k < 2) throw_error(s, err_at, TYPE_POINT2D);
    if (k == 3) s.token_type = TYPE_POINT3D;
    if (!load) return;
    Cell v;
    if (k == 2) make_point2d(&v, c[0], c[1]);
    else make_point3d(&v, c[0], c[1], c[2]);
    append_value(s, v);
}

// Seconds: digits with an optional fraction (no exponent).
bool read_seconds(const uint8_t* t, size_t n, double& out) {
    if (n == 0 || n > 312) return false;
    char buf[320];
    size_t k = 0;
    bool point = false;
    for (size_t i = 0; i < n; i++) {
        uint8_t c = t[i];
        if (is_digit(c)) buf[k++] = char(c);
        else if ((c == '.' || c == ',') && !point) point = true, buf[k++] = '.';
        else return false;
    }
    if (!is_float_syntax(reinterpret_cast<const uint8_t*>(buf), k)) return false;
    out = text_to_double(buf, buf + k);
    return true;
}

// 10:30, 1:2:3.5, 1:30.5 (minutes and seconds), -0:01.
void load_time(State& s, size_t start, size_t end, uint32_t, bool load) {
    s.pos = end;
    size_t p = start;
    bool neg = false;
    if (s.text[p] == '+' || s.text[p] == '-') neg = s.text[p++] == '-';
    int64_t first = 0;
    size_t digits = 0;
    for (; p < end && (is_digit(s.text[p]) || s.text[p] == '\''); p++) {
        if (s.text[p] == '\'') continue;
        first = first * 10 + (s.text[p] - '0');
        digits++;
        if (first > INT32_MAX) throw_error(s, start, TYPE_TIME);
    }
    if (digits == 0 || p >= end || s.text[p] != ':') throw_error(s, start, TYPE_TIME);
    size_t second_at = ++p;
    int64_t second = 0;
    for (; p < end && is_digit(s.text[p]); p++) {
        second = second * 10 + (s.text[p] - '0');
        if (second > INT32_MAX) throw_error(s, start, TYPE_TIME);
    }
    if (p == second_at) throw_error(s, start, TYPE_TIME);
    double hours, minutes, seconds = 0;
    if (p < end && (s.text[p] == '.' || s.text[p] == ',')) {
        // The two fields are minutes and seconds.
        hours = 0;
        minutes = double(first);
        if (!read_seconds(s.text + second_at, end - second_at, seconds)) throw_error(s, start, TYPE_TIME);
    } else {
        hours = double(first);
        minutes = double(second);
        if (p < end) {
            if (s.text[p] != ':' || p + 1 >= end) throw_error(s, start, TYPE_TIME);
            p++;
            if (!read_seconds(s.text + p, end - p, seconds)) throw_error(s, start, TYPE_TIME);
        }
    }
    double total = hours * 3600 + minutes * 60 + seconds;
    if (neg) total = -total;
    if (!load) return;
    Cell v;
    make_time(&v, total);
    append_value(s, v);
}

// ---- dates ----

bool leap_year(int32_t y) { return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0); }

int32_t days_in_month(int32_t y, int32_t m) {
    static const int8_t days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && leap_year(y) ? 29 : days[m - 1];
}

struct DateReader {
    State& s;
    size_t p, end, start;

    [[noreturn]] void fail() { throw_error(s, start, TYPE_DATE); }
    bool more() const { return p < end; }
    uint8_t peek(size_t k = 0) const { return p + k < end ? s.text[p + k] : 0; }
    // Up to max digits (at least min); their value.
    int32_t digits(int min, int max, int* count = nullptr) {
        int32_t v = 0;
        int n = 0;
        while (n < max && more() && is_digit(peek())) {
            v = v * 10 + (s.text[p++] - '0');
            n++;
        }
        if (n < min) fail();
        if (count) *count = n;
        return v;
    }
    void expect(uint8_t c) {
        if (peek() != c) fail();
        p++;
    }
    // Seconds with an optional fraction.
    double seconds() {
        size_t a = p;
        digits(1, 2);
        if (peek() == '.') {
            p++;
            while (more() && is_digit(peek())) p++;
        }
        double v;
        if (!read_seconds(s.text + a, p - a, v)) fail();
        return v;
    }
    // Z, or a zone +hh, +hh:mm, +hhmm (also -).
    void zone(DateFields& d) {
        if (peek() == 'Z' || peek() == 'z') {
            p++;
            d.has_zone = true;
            return;
        }
        if (peek() != '+' && peek() != '-') return;
        bool neg = s.text[p++] == '-';
        int32_t h = digits(1, 2);
        int32_t m = 0;
        if (peek() == ':') {
            p++;
            m = digits(1, 2);
        } else if (is_digit(peek())) {
            m = digits(2, 2);
        }
        d.has_zone = true;
        d.zone_hours = neg ? -h : h;
        d.zone_minutes = neg ? -m : m;
    }
    // hh:mm[:ss[.fff]] then an optional zone.
    void time(DateFields& d) {
        int32_t h = digits(1, 2);
        expect(':');
        int32_t m = digits(1, 2);
        double sec = 0;
        if (peek() == ':') {
            p++;
            sec = seconds();
        }
        if (h > 23 || m > 59 || sec >= 60) fail();
        d.has_time = true;
        d.seconds = h * 3600.0 + m * 60.0 + sec;
        zone(d);
    }
    int32_t month_name() {
        static const char* const months[12] = {"january", "february", "march", "april", "may",
                                               "june", "july", "august", "september", "october",
                                               "november", "december"};
        size_t a = p;
        while (more() && ((peek() | 0x20) >= 'a' && (peek() | 0x20) <= 'z')) p++;
        size_t n = p - a;
        if (n < 3 || n > 9) fail();
        for (int m = 0; m < 12; m++) {
            const char* name = months[m];
            if (std::strlen(name) < n) continue;
            bool same = true;
            for (size_t i = 0; i < n && same; i++) same = char(s.text[a + i] | 0x20) == name[i];
            if (same) return m + 1;
        }
        fail();
    }
};

void load_date(State& s, size_t start, size_t end, uint32_t, bool load) {
    s.pos = end;
    DateReader r{s, start, end, start};
    DateFields d;
    int sign = 1;
    if (r.peek() == '+' || r.peek() == '-') sign = s.text[r.p++] == '-' ? -1 : 1;
    int n1;
    int32_t first = r.digits(1, 4, &n1);
    if (n1 == 4 && is_digit(r.peek())) {
        // Basic ISO form: yyyymmddThhmm[ss[.f]][Z|zone].
        d.year = sign * first;
        d.month = r.digits(2, 2);
        d.day = r.digits(2, 2);
        if (r.peek() != 'T' && r.peek() != 't') r.fail();
        r.p++;
        int32_t h = r.digits(2, 2);
        int32_t m = r.digits(2, 2);
        double sec = 0;
        if (is_digit(r.peek())) sec = r.seconds();
        if (h > 23 || m > 59 || sec >= 60) r.fail();
        d.has_time = true;
        d.seconds = h * 3600.0 + m * 60.0 + sec;
        r.zone(d);
    } else if (n1 == 4 && r.peek() == '-' && (r.peek(1) == 'W' || r.peek(1) == 'w')) {
        // ISO week date: yyyy-Www[-d][Thh:mm...].
        r.p += 2;
        d.form = DateFields::WEEK;
        d.year = sign * first;
        d.week = r.digits(2, 2);
        if (r.peek() == '-') {
            r.p++;
            d.weekday = r.digits(1, 1);
            if (d.weekday < 1 || d.weekday > 7) r.fail();
        }
        if (d.week < 1 || d.week > 53) r.fail();
        if (r.peek() == 'T' || r.peek() == 't') {
            r.p++;
            r.time(d);
        }
    } else if (r.peek() == '-' && is_digit(r.peek(1)) && is_digit(r.peek(2)) && is_digit(r.peek(3)) &&
               !is_digit(r.peek(4))) {
        // Ordinal date: yyyy-ddd[Thh:mm...].
        r.p++;
        d.form = DateFields::ORDINAL;
        d.year = sign * first;
        d.yearday = r.digits(3, 3);
        if (d.yearday < 1 || d.yearday > (leap_year(d.year) ? 366 : 365)) r.fail();
        if (r.peek() == 'T' || r.peek() == 't') {
            r.p++;
            r.time(d);
        }
    } else {
        uint8_t sep = r.peek();
        if (sep != '-' && sep != '/') r.fail();
        r.p++;
        int32_t month = is_digit(r.peek()) ? r.digits(1, 2) : r.month_name();
        r.expect(sep);
        int n3;
        int32_t third = r.digits(1, 9, &n3);
        int year_digits;
        if (first > 99 && third <= 31) {
            d.year = sign * first;
            d.day = third;
            year_digits = n1;
        } else {
            if (sign < 0) r.fail();
            d.day = first;
            d.year = third;
            year_digits = n3;
        }
        if (year_digits <= 2 && d.year >= 0 && d.year < 100) d.year += d.year > 49 ? 1900 : 2000;
        d.month = month;
        if (r.peek() == '/' || r.peek() == 'T' || r.peek() == 't') {
            r.p++;
            r.time(d);
        }
    }
    if (r.more()) r.fail();
    if (d.year < -9999 || d.year > 9999) r.fail();
    if (d.form == DateFields::CALENDAR) {
        if (d.month < 1 || d.month > 12) r.fail();
        if (d.day < 1 || d.day > days_in_month(d.year, d.month)) r.fail();
    }
    if (d.zone_hours < -15 || d.zone_hours > 15 || d.zone_minutes < -59 || d.zone_minutes > 59) r.fail();
    if (!load) return;
    Cell v;
    make_date(&v, d);
    append_value(s, v);
}

// ---- money ----

// The validated parts of a money text.
struct MoneyParts {
    bool negative = false;
    std::string currency;
    std::string integer;    // without leading zeros and separators
    std::string fraction;
};

// $1.50, USD$1'000.50, -$5: the lexer's form (the $ is required).
bool parse_money_literal(const uint8_t* t, size_t n, MoneyParts& m) {
    size_t p = 0;
    if (p < n && (t[p] == '+' || t[p] == '-')) m.negative = t[p++] == '-';
    size_t dollar = p;
    while (dollar < n && t[dollar] != '$') dollar++;
    if (dollar >= n) return false;
    size_t code = dollar - p;
    if (code != 0 && code != 3) return false;
    m.currency.assign(reinterpret_cast<const char*>(t + p), code);
    p = dollar + 1;
    if (p >= n || !is_digit(t[p])) return false;
    bool sep = false;
    for (; p < n && t[p] != '.' && t[p] != ','; p++) {
        if (is_digit(t[p])) {
            if (!(m.integer.empty() && t[p] == '0')) m.integer += char(t[p]);
            sep = false;
        } else if (t[p] == '\'' && !sep) {
            sep = true;
        } else {
            return false;
        }
    }
    if (sep && p >= n) return false;   // a separator may not end the text
    if (p < n) {
        if (++p >= n) return false;    // nor may the decimal mark
        // Separators may stand between fraction digits, never right after the mark.
        sep = true;
        for (; p < n; p++) {
            if (is_digit(t[p])) {
                m.fraction += char(t[p]);
                sep = false;
            } else if (t[p] == '\'' && !sep && p + 1 < n) {
                sep = true;
            } else {
                return false;
            }
        }
    }
    return m.integer.size() <= 18 && m.fraction.size() <= 5;
}

void load_money(State& s, size_t start, size_t end, uint32_t, bool load) {
    s.pos = end;
    MoneyParts m;
    if (!parse_money_literal(s.text + start, end - start, m)) throw_error(s, start, TYPE_MONEY);
    if (!load) return;
    Cell v;
    if (!make_money(&v, m.negative, m.currency, m.integer, m.fraction)) throw_error(s, start, TYPE_MONEY);
    append_value(s, v);
}

// Reads the characters of a string buffer at its unit size.
inline uint32_t unit_char(const uint8_t* first, size_t i, uint32_t unit) {
    switch (unit) {
        case 1: return first[i];
        case 2: { uint16_t c; std::memcpy(&c, first + i * 2, 2); return c; }
        default: { uint32_t c; std::memcpy(&c, first + i * 4, 4); return c; }
    }
}

}  // namespace

// ---- float text ----

double text_to_double(const char* first, const char* last) {
    return float_::from_text(first, last, nullptr);
}

// ---- number scanning from strings ----

int32_t scan_integer_string(const uint8_t* first, size_t count, uint32_t unit, int32_t* err) {
    *err = SCAN_OK;
    size_t i = 0;
    bool neg = false;
    if (i < count) {
        uint32_t c = unit_char(first, 0, unit);
        if (c == '+' || c == '-') neg = c == '-', i++;
    }
    int64_t v = 0;
    for (; i < count; i++) {
        uint32_t c = unit_char(first, i, unit);
        if (c == '\'') continue;
        if (c < '0' || c > '9') {
            *err = SCAN_INVALID;
            break;
        }
        v = v * 10 + (c - '0');
        if (neg ? v > 2147483648LL : v > 2147483647LL) {
            *err = SCAN_OVERFLOW;
            return 0;
        }
    }
    return int32_t(neg ? -v : v);
}

double scan_float_string(const uint8_t* first, size_t count, uint32_t unit, int32_t* err) {
    *err = SCAN_OK;
    if (count >= 313) {
        *err = SCAN_INVALID;
        return quiet_nan();
    }
    uint8_t buf[313] = {};
    for (size_t i = 0; i < count; i++) {
        uint32_t c = unit_char(first, i, unit);
        if (c > 0x7F) {
            *err = SCAN_INVALID;
            return quiet_nan();
        }
        buf[i] = c == ',' ? '.' : uint8_t(c);
    }
    if (!is_float_syntax(buf, count)) {
        *err = SCAN_INVALID;
        return quiet_nan();
    }
    char clean[320];
    size_t n = strip_separators(buf, count, clean);
    return text_to_double(clean, clean + n);
}

void scan_money_string(Cell* out, const uint8_t* first, size_t count, uint32_t unit, int32_t* err) {
    *err = SCAN_INVALID;
    std::string t;
    for (size_t i = 0; i < count; i++) {
        uint32_t c = unit_char(first, i, unit);
        if (c > 0x7F) return;
        t += char(c);
    }
    MoneyParts m;
    size_t p = 0, n = t.size();
    if (p < n && (t[p] == '+' || t[p] == '-')) m.negative = t[p++] == '-';
    auto letter = [](char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; };
    if (p < n && letter(t[p])) {
        // A currency code: three letters and a $, then the amount.
        if (n - p < 5 || !letter(t[p + 1]) || !letter(t[p + 2]) || t[p + 3] != '$') return;
        m.currency = t.substr(p, 3);
        p += 4;
    } else if (p < n && t[p] == '$') {
        p++;
    }
    if (p >= n) return;   // nothing after the sign or the $
    bool sep = false, point = false;
    bool after_mark = true;   // at the $, the text start or the decimal mark
    for (; p < n; p++) {
        char c = t[p];
        if (c >= '0' && c <= '9') {
            if (point) m.fraction += c;
            else if (!(m.integer.empty() && c == '0')) m.integer += c;
            sep = false;
            after_mark = false;
        } else if (c == '\'') {
            if (sep || after_mark || p + 1 == n) return;
            sep = true;
        } else if (c == '.') {
            if (point || sep || after_mark || p + 1 == n) return;
            point = true;
            after_mark = true;
        } else {
            return;
        }
    }
    if (m.integer.size() > 18) return;
    if (!make_money(out, m.negative, m.currency, m.integer, m.fraction)) return;
    *err = SCAN_OK;
}

void install_loaders() {
    for (auto& h : loaders) h = nullptr;
    install_text_loaders();
    loaders[T_INTEGER] = load_integer;
    loaders[T_PERCENT] = load_percent;
    loaders[T_FLOAT] = load_float;
    loaders[T_SPECIAL_FLOAT] = load_special_float;
    loaders[T_TUPLE] = load_tuple;
    loaders[T_DATE] = load_date;
    loaders[T_PAIR] = load_pair;
    loaders[T_POINT] = load_point;
    loaders[T_TIME] = load_time;
    loaders[T_MONEY] = load_money;
    loaders[T_HEX] = load_hex;
}

}  // namespace zel::lexer
