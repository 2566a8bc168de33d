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
#include "core/hashtable_buckets.h"
#include "core/memory.h"
#include "core/symbol.h"
#include "core/case_map.h"

namespace zel::hashtable {

using memory::buf;

namespace {

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
    // Words are short: their folded copy lives on the stack, with no allocation to zero.
    char small[128] = {};
    std::string large;
    char* folded = small;
    if (len > sizeof small) {
        large.resize(len);
        folded = large.data();
    }
    for (size_t i = 0; i < len; i++) folded[i] = char(ascii_fold_table[uint8_t(text[i])]);
    return murmur3(folded, len);
}

bool same_folded(const char* a, const char* b, size_t len) {
    for (size_t i = 0; i < len; i++)
        if (ascii_fold_table[uint8_t(a[i])] != ascii_fold_table[uint8_t(b[i])]) return false;
    return true;
}

void init_hash_arrays(uint32_t table, uint32_t size);

}  // namespace

Record* record(uint32_t table) { return reinterpret_cast<Record*>(buf(table)->data()); }

uint32_t new_record(Kind kind) {
    uint32_t table = memory::new_series(sizeof(Record), 1);
    SeriesBuf* tb = buf(table);
    std::memset(tb->data(), 0, sizeof(Record));
    tb->tail = sizeof(Record);
    record(table)->kind = kind;
    return table;
}

