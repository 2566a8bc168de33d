// The 96-bit type set kept in a typeset! cell's three data words: bit t (type id t) is byte
// t >> 3 of the data words, mask 0x80 >> (t & 7) (most significant bit first).
#pragma once
#include <cstdint>

#include "core/cell.h"

namespace zel::typeset_bits {

inline bool has(const Cell* ts, uint32_t t) {
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&ts->d1);
    return t < 96 && (b[t >> 3] & (0x80u >> (t & 7))) != 0;
}
inline void add(Cell* ts, uint32_t t) {
    uint8_t* b = reinterpret_cast<uint8_t*>(&ts->d1);
    if (t < 96) b[t >> 3] |= uint8_t(0x80u >> (t & 7));
}
inline void clear(Cell* ts) { ts->d1 = ts->d2 = ts->d3 = 0; }
inline void unite(Cell* ts, const Cell* other) { ts->d1 |= other->d1; ts->d2 |= other->d2; ts->d3 |= other->d3; }
// Every datatype but unset!.
inline void set_all_but_unset(Cell* ts) {
    clear(ts);
    for (uint32_t t = 1; t <= TYPE_MAX; t++)
        if (t != TYPE_UNSET) add(ts, t);
}

}  // namespace zel::typeset_bits
