// bitset!: a growable array of bits, used as a character set (parse rules, trim and split
// delimiters) and as a set of small integers.
//
// Cell: a series cell (word 1 head index, always 0; word 2 node of a byte buffer; word 3 0).
// Bit i is the bit 0x80 >> (i mod 8) of byte i div 8 (most significant bit first); the
// buffer's byte length times 8 is the bitset's length.
//
// Complement: the buffer flag F_BITSET_COMPLEMENT marks a complemented bitset. The stored
// bits always hold the membership of the bits inside the buffer; the flag says that every
// bit beyond the buffer is a member too, which keeps sets such as "every character but a few"
// finite. Growing a complemented bitset fills the new bytes with 0xFF, a plain one with 0x00.
//
// The spec language (chars, integers, ranges "a - z", strings, a leading `not`) is parsed
// here and used by every action that adds, tests or removes bits. Functions taking a bitset
// may grow its buffer: re-derive data pointers after them. Nothing here evaluates Zel code
// except the owner notifications of the modifying actions.
#pragma once
#include <cstdint>

#include "core/cell.h"
#include "core/memory.h"

namespace zel::bitset {

inline bool is_complemented(const Cell* bs) { return (memory::buf(series_node(bs))->flags & F_BITSET_COMPLEMENT) != 0; }
// `bitset/data-start`, `bitset/data-end`: the first byte and the end of the byte buffer.
inline uint8_t* data_start(const Cell* bs) { return memory::buf(series_node(bs))->data(); }
inline uint8_t* data_end(const Cell* bs) { return memory::buf(series_node(bs))->tail_ptr(); }
inline uint32_t byte_length(const Cell* bs) { return memory::buf(series_node(bs))->tail; }

// Writes a new bitset of the given byte count into out: every byte 0x00, or 0xFF and the
// complement flag with complemented.
void init_cell(Cell* out, uint32_t bytes, bool complemented);

// `bitset/grow-to-bit`: makes byte bit div 8 exist (new bytes filled by the complement flag)
// and moves the tail past it. Returns the data start.
uint8_t* grow_to_bit(const Cell* bs, uint32_t bit);
// `bitset/bit-outside`: true when the bit is negative or beyond the buffer's tail.
bool bit_outside(const Cell* bs, int64_t bit);
// `bitset/invert-bytes`: inverts every stored byte.
void invert_bytes(uint32_t node);
// Whether the bit is a member (a bit beyond the buffer answers the complement flag).
bool has(const Cell* bs, uint32_t bit);

// `bitset/mold-hex`: two upper-case hexadecimal digits per stored byte (of the inverted byte
// when complemented); with limited set, stops once the budget falls below 0. Returns the
// budget minus the characters written.
int32_t mold_hex(const Cell* bs, uint32_t buffer, bool limited, int32_t budget, bool complemented);

// The operations of process_spec.
enum SpecOp : int32_t { OP_MEASURE = 0, OP_SET = 1, OP_TEST = 2, OP_CLEAR = 3 };
// Which error a value that is not a spec raises: make (script/bad-make-arg), to
// (script/bad-to-arg) or any other action (script/invalid-arg).
enum class Origin { MAKE, TO, OTHER };

// `bitset/process-spec`: runs op over every bit the spec names (char!, integer!, float!
// truncated, text from its head, block! with "first - last" ranges). OP_MEASURE returns the
// highest bit named (-1 when none) and needs no bitset; OP_TEST returns 1 when every named bit
// is a member, else 0; OP_SET and OP_CLEAR add and remove members and return 0. A negative bit
// raises script/out-of-range (testing answers 0 instead); a binary! raises internal/not-done.
int64_t process_spec(const Cell* spec, const Cell* bs, int32_t op, Origin origin);
// `bitset/process-string`: the same over the code points of a text value from its head.
int64_t process_string(const Cell* text, const Cell* bs, int32_t op);

// `bitset/bitwise-op` for the set natives: op 5 or / 9 union, 6 and / 10 intersect, 7 xor /
// 12 difference, 11 exclude, 8 unique (a unchanged). b must be bitset! (else
// script/invalid-type with its datatype). The result, a new bitset, goes into out (which may
// be a or b). Members beyond both buffers follow the two complement flags through the same
// operation.
void set_operation(Cell* out, int32_t op, const Cell* a, const Cell* b);

}  // namespace zel::bitset
