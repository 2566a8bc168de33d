// Hash tables of the entry kinds (3 and 4): pointer-keyed tables whose entries live in a
// private cell series of the table (see hashtable.h). The owners table of ownership.cpp is
// one of them.
//
// Layout reminders: the record's `aux` holds the entry size in bytes, `values` the entry
// series, and each bucket's key is the byte offset of its entry in that series. An entry's
// first cell is its key cell: header unset! while live, 0 once deleted, the key in word 1 (entry_key).
#include <cstring>

#include "core/collector.h"
#include "core/hashtable.h"
#include "core/hashtable_buckets.h"
#include "core/memory.h"

namespace zel::hashtable {

using memory::buf;

namespace {

inline uint32_t key_hash(uint32_t key) { return fmix32(key); }

// The entry (key cell) at a byte offset of the entry series.
inline Cell* entry_at(const Record* r, uint32_t offset) {
    return reinterpret_cast<Cell*>(buf(r->values)->data() + offset);
}

struct Probe {
    int64_t found = -1;          // bucket holding the key
    int64_t first_deleted = -1;  // first deleted bucket met on the way
    int64_t empty = -1;          // the empty bucket that ended the search
};

Probe probe(const Record* r, uint32_t key) {
    Probe p;
    uint32_t mask = r->buckets - 1;
    uint32_t i = key_hash(key) & mask;
    const uint8_t* f = flag_bytes(r);
    const uint32_t* keys = key_array(r);
    for (uint32_t step = 1; step <= r->buckets; step++) {
        uint32_t fl = bucket_flags(f, i);
        if (fl == BUCKET_EMPTY) {
            p.empty = i;
            return p;
        }
        if (fl == BUCKET_DELETED) {
            if (p.first_deleted < 0) p.first_deleted = i;
        } else if (entry_key(entry_at(r, keys[i])) == key) {
            p.found = i;
            return p;
        }
        i = (i + step) & mask;
    }
    return p;
}

// The first empty bucket on key's probe path (the table is known to have one).
uint32_t empty_bucket_for(const Record* r, uint32_t key) {
    uint32_t mask = r->buckets - 1;
    uint32_t i = key_hash(key) & mask;
    const uint8_t* f = flag_bytes(r);
    for (uint32_t step = 1; bucket_flags(f, i) != BUCKET_EMPTY; step++) i = (i + step) & mask;
    return i;
}

// Turns the entry at offset into a live entry for key with unset payload.
Cell* revive_entry(const Record* r, uint32_t offset, uint32_t key) {
    Cell* e = entry_at(r, offset);
    uint32_t cells = r->aux / sizeof(Cell);
    e->header = TYPE_UNSET;
    set_entry_key(e, key);
    for (uint32_t k = 1; k < cells; k++) set_unset(&e[k]);
    return e + 1;
}

void mark_deleted(Record* r, uint32_t bucket) {
    set_bucket_flags(flag_bytes(r), bucket, BUCKET_DELETED);
    Cell* e = entry_at(r, key_array(r)[bucket]);
    e->header = 0;
    r->count--;
}

}  // namespace

uint32_t create_entries(uint32_t size, uint32_t extra, Kind kind) {
    if (size < 4) size = 4;
    uint32_t table = new_record(kind);
    uint32_t n = pow2_at_least(uint64_t(size / LOAD_FACTOR));
    make_buckets(table, n);
    uint32_t entries = memory::new_cell_series(size_t(size) * (extra + 1));
    Record* r = record(table);
    r->aux = (extra + 1) * uint32_t(sizeof(Cell));
    r->values = entries;
    r->upper = uint32_t(n * LOAD_FACTOR);
    return table;
}

Cell* lookup_pointer(uint32_t table, uint32_t key) {
    const Record* r = record(table);
    Probe p = probe(r, key);
    if (p.found < 0) return nullptr;
    return entry_at(r, key_array(r)[p.found]) + 1;
}

Cell* insert_pointer(uint32_t table, uint32_t key) {
    Record* r = record(table);
    Probe p = probe(r, key);
    if (p.found >= 0) return entry_at(r, key_array(r)[p.found]) + 1;
    if (p.first_deleted >= 0) {
        // A deleted bucket is reused together with its entry.
        uint32_t b = uint32_t(p.first_deleted);
        set_bucket_flags(flag_bytes(r), b, BUCKET_OCCUPIED);
        r->count++;
        return revive_entry(r, key_array(r)[b], key);
    }
    if (r->occupied >= r->upper) {
        uint32_t request = (2 * r->count < r->buckets) ? r->buckets - 1 : r->buckets + 1;
        rebuild_entries(table, request);
        r = record(table);
    }
    uint32_t bucket = empty_bucket_for(r, key);
    uint32_t size = r->aux;
    SeriesBuf* eb = memory::ensure_room(r->values, size);
    uint32_t offset = eb->tail;
    eb->tail += size;
    r = record(table);
    set_bucket_flags(flag_bytes(r), bucket, BUCKET_OCCUPIED);
    key_array(r)[bucket] = offset;
    r->occupied++;
    r->count++;
    return revive_entry(r, offset, key);
}

Cell* delete_pointer(uint32_t table, uint32_t key) {
    Record* r = record(table);
    Probe p = probe(r, key);
    if (p.found < 0) return nullptr;
    uint32_t b = uint32_t(p.found);
    Cell* payload = entry_at(r, key_array(r)[b]) + 1;
    mark_deleted(r, b);
    return payload;
}

void rebuild_entries(uint32_t table, uint32_t request) {
    uint32_t n = pow2_at_least(request);
    Record before = *record(table);
    uint32_t cells = before.aux / sizeof(Cell);
    uint32_t entries = memory::new_cell_series(size_t(before.count + 1) * cells);
    make_buckets(table, n);
    Record* r = record(table);
    r->upper = uint32_t(n * LOAD_FACTOR + 0.5);
    r->values = entries;
    r->count = 0;
    // Copy the live entries in their old order and place each in the new buckets.
    SeriesBuf* old = buf(before.values);
    uint32_t old_bytes = old->tail;
    for (uint32_t off = 0; off + before.aux <= old_bytes; off += before.aux) {
        const Cell* src = reinterpret_cast<const Cell*>(buf(before.values)->data() + off);
        if (src->header != TYPE_UNSET) continue;
        SeriesBuf* eb = memory::ensure_room(entries, before.aux);
        uint32_t offset = eb->tail;
        std::memcpy(eb->data() + offset, buf(before.values)->data() + off, before.aux);
        eb->tail += before.aux;
        r = record(table);
        uint32_t bucket = empty_bucket_for(r, entry_key(src));
        set_bucket_flags(flag_bytes(r), bucket, BUCKET_OCCUPIED);
        key_array(r)[bucket] = offset;
        r->occupied++;
        r->count++;
    }
}

uint32_t sweep_dead_entries(uint32_t table, bool (*dead)(const Cell* entry, void* data), void* data) {
    Record* r = record(table);
    uint32_t cells = r->aux / sizeof(Cell);
    uint32_t dropped = 0;
    for (uint32_t b = 0; b < r->buckets; b++) {
        if (bucket_flags(flag_bytes(r), b) != BUCKET_OCCUPIED) continue;
        Cell* e = entry_at(r, key_array(r)[b]);
        if (!dead(e, data)) continue;
        mark_deleted(r, b);
        for (uint32_t k = 1; k < cells; k++) set_unset(&e[k]);
        dropped++;
    }
    return dropped;
}

void for_each_entry(uint32_t table, void (*visit)(Cell* entry, void* data), void* data) {
    const Record* r = record(table);
    uint32_t size = r->aux;
    uint32_t bytes = buf(r->values)->tail;
    for (uint32_t off = 0; off + size <= bytes; off += size) {
        Cell* e = entry_at(r, off);
        if (e->header == TYPE_UNSET) visit(e, data);
    }
}

uint32_t entry_cells(uint32_t table) { return record(table)->aux / sizeof(Cell); }

void mark_entry_buffers(uint32_t table) {
    if (table == 0) return;
    collector::mark_node_bytes(table);
    const Record* r = record(table);
    collector::mark_node_bytes(r->flags);
    collector::mark_node_bytes(r->keys);
    collector::mark_node_bytes(r->values);
}

}  // namespace zel::hashtable