void make_buckets(uint32_t table, uint32_t n) {
    if (record(table)->kind == KIND_MAP) {
        // The map kind keeps one 8-byte slot a bucket (map_slots), all zero while empty, and
        // no flag array.
        uint32_t slots = memory::new_series(size_t(n) * 2, 4);
        SeriesBuf* sb = buf(slots);
        std::memset(sb->data(), 0, sb->size);
        sb->tail = n * 8;
        Record* r = record(table);
        r->flags = 0;
        r->aux = 0;
        r->keys = slots;
        r->buckets = n;
        r->upper = uint32_t(n * LOAD_FACTOR);
        r->occupied = 0;
        return;
    }
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

uint32_t create(uint32_t size, uint32_t block_node, Kind kind, bool index) {
    if (kind == KIND_SYMBOLS && size >= 4000) size *= 2;
    if (size < 4) size = 4;
    uint32_t table = new_record(kind);
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
            SeriesBuf* sp = buf(symbol_spelling(s));
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
                const SeriesBuf* sp = buf(symbol_spelling(&syms[keys[i]]));
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
    set_symbol_alias(s, alias);
    set_symbol_string(s, 0);
    set_symbol_spelling(s, spelling);
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
    if (r->flags) collector::mark_node_bytes(r->flags);
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

// ======================================================================================
// Value hashing, and the hash! and map! kinds.
// ======================================================================================

namespace {

inline void mix_block(uint32_t& h, uint32_t k) {
    k *= 0xcc9e2d51;
    k = (k << 15) | (k >> 17);
    k *= 0x1b873593;
    h ^= k;
    h = (h << 13) | (h >> 19);
    h = h * 5 + 0xe6546b64;
}

// The MurmurHash3 blocks of n code points of one storage width from from (folded to upper
// case unless case_sensitive), before the finalisation.
template <typename Unit>
uint32_t mix_units(const Unit* d, uint32_t from, uint32_t n, bool case_sensitive) {
    uint32_t h = 0;
    if (case_sensitive) {
        for (uint32_t i = from; i < from + n; i++) mix_block(h, d[i]);
    } else {
        for (uint32_t i = from; i < from + n; i++) mix_block(h, case_map::upper_char(d[i]));
    }
    return h;
}

// MurmurHash3 over the code points of a text from its head, each one a 32-bit block; the
// length fed to the finalisation is 4 bytes a code point. limit < 0: up to the tail.
uint32_t text_hash(const Cell* v, bool case_sensitive, int64_t limit) {
    const SeriesBuf* b = buf(series_node(v));
    uint32_t len = b->length();
    int32_t head = series_head(v);
    uint32_t from = head < 0 ? 0 : (uint32_t(head) > len ? len : uint32_t(head));
    uint32_t n = len - from;
    if (limit >= 0 && uint64_t(limit) < n) n = uint32_t(limit);
    const uint8_t* d = b->data();
    uint32_t unit = b->unit();
    uint32_t h = unit == 1   ? mix_units(d, from, n, case_sensitive)
                 : unit == 2 ? mix_units(reinterpret_cast<const uint16_t*>(d), from, n, case_sensitive)
                             : mix_units(reinterpret_cast<const uint32_t*>(d), from, n, case_sensitive);
    h ^= n * 4;
    return fmix32(h);
}

uint32_t double_hash(const Cell* v) {
    double d = float_value(v);
    if (d == 0.0) d = 0.0;   // -0.0 equals 0.0
    return murmur3(&d, 8);
}

// float32 components (points): -0.0 hashes as 0.0.
uint32_t float32_words_hash(const Cell* v, int words) {
    uint32_t w[3] = {data_word(v, 0), data_word(v, 1), data_word(v, 2)};
    for (int i = 0; i < words; i++)
        if (w[i] == 0x80000000u) w[i] = 0;
    return murmur3(w, size_t(words) * 4);
}

}  // namespace

uint32_t value_hash(const Cell* v, bool case_sensitive) {
    uint32_t t = type_of(v);
    switch (t) {
        case TYPE_UNSET: return uint32_t(-2);
        case TYPE_NONE: return uint32_t(-1);
        case TYPE_DATATYPE: case TYPE_LOGIC: case TYPE_OBJECT: case TYPE_ERROR: case TYPE_PORT:
            return fmix32(data_word(v, 0));
        case TYPE_CHAR: case TYPE_INTEGER: case TYPE_MAP: case TYPE_HANDLE: case TYPE_EVENT:
            return fmix32(data_word(v, 1));
        case TYPE_NATIVE: case TYPE_ACTION:
            return fmix32(callable_slot(v));   // the slot: equal natives share it
        case TYPE_BLOCK: case TYPE_PAREN: case TYPE_PATH: case TYPE_LIT_PATH: case TYPE_SET_PATH:
        case TYPE_GET_PATH: case TYPE_HASH: case TYPE_IMAGE:
            return murmur3(payload_bytes(v), 8);   // head index and node
        case TYPE_POINT2D: return float32_words_hash(v, 2);
        case TYPE_POINT3D: return float32_words_hash(v, 3);
        case TYPE_FLOAT: case TYPE_PERCENT: case TYPE_TIME: return double_hash(v);
        case TYPE_PAIR: return murmur3(payload_bytes(v) + 4, 8);   // x and y
        case TYPE_OP: case TYPE_FUNCTION: case TYPE_TRIPLE: case TYPE_TYPESET: case TYPE_ROUTINE:
            return murmur3(payload_bytes(v), 12);
        case TYPE_DATE: case TYPE_MONEY:
            // Equal dates (one instant in two zones) and equal amounts need not share their
            // bits: these hash alike and equality decides.
            return fmix32(t);
        case TYPE_TUPLE: {
            uint32_t n = (v->header & HEADER_TUPLE_COUNT_MASK) >> HEADER_TUPLE_COUNT_SHIFT;
            return murmur3(payload_bytes(v), n > 12 ? 12 : n);
        }
        case TYPE_BINARY: {
            const SeriesBuf* b = buf(series_node(v));
            int32_t head = series_head(v);
            uint32_t len = b->length();
            uint32_t from = head < 0 ? 0 : (uint32_t(head) > len ? len : uint32_t(head));
            return murmur3(b->data() + from, len - from);
        }
        case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_TAG: case TYPE_EMAIL: case TYPE_REF:
            return text_hash(v, case_sensitive, -1);
        case TYPE_STRING_VIEW:
            return text_hash(v, case_sensitive, int32_t(series_extra(v)) < 0 ? -1 : int64_t(series_extra(v)));
        case TYPE_SYMBOL: {
            const SeriesBuf* b = buf(symbol_spelling(v));
            std::string lowered(reinterpret_cast<const char*>(b->data()), b->tail);
            for (char& c : lowered) c = char(ascii_fold_table[uint8_t(c)]);
            return murmur3(lowered.data(), lowered.size());
        }
        case TYPE_WORD: case TYPE_SET_WORD: case TYPE_LIT_WORD: case TYPE_GET_WORD: case TYPE_REFINEMENT:
        case TYPE_ISSUE:
            return fmix32(symbol::canonical(word_symbol(v)));
        default:
            return 0;
    }
}

bool keys_equal(const Cell* stored, const Cell* value, int32_t op) {
    uint32_t t = type_of(stored);
    if (t != type_of(value)) return false;
    if (op != actions::OP_SAME && (t == TYPE_FLOAT || t == TYPE_PERCENT || t == TYPE_TIME)) {
        double a = float_value(stored), b = float_value(value);
        return a == b || (std::isnan(a) && std::isnan(b));
    }
    Cell a = *stored, b = *value;
    return actions::compare_raw(&a, &b, op) == 0;
}

namespace {

constexpr uint32_t NOT_INDEXED = 0xFFFFFFFFu;
constexpr uint32_t RENUMBER_LIMIT = 30000;

// ---- raw arrays of 32-bit integers (the back-index, the chain list and the chains) ----

uint32_t int_array(uint32_t capacity) { return memory::new_series(capacity < 4 ? 4 : capacity, 4); }
inline uint32_t* ints(uint32_t node) { return reinterpret_cast<uint32_t*>(buf(node)->data()); }
inline uint32_t int_length(uint32_t node) { return buf(node)->tail / 4; }

void int_push(uint32_t node, uint32_t v) {
    SeriesBuf* b = memory::ensure_room(node, 4);
    std::memcpy(b->tail_ptr(), &v, 4);
    b->tail += 4;
}

// Sets the length to n; new elements get fill.
void int_resize(uint32_t node, uint32_t n, uint32_t fill) {
    SeriesBuf* b = buf(node);
    uint32_t old = b->tail / 4;
    if (n > old) {
        size_t need = size_t(n) * 4;
        if (need > b->size) b = memory::grow(node, std::max(need, size_t(b->size) * 2));
        uint32_t* d = reinterpret_cast<uint32_t*>(b->data());
        for (uint32_t i = old; i < n; i++) d[i] = fill;
    }
    b->tail = n * 4;
}

// Removes the first element equal to v; false when absent.
bool int_remove(uint32_t node, uint32_t v) {
    SeriesBuf* b = buf(node);
    uint32_t n = b->tail / 4;
    uint32_t* d = reinterpret_cast<uint32_t*>(b->data());
    for (uint32_t i = 0; i < n; i++) {
        if (d[i] != v) continue;
        std::memmove(d + i, d + i + 1, size_t(n - i - 1) * 4);
        b->tail -= 4;
        return true;
    }
    return false;
}

inline SeriesBuf* block_of(const Record* r) { return buf(r->values); }

// Bucket counts for a table that holds keys keys after a rebuild: at most half the load
// factor, so that a run of deletions and insertions does not rebuild at every step.
uint32_t buckets_for(uint64_t keys) {
    return pow2_at_least(uint64_t(double(keys + 1) * 2.0 / LOAD_FACTOR) + 1);
}

inline void mark_deleted(Record* r, uint32_t bucket) {
    set_bucket_flags(flag_bytes(r), bucket, BUCKET_DELETED);
}

// ---- hash! kind ----

uint32_t chain_node(const Record* r, uint32_t number) { return ints(r->chains)[number - 1]; }

// The first position of an occupied hash! bucket (a plain position or its chain's first).
uint32_t representative(const Record* r, uint32_t bucket) {
    int32_t k = int32_t(key_array(r)[bucket]);
    if (k >= 0) return uint32_t(k);
    uint32_t c = chain_node(r, uint32_t(-k));
    return c && int_length(c) ? ints(c)[0] : NOT_INDEXED;
}

// The bucket of the group of values equal to the value (same datatype, op 0), or -1; *free
// receives the first deleted or empty bucket met on the probe path (-1 when none).
int64_t find_group(uint32_t table, const Cell* value, uint32_t hash, int64_t* free) {
    if (free) *free = -1;
    const Record* r = record(table);
    uint32_t mask = r->buckets - 1;
    uint32_t i = hash & mask;
    for (uint32_t step = 1; step <= r->buckets; step++) {
        r = record(table);
        uint32_t fl = bucket_flags(flag_bytes(r), i);
        if (fl == BUCKET_EMPTY) {
            if (free && *free < 0) *free = i;
            return -1;
        }
        if (fl == BUCKET_DELETED) {
            if (free && *free < 0) *free = i;
        } else {
            uint32_t rep = representative(r, i);
            SeriesBuf* block = block_of(r);
            if (rep < block->length()) {
                Cell c = block->cells()[rep];
                if (keys_equal(&c, value, actions::OP_EQUAL)) return i;
            }
        }
        i = (i + step) & mask;
    }
    return -1;
}

void set_back(uint32_t table, uint32_t position, uint32_t value) {
    uint32_t aux = record(table)->aux;
    if (position >= int_length(aux)) int_resize(aux, position + 1, NOT_INDEXED);
    ints(aux)[position] = value;
}

// Places the cell at the position in its group's bucket (or a new bucket), with no growth.
// False when the probe path holds no free bucket.
bool place_position(uint32_t table, uint32_t position) {
    Cell v = block_of(record(table))->cells()[position];
    int64_t free;
    int64_t g = find_group(table, &v, value_hash(&v), &free);
    uint32_t bucket;
    if (g >= 0) {
        bucket = uint32_t(g);
        int32_t k = int32_t(key_array(record(table))[bucket]);
        if (k >= 0) {
            uint32_t chain = int_array(4);
            int_push(chain, uint32_t(k));
            int_push(chain, position);
            uint32_t list = record(table)->chains;
            int_push(list, chain);
            key_array(record(table))[bucket] = uint32_t(-int32_t(int_length(list)));
        } else {
            int_push(chain_node(record(table), uint32_t(-k)), position);
        }
    } else {
        if (free < 0) return false;
        bucket = uint32_t(free);
        Record* r = record(table);
        uint8_t* f = flag_bytes(r);
        if (bucket_flags(f, bucket) == BUCKET_EMPTY) r->occupied++;
        set_bucket_flags(f, bucket, BUCKET_OCCUPIED);
        key_array(r)[bucket] = position;
        r->count++;
    }
    set_back(table, position, bucket + 1);
    return true;
}

// New buckets for at least `groups` groups; every indexed position is placed again (in
// position order), positions past the block's tail are dropped.
void rebuild_positions(uint32_t table, uint64_t groups) {
    Record* r = record(table);
    std::vector<uint32_t> positions;
    uint32_t len = block_of(r)->length();
    uint32_t n = int_length(r->aux);
    const uint32_t* back = ints(r->aux);
    for (uint32_t p = 0; p < n; p++)
        if (back[p] != NOT_INDEXED && p < len) positions.push_back(p);
    make_buckets(table, buckets_for(groups));
    r = record(table);
    r->count = 0;
    buf(r->chains)->tail = 0;
    uint32_t* b = ints(r->aux);
    for (uint32_t p = 0; p < n; p++) b[p] = NOT_INDEXED;
    if (n > len) buf(r->aux)->tail = len * 4;
    for (uint32_t p : positions) place_position(table, p);
}

}  // namespace

namespace {

void init_hash_arrays(uint32_t table, uint32_t size) {
    uint32_t back = int_array(size);
    uint32_t chains = int_array(4);
    Record* r = record(table);
    r->aux = back;
    r->chains = chains;
}

}  // namespace

uint32_t indexed_length(uint32_t table) { return int_length(record(table)->aux); }

bool is_indexed(uint32_t table, uint32_t position) {
    const Record* r = record(table);
    return position < int_length(r->aux) && ints(r->aux)[position] != NOT_INDEXED;
}

void insert_position(uint32_t table, uint32_t position) {
    Record* r = record(table);
    if (position >= block_of(r)->length() || is_indexed(table, position)) return;
    if (r->occupied >= r->upper) rebuild_positions(table, uint64_t(r->count) + 1);
    if (!place_position(table, position)) {
        rebuild_positions(table, uint64_t(record(table)->count) + 1);
        place_position(table, position);
    }
}

void delete_position(uint32_t table, uint32_t position) {
    Record* r = record(table);
    if (position >= int_length(r->aux)) return;
    uint32_t b1 = ints(r->aux)[position];
    if (b1 == NOT_INDEXED) return;
    ints(r->aux)[position] = NOT_INDEXED;
    uint32_t bucket = b1 - 1;
    if (bucket >= r->buckets || bucket_flags(flag_bytes(r), bucket) != BUCKET_OCCUPIED) return;
    int32_t k = int32_t(key_array(r)[bucket]);
    if (k >= 0) {
        if (uint32_t(k) != position) return;
        mark_deleted(r, bucket);
        r->count--;
        return;
    }
    uint32_t number = uint32_t(-k);
    uint32_t chain = chain_node(r, number);
    if (!chain) return;
    int_remove(chain, position);
    if (int_length(chain) == 0) {
        r = record(table);
        ints(r->chains)[number - 1] = 0;
        mark_deleted(r, bucket);
        r->count--;
    }
}

void drop_range(uint32_t table, uint32_t first, uint32_t n) {
    uint64_t end = std::min<uint64_t>(uint64_t(first) + n, indexed_length(table));
    for (uint64_t p = first; p < end; p++) delete_position(table, uint32_t(p));
}

void drop_from(uint32_t table, uint32_t first) {
    uint32_t n = indexed_length(table);
    if (first >= n) return;
    for (uint32_t p = first; p < n; p++) delete_position(table, p);
    buf(record(table)->aux)->tail = first * 4;
}

void reindex(uint32_t table, uint32_t first, uint32_t step) {
    if (step < 1) step = 1;
    for (uint64_t p = first; p < block_of(record(table))->length(); p += step) insert_position(table, uint32_t(p));
}

void sync(uint32_t table) {
    uint32_t len = block_of(record(table))->length();
    uint32_t n = indexed_length(table);
    if (n > len) drop_from(table, len);
    else if (n < len) reindex(table, n, 1);
}

namespace {

// Adds shift to every chain element in [first, end) of the chains that hold positions of
// that range, and to the plain keys of the range.
void shift_keys(uint32_t table, uint32_t first, uint32_t end, int32_t shift) {
    Record* r = record(table);
    std::vector<uint32_t> chains_done;
    std::vector<bool> seen(int_length(r->chains) + 1, false);
    const uint32_t* back = ints(r->aux);
    uint32_t* keys = key_array(r);
    for (uint32_t p = first; p < end; p++) {
        uint32_t b1 = back[p];
        if (b1 == NOT_INDEXED || b1 - 1 >= r->buckets) continue;
        int32_t k = int32_t(keys[b1 - 1]);
        if (k >= 0) {
            if (uint32_t(k) == p) keys[b1 - 1] = uint32_t(int64_t(p) + shift);
        } else if (uint32_t(-k) < seen.size() && !seen[uint32_t(-k)]) {
            seen[uint32_t(-k)] = true;
            chains_done.push_back(uint32_t(-k));
        }
    }
    for (uint32_t number : chains_done) {
        uint32_t chain = chain_node(r, number);
        if (!chain) continue;
        uint32_t* e = ints(chain);
        for (uint32_t i = 0; i < int_length(chain); i++)
            if (e[i] >= first && e[i] < end) e[i] = uint32_t(int64_t(e[i]) + shift);
    }
}

}  // namespace

int32_t renumber_range(uint32_t table, int32_t shift, uint32_t first, uint32_t count, bool move) {
    if (count > RENUMBER_LIMIT) return 1;
    if (shift == 0) return 0;
    uint32_t c = shift < 0 ? uint32_t(-int64_t(shift)) : uint32_t(shift);
    if (shift < 0 && c > first) return 1;   // a move before the block's start
    uint32_t n = indexed_length(table);
    uint32_t end = first >= n ? first : uint32_t(std::min<uint64_t>(uint64_t(first) + count, n));
    if (move) {
        // The positions the range moves onto lose their entries first.
        if (shift < 0) drop_range(table, first - c, c);
        else if (end < n) drop_range(table, end, c);
    }
    if (end > first) shift_keys(table, first, end, shift);
    if (!move) return 0;
    uint32_t aux = record(table)->aux;
    std::vector<uint32_t> saved(ints(aux) + first, ints(aux) + end);
    if (shift > 0 && end > first && end + c > n) int_resize(aux, end + c, NOT_INDEXED);
    uint32_t* back = ints(aux);
    for (uint32_t p = first; p < end; p++) back[p] = NOT_INDEXED;
    for (uint32_t i = 0; i < saved.size(); i++) back[int64_t(first) + i + shift] = saved[i];
    // A range that ended the indexed positions leaves them shorter by the shift.
    if (shift < 0 && end >= n) buf(aux)->tail = std::min(n, end - c) * 4;
    return 0;
}

void move_range(uint32_t table, uint32_t target, uint32_t first, uint32_t count) {
    uint32_t n = indexed_length(table);
    if (count == 0 || target == first) return;
    uint32_t lo = std::min(target, first);
    uint64_t hi = std::max<uint64_t>(uint64_t(target) + count, uint64_t(first) + count);
    if (hi > n) {
        // The span leaves the indexed positions: index it afresh.
        drop_from(table, lo);
        return;
    }
    // New position of every position of the span.
    auto moved = [&](uint32_t p) -> uint32_t {
        if (p >= first && p < first + count) return target + (p - first);
        return target < first ? p + count : p - count;
    };
    Record* r = record(table);
    std::vector<uint32_t> saved(ints(r->aux) + lo, ints(r->aux) + hi);
    std::vector<bool> seen(int_length(r->chains) + 1, false);
    uint32_t* keys = key_array(r);
    for (uint32_t p = lo; p < hi; p++) {
        uint32_t b1 = saved[p - lo];
        if (b1 == NOT_INDEXED || b1 - 1 >= r->buckets) continue;
        int32_t k = int32_t(keys[b1 - 1]);
        if (k >= 0) {
            if (uint32_t(k) == p) keys[b1 - 1] = moved(p);
        } else if (uint32_t(-k) < seen.size() && !seen[uint32_t(-k)]) {
            seen[uint32_t(-k)] = true;
            uint32_t chain = chain_node(r, uint32_t(-k));
            if (!chain) continue;
            uint32_t* e = ints(chain);
            for (uint32_t i = 0; i < int_length(chain); i++)
                if (e[i] >= lo && e[i] < hi) e[i] = moved(e[i]);
        }
    }
    uint32_t* back = ints(r->aux);
    for (uint32_t p = lo; p < hi; p++) back[moved(p)] = saved[p - lo];
}

void rebuild(uint32_t table) {
    Record* r = record(table);
    if (r->kind == KIND_MAP) {
        map_rebuild(table);
        return;
    }
    uint32_t len = block_of(r)->length();
    make_buckets(table, buckets_for(len));
    r = record(table);
    r->count = 0;
    buf(r->chains)->tail = 0;
    buf(r->aux)->tail = 0;
    reindex(table, 0, 1);
}

void empty(uint32_t table) {
    Record* r = record(table);
    make_buckets(table, r->buckets);
    r = record(table);
    r->count = 0;
    if (r->kind == KIND_HASH) {
        buf(r->aux)->tail = 0;
        buf(r->chains)->tail = 0;
    }
}

int32_t lookup(uint32_t table, const Cell* value_in, int32_t start, int32_t skip, int32_t op, bool backward) {
    if (skip < 1) skip = 1;
    Cell value = *value_in;
    int64_t g = find_group(table, &value, value_hash(&value), nullptr);
    if (g < 0) return -1;
    const Record* r = record(table);
    std::vector<uint32_t> candidates;
    int32_t k = int32_t(key_array(r)[g]);
    if (k >= 0) {
        candidates.push_back(uint32_t(k));
    } else if (uint32_t chain = chain_node(r, uint32_t(-k))) {
        candidates.assign(ints(chain), ints(chain) + int_length(chain));
    }
    int64_t best = -1;
    for (uint32_t p : candidates) {
        int64_t d = backward ? int64_t(start) - p : int64_t(p) - start;
        if (d < 0 || d % skip != 0) continue;
        if (best >= 0 && (backward ? int64_t(p) <= best : int64_t(p) >= best)) continue;
        SeriesBuf* block = block_of(record(table));
        if (p >= block->length()) continue;
        Cell c = block->cells()[p];
        if (keys_equal(&c, &value, op)) best = p;
    }
    return int32_t(best);
}

uint32_t duplicate(uint32_t table, uint32_t new_block) {
    uint32_t copy = memory::duplicate_series(table);
    Record src = *record(table);
    uint32_t flags = src.flags ? memory::duplicate_series(src.flags) : 0;
    uint32_t keys = memory::duplicate_series(src.keys);
    uint32_t aux = src.aux, chains = src.chains;
    if (src.kind == KIND_HASH) {
        aux = memory::duplicate_series(src.aux);
        chains = memory::duplicate_series(src.chains);
        for (uint32_t i = 0; i < int_length(chains); i++) {
            uint32_t c = ints(chains)[i];
            if (c) {
                uint32_t dup = memory::duplicate_series(c);
                ints(chains)[i] = dup;
            }
        }
    }
    Record* r = record(copy);
    r->flags = flags;
    r->keys = keys;
    r->aux = aux;
    r->chains = chains;
    r->values = new_block;
    return copy;
}

// ---- map! kind ----

namespace {

// A key of the word family is looked up as a set-word!.
Cell map_key_form(const Cell* key) {
    Cell k = *key;
    uint32_t t = type_of(&k);
    if (t == TYPE_WORD || t == TYPE_LIT_WORD || t == TYPE_GET_WORD) retype(&k, TYPE_SET_WORD);
    return k;
}

// A map's bucket: the key's position plus one (0: the bucket is empty; a map never deletes a
// key from its buckets) and the key's full hash, side by side, so that a probe reads one slot
// and compares hashes before it reads a key cell, and a growth re-places the keys without
// hashing them again.
struct MapSlot {
    uint32_t position1;
    uint32_t hash;
};
static_assert(sizeof(MapSlot) == 8);

inline MapSlot* map_slots(const Record* r) { return reinterpret_cast<MapSlot*>(buf(r->keys)->data()); }

// Places the key at the position, whose hash is given, in the first free bucket of its probe
// path.
void map_place(uint32_t table, uint32_t position, uint32_t hash) {
    Record* r = record(table);
    uint32_t mask = r->buckets - 1;
    uint32_t i = hash & mask;
    MapSlot* slots = map_slots(r);
    for (uint32_t step = 1; step <= r->buckets; step++) {
        if (slots[i].position1 == 0) {
            r->occupied++;
            slots[i] = MapSlot{position + 1, hash};
            return;
        }
        i = (i + step) & mask;
    }
}

// Whether the stored key cell equals the key: identical texts are equal without the compare
// action (the usual outcome of a probe whose hash matched).
bool map_key_matches(const Cell* stored, const Cell* key, int32_t op) {
    uint32_t t = type_of(stored);
    if (t == type_of(key) && op != actions::OP_SAME &&
        (t == TYPE_STRING || t == TYPE_FILE || t == TYPE_URL || t == TYPE_TAG || t == TYPE_EMAIL || t == TYPE_REF)) {
        const SeriesBuf* a = buf(series_node(stored));
        const SeriesBuf* b = buf(series_node(key));
        int32_t ha = series_head(stored), hb = series_head(key);
        if (a->unit() == b->unit() && ha >= 0 && hb >= 0 && uint32_t(ha) <= a->length() &&
            uint32_t(hb) <= b->length() && a->length() - uint32_t(ha) == b->length() - uint32_t(hb) &&
            std::memcmp(a->data() + size_t(ha) * a->unit(), b->data() + size_t(hb) * b->unit(),
                        size_t(a->length() - uint32_t(ha)) * a->unit()) == 0)
            return true;
    }
    return keys_equal(stored, key, op);
}

// Re-places every occupied bucket in twice as many buckets, from the stored hashes. A map
// never deletes a key from its buckets, so every occupied bucket holds a key and the new
// table starts half as full as the growth limit.
void map_grow(uint32_t table) {
    Record* r = record(table);
    uint32_t n = r->buckets;
    std::vector<MapSlot> placed;
    placed.reserve(r->occupied + 16);
    const MapSlot* slots = map_slots(r);
    for (uint32_t i = 0; i < n; i++)
        if (slots[i].position1) placed.push_back(slots[i]);
    make_buckets(table, n * 2);
    for (const MapSlot& s : placed) map_place(table, s.position1 - 1, s.hash);
}

}  // namespace

uint32_t map_key_hash(const Cell* key) {
    Cell k = map_key_form(key);
    return value_hash(&k);
}

int32_t map_find_next(uint32_t table, const Cell* key_in, int32_t op, Cursor& cursor) {
    Cell key = map_key_form(key_in);
    const Record* r = record(table);
    uint32_t mask = r->buckets - 1;
    if (!cursor.started) {
        cursor.started = true;
        cursor.hash = value_hash(&key);
        cursor.bucket = cursor.hash & mask;
        cursor.step = 1;
    } else {
        cursor.bucket = (cursor.bucket + cursor.step) & mask;
        cursor.step++;
    }
    for (; cursor.step <= r->buckets; cursor.step++) {
        MapSlot slot = map_slots(r)[cursor.bucket];
        if (slot.position1 == 0) break;
        if (slot.hash == cursor.hash) {
            uint32_t p = slot.position1 - 1;
            SeriesBuf* block = block_of(r);
            if (p < block->length()) {
                Cell c = block->cells()[p];
                if (map_key_matches(&c, &key, op)) return int32_t(p);
            }
            r = record(table);
        }
        cursor.bucket = (cursor.bucket + cursor.step) & mask;
    }
    cursor.step = record(table)->buckets + 1;
    return -1;
}

int32_t map_find(uint32_t table, const Cell* key, int32_t op) {
    Cursor c;
    return map_find_next(table, key, op, c);
}

int32_t map_find(uint32_t table, const Cell* key, int32_t op, uint32_t& hash) {
    Cursor c;
    int32_t p = map_find_next(table, key, op, c);
    hash = c.hash;
    return p;
}

void map_insert(uint32_t table, uint32_t position, uint32_t hash) {
    Record* r = record(table);
    if (r->occupied >= r->upper) map_grow(table);
    map_place(table, position, hash);
    record(table)->count++;
}

void map_insert(uint32_t table, uint32_t position) {
    Cell key = block_of(record(table))->cells()[position];
    map_insert(table, position, value_hash(&key));
}

void map_rebuild(uint32_t table) {
    Record* r = record(table);
    uint32_t len = block_of(r)->length();
    make_buckets(table, buckets_for(len / 2 + 1));
    for (uint32_t p = 0; p < len; p += 2) {
        Cell key = block_of(record(table))->cells()[p];
        map_place(table, p, value_hash(&key));
    }
}

}  // namespace zel::hashtable
