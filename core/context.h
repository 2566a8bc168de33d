// Contexts map words to values. A context is a node whose buffer holds two cells:
//   cell 0  the context! cell (accessors ctx_* in core/cell.h): header bits 11-12 kind
//           (0 global, 1 function, 2 object), bit 22 values on the value stack, bit 24 object
//           context; word 1 the word-list hash table; word 2 the values node, or for stack
//           contexts the value-stack index + 1 of the running call's first argument (0 while
//           the function is not running)
//   cell 1  the owner value (the object! or function! the context belongs to)
// The word list (the table's indexed block) holds one word! cell per entry: word 1 the
// context, word 2 the symbol, word 3 the value slot index. A case variant added
// case-sensitively shares the slot of the first spelling.
#pragma once
#include <cstdint>

#include "core/cell.h"
#include "core/memory.h"

namespace zel::context {

enum Kind : uint32_t { KIND_GLOBAL = 0, KIND_FUNCTION = 1, KIND_OBJECT = 2 };
// The header bits are those of the map in core/cell.h.
constexpr uint32_t KIND_SHIFT = HEADER_CTX_KIND_SHIFT;
constexpr uint32_t ON_STACK = HEADER_CTX_ON_STACK;
constexpr uint32_t OBJECT_FLAG = HEADER_CTX_OBJECT;
constexpr uint32_t OWNER_BIT = HEADER_CTX_OWNER;         // the object owns its series (on-deep-change*)
constexpr uint32_t WORD_CHANGED = HEADER_WORD_CHANGED;   // word-list entry flag: slot written

extern uint32_t global;   // the global context's node

void init();

// A new context with room for n slots (0 taken as 1).
uint32_t allocate(uint32_t slots, bool on_stack, bool object, Kind kind);

inline Cell* record(uint32_t ctx) { return memory::buf(ctx)->cells(); }
inline Cell* owner(uint32_t ctx) { return &record(ctx)[1]; }
inline uint32_t table(uint32_t ctx) { return ctx_table(record(ctx)); }
inline Kind kind(uint32_t ctx) { return Kind(ctx_kind(record(ctx))); }
inline bool on_stack(uint32_t ctx) { return ctx_on_stack(record(ctx)); }
uint32_t word_list(uint32_t ctx);
uint32_t word_count(uint32_t ctx);
Cell* word_at(uint32_t ctx, uint32_t position);

// The slot index of the symbol, -1 when absent. Never adds.
int32_t index_of(uint32_t ctx, uint32_t symbol, bool case_insensitive);
// The slot index of the symbol, adding an entry (and, unless the values live on the stack,
// an unset value slot) when absent.
int32_t add_word(uint32_t ctx, uint32_t symbol, bool case_insensitive = true);
// The global slot index of a symbol, added when absent (case-insensitive match).
int32_t global_index(uint32_t symbol);

// First value cell, or nullptr for a stack context whose function is not running.
Cell* values(uint32_t ctx);
uint32_t values_node(uint32_t ctx);
// The value slot i; raises not-in-context for a function that is not running.
Cell* value_at(uint32_t ctx, int32_t index, const Cell* word_for_error = nullptr);

// A context with one slot per word!, get-word!, lit-word! and refinement! of the block,
// added case-insensitively.
uint32_t from_block(const Cell* spec, bool on_stack, bool object, Kind kind);
// A copy of ctx: same size and flags, a copy of the word list rebound to the copy, a copy of
// the values.
uint32_t duplicate(uint32_t ctx);
// Adds every set-word of the block (top level only) as a slot; true when slots were added.
bool collect_set_words(uint32_t ctx, const Cell* block);

// Binds the word to ctx when ctx has its symbol (case-insensitive).
bool bind_word(uint32_t ctx, Cell* word);
// Binds every word of the block, deeply (nested blocks, parens, paths). With self, the word
// self binds to ctx with index -1 (reads the owner value).
void bind_block(uint32_t block_node, int32_t head, uint32_t ctx, bool self);

}  // namespace zel::context
