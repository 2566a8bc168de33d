// The runtime word tables (see runtime_words.h).
#include "core/runtime_words.h"

#include "core/context.h"
#include "core/symbol.h"
#include "core/word.h"

namespace zel::runtime_words {

uint32_t ids[SYM_COUNT];

namespace {

struct Entry {
    const char* spelling;
    bool global_word;
};

const Entry entries[] = {
#define ZEL_SYM(c, s) {s, false},
#define ZEL_WORD(c, s) {s, true},
#include "core/runtime_words.def"
#undef ZEL_WORD
#undef ZEL_SYM
};
static_assert(sizeof(entries) / sizeof(entries[0]) == SYM_COUNT, "one entry per symbol");

}  // namespace

void init() {
    for (int i = 0; i < SYM_COUNT; i++) ids[i] = symbol::intern(entries[i].spelling);
    if (!context::global) return;
    for (int i = 0; i < SYM_COUNT; i++)
        if (entries[i].global_word) context::global_index(ids[i]);
}

bool is_global_word(SymId s) { return entries[s].global_word; }

void make_word(Cell* out, SymId s, uint32_t t) { word::make_global(out, t, ids[s]); }

}  // namespace zel::runtime_words
