// Exact conversion between doubles and decimal text, for every float-like datatype (float!,
// percent!, time! seconds, money!, vector elements, point coordinates).
//
// The digit work is the C++ library's correctly rounded std::to_chars / std::from_chars; this
// unit lays the digits out (d.ddde-7 or fixed forms), writes and reads the special texts
// "1.#INF", "-1.#INF" and "1.#NaN", and forms floats by kind under the pretty option.
//
// Everything here is pure: no allocation in series, no errors raised, per-call buffers.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace zel::float_ {

// Decimal point positions that mark the special results of to_digits.
constexpr int POINT_ZERO = 9998;      // 0.0 or -0.0
constexpr int POINT_SPECIAL = 9999;   // infinity or NaN

// The digits of a double: value = 0.digits x 10^point (when point is not special).
struct Digits {
    char text[40];   // NUL-terminated digits (or the special text), no point, no sign
    int length;
    int point;
    bool negative;
};

// `float/to-digits`: n <= 0 gives the shortest digit string that reads back as exactly x;
// n > 0 the n significant digits correctly rounded. Trailing zeros are removed. Zero gives
// "0.0"/"-0.0" (dot_zero) or "0"/"-0" with POINT_ZERO; infinities "1.#INF"/"-1.#INF" and NaN
// "1.#NaN" with POINT_SPECIAL.
void to_digits(double x, int n, bool dot_zero, Digits& out);

// `float/format-digits`: the laid-out text. Exponent form "d.ddde-N" when the point position
// is above 17 or below -6, else fixed ("0.000123", "1500.25"); a text that would end in "."
// gets "0" with dot_zero and loses the "." otherwise.
std::string format_digits(double x, int n, bool dot_zero);

// `float/from-text`: reads a number from [start, end): optional sign, digits, optional point
// and digits, optional exponent. "1.#INF", "-1.#INF" and "1.#NaN" (a non-zero digit, ".",
// "#", then I or N in any case) give the special values; no digits gives 0.0; exponents
// beyond the range give the signed infinity or zero. *unread (may be null) receives the
// number of characters after the number.
double from_text(const char* start, const char* end, size_t* unread);

// The kinds of to_text.
enum TextKind : int {
    KIND_VECTOR_FLOAT32 = 0,
    KIND_FLOAT = 1,
    KIND_VECTOR_PERCENT32 = 2,
    KIND_PERCENT = 3,   // x already multiplied by 100
    KIND_TIME = 4,      // the seconds of a time!
    KIND_POINT = 5,
};

// `float/to-text`: the formed text of a float by kind (form of float!, percent!, time!
// seconds, vector elements, point coordinates).
std::string to_text(double x, int kind);

// `float/pretty?`: set from system/options/float/pretty?; on by default.
extern bool is_pretty;
// `float/full?`: set from system/options/float/full?; off by default. Kept for the option's
// sake: no formatting reads it.
extern bool is_full;

}  // namespace zel::float_
