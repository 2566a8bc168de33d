// string! storage: code points in fixed units of 1, 2 or 4 bytes per buffer, the narrowest
// that holds the content, widened in place (never narrowed) when a wider code point arrives.
// The same storage serves file!, url!, tag!, email! and ref!.
//
// Cell: word 1 head index (code points), word 2 buffer node, word 3 node of the encoded-copy
// scratch buffer (scratch_node; 0 while none).
//
// Invariants: a buffer's unit is 1, 2 or 4; code point i lives at data + i * unit (unsigned
// for units 1 and 2); the tail ends the content (no terminator). Functions taking a node may
// grow the buffer: re-derive every SeriesBuf* after calling them. None of them evaluates Zel
// code; those that can raise say so.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/cell.h"
#include "core/memory.h"
#include "core/case_map.h"
#include "core/text.h"

namespace zel::string {

// Word 3 of a text cell: the node of its encoded-copy scratch buffer (0 while none).
inline uint32_t scratch_node(const Cell* c) { return series_extra(c); }
inline void set_scratch_node(Cell* c, uint32_t node) { set_series_extra(c, node); }

// The storage primitives (construction, access, appending) are declared in core/text.h.

// ---- decoding and encoding ----
// Strict UTF-8 decoding into a string buffer (`unicode/decode-utf8`): into target_node
// (its old content replaced, its unit kept or widened) or, when target_node is 0, into a new
// buffer. A leading byte order mark is skipped; with cr, CR LF and a lone CR become LF. A
// sequence cut short by the end stops the decoding: the number of bytes left undecoded goes
// to *remaining when given (untouched on a full decode). Raises access/invalid-utf8 with the
// offending bytes on a malformed sequence. Returns the buffer's node.
uint32_t decode_utf8(const uint8_t* bytes, size_t n, uint32_t target_node, int32_t* remaining, bool cr);
// The same decoding of the n bytes that fill the start of node's own buffer (a new unit-1
// buffer, as from memory::new_series(n, 1)), done in place: no second buffer while the text
// stays below U+0100. The content becomes the decoded text; on a malformed sequence the
// buffer holds garbage (the error still shows the bytes). Returns node.
uint32_t decode_utf8_in_place(uint32_t node, size_t n, int32_t* remaining, bool cr);
// Raises access/invalid-utf8 with the bytes of a malformed sequence (at most four of the n
// bytes at p).
[[noreturn]] void raise_invalid_utf8(const uint8_t* p, size_t n);
// Bytes of the UTF-8 form of code points [from, to) of the buffer (`utf8/measure-units`);
// raises script/invalid-char for a value above 0x10FFFF.
size_t utf8_size(uint32_t node, uint32_t from, uint32_t to);

// UTF-16LE text of n units (`unicode/decode-utf16le`) into target_node (old content replaced)
// or a new buffer of the narrowest unit; a surrogate pair gives one code point, and with cr
// every CR unit is dropped. A high surrogate without its low half raises script/invalid-data
// with the offending units as a binary!. Returns the buffer's node.
uint32_t decode_utf16le(const uint8_t* bytes, size_t n, uint32_t target_node, bool cr);
// The UTF-16LE bytes of the string from its head (pairs above 0xFFFF; with cr a CR before each
// LF). Raises script/invalid-char for a value above 0x10FFFF.
std::string to_utf16le(const Cell* str, bool cr);

// `string/to-utf8-text`: NUL-terminated UTF-8 of the string from its head, in the cell's
// scratch buffer (unicode.h), at most length code points (length < 0: all); length receives
// the byte count without the NUL. Raises script/invalid-char above 0x10FFFF.
const char* to_utf8_text(Cell* str, int64_t& length);
// `string/to-utf8-text-lines`: the same, each LF written as CR LF when cr is set.
const char* to_utf8_text_lines(Cell* str, int64_t& length, bool cr);
// Text encodings of `string/from-c-buffer`.
enum TextEncoding : int { ENCODING_UTF8 = 0, ENCODING_UTF16LE = -1 };
// `string/from-c-buffer`: a new string! in out from len bytes of text: UTF-8 (strict, a cut
// sequence at the end dropped) or UTF-16LE (len / 2 units), without CR translation. Another
// encoding raises internal/not-done. out reads unset while the string is built.
void from_c_buffer(Cell* out, const uint8_t* text, size_t len, int encoding);

// ---- access ----
// Offset from the head of the first occurrence of cp (exact), -1 when absent.
int32_t find_char(const Cell* str, uint32_t cp);
// True when the 8-bit text is a prefix of the string from its head.
bool starts_with_cstr(const Cell* str, std::string_view text);

// ---- writing ----
// Stores cp at index (inside the content), widening the buffer first when needed (0x80-0xFF
// stay in one byte: `string/write-code-point-at`).
void write_char(uint32_t node, uint32_t index, uint32_t cp);
// Stores cp at index, growing the buffer to reach it (the gap, if any, is filled with NUL);
// an index at or past the tail moves the tail to index + 1 (`string/put-code-point`).
void put_char(uint32_t node, uint32_t index, uint32_t cp);
// Inserts cp at index (clipped to the tail), moving the later code points up.
void insert_char(uint32_t node, uint32_t index, uint32_t cp);
// Removes n code points at index (nothing when index is at or past the tail).
void remove_chars(uint32_t node, uint32_t index, uint32_t n);

// Replaces `remove` code points at `at` by `dup` copies of the code points [from, from +
// count) of src_node (which may be the target itself). The target takes the source's unit
// when that is wider. Sizes are checked before anything changes (internal/no-memory).
void splice(uint32_t node, uint32_t at, uint32_t remove, uint32_t src_node, uint32_t from, uint32_t count,
            uint32_t dup = 1);
// The same with dup copies of one code point, which needs unit 1 up to 0x7F, 2 up to 0xFFFF
// and 4 above (the rule of appending a char!).
void splice_char(uint32_t node, uint32_t at, uint32_t remove, uint32_t cp, uint32_t dup = 1);

// Escapes c as molded strings and chars do: "^(hex)" for 0x1E, 0x80-0x9F and (with all) any
// code point above 0x7F; in mode 253 the caret escapes of control characters, "^^" style
// entries, and "^~" for 0x7F.
constexpr int ESCAPE_STRING = 253;
void append_escaped(uint32_t node, uint32_t c, int mode, bool all);

// Upper-case hexadecimal digits of v: all 8, or only the significant ones with trim ("00"
// for 0).
std::string hex_digits(uint32_t v, bool trim);

// ---- text comparison and matching (also used by words, parse and the set natives) ----
// The code point folded for case-insensitive comparison (the upper-case map).
inline uint32_t fold(uint32_t cp) { return case_map::upper_char(cp); }
// Compares two texts (string-family cells, or symbol! cells read through their spelling)
// under a comparison op code (actions::CompareOp). Returns -1, 0 or 1. In match mode (parse)
// the result is 0 when b is a prefix of a.
int32_t compare_text(const Cell* a, const Cell* b, int32_t op, bool match);
// Whether the value's text (any text series, char!, tag! with its brackets) starts at the
// string's head, case-folded unless case_sensitive.
bool match_at(const Cell* str, const Cell* value, bool case_sensitive);
// Whether the code point at the string's head is in the bitset.
bool head_in_bitset(const Cell* str, const Cell* bitset);
// Whether the bitset holds the code point (a complemented bitset holds everything past its end).
bool bitset_has(const Cell* bitset, uint32_t cp);
// Whether "<" stands at the head and ">" right after the tag's length.
bool tag_delimited(const Cell* str, const Cell* tag);
// Whether cp occurs at any step-th code point from the head.
bool contains_char(const Cell* str, uint32_t cp, int32_t step, bool case_sensitive);
// unique (8), union (9), intersect (10), exclude (11), difference (12) of two strings, record by
// record of skip code points; the result is a new string of a's type in out.
void set_operation(Cell* out, bool case_sensitive, int32_t skip, int32_t op, const Cell* a, const Cell* b);

}  // namespace zel::string
