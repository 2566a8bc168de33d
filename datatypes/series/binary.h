// binary!: the byte series. A binary shares string!'s cell and buffer layout with a unit of
// one byte that holds raw bytes instead of code points.
//
// Cell: word 1 head index in bytes (signed), word 2 the buffer node, word 3 unused.
//
// Invariants: the buffer's unit is 1; the tail ends the content. Functions that take a node
// may grow its buffer: re-derive every SeriesBuf* after calling them. Nothing here evaluates
// Zel code except the owner notifications of the action handlers (binary.cpp).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/cell.h"
#include "core/memory.h"

namespace zel::binary {

// ---- access ----
// The head index clipped to 0 .. tail.
inline uint32_t head_index(const Cell* bin) {
    int32_t h = series_head(bin);
    uint32_t n = memory::buf(series_node(bin))->tail;
    return h < 0 ? 0 : (uint32_t(h) > n ? n : uint32_t(h));
}
// `binary/length`: bytes from the head to the tail.
inline uint32_t length(const Cell* bin) { return memory::buf(series_node(bin))->tail - head_index(bin); }
// `binary/head-address`: the head byte (valid until the buffer grows).
inline const uint8_t* head_address(const Cell* bin) {
    return memory::buf(series_node(bin))->data() + head_index(bin);
}

// ---- construction ----
// `binary/init-cell`: a binary! with a new empty buffer of room for size bytes, head 0.
void init_cell(Cell* out, size_t size);
// `binary/push-from-memory`: a new binary holding a copy of n bytes, pushed on the value stack.
Cell* push_from_memory(const uint8_t* bytes, size_t n);
// A new binary holding a copy of n bytes, written into out.
void from_memory(Cell* out, const uint8_t* bytes, size_t n);
// `binary/append-bytes`: appends n bytes at the tail, growing the buffer.
void append_bytes(uint32_t node, const uint8_t* bytes, size_t n);

// ---- conversion of values into bytes ----
// `binary/value-to-bytes`: appends to out the bytes a value stands for. limit < 0 means no
// limit; for a block the limit counts values unless limit_counts_bytes. Without form_others a
// type that has no byte form raises script/bad-to-arg (binary!, value); with it the value is
// formed and its UTF-8 text used. An integer outside -128..255 raises script/invalid-arg.
void value_to_bytes(std::string& out, const Cell* value, int64_t limit, bool limit_counts_bytes, bool form_others);

// ---- comparison ----
// `binary/compare-bytes`: compares the bytes of a (a binary!) with those of b (binary! or a
// text type, taken as its UTF-8 bytes) under a compare op code (actions::CompareOp). -2 when
// b is of another type. With match, 0 when b's bytes start a's.
int32_t compare_bytes(const Cell* a, const Cell* b, int32_t op, bool match);
// `binary/match-at-head?`: whether the bytes of value (text, binary or char!) stand at the head.
bool match_at_head(const Cell* bin, const Cell* value);
// `binary/head-in-bitset?`: whether the head byte is in the bitset.
bool head_in_bitset(const Cell* bin, const Cell* bitset);

// ---- base encodings ----
// The bases enbase and debase know: 2, 16, 58, 64.
inline bool is_known_base(int64_t base) { return base == 2 || base == 16 || base == 58 || base == 64; }
// The exact (bases 2, 16, 64) or largest (base 58) length of the text of n bytes; SIZE_MAX
// when it does not fit a size_t.
size_t encoded_size(int base, size_t n);
// `binary/encode-base2` ... `binary/encode-base64`: writes the text of n bytes at out (which
// has room for encoded_size bytes) and returns the end of what was written.
char* encode(int base, char* out, const uint8_t* bytes, size_t n);
// `binary/decode-base2` ... `binary/decode-base64`: decodes count code points of unit bytes
// each (1, 2 or 4) into a new binary! written into out. Returns false, leaving out alone, when
// the text is not valid in that base (white space and ";" comments are skipped).
bool decode(int base, const void* text, size_t count, uint32_t unit, Cell* out);

// `binary/emit-molded`: the "#{...}" form (without the braces when only) into a string node;
// returns the part budget left.
int32_t emit_molded(const Cell* bin, uint32_t buffer, bool only, bool flat, bool has_part, int32_t budget,
                    int32_t indent);

}  // namespace zel::binary
