// tuple!: 3 to 12 bytes written with dots (colours, versions, addresses). Every byte
// operation saturates to 0-255 instead of wrapping.
//
// Cell: header low byte 39 with the byte count in bits 19-22 (the other header bits are kept
// when the count changes); cell bytes 4 to 15 (words 1-3) hold the bytes in order, and the bytes
// past the count are 0.
#pragma once
#include <cstdint>

#include "core/cell.h"

namespace zel::tuple {

constexpr uint32_t COUNT_SHIFT = HEADER_TUPLE_COUNT_SHIFT;   // core/cell.h's header-bit map
constexpr uint32_t COUNT_MASK = HEADER_TUPLE_COUNT_MASK;
constexpr uint32_t MIN_COUNT = 3;
constexpr uint32_t MAX_COUNT = 12;

// The byte count (never above 12, whatever the header holds).
inline uint32_t count(const Cell* c) {
    uint32_t n = (c->header & COUNT_MASK) >> COUNT_SHIFT;
    return n > MAX_COUNT ? MAX_COUNT : n;
}
inline void set_count(Cell* c, uint32_t n) { c->header = (c->header & ~COUNT_MASK) | ((n & 0xF) << COUNT_SHIFT); }
inline uint8_t* bytes(Cell* c) { return payload_bytes(c); }
inline const uint8_t* bytes(const Cell* c) { return payload_bytes(c); }

// ---- constructors ----
// Writes a tuple of n bytes (n clipped to 12; fewer than 3 are padded with zeros).
void write_cell(Cell* c, const uint8_t* data, uint32_t n);
// `tuple/push`: a tuple cell of count bytes with the three payload words.
Cell* push(uint32_t count, uint32_t w1, uint32_t w2, uint32_t w3);
Cell* append_new(uint32_t block_node, const uint8_t* data, uint32_t n);
// `tuple/push-from-ints`: the low bytes of n integers (fewer than 3 padded with zeros).
Cell* push_from_ints(uint32_t n, const int32_t* ints);
// `tuple/from-binary`: up to 12 bytes from the binary's head.
void from_binary(const Cell* binary, Cell* out);
// `tuple/from-hex-issue`: 3 hex digits give three doubled bytes (F00 is 255.0.0), 6 or 8
// digits three or four bytes; anything else raises script/invalid-data with the issue.
void from_hex_issue(const Cell* issue, Cell* out);
// `tuple/all-zero`: true when every byte is 0 (zero?).
bool all_zero(const Cell* c);

// `tuple/arith`: the math actions (op codes 0 add ... 7 xor) of the first two stack
// arguments into the result slot. A tuple may come second (integer! and float! hand the
// operation on): subtract and divide then raise script/not-related, the others swap.
void arith(int32_t op);

// The tuple! a text loads as; script/bad-to-arg with tuple! and the text otherwise.
void from_text(Cell* out, const Cell* text);

}  // namespace zel::tuple
