// Hash tables: open addressing over a power-of-two number of buckets, triangular probing
// (h, h+1, h+3, h+6 ...), two flag bits per bucket (bit 1 empty, bit 0 deleted; both clear:
// occupied), load factor 0.77.
//
// A table is a byte series holding a HashTableRecord; its arrays are series of their own,
// so the collector sees and moves them like any other series. Keys are 32-bit cell indexes
// into the table's value block, never addresses.
//
// hash! kind: a bucket's key is a cell position, or minus the 1-based number of a chain in
// the chain list (a raw array of nodes of 32-bit position arrays) when equal values share
// the bucket. The back-index (aux, one 32-bit entry a position: the 1-based bucket, or
// 0xFFFFFFFF when not indexed) leads from a position to its bucket, so entries are dropped
// and renumbered by position without hashing the cell again; its length is the number of
// positions the table covers. count is the number of occupied buckets (groups).
// map! kind: a bucket's key is the position of a key cell (every second cell of the block);
// keys are never deleted from the buckets (a removed pair keeps its key), and count is the
// number of live pairs, kept by the map code. There is no flag array (flags and aux are 0):
// the key array holds one 8-byte slot a bucket, the key's position plus one (0: empty) beside
// the key's full hash, so that a probe reads one slot and compares hashes before it reads a
// key cell, and growth re-places keys without hashing them again.
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
    uint32_t stamp;       // hash! kind: 1 while the index is stale (rebuilt at the next lookup)
};
static_assert(sizeof(Record) == 44);

Record* record(uint32_t table);

// A new table sized for size entries over the given block node (0: a new block is made).
// A symbol table indexes the words of its block; a hash! table indexes every cell of the
// block when index is set (else nothing yet); a map! table indexes nothing (the map code
// builds its index, normalising keys on the way).
uint32_t create(uint32_t size, uint32_t block_node, Kind kind, bool index = true);
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

// ---- hashing and key equality (every kind but the symbol kind) ----
uint32_t murmur3(const void* data, size_t len, uint32_t seed = 0);
uint32_t fmix32(uint32_t h);
// The 32-bit hash of a value (`hash-table/value-hash`). Text hashes fold case unless
// case_sensitive; words hash by canonical symbol, so case variants collide; series values of
// the any-block kinds hash by identity (node and head); -0.0 hashes as 0.0. Values whose equal
// forms may differ bit for bit (date!, money!) share one hash.
uint32_t value_hash(const Cell* v, bool case_sensitive = false);
// Whether a stored key equals a value as the tables see it: the same datatype, then the
// compare action under op (0 equal, 2 strict, 9 same, 12 find); float!, percent! and time!
// match by exact value (-0.0 = 0.0, a NaN matches a NaN) whatever the op but 9.
bool keys_equal(const Cell* stored, const Cell* value, int32_t op);

// ---- hash! kind (also the scratch tables of the block set operations) ----
//
// The table indexes positions of its block (cell indexes from the buffer start). Positions
// at or past the indexed length are not indexed; positions below it are indexed unless
// dropped one by one. Equal values (compare op 0, same datatype) share one bucket through a
// chain of positions. Nothing here evaluates Zel code; lookups read the cells of the block.

// Positions covered by the back-index (`indexed length`).
uint32_t indexed_length(uint32_t table);
// Whether the position is indexed.
bool is_indexed(uint32_t table, uint32_t position);
// Indexes the cell at the position (which must lie in the block); nothing when it already is.
void insert_position(uint32_t table, uint32_t position);
// Removes the position's index entry, if any (`hash-table/delete-key`).
void delete_position(uint32_t table, uint32_t position);
// Removes the index entries of n positions from first (`hash-table/drop-range`).
void drop_range(uint32_t table, uint32_t first, uint32_t n);
// Removes every index entry at or after first, so that the indexed length is at most first.
void drop_from(uint32_t table, uint32_t first);
// Indexes every step-th position from first to the block's tail (`hash-table/reindex`).
void reindex(uint32_t table, uint32_t first, uint32_t step);
// Brings a hash!'s index in step with its block: entries past the tail are dropped, cells
// past the indexed length are indexed.
void sync(uint32_t table);
// Adds shift to the indexed positions of count positions from first; with move, the
// back-index moves along (a gap of unindexed positions opens for a positive shift; for a
// negative one the entries of the -shift positions before first are dropped first). Returns
// 1 and changes nothing when count exceeds 30,000 (the caller then rebuilds), else 0
// (`hash-table/renumber-range`).
int32_t renumber_range(uint32_t table, int32_t shift, uint32_t first, uint32_t count, bool move);
// Renumbers the entries for a block move of count positions from first so that they start
// at target, the positions passed over shifting the other way (`hash-table/move-range`).
void move_range(uint32_t table, uint32_t target, uint32_t first, uint32_t count);
// New buckets and a fresh index of the whole block (`hash-table/rebuild`).
void rebuild(uint32_t table);
// No keys at all; the block itself is left alone (`hash-table/empty` without the block).
void empty(uint32_t table);
// The position of a value equal to the given one under op among the indexed positions
// (`hash-table/lookup`): forward, the lowest p >= start with (p - start) a multiple of
// skip; backward, the highest p <= start with (start - p) a multiple of skip. -1 when none.
int32_t lookup(uint32_t table, const Cell* value, int32_t start, int32_t skip, int32_t op, bool backward);
// A copy of the table indexing the new block (which holds the same cells): own copies of the
// record, the bucket arrays and, for a hash!, the back-index, the chain list and every chain
// (`hash-table/duplicate`).
uint32_t duplicate(uint32_t table, uint32_t new_block);

