// Text buffers as the runtime core builds and reads them: the storage of string! and of the
// other text series (file!, url!, tag!, email!, ref!), which symbols, error messages, molds and
// forms write into. The string! datatype (datatypes/series/string.h) adds searching, encodings,
// escapes and its action handlers on the same storage; the functions are implemented there
// (datatypes/series/string_storage.cpp).
//
// Storage: code points in fixed units of 1, 2 or 4 bytes per buffer, the narrowest that holds
// the content, widened in place (never narrowed) when a wider code point arrives. Code point i
// lives at data + i * unit; the tail ends the content (no terminator).
//
// Functions taking a node may grow the buffer: re-derive every SeriesBuf* after calling them.
// None of them evaluates Zel code; they raise only when memory runs out.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/cell.h"
#include "core/memory.h"

namespace zel::string {

// ---- construction ----
// A new empty string buffer of the given byte size (0 gives 16) and unit.
uint32_t new_node(size_t bytes, uint32_t unit = 1);
// Writes an empty string of type t with room for bytes into the cell.
void init_cell(Cell* c, size_t bytes, uint32_t t = TYPE_STRING);
// The same with a chosen unit (`string/init-cell-unit`).
void init_cell_unit(Cell* c, size_t bytes, uint32_t unit, uint32_t t = TYPE_STRING);
// Decodes UTF-8 into a new buffer (invalid sequences become U+FFFD; never raises).
uint32_t node_from_utf8(const char* text, size_t len);
void from_utf8(Cell* out, std::string_view text, uint32_t t = TYPE_STRING);
// The text from the head index to the tail, encoded as UTF-8.
std::string to_utf8(const Cell* str);
std::string node_to_utf8(uint32_t node, uint32_t from = 0);

// ---- access ----
// Code points from the head to the tail (0 when the head is past the tail).
int32_t length(const Cell* str);
// Code points from the head to the tail, at most limit (limit < 0: no limit).
inline int64_t length_limit(const Cell* str, int64_t limit) {
    int64_t n = length(str);
    return limit >= 0 && limit < n ? limit : n;
}
// Code points from the buffer start to the tail (`string/total-length`).
inline uint32_t total_length(const Cell* str) { return memory::buf(series_node(str))->length(); }
// The head index clipped to 0 .. total length.
inline uint32_t head_index(const Cell* str) {
    int32_t h = series_head(str);
    uint32_t n = total_length(str);
    return h < 0 ? 0 : (uint32_t(h) > n ? n : uint32_t(h));
}
inline uint32_t char_at(const SeriesBuf* b, uint32_t index) {
    switch (b->unit()) {
        case 1: return b->data()[index];
        case 2: return reinterpret_cast<const uint16_t*>(b->data())[index];
        default: return reinterpret_cast<const uint32_t*>(b->data())[index];
    }
}
// The code point at index from the buffer start (`string/char-at-index`).
inline uint32_t char_at_index(const Cell* str, uint32_t index) {
    return char_at(memory::buf(series_node(str)), index);
}

// ---- writing ----
// Empties the string: unit 1, tail at the start, head index 0 (`string/empty-reset`).
void empty_reset(Cell* str);
// Appends one code point. Appending (as append/insert of a char! do) keeps unit 1 only for
// 0x00-0x7F; decode_rule widens only past 0xFF (decoding, poking, inserting at an index).
void append_char(uint32_t node, uint32_t cp, bool decode_rule = false);
void append_ascii(uint32_t node, std::string_view text);
// The same for a mold or form: returns the character budget left after the text.
inline int32_t append_ascii_within(uint32_t node, std::string_view text, int32_t limit) {
    append_ascii(node, text);
    return limit - int32_t(text.size());
}
void append_utf8(uint32_t node, std::string_view text);
// Appends code points [from, to) of another string buffer.
void append_range(uint32_t node, uint32_t src_node, uint32_t from, uint32_t to);
// Widens the buffer to the given unit (1->2, 1->4, 2->4), rewriting it in place.
void widen(uint32_t node, uint32_t unit);
// Cuts the content at index when index lies inside it.
void truncate(uint32_t node, uint32_t index);

}  // namespace zel::string
