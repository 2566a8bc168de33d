// time!: a duration or time of day, held as a number of seconds in a double (words 2-3),
// negative for negative times. A child of float!: it reuses the float arithmetic, compare,
// absolute, negate, remainder and random, with its own text (hours:minutes:seconds), fields
// (hour, minute, second) and its own rules for mixing with dates and other times.
//
// Nothing here evaluates Zel code except the path set, which writes the changed time back
// into the word, object field or series it came from (and so may run a change handler).
#pragma once
#include <cstdint>

#include "core/cell.h"

namespace zel::time {

constexpr double SECONDS_PER_HOUR = 3600.0;
constexpr double SECONDS_PER_MINUTE = 60.0;
// The tolerance of the seconds text and of even?/odd?.
constexpr double TOLERANCE = 1e-06;

// ---- constructors and readers ----
inline void write_cell(Cell* c, double seconds) { set_float_bits(c, TYPE_TIME, seconds); }
Cell* append_new(uint32_t block_node, double seconds);
Cell* push(double seconds);
void set_result(double seconds);
inline double cell_value(const Cell* c) { return float_value(c); }

// `time/hours`: seconds / 3600 truncated toward zero (a double, so that any magnitude fits).
double hours(double seconds);
// `time/minutes`: floor(fmod(|seconds|, 3600) / 60).
double minutes(double seconds);

// `time/field-index`: 1, 2 or 3 for the words hour, minute and second (case-insensitive);
// -1 for any other word or value.
int32_t field_index(const Cell* word);
// `time/field`: writes field n (1-3) of the seconds into out: hours and minutes as integer!
// (script/type-limit for hours beyond the 32-bit range), seconds fmod(t, 60) as float!.
void field(Cell* out, double seconds, int32_t n);
// The path-set rule of field n: hour and minute take an integer!, second an integer! or
// float! (else script/invalid-arg with the value). Returns the new seconds.
double with_field(double seconds, int32_t n, const Cell* value);

// `time/to-text`: appends the text of the seconds (h:mm:ss, "-" for negative times, the
// seconds with up to 6 significant digits) to a string buffer; returns the budget minus the
// characters written. Non-finite seconds write the float special texts.
int32_t to_text(double seconds, uint32_t buffer, int32_t budget);

// The time! a text loads as (to time! of a string, file, url, tag, email or ref): the lexer
// reads the text from its head; a result other than a single time! raises script/bad-to-arg
// with time! and the text.
void from_text(Cell* out, const Cell* text);

}  // namespace zel::time
