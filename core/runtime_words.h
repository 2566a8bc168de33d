// Fixed symbols of the runtime (runtime_words.def), interned once at start-up.
#pragma once
#include <cstdint>

namespace zel {

enum SymId {
#define ZEL_SYM(c, s) SYM_##c,
#include "core/runtime_words.def"
#undef ZEL_SYM
    SYM_COUNT
};

namespace runtime_words {
extern uint32_t ids[SYM_COUNT];
void init();
}  // namespace runtime_words

// The symbol id of a runtime word.
inline uint32_t sym(SymId s) { return runtime_words::ids[s]; }

}  // namespace zel
