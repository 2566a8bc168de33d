// money!: an exact decimal amount with an optional currency, wholly inside its cell.
//
//   header  bit 14 the sign (1 = negative)
//   byte 4  the currency index: 0 none, 1-255 the position in system/locale/currencies/list
//   bytes 5-15  22 decimal digits, two per byte, high nibble first: digits 1-17 the integer
//               part (digit 17 the units), digits 18-22 the fraction (digit 18 the tenths)
//
// Every operation works on the decimal digits, so amounts never pick up binary rounding.
// Results keep 5 fraction digits (further digits are dropped: truncation); a result whose
// integer part needs more than 17 digits, and a non-zero product or quotient that truncates
// to zero, raise script/type-limit with money!. A zero amount may carry the sign bit; it
// still equals $0.
//
// Nothing here evaluates Zel code.
#pragma once
#include <cstdint>
#include <string_view>

#include "core/cell.h"

namespace zel::money {

constexpr uint32_t SIGN = HEADER_MONEY_SIGN;   // core/cell.h's header-bit map
constexpr int DIGITS = 22;
constexpr int INT_DIGITS = 17;
constexpr int FRAC_DIGITS = 5;
constexpr int32_t MAX_FRACTION = 99999;
constexpr uint32_t MAX_CURRENCIES = 255;

// ---- the cell ----
inline const uint8_t* bytes_of(const Cell* c) { return reinterpret_cast<const uint8_t*>(c); }
inline uint32_t currency_of(const Cell* c) { return bytes_of(c)[4]; }
inline bool sign_bit(const Cell* c) { return (c->header & SIGN) != 0; }
// Digit k (1-22) of the amount.
inline uint32_t digit_at(const Cell* c, int k) {
    uint8_t b = bytes_of(c)[4 + (k + 1) / 2];
    return (k & 1) ? b >> 4 : b & 0xF;
}

// `money/write-cell-from-digits`: the amount from its digit texts (' separators skipped,
// leading zeros ignored, fraction digits beyond the fifth dropped). The currency is empty or
// a code of the currency list (any case). False, with the cell untouched, for an unknown
// currency, more than 17 integer digits or a character other than a digit or '.
bool write_cell_from_digits(Cell* c, bool negative, std::string_view currency, std::string_view int_digits,
                            std::string_view fraction_digits);
// `money/write-cell-raw`: the sign, the currency index and the 11 bytes of packed digits
// (the serializer's form). Digit nibbles above 9 are not checked here.
void write_cell_raw(Cell* c, bool negative, uint32_t currency, const uint8_t* digit_bytes);
Cell* push_raw(bool negative, uint32_t currency, const uint8_t* digit_bytes);

// `money/push-from-integer` and its cell-writing twin.
void from_integer(Cell* out, int32_t n);
Cell* push_from_integer(int32_t n);
// `money/push-from-float`: the double's exact decimal expansion (22 significant digits),
// truncated to 5 fraction digits. Infinity, NaN, 0 < |x| < 1e-5 and |x| >= 1e17 raise
// script/bad-make-arg with money! and x; so does, with strict, an expansion that needs more
// than 5 fraction digits.
void from_float(Cell* out, double x, bool strict);
Cell* push_from_float(double x, bool strict);

// `money/sign-of`: 0 for a zero amount, else -1 or 1 by the sign bit.
int32_t sign_of(const Cell* c);
inline bool is_negative(const Cell* c) { return sign_of(c) < 0; }
inline bool is_zero(const Cell* c) { return sign_of(c) == 0; }
inline bool is_positive(const Cell* c) { return sign_of(c) > 0; }

// `money/to-integer`: the integer part with the sign; script/type-limit with integer! when
// it leaves the 32-bit range.
int32_t to_integer(const Cell* money);
// `money/to-float`: the nearest double of the amount.
double to_float(const Cell* money);

// `money/currency-index`: the position (1-255) of a currency code in the currency list,
// compared case-insensitively; 0 when the list does not hold it.
uint32_t currency_index(std::string_view code);
uint32_t currency_index_of_symbol(uint32_t symbol);
// `money/currency-word`: the word of the cell's currency, or none! for no currency.
void currency_word(Cell* out, const Cell* money);
// Replaces the currency index of a money! cell.
void set_currency(Cell* c, uint32_t index);

}  // namespace zel::money
