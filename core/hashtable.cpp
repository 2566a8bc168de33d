// Hash tables (see hashtable.h).
#include "core/hashtable.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <strings.h>
#include <vector>

#include "core/actions.h"
#include "core/collector.h"
#include "core/memory.h"
#include "core/symbol.h"
#include "datatypes/series/case_map.h"

namespace zel::hashtable {

using memory::buf;

namespace {

constexpr double LOAD_FACTOR = 0.77;

uint32_t pow2_at_least(uint64_t n) {
    uint64_t p = 4;
    while (p < n) p <<= 1;
    return uint32_t(p);
}

uint8_t* flag_bytes(const Record* r) { return buf(r->flags)->data(); }
uint32_t* key_array(const Record* r) { return reinterpret_cast<uint32_t*>(buf(r->keys)->data()); }

inline uint32_t bucket_flags(const uint8_t* f, uint32_t i) { return (f[i >> 2] >> ((i & 3) * 2)) & 3; }
inline void set_bucket_flags(uint8_t* f, uint32_t i, uint32_t v) {
    uint32_t shift = (i & 3) * 2;
    f[i >> 2] = uint8_t((f[i >> 2] & ~(3u << shift)) | (v << shift));
}
constexpr uint32_t BUCKET_EMPTY = 2, BUCKET_DELETED = 1, BUCKET_OCCUPIED = 0;

// Makes fresh, all-empty bucket arrays for n buckets.
void make_buckets(uint32_t table, uint32_t n) {
    uint32_t flags = memory::new_series(n / 4 < 16 ? 16 : n / 4, 1);
    uint32_t keys = memory::new_series(n, 4);
    SeriesBuf* fb = buf(flags);
    std::memset(fb->data(), 0xAA, fb->size);
    fb->tail = n / 4 < 1 ? 1 : n / 4;
    SeriesBuf* kb = buf(keys);
    std::memset(kb->data(), 0, kb->size);
    kb->tail = n * 4;
    Record* r = record(table);
    r->flags = flags;
    r->keys = keys;
    r->buckets = n;
    r->upper = uint32_t(n * LOAD_FACTOR);
    r->occupied = 0;
}

uint32_t word_hash(uint32_t symbol) { return fmix32(symbol::canonical(symbol)); }

Cell* word_list_cell(const Record* r, uint32_t position) { return &buf(r->values)->cells()[position]; }

// Places a word-list position in the buckets (the word is known to be absent).
void place_word(uint32_t table, uint32_t position) {
    Record* r = record(table);
    uint32_t sym = word_symbol(word_list_cell(r, position));
    uint32_t mask = r->buckets - 1;
    uint32_t i = word_hash(sym) & mask;
    uint8_t* f = flag_bytes(r);
    for (uint32_t step = 1;; step++) {
        uint32_t fl = bucket_flags(f, i);
        if (fl != BUCKET_OCCUPIED) {
            if (fl == BUCKET_EMPTY) r->occupied++;
            set_bucket_flags(f, i, BUCKET_OCCUPIED);
            key_array(r)[i] = position;
            r->count++;
            return;
        }
        i = (i + step) & mask;
    }
}

void rebuild_words(uint32_t table, uint32_t buckets) {
    make_buckets(table, buckets);
    Record* r = record(table);
    r->count = 0;
    uint32_t n = buf(r->values)->length();
    for (uint32_t p = 0; p < n; p++) place_word(table, p);
}

const uint8_t ascii_fold_table[256] = {
#define R(b) b, b + 1, b + 2, b + 3, b + 4, b + 5, b + 6, b + 7
    R(0), R(8), R(16), R(24), R(32), R(40), R(48), R(56),
    64, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 'l', 'm', 'n', 'o',
    'p', 'q', 'r', 's', 't', 'u', 'v', 'w', 'x', 'y', 'z', 91, 92, 93, 94, 95,
    R(96), R(104), R(112), R(120), R(128), R(136), R(144), R(152), R(160), R(168), R(176),
    R(184), R(192), R(200), R(208), R(216), R(224), R(232), R(240), R(248)
#undef R
};

uint32_t folded_hash(const char* text, size_t len) {
    std::string folded(len, '\0');
    for (size_t i = 0; i < len; i++) folded[i] = char(ascii_fold_table[uint8_t(text[i])]);
    return murmur3(folded.data(), len);
}

bool same_folded(const char* a, const char* b, size_t len) {
    for (size_t i = 0; i < len; i++)
        if (ascii_fold_table[uint8_t(a[i])] != ascii_fold_table[uint8_t(b[i])]) return false;
    return true;
}

void init_hash_arrays(uint32_t table, uint32_t size);

}  // namespace

Record* record(uint32_t table) { return reinterpret_cast<Record*>(buf(table)->data()); }

uint32_t create(uint32_t size, uint32_t block_node, Kind kind, bool index) {
    if (kind == KIND_SYMBOLS && size >= 4000) size *= 2;
    if (size < 4) size = 4;
    uint32_t table = memory::new_series(sizeof(Record), 1);
    SeriesBuf* tb = buf(table);
    std::memset(tb->data(), 0, sizeof(Record));
    tb->tail = sizeof(Record);
    record(table)->kind = kind;
    make_buckets(table, pow2_at_least(uint64_t(size / LOAD_FACTOR)));
    if (block_node == 0) block_node = memory::new_cell_series(size);
    record(table)->values = block_node;
    if (kind == KIND_SYMBOLS) {
        uint32_t n = buf(block_node)->length();
        for (uint32_t p = 0; p < n; p++) index_word(table, p);
    } else if (kind == KIND_HASH) {
        init_hash_arrays(table, size);
        if (index) reindex(table, 0, 1);
    }
    return table;
}

uint32_t duplicate_word_list(uint32_t table) {
    uint32_t copy = memory::duplicate_series(table);
    Record src = *record(table);
    uint32_t flags = memory::duplicate_series(src.flags);
    uint32_t keys = memory::duplicate_series(src.keys);
    uint32_t values = memory::duplicate_series(src.values);
    Record* r = record(copy);
    r->flags = flags;
    r->keys = keys;
    r->values = values;
    return copy;
}

int32_t find_word(uint32_t table, uint32_t symbol, bool by_canonical) {
    Record* r = record(table);
    uint32_t mask = r->buckets - 1;
    uint32_t want = by_canonical ? symbol::canonical(symbol) : symbol;
    uint32_t i = word_hash(symbol) & mask;
    const uint8_t* f = flag_bytes(r);
    const uint32_t* keys = key_array(r);
    const Cell* words = buf(r->values)->cells();
    for (uint32_t step = 1; step <= r->buckets; step++) {
        uint32_t fl = bucket_flags(f, i);
        if (fl == BUCKET_EMPTY) return -1;
        if (fl == BUCKET_OCCUPIED) {
            uint32_t pos = keys[i];
            uint32_t sym = word_symbol(&words[pos]);
            if ((by_canonical ? symbol::canonical(sym) : sym) == want) return int32_t(pos);
        }
        i = (i + step) & mask;
    }
    return -1;
}

void index_word(uint32_t table, uint32_t position) {
    Record* r = record(table);
    if (r->occupied >= r->upper) {
        uint32_t request = (2 * r->count < r->buckets) ? r->buckets : r->buckets * 2;
        rebuild_words(table, pow2_at_least(request));
    }
    place_word(table, position);
}

uint32_t intern_symbol(uint32_t table, const char* text, size_t len, bool any_case) {
    Record* r = record(table);
    if (r->occupied >= r->upper) {
        // Re-place every symbol into a table twice as large.
        uint32_t n = buf(r->values)->length();
        make_buckets(table, r->buckets * 2);
        r = record(table);
        r->count = 0;
        for (uint32_t p = 0; p < n; p++) {
            const Cell* s = &buf(r->values)->cells()[p];
            SeriesBuf* sp = buf(s->d3);
            uint32_t mask = r->buckets - 1;
            uint32_t i = folded_hash(reinterpret_cast<const char*>(sp->data()), sp->tail) & mask;
            uint8_t* f = flag_bytes(r);
            for (uint32_t step = 1; bucket_flags(f, i) != BUCKET_EMPTY; step++) i = (i + step) & mask;
            set_bucket_flags(f, i, BUCKET_OCCUPIED);
            key_array(r)[i] = p;
            r->occupied++;
            r->count++;
        }
    }
    uint32_t mask = r->buckets - 1;
    uint32_t start = folded_hash(text, len) & mask;
    int64_t empty_bucket = -1;
    int32_t alias = -1;
    for (int pass = any_case ? 1 : 0; pass < 2; pass++) {
        uint32_t i = start;
        const uint8_t* f = flag_bytes(r);
        const uint32_t* keys = key_array(r);
        const Cell* syms = buf(r->values)->cells();
        for (uint32_t step = 1; step <= r->buckets; step++) {
            uint32_t fl = bucket_flags(f, i);
            if (fl == BUCKET_EMPTY) {
                if (empty_bucket < 0) empty_bucket = i;
                break;
            }
            if (fl == BUCKET_OCCUPIED) {
                const SeriesBuf* sp = buf(syms[keys[i]].d3);
                if (sp->tail == len) {
                    const char* st = reinterpret_cast<const char*>(sp->data());
                    if (pass == 0 && std::memcmp(st, text, len) == 0) return keys[i] + 1;
                    if (pass == 1 && same_folded(st, text, len)) {
                        if (any_case) return keys[i] + 1;
                        alias = int32_t(keys[i] + 1);
                        break;
                    }
                }
            }
            i = (i + step) & mask;
        }
        if (alias > 0) break;
    }
    if (empty_bucket < 0) {
        // Only reached when no empty bucket exists on the probe path: walk for one.
        uint32_t i = start;
        const uint8_t* f = flag_bytes(r);
        for (uint32_t step = 1; bucket_flags(f, i) != BUCKET_EMPTY; step++) i = (i + step) & mask;
        empty_bucket = i;
    }
    // Make the symbol: its spelling series holds the text and a NUL past the tail.
    uint32_t spelling = memory::new_series(len + 1, 1);
    SeriesBuf* sp = buf(spelling);
    std::memcpy(sp->data(), text, len);
    sp->data()[len] = 0;
    sp->tail = uint32_t(len);
    r = record(table);
    uint32_t position = buf(r->values)->length();
    Cell* s = memory::append_cell(r->values);
    s->header = TYPE_SYMBOL;
    s->d1 = uint32_t(alias);
    s->d2 = 0;
    s->d3 = spelling;
    r = record(table);
    uint8_t* f = flag_bytes(r);
    set_bucket_flags(f, uint32_t(empty_bucket), BUCKET_OCCUPIED);
    key_array(r)[empty_bucket] = position;
    r->occupied++;
    r->count++;
    return position + 1;
}

uint32_t fmix32(uint32_t h) {
    h ^= h >> 16;
    h *= 0x85ebca6b;
    h ^= h >> 13;
    h *= 0xc2b2ae35;
    h ^= h >> 16;
    return h;
}

uint32_t murmur3(const void* data, size_t len, uint32_t seed) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    size_t blocks = len / 4;
    uint32_t h = seed;
    const uint32_t c1 = 0xcc9e2d51, c2 = 0x1b873593;
    for (size_t i = 0; i < blocks; i++) {
        uint32_t k;
        std::memcpy(&k, p + i * 4, 4);
        k *= c1;
        k = (k << 15) | (k >> 17);
        k *= c2;
        h ^= k;
        h = (h << 13) | (h >> 19);
        h = h * 5 + 0xe6546b64;
    }
    const uint8_t* tail = p + blocks * 4;
    uint32_t k = 0;
    switch (len & 3) {
        case 3: k ^= uint32_t(tail[2]) << 16; [[fallthrough]];
        case 2: k ^= uint32_t(tail[1]) << 8; [[fallthrough]];
        case 1:
            k ^= tail[0];
            k *= c1;
            k = (k << 15) | (k >> 17);
            k *= c2;
            h ^= k;
    }
    h ^= uint32_t(len);
    return fmix32(h);
}

void mark(uint32_t table) {
    if (table == 0 || collector::is_marked(table)) return;
    collector::mark_node_bytes(table);
    const Record* r = record(table);
    collector::mark_node_bytes(r->flags);
    collector::mark_node_bytes(r->keys);
    if (r->kind == KIND_HASH) {
        if (r->aux) collector::mark_node_bytes(r->aux);
        if (r->chains) {
            collector::mark_node_bytes(r->chains);
            const SeriesBuf* cl = buf(r->chains);
            const uint32_t* chain = reinterpret_cast<const uint32_t*>(cl->data());
            for (uint32_t i = 0; i < cl->tail / 4; i++)
                if (chain[i]) collector::mark_node_bytes(chain[i]);
        }
    }
    collector::mark_node_cells(r->values);
}

}  // namespace zel::hashtable
