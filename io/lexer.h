// The lexer: turns UTF-8 source text into values.
//
// A table-driven scanner classifies every input byte, walks a state table until a final
// state names one of 36 token classes, and hands the token to that class's scanner (nesting
// and mode bookkeeping) and loader (builds the value). Values are assembled in one
// process-wide value buffer; blocks, parens, paths, maps and points are copied into their
// series once, when they close.
//
// Calls may nest (a callback may call transcode again): every call has its own state,
// chained to the call it runs in, and builds its cells after that call's cells.
//
// Invariants:
// - The lexer allocates but never collects by itself. The only place where Zel code runs (and
//   so where the collector may move buffers) is a callback call; after one, every pointer into
//   a series buffer is re-derived. The value buffer lives outside the series frames and is
//   reached by index only, so nested calls may grow it freely.
// - Syntax errors are raised as language errors (category syntax) whose first argument is
//   "(line N)". A call that does not load values never raises a syntax error: it answers
//   error! as its token type instead.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/cell.h"

namespace zel::lexer {

// The switches of one lexer call (lexer/transcode).
struct Options {
    bool one_value = false;        // stop after the first complete value (/next /one /scan)
    bool prescan = false;          // stop every token after its prescan step (/prescan)
    bool load = true;              // build values (off for /scan and /prescan)
    const Cell* callback = nullptr;  // function! or routine! receiving the events (/trace)
    const Cell* input = nullptr;     // the string! or binary! the text comes from
    const Cell* into = nullptr;      // target block! receiving the values (/into)
    // When set, receives the character that opened a construct the input ended inside of
    // ('[' for blocks and maps, '(' for parens, '{' for braced and raw strings and binaries),
    // or 0 when the text did not run out inside one.
    char* open_at_end = nullptr;
};

// Event bits of the callback's event mask.
enum Event : uint32_t {
    EV_PRESCAN = 1,
    EV_SCAN = 2,
    EV_LOAD = 4,
    EV_OPEN = 8,
    EV_CLOSE = 16,
    EV_ERROR = 32,
    EV_ALL = 63,
};

// lexer/init: builds the tables, the value buffer and the UTF-8 work buffer, and registers
// the root marker of the running states. Called once at start-up after the stacks exist.
void init();

// lexer/transcode: lexes len bytes of UTF-8 text. When loading, the values go into result
// (a new block!, or with one_value the first value) or at the tail of opt.into (then result
// gets the target block). Returns the type id of the last token (error! when a call that does
// not load met bad syntax; 0 for no token). stop (may be null) gets the position where the
// scan stopped: characters from the start for string! input, bytes otherwise.
// May evaluate Zel code (the callback) and raises syntax errors.
uint32_t transcode(Cell* result, const uint8_t* text, size_t len, const Options& opt, size_t* stop);

// lexer/load-string: lexes chars code points (-1: all) of a string! of any unit size from its
// head. stop_chars (may be null) gets the number of characters consumed.
uint32_t load_string(Cell* result, const Cell* str, int32_t chars, const Options& opt,
                     size_t* stop_chars);

// The whole text into a new block! (raising syntax errors).
void load_utf8(Cell* out_block, std::string_view text);

// The datatype of the first token of the text, without building a value (error! for bad
// syntax, 0 for empty input).
uint32_t scan_type(const uint8_t* text, size_t len);

// Whether more text could complete the input: the character that opened the construct the
// text ends inside of ('[', '(' or '{'), or 0 when the text is complete or wrong in a way
// more text cannot mend. Builds no values and raises no syntax error.
char open_at_end(const uint8_t* text, size_t len);

// lexer/mark-states: the collector's root section for every running lexer call.
void mark_states();

// ---- number scanning from strings (no lexer run; used by to-conversions) ----

enum ScanError : int32_t { SCAN_OK = 0, SCAN_INVALID = -1, SCAN_OVERFLOW = -2 };

// lexer/scan-integer-string: optional sign, digits and ' separators. SCAN_INVALID stops at
// the first other character (returning the value read so far); SCAN_OVERFLOW returns 0.
int32_t scan_integer_string(const uint8_t* first, size_t count, uint32_t unit, int32_t* err);
// lexer/scan-float-string: a float text (',' taken as '.'); SCAN_INVALID gives a quiet NaN.
double scan_float_string(const uint8_t* first, size_t count, uint32_t unit, int32_t* err);
// lexer/scan-money-string: fills the money! cell; SCAN_INVALID on bad text.
void scan_money_string(Cell* out, const uint8_t* first, size_t count, uint32_t unit, int32_t* err);

// lexer/float-syntax?: whether the text is a float literal (digits, ' separators, one point,
// an exponent). Texts longer than 312 bytes are rejected.
bool is_float_syntax(const uint8_t* text, size_t len);

// The double a validated float text stands for (correctly rounded; "1.#INF", "-1.#INF" and
// "1.#NaN" give the special values; no digits gives 0.0). The ' separators must be gone.
double text_to_double(const char* first, const char* last);

}  // namespace zel::lexer
