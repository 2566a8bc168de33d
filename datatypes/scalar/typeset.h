// typeset!: a set of datatypes inside one cell (the 96-bit layout of core/typeset_bits.h).
// Every argument check of the runtime tests a value's type id against a typeset.
//
// Members are reported only up to the highest registered type id.
#pragma once
#include <cstdint>

#include "core/cell.h"

namespace zel::typeset {

// Appends a typeset! with the three given payload words (serializer loaders).
Cell* append_new(uint32_t block_node, uint32_t w1, uint32_t w2, uint32_t w3);
// Appends a typeset! of every datatype but unset! (an argument without a type block).
Cell* append_all_but_unset(uint32_t block_node);
// Appends a typeset! built from a function argument's type block: each word is replaced by
// its value; a datatype! adds its bit, a typeset! its bits, a word value the bit of object!;
// nested blocks are skipped; anything else raises script/invalid-type-spec.
Cell* append_from_spec(uint32_t block_node, const Cell* type_block);

inline void clear_cell(Cell* ts) { ts->header = TYPE_TYPESET; clear_payload(ts); }
// Adds a value's types: a word is replaced by its value; a typeset! adds its bits, a
// datatype! its bit; anything else raises script/invalid-arg.
void add_type(Cell* ts, const Cell* value);
// The number of member type ids from 1 to the highest registered one.
uint32_t count(const Cell* ts);
// A new block! of the member type words (integer! float! ...) in type id order, into out.
void types_to_block(const Cell* ts, Cell* out);
// The set operation of the first two stack arguments (ops 5 or, 6 and, 7 xor, 8 unique,
// 9 union, 10 intersect, 11 exclude, 12 difference) into the result slot. The second argument
// must be typeset! or datatype!, else script/invalid-arg.
void bitwise_op(int32_t op);
// The same operation for the set natives (union 9, intersect 10, exclude 11, difference 12,
// unique 8 giving a unchanged, and 5-7): a op b into out, which may be a or b.
void set_operation(Cell* out, int32_t op, const Cell* a, const Cell* b);
Cell* push_copy(const Cell* ts);

}  // namespace zel::typeset
