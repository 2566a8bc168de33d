// Symbols: every name is interned once in the symbol table and then handled as a small
// integer id (position in the symbol block + 1). The table is case-preserving: a later case
// variant carries an alias to the first spelling, its canonical symbol; case-insensitive
// comparisons compare canonical ids. Folding is ASCII only.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/cell.h"
#include "core/memory.h"

namespace zel::symbol {

void init();

uint32_t intern(const char* text, size_t len);
uint32_t intern(std::string_view text);

// The UTF-8 spelling (not NUL-terminated in the view; the buffer has a NUL after it).
std::string_view spelling(uint32_t id);
// The symbol's cached string! node, made on first use. Language code gets copies only.
uint32_t spelling_string(uint32_t id);
uint32_t count();

// The symbol table's node and block node (collector roots, set by init).
extern uint32_t table_node;
extern uint32_t block_node;

// Inline: every word look-up that folds case asks for canonical ids.
inline const Cell* entry(uint32_t id) { return &memory::buf(block_node)->cells()[id - 1]; }
inline int32_t alias_of(uint32_t id) { return symbol_alias(entry(id)); }
inline uint32_t canonical(uint32_t id) {
    int32_t alias = alias_of(id);
    return alias > 0 ? uint32_t(alias) : id;
}
inline bool same_canonical(uint32_t a, uint32_t b) { return a == b || canonical(a) == canonical(b); }

}  // namespace zel::symbol
