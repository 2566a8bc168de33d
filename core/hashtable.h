// Hash tables: open addressing over a power-of-two number of buckets, triangular probing
// (h, h+1, h+3, h+6 ...), two flag bits per bucket (bit 1 empty, bit 0 deleted; both clear:
// occupied), load factor 0.77.
//
// A table is a byte series holding a HashTableRecord; its arrays are series of their own,
// so the collector sees and moves them like any other series. Keys are 32-bit cell indexes
// into the table's value block, never addresses.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/cell.h"

namespace zel::hashtable {

enum Kind : uint32_t {
    KIND_HASH = 0,     // index of a hash! block (and the block set operations)
    KIND_MAP = 1,      // key index of a map!
    KIND_SYMBOLS = 2,  // the symbol table and every context's word list
    KIND_ENTRIES = 3,  // pointer-keyed table with its own entries
    KIND_OWNERS = 4,   // the owners table
};

struct Record {
    uint32_t count;       // live keys
    uint32_t aux;         // hash!: back-index array node; entry kinds: entry size in bytes
    uint32_t chains;      // hash!: chain list node
    uint32_t flags;       // bucket flag array node (2 bits a bucket)
    uint32_t keys;        // key array node (one u32 a bucket)
    uint32_t values;      // the indexed block (or the private entry series)
    uint32_t occupied;    // live plus deleted buckets
    uint32_t buckets;     // power of two, at least 4
    uint32_t upper;       // grow when occupied reaches this
    uint32_t kind;
    uint32_t stamp;
};
static_assert(sizeof(Record) == 44);

Record* record(uint32_t table);

// A new table sized for size entries over the given block node (0: a new block is made).
uint32_t create(uint32_t size, uint32_t block_node, Kind kind);
// A copy of a word-list table over a copy of its word list (for a context made from another).
uint32_t duplicate_word_list(uint32_t table);

// ---- symbol kind: word lists of contexts ----
// Index (0-based position in the word list) of the word with that symbol, -1 when absent.
// by_canonical compares canonical symbol ids (case-insensitive).
int32_t find_word(uint32_t table, uint32_t symbol, bool by_canonical);
// Records that the word-list cell at position index is indexed (after appending it).
void index_word(uint32_t table, uint32_t position);

// ---- symbol kind: the symbol table ----
// The id (position + 1) of the symbol with this text, making it when new. With any_case a
// case-insensitive match is returned as it is (start-up only).
uint32_t intern_symbol(uint32_t table, const char* text, size_t len, bool any_case);

// ---- hashing ----
uint32_t murmur3(const void* data, size_t len, uint32_t seed = 0);
uint32_t fmix32(uint32_t h);

// Collector: marks the record, its arrays and its indexed block.
void mark(uint32_t table);

}  // namespace zel::hashtable
