// Symbols (see symbol.h).
#include "core/symbol.h"

#include <string>

#include "core/collector.h"
#include "core/hashtable.h"
#include "core/memory.h"
#include "core/text.h"

namespace zel::symbol {

uint32_t table_node = 0;
uint32_t block_node = 0;

void init() {
    block_node = memory::new_cell_series(4000);
    table_node = hashtable::create(4000, block_node, hashtable::KIND_SYMBOLS);
    collector::register_node_root(&table_node, collector::NodeRootKind::Table);
}

uint32_t intern(const char* text, size_t len) {
    return hashtable::intern_symbol(table_node, text, len, false);
}

uint32_t intern(std::string_view text) { return intern(text.data(), text.size()); }

std::string_view spelling(uint32_t id) {
    const SeriesBuf* b = memory::buf(symbol_spelling(entry(id)));
    return std::string_view(reinterpret_cast<const char*>(b->data()), b->tail);
}

uint32_t spelling_string(uint32_t id) {
    if (uint32_t cached = symbol_string(entry(id))) return cached;
    std::string_view text = spelling(id);
    std::string copy(text);
    uint32_t node = string::node_from_utf8(copy.data(), copy.size());
    set_symbol_string(&memory::buf(block_node)->cells()[id - 1], node);
    return node;
}

uint32_t count() { return memory::buf(block_node)->length(); }

}  // namespace zel::symbol
