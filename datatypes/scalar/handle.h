// handle!: an opaque 32-bit operating-system resource number carried through language code
// (a file descriptor, or the registry id of a monitor, window, font or rich-text layout).
// Language code can only print and compare handles; the units that own the resources make
// them.
//
// Cell: word 1 the subtype, word 2 the 32-bit value, word 3 0xFFFFFFFF (-1).
#pragma once
#include <cstdint>

#include "core/cell.h"

namespace zel::handle {

enum Subtype : uint32_t {
    PLAIN = 0,
    FD = 1,
    MONITOR = 2,
    WINDOW = 3,
    FONT = 4,
    RICH_TEXT = 5,
};

inline void write_cell(Cell* c, uint32_t value, uint32_t subtype) {
    c->header = TYPE_HANDLE;
    set_data_word(c, 0, subtype);
    set_data_word(c, 1, value);
    set_data_word(c, 2, 0xFFFFFFFFu);
}
void set_result(uint32_t value, uint32_t subtype);
Cell* append_new(uint32_t block_node, uint32_t value, uint32_t subtype);
Cell* push(uint32_t value, uint32_t subtype);
inline Cell* push_plain(uint32_t value) { return push(value, PLAIN); }
inline uint32_t cell_value(const Cell* c) { return data_word(c, 1); }
inline uint32_t subtype_of(const Cell* c) { return data_word(c, 0); }

// The name of a subtype ("fd", "monitor", "window", "font", "rich-text"), nullptr for the
// plain handle and for unknown subtypes.
const char* subtype_name(uint32_t subtype);

}  // namespace zel::handle
