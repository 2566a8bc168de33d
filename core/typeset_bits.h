// The 96-bit type set kept in a typeset! cell's three data words: bit t (type id t) is byte
// t >> 3 of the data words, mask 0x80 >> (t & 7) (most significant bit first).
#pragma once
#include <cstdint>

#include "core/cell.h"

namespace zel::typeset_bits {

inline bool has(const Cell* ts, uint32_t t) {
    const uint8_t* b = payload_bytes(ts);
    return t < 96 && (b[t >> 3] & (0x80u >> (t & 7))) != 0;
}
inline void add(Cell* ts, uint32_t t) {
    uint8_t* b = payload_bytes(ts);
    if (t < 96) b[t >> 3] |= uint8_t(0x80u >> (t & 7));
}
inline void clear(Cell* ts) { clear_payload(ts); }
inline void unite(Cell* ts, const Cell* other) {
    for (int i = 0; i < 3; i++) set_data_word(ts, i, data_word(ts, i) | data_word(other, i));
}
// Every datatype but unset!.
inline void set_all_but_unset(Cell* ts) {
    clear(ts);
    for (uint32_t t = 1; t <= TYPE_MAX; t++)
        if (t != TYPE_UNSET) add(ts, t);
}

}  // namespace zel::typeset_bits
