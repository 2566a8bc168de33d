// Interning of the runtime's fixed symbols.
#include "core/runtime_words.h"

#include "core/symbol.h"

namespace zel::runtime_words {

uint32_t ids[SYM_COUNT];

void init() {
    static const char* const spellings[] = {
#define ZEL_SYM(c, s) s,
#include "core/runtime_words.def"
#undef ZEL_SYM
    };
    for (int i = 0; i < SYM_COUNT; i++) ids[i] = symbol::intern(spellings[i]);
}

}  // namespace zel::runtime_words
