// The runtime word tables (runtime_words.def): the symbols the runtime's own code compares
// against, interned once at start-up, and the runtime's words, entered in the global context
// then. Refinements and issues are made from the same symbols on demand (make_word).
#pragma once
#include <cstdint>

#include "core/cell.h"

namespace zel {

enum SymId {
#define ZEL_SYM(c, s) SYM_##c,
#include "core/runtime_words.def"
#undef ZEL_SYM
    SYM_COUNT
};

namespace runtime_words {
extern uint32_t ids[SYM_COUNT];
// `runtime-words/init`: interns every symbol and enters the runtime's words in the global
// context (call after the global context exists).
void init();
// True for the entries that have their word in the global context from the start.
bool is_global_word(SymId s);
// A word of type t (word!, refinement!, issue! ...) of the symbol, bound to the global
// context.
void make_word(Cell* out, SymId s, uint32_t t = TYPE_WORD);
}  // namespace runtime_words

// The symbol id of a runtime word.
inline uint32_t sym(SymId s) { return runtime_words::ids[s]; }

}  // namespace zel
