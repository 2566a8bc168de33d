// Float text conversion (see float_text.h).
#include "datatypes/scalar/float_text.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <string_view>

namespace zel::float_ {

bool is_pretty = true;
bool is_full = false;

namespace {

constexpr int MAX_DIGITS = 38;   // what the Digits buffer holds

void set_text(Digits& out, std::string_view text, int point) {
    std::memcpy(out.text, text.data(), text.size());
    out.text[text.size()] = 0;
    out.length = int(text.size());
    out.point = point;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Appends the decimal text of n.
void append_int(std::string& s, int n) {
    char buf[16];
    auto r = std::to_chars(buf, buf + sizeof buf, n);
    s.append(buf, r.ptr);
}

}  // namespace

void to_digits(double x, int n, bool dot_zero, Digits& out) {
    uint64_t bits;
    std::memcpy(&bits, &x, 8);
    out.negative = (bits >> 63) != 0;
    if (((bits >> 52) & 0x7FF) == 0x7FF) {
        bool nan = (bits & 0xFFFFFFFFFFFFFull) != 0;
        set_text(out, nan ? "1.#NaN" : out.negative ? "-1.#INF" : "1.#INF", POINT_SPECIAL);
        return;
    }
    if (x == 0.0) {
        if (dot_zero) set_text(out, out.negative ? "-0.0" : "0.0", POINT_ZERO);
        else set_text(out, out.negative ? "-0" : "0", POINT_ZERO);
        return;
    }
    // Scientific form "d.ddde+XX": shortest round trip, or n significant digits.
    char buf[96];
    double a = std::fabs(x);
    if (n > MAX_DIGITS) n = MAX_DIGITS;
    std::to_chars_result r = n <= 0 ? std::to_chars(buf, buf + sizeof buf, a, std::chars_format::scientific)
                                    : std::to_chars(buf, buf + sizeof buf, a, std::chars_format::scientific, n - 1);
    const char* end = r.ptr;
    const char* e = static_cast<const char*>(std::memchr(buf, 'e', size_t(end - buf)));
    int len = 0;
    for (const char* p = buf; p < e; p++)
        if (is_digit(*p)) out.text[len++] = *p;
    while (len > 1 && out.text[len - 1] == '0') len--;
    out.text[len] = 0;
    out.length = len;
    int exponent = 0;
    std::from_chars(e + (e[1] == '+' ? 2 : 1), end, exponent);
    out.point = exponent + 1;
}

std::string format_digits(double x, int n, bool dot_zero) {
    Digits d;
    to_digits(x, n, dot_zero, d);
    if (d.point >= POINT_ZERO) return d.text;
    std::string s;
    if (d.negative) s += '-';
    std::string_view digits(d.text, size_t(d.length));
    int p = d.point;
    auto close_point = [&]() {
        if (s.back() != '.') return;
        if (dot_zero) s += '0'; else s.pop_back();
    };
    if (p > 17 || p < -6) {
        s += digits[0];
        s += '.';
        s.append(digits.substr(1));
        close_point();
        s += 'e';
        append_int(s, p - 1);
    } else if (p <= 0) {
        s += "0.";
        s.append(size_t(-p), '0');
        s.append(digits);
    } else {
        if (d.length <= p) {
            s.append(digits);
            s.append(size_t(p - d.length), '0');
            s += '.';
        } else {
            s.append(digits.substr(0, size_t(p)));
            s += '.';
            s.append(digits.substr(size_t(p)));
        }
        close_point();
    }
    return s;
}

double from_text(const char* start, const char* end, size_t* unread) {
    const char* p = start;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        p++;
    }
    // "1.#INF" and "1.#NaN" (any case, any non-zero digit in front).
    if (end - p >= 4 && p[0] >= '1' && p[0] <= '9' && p[1] == '.' && p[2] == '#') {
        char c = p[3];
        if (c == 'I' || c == 'i' || c == 'N' || c == 'n') {
            const char* q = p + 3;
            while (q < end && ((*q >= 'a' && *q <= 'z') || (*q >= 'A' && *q <= 'Z'))) q++;
            if (unread) *unread = size_t(end - q);
            if (c == 'N' || c == 'n') return std::nan("");
            return negative ? -HUGE_VAL : HUGE_VAL;
        }
    }
    const char* number = p;
    // Mantissa: digits, optional point, digits. Remember where the significant digits are,
    // to tell an overflow from an underflow when the library reports the value out of range.
    long magnitude = 0;   // decimal exponent of the first significant digit, before the exponent part
    bool seen_significant = false, seen_point = false;
    long int_digits = 0, leading_fraction_zeros = 0;
    int digit_count = 0;
    for (; p < end; p++) {
        char c = *p;
        if (is_digit(c)) {
            digit_count++;
            if (!seen_point) {
                if (seen_significant || c != '0') { seen_significant = true; int_digits++; }
            } else if (!seen_significant) {
                if (c == '0') leading_fraction_zeros++;
                else seen_significant = true;
            }
        } else if (c == '.' && !seen_point) {
            seen_point = true;
        } else {
            break;
        }
    }
    if (digit_count == 0) {
        // No digits at all: nothing but an optional sign and point was read.
        if (unread) *unread = size_t(end - p);
        return negative ? -0.0 : 0.0;
    }
    magnitude = int_digits > 0 ? int_digits - 1 : -(leading_fraction_zeros + 1);
    long exponent = 0;
    if (p < end && (*p == 'e' || *p == 'E')) {
        const char* q = p + 1;
        bool eneg = false;
        if (q < end && (*q == '+' || *q == '-')) { eneg = *q == '-'; q++; }
        if (q < end && is_digit(*q)) {
            for (; q < end && is_digit(*q); q++)
                if (exponent < 100000000) exponent = exponent * 10 + (*q - '0');
            if (eneg) exponent = -exponent;
            p = q;
        }
    }
    if (unread) *unread = size_t(end - p);
    double value = 0.0;
    if (!seen_significant) return negative ? -0.0 : 0.0;
    std::from_chars_result r = std::from_chars(number, p, value, std::chars_format::general);
    if (r.ec == std::errc::result_out_of_range) value = magnitude + exponent > 0 ? HUGE_VAL : 0.0;
    else if (r.ec != std::errc()) value = 0.0;
    return negative ? -value : value;
}

std::string to_text(double x, int kind) {
    if (std::isnan(x)) return "1.#NaN";
    if (std::isinf(x)) return x < 0 ? "-1.#INF" : "1.#INF";
    bool percent = kind == KIND_VECTOR_PERCENT32 || kind == KIND_PERCENT;
    if (is_pretty && std::fabs(x) < 2.220446049250313e-16) {
        if (percent) return "0%";
        if (kind == KIND_POINT) return "0";
        return "0.0";
    }
    auto print_g = [](double v, int precision) {
        char buf[64];
        auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, precision);
        return std::string(buf, r.ptr);
    };
    int precision = kind == KIND_PERCENT ? 13 : kind == KIND_FLOAT ? 16 : 7;
    std::string s = kind == KIND_TIME ? format_digits(x, 6, false) : print_g(x, precision);
    if (is_pretty) {
        size_t e = s.find('e');
        size_t mantissa = e == std::string::npos ? s.size() : e;
        char first = s[0] == '-' ? s[1] : s[0];
        bool too_long = s.size() > (first == '0' ? 17u : 16u) || mantissa > 16;
        if (too_long && mantissa >= 2) {
            std::string_view last(s.data() + mantissa - 2, 2);
            if (last == "01" || last == "99") {
                bool wide = kind == KIND_FLOAT || kind == KIND_VECTOR_PERCENT32 || kind == KIND_PERCENT;
                s = print_g(x, wide ? 14 : 5);
            }
        }
    }
    // The exponent loses its "+" and its leading zeros.
    size_t e = s.find('e');
    if (e != std::string::npos) {
        size_t d = e + 1;
        if (d < s.size() && s[d] == '+') s.erase(d, 1);
        else if (d < s.size() && s[d] == '-') d++;
        while (d + 1 < s.size() && s[d] == '0') s.erase(d, 1);
    }
    if (percent) {
        s += '%';
    } else if (kind != KIND_TIME && kind != KIND_POINT && s.find('.') == std::string::npos) {
        e = s.find('e');
        if (e == std::string::npos) s += ".0";
        else s.insert(e, ".0");
    }
    return s;
}

}  // namespace zel::float_