// ---- map! kind: keys at the even positions of the block ----

// The position of the first key of the same datatype equal to key under op (0, 2 or 9); a key
// of the word family is looked up as a set-word!. -1 when absent.
int32_t map_find(uint32_t table, const Cell* key, int32_t op);
// A resumable search for every equal key (`hash-table/lookup-next`): start with a fresh
// cursor; each call returns the next position or -1.
struct Cursor {
    uint32_t bucket = 0, step = 0, hash = 0;
    bool started = false;
};
int32_t map_find_next(uint32_t table, const Cell* key, int32_t op, Cursor& cursor);
// The same, giving the key's hash (the hash the table files it under) to hash.
int32_t map_find(uint32_t table, const Cell* key, int32_t op, uint32_t& hash);
// The hash the table files a key under (a key of the word family as a set-word!).
uint32_t map_key_hash(const Cell* key);
// Indexes the key at the position (known to be absent); the live count grows.
void map_insert(uint32_t table, uint32_t position);
// The same with the key's hash known (from map_find or map_key_hash).
void map_insert(uint32_t table, uint32_t position, uint32_t hash);
// New buckets for every key of the block (after the block was compacted); the live count is
// left to the caller.
void map_rebuild(uint32_t table);

// Collector: marks the record, its arrays and its indexed block.
void mark(uint32_t table);

// ---- entry kinds (3 and 4): pointer-keyed tables with entries (hashtable_entries.cpp) ----
// Each entry is (extra + 1) cells of the table's private entry series: the key cell (header
// unset! while the entry is live, 0 once deleted; the key in word 1) followed by extra payload
// cells. A bucket's key is the entry's byte offset in that series. Keys are node ids, which
// never change for a node's life, so these tables need no relocation stamp.
//
// The Cell* results point into the entry series: valid until the next insertion (which may
// grow or rebuild the series) or the next safe point.

// The key of an entry's key cell.
inline uint32_t entry_key(const Cell* key_cell) { return data_word(key_cell, 0); }
inline void set_entry_key(Cell* key_cell, uint32_t key) {
    set_data_word(key_cell, 0, key);
    set_data_word(key_cell, 1, 0);
    set_data_word(key_cell, 2, 0);
}

// A new entry table sized for size entries of extra payload cells each. May allocate.
uint32_t create_entries(uint32_t size, uint32_t extra, Kind kind);
// The payload cells of key's entry, making a live entry (payload unset!) when absent. A
// deleted bucket met on the way is reused with its entry. May allocate (grow or rebuild).
Cell* insert_pointer(uint32_t table, uint32_t key);
// The payload cells of key's entry, nullptr when absent. Never allocates.
Cell* lookup_pointer(uint32_t table, uint32_t key);
// Deletes key's entry (bucket marked deleted, key cell header 0); returns its payload cells
// (still readable until the bucket is reused), nullptr when absent. Never allocates.
Cell* delete_pointer(uint32_t table, uint32_t key);
// New buckets for request (at least 4, a power of two) and a new entry series holding only
// the live entries. May allocate.
void rebuild_entries(uint32_t table, uint32_t request);
// Deletes every live entry for which dead(key cell, data) is true; returns how many. Never
// allocates (the collector calls it while it sweeps).
uint32_t sweep_dead_entries(uint32_t table, bool (*dead)(const Cell* entry, void* data), void* data);
// Calls visit(key cell, data) for every live entry, in entry-series order. Never allocates.
void for_each_entry(uint32_t table, void (*visit)(Cell* entry, void* data), void* data);
// Cells per entry (extra + 1).
uint32_t entry_cells(uint32_t table);
// Collector: marks the record, the bucket arrays and the entry series as plain bytes, so
// that the entries keep nothing alive by themselves; the table's user marks the payloads.
void mark_entry_buffers(uint32_t table);

}  // namespace zel::hashtable
