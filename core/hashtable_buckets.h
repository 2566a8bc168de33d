// The bucket arrays every hash table kind shares, for hashtable.cpp and hashtable_entries.cpp
// only: two flag bits a bucket in one byte series, one 32-bit key a bucket in another, grown
// (rebuilt) when the occupied buckets reach the load factor.
#pragma once
#include <cstdint>

#include "core/hashtable.h"
#include "core/memory.h"

namespace zel::hashtable {

constexpr double LOAD_FACTOR = 0.77;
constexpr uint32_t BUCKET_EMPTY = 2, BUCKET_DELETED = 1, BUCKET_OCCUPIED = 0;

// The smallest power of two that is at least n and at least 4.
inline uint32_t pow2_at_least(uint64_t n) {
    uint64_t p = 4;
    while (p < n) p <<= 1;
    return uint32_t(p);
}

inline uint8_t* flag_bytes(const Record* r) { return memory::buf(r->flags)->data(); }
inline uint32_t* key_array(const Record* r) { return reinterpret_cast<uint32_t*>(memory::buf(r->keys)->data()); }

inline uint32_t bucket_flags(const uint8_t* f, uint32_t i) { return (f[i >> 2] >> ((i & 3) * 2)) & 3; }
inline void set_bucket_flags(uint8_t* f, uint32_t i, uint32_t v) {
    uint32_t shift = (i & 3) * 2;
    f[i >> 2] = uint8_t((f[i >> 2] & ~(3u << shift)) | (v << shift));
}

// A new table: its record series, all zero but the kind, without bucket arrays yet. Allocates.
uint32_t new_record(Kind kind);
// Fresh all-empty bucket arrays of n buckets (a power of two) written into the table's record,
// with no bucket occupied and the growth limit for n. Allocates.
void make_buckets(uint32_t table, uint32_t n);

}  // namespace zel::hashtable
