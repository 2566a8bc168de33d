// map! (see map.h).
#include "datatypes/series/map.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/actions.h"
#include "core/error.h"
#include "core/hashtable.h"
#include "core/runtime_words.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/typeset_bits.h"
#include "datatypes/datatypes.h"
#include "core/block.h"
#include "core/block_ops.h"
#include "datatypes/series/block_handlers.h"
#include "core/cycle_stack.h"
#include "datatypes/series/series.h"
#include "datatypes/series/string.h"

namespace zel::map {

using memory::buf;

namespace {

constexpr uint32_t COMPACT_THRESHOLD = 64;

inline uint32_t kv_node(const Cell* m) { return series_node(m); }
inline uint32_t table_of(const Cell* m) { return table_node(m); }
inline Cell* kv_cells(const Cell* m) { return buf(kv_node(m))->cells(); }
inline uint32_t kv_length(const Cell* m) { return buf(kv_node(m))->length(); }
inline bool removed(const Cell* value_cell) { return value_cell->header == 0; }

[[noreturn]] void raise_bad_key(const Cell* where, const Cell* key) {
    Cell w, dt;
    if (where) w = *where;
    else set_none(&w);
    set_datatype(&dt, type_of(key));
    error::raise(error::ERR_SCRIPT_INVALID_PATH, &w, &dt);
}

// The stored form of a key (`map/normalize-key`): word-family keys become set-words with
// every header flag cleared; text and binary keys become copies of themselves. Raises
// script/invalid-path (naming where and the key's datatype) for a key that cannot be one.
void normalize_key(Cell* key, const Cell* where) {
    uint32_t t = type_of(key);
    if (!is_hashable_key(t)) raise_bad_key(where, key);
    if (t == TYPE_WORD || t == TYPE_SET_WORD || t == TYPE_LIT_WORD || t == TYPE_GET_WORD) {
        key->header = TYPE_SET_WORD;
    } else if (is_text_type(t) || t == TYPE_BINARY) {
        Cell src = *key;
        series::copy(key, &src, nullptr, false, nullptr);
        key->header = t;
    } else {
        set_new_line(key, false);
    }
}

// The comparison mode of select, find and paths: same, then case, else equal.
int32_t lookup_op(bool same, bool case_sensitive) {
    return same ? actions::OP_SAME : case_sensitive ? actions::OP_STRICT_EQUAL : actions::OP_EQUAL;
}

// The key's position when its pair is live, else -1.
int32_t live_key(const Cell* map, const Cell* key, int32_t op) {
    int32_t p = hashtable::map_find(table_of(map), key, op);
    if (p < 0 || uint32_t(p) + 1 >= kv_length(map) || removed(&kv_cells(map)[p + 1])) return -1;
    return p;
}

// Removes removed pairs once they outnumber both the threshold and the live pairs.
void compact_if_sparse(const Cell* map) {
    uint32_t node = kv_node(map);
    uint32_t len = buf(node)->length();
    uint32_t live = count(map);
    uint32_t gone = len / 2 - std::min(len / 2, live);
    if (gone <= COMPACT_THRESHOLD || gone <= live) return;
    Cell* c = buf(node)->cells();
    uint32_t out = 0;
    for (uint32_t p = 0; p + 1 < len; p += 2) {
        if (removed(&c[p + 1])) continue;
        c[out] = c[p];
        c[out + 1] = c[p + 1];
        out += 2;
    }
    buf(node)->tail = out * uint32_t(sizeof(Cell));
    hashtable::map_rebuild(table_of(map));
}

// Sets a key's value (`map/eval-path`'s set), adding the key when absent and reviving a
// removed pair. The key check runs before anything changes. Returns the value cell.
Cell* set_value(Cell* map, const Cell* key_in, const Cell* value, bool case_sensitive, const Cell* where) {
    uint32_t table = table_of(map);
    uint32_t node = kv_node(map);
    uint32_t hash = 0;
    int32_t p = hashtable::map_find(table, key_in, case_sensitive ? actions::OP_STRICT_EQUAL : actions::OP_EQUAL, hash);
    Cell v = *value;
    if (p < 0) {
        Cell key = *key_in;
        normalize_key(&key, where);
        uint32_t at = buf(node)->length();
        Cell unset;
        set_unset(&unset);
        block::append(node, &key);
        block::append(node, &unset);
        hashtable::map_insert(table, at, hash);
        p = int32_t(at);
    } else if (removed(&buf(node)->cells()[p + 1])) {
        hashtable::record(table)->count++;
    }
    Cell* slot = &buf(node)->cells()[p + 1];
    *slot = v;
    return slot;
}

// Writes a map! over the key/value block node (already a private copy): builds the index,
// keeping a repeated key's first place with its later value.
void init_over(Cell* out, uint32_t node) {
    uint32_t len = buf(node)->length();
    uint32_t table = hashtable::create(std::max<uint32_t>(len / 2, 2), node, hashtable::KIND_MAP);
    set_series(out, TYPE_MAP, node, 0, table);
    uint32_t p = 0;
    while (p + 1 < buf(node)->length()) {
        Cell key = buf(node)->cells()[p];
        if (!is_hashable_key(type_of(&key))) raise_bad_key(&key, &key);
        uint32_t hash = 0;
        int32_t found = hashtable::map_find(table, &key, actions::OP_STRICT_EQUAL, hash);
        if (found >= 0) {
            SeriesBuf* b = buf(node);
            Cell* c = b->cells();
            c[found + 1] = c[p + 1];
            std::memmove(c + p, c + p + 2, size_t(b->length() - p - 2) * sizeof(Cell));
            b->tail -= 2 * uint32_t(sizeof(Cell));
            continue;
        }
        normalize_key(&key, &key);
        buf(node)->cells()[p] = key;
        hashtable::map_insert(table, p, hash);
        p += 2;
    }
    if (buf(node)->length() % 2) buf(node)->tail -= uint32_t(sizeof(Cell));
}

// ---- make and to ----

[[noreturn]] void raise_bad_to(const Cell* spec) {
    Cell dt;
    set_datatype(&dt, TYPE_MAP);
    error::raise(error::ERR_SCRIPT_BAD_TO_ARG, &dt, spec);
}

void copy(Cell* out, Cell* map, Cell* part, bool deep, Cell* types);

void build(Cell* out, Cell* spec, bool from_to) {
    uint32_t st = type_of(spec);
    if (st == TYPE_INTEGER || st == TYPE_FLOAT) {
        if (from_to) raise_bad_to(spec);
        int32_t size = make::spec_to_size(spec);
        if (size < 0) error::raise(error::ERR_SCRIPT_OUT_OF_RANGE, spec);
        init_over(out, block::new_node(int64_t(size) * 2));
        return;
    }
    if (st == TYPE_BLOCK || st == TYPE_PAREN || st == TYPE_HASH) {
        if (block::length(spec) % 2 != 0) error::raise(error::ERR_SCRIPT_INVALID_ARG, spec);
        uint32_t node = block::copy_node(spec);
        SeriesBuf* b = buf(node);
        for (uint32_t i = 0; i < b->length(); i++) set_new_line(&b->cells()[i], false);
        init_over(out, node);
        return;
    }
    if (st == TYPE_MAP) return copy(out, spec, nullptr, false, nullptr);
    raise_bad_to(spec);
}

void make(Cell* out, Cell*, Cell* spec, uint32_t) { build(out, spec, false); }
void to(Cell* out, Cell*, Cell* spec, uint32_t) { build(out, spec, true); }

// ---- reflect ----

void reflect(Cell* into, Cell* map, uint32_t field) {
    bool words = symbol::same_canonical(field, sym(SYM_WORDS));
    bool values = symbol::same_canonical(field, sym(SYM_VALUES));
    bool body = symbol::same_canonical(field, sym(SYM_BODY_FIELD));
    if (!words && !values && !body) error::raise(error::ERR_INTERNAL_NOT_DONE);
    Cell m = *map;
    uint32_t live = count(&m);
    Cell* out = stack::push();
    block::init_cell(out, std::max<uint32_t>(body ? live * 2 : live, 1));
    uint32_t result = series_node(out);
    uint32_t seen = 0;
    for (uint32_t p = 0; p + 1 < kv_length(&m) && seen < live; p += 2) {
        Cell k = kv_cells(&m)[p], v = kv_cells(&m)[p + 1];
        if (removed(&v)) continue;
        seen++;
        if (words) {
            if (type_of(&k) == TYPE_SET_WORD) k.header = TYPE_WORD;
            block::append(result, &k);
        } else if (values) {
            block::append(result, &v);
        } else {
            set_new_line(&k, true);
            block::append(result, &k);
            block::append(result, &v);
        }
    }
    *into = *out;
}

// ---- form and mold ----

// `map/mold-pairs`: the live pairs, keys and values molded, laid out as map/mold and
// map/form want them.
int32_t mold_pairs(const Cell* map_in, uint32_t b, bool all, bool flat, const Cell* part, int32_t limit,
                   int32_t indent, bool molding, bool only) {
    Cell m = *map_in;
    uint32_t live = count(&m);
    if (live == 0) return limit;
    bool indenting = false;
    if (!flat && molding && !only) {
        string::append_char(b, '\n');
        limit--;
        indenting = true;
    }
    uint32_t separator = flat ? ' ' : '\n';
    cycle::Scope scope(kv_node(&m));
    uint32_t seen = 0;
    for (uint32_t p = 0; p + 1 < kv_length(&m) && seen < live; p += 2) {
        Cell k = kv_cells(&m)[p], v = kv_cells(&m)[p + 1];
        if (removed(&v)) continue;
        seen++;
        if (indenting) limit = cycle::emit_indent(b, indent, limit);
        limit = actions::get<actions::MoldFn>(type_of(&k), ACT_MOLD)(&k, b, false, all, flat, part, limit, indent);
        string::append_char(b, ' ');
        limit--;
        // Formed, a value that is being walked already shows as "...".
        uint32_t vt = type_of(&v);
        bool nestable = is_any_block_type(vt) || vt == TYPE_MAP || vt == TYPE_OBJECT || vt == TYPE_ERROR;
        if (molding || !nestable || !cycle::emit_marker(&v, b, limit, false))
            limit = actions::get<actions::MoldFn>(type_of(&v), ACT_MOLD)(&v, b, false, all, flat, part, limit, indent);
        if (indenting || seen < live) {
            string::append_char(b, separator);
            limit--;
        }
        if (part && limit <= 0) return limit;
    }
    return limit;
}

int32_t mold(const Cell* v, uint32_t b, bool only, bool all, bool flat, const Cell* part, int32_t limit,
             int32_t indent) {
    if (cycle::emit_marker(v, b, limit, true)) return limit;
    if (!only) {
        string::append_ascii(b, "#[");
        limit -= 2;
    }
    int32_t before = limit;
    limit = mold_pairs(v, b, all, flat, part, limit, indent + 1, true, only);
    if (!only) {
        if (limit != before && indent > 0) limit = cycle::emit_indent(b, indent, limit);
        string::append_char(b, ']');
        limit--;
    }
    return limit;
}

int32_t form(const Cell* v, uint32_t b, const Cell* part, int32_t limit) {
    if (cycle::emit_marker(v, b, limit, false)) return limit;
    return mold_pairs(v, b, false, false, part, limit, 0, false, false);
}

// ---- eval-path, put, select, find ----

void eval_path(Cell* out, Cell* parent, Cell* element, Cell* value, const actions::PathStep& step) {
    if (!value) {
        int32_t p = live_key(parent, element, lookup_op(false, step.case_sensitive));
        if (p < 0) set_none(out);
        else *out = kv_cells(parent)[p + 1];
        return;
    }
    Cell none;
    set_none(&none);
    *out = *set_value(parent, element, value, step.case_sensitive, step.path ? step.path : &none);
}

void put(Cell* out, Cell* map, Cell* key, Cell* value, bool case_sensitive) {
    Cell none;
    set_none(&none);
    set_value(map, key, value, case_sensitive, &none);
    *out = *value;
}

void select(Cell* out, const actions::FindArgs& a) {
    set_none(out);
    int32_t p = live_key(a.series, a.value, lookup_op(a.same, a.case_sensitive));
    if (p >= 0) *out = kv_cells(a.series)[p + 1];
}

void find(Cell* out, const actions::FindArgs& a) {
    set_none(out);
    int32_t p = live_key(a.series, a.value, lookup_op(a.same, a.case_sensitive));
    if (p >= 0) {
        *out = kv_cells(a.series)[p];
        if (type_of(out) == TYPE_SET_WORD) out->header = TYPE_WORD;
    }
}

// ---- remove, clear, length? ----

void remove(Cell* map, Cell*, Cell* key) {
    if (!key) error::raise(error::ERR_SCRIPT_MISSING_ARG);
    int32_t p = live_key(map, key, actions::OP_STRICT_EQUAL);
    if (p < 0) return;
    kv_cells(map)[p + 1].header = 0;
    hashtable::record(table_of(map))->count--;
    compact_if_sparse(map);
}

void clear(Cell* map) {
    hashtable::empty(table_of(map));
    buf(kv_node(map))->tail = 0;
}

int32_t length(const Cell* map) { return int32_t(count(map)); }

// ---- copy ----

bool copyable_kind(uint32_t t) {
    return is_series_type(t) || t == TYPE_MAP || t == TYPE_BITSET || t == TYPE_OBJECT || t == TYPE_ERROR;
}

// Replaces every live value whose type the datatype or typeset names (and that is a
// series, map, bitset, object or error) by its copy.
void copy_values_of_types(uint32_t node, bool deep, Cell* types) {
    for (uint32_t p = 1; p < buf(node)->length(); p += 2) {
        Cell v = buf(node)->cells()[p];
        if (removed(&v)) continue;
        uint32_t t = type_of(&v);
        bool wanted = type_of(types) == TYPE_DATATYPE ? datatype_value(types) == t : typeset_bits::has(types, t);
        if (!wanted || !copyable_kind(t)) continue;
        auto fn = reinterpret_cast<actions::CopyFn>(actions::handler_of(t, ACT_COPY));
        if (!fn && is_series_type(t) && t != TYPE_IMAGE) fn = &series::copy;
        if (!fn) continue;
        Cell copied;
        set_unset(&copied);
        fn(&copied, &v, nullptr, deep, deep ? types : nullptr);
        buf(node)->cells()[p] = copied;
    }
}

void copy(Cell* out, Cell* map, Cell*, bool deep, Cell* types) {
    Cell m = *map;
    uint32_t node = kv_node(&m);
    bool cycle_pushed = false;
    if (deep && types) {
        if (cycle::contains(node)) {
            cycle::reset();
            error::raise(error::ERR_INTERNAL_NO_CYCLE);
        }
        cycle::push(node);
        cycle_pushed = true;
    }
    struct Pop {
        bool on;
        ~Pop() { if (on) cycle::pop(); }
    } pop{cycle_pushed};
    Cell kv;
    set_series(&kv, TYPE_BLOCK, node);
    Cell copied;
    if (deep && !types) block::copy(&copied, &kv, nullptr, true, nullptr);
    else set_series(&copied, TYPE_BLOCK, memory::copy_range(node, 0, buf(node)->length()));
    uint32_t new_node = series_node(&copied);
    uint32_t table = hashtable::duplicate(table_of(&m), new_node);
    set_series(out, TYPE_MAP, new_node, 0, table);
    if (types) copy_values_of_types(new_node, deep, types);
}

// ---- compare ----

int32_t compare_maps(const Cell* a, const Cell* b, int32_t op) {
    bool same = kv_node(a) == kv_node(b) && series_head(a) == series_head(b);
    if (op == actions::OP_SAME) return same ? 0 : -1;
    if (same) return 0;
    if (cycle::contains(kv_node(a))) return cycle::contains(kv_node(b)) ? 0 : -1;
    uint32_t live = count(a);
    if (live != count(b)) return 1;
    if (live == 0) return 0;
    Cell ma = *a, mb = *b;
    cycle::Scope sa(kv_node(&ma));
    cycle::Scope sb(kv_node(&mb));
    bool strict = op == actions::OP_STRICT_EQUAL;
    uint32_t seen = 0;
    for (uint32_t p = 0; p + 1 < kv_length(&ma) && seen < live; p += 2) {
        Cell k = kv_cells(&ma)[p], v = kv_cells(&ma)[p + 1];
        if (removed(&v)) continue;
        seen++;
        bool matched = false;
        if (strict) {
            int32_t q = live_key(&mb, &k, actions::OP_STRICT_EQUAL);
            if (q >= 0) {
                Cell w = kv_cells(&mb)[q + 1];
                matched = actions::compare_raw(&v, &w, actions::OP_STRICT_EQUAL) == 0;
            }
        } else {
            hashtable::Cursor cursor;
            int32_t q;
            while (!matched && (q = hashtable::map_find_next(table_of(&mb), &k, actions::OP_EQUAL, cursor)) >= 0) {
                Cell w = kv_cells(&mb)[q + 1];
                if (removed(&w)) continue;
                matched = actions::compare_raw(&v, &w, actions::OP_EQUAL) == 0;
            }
        }
        if (!matched) return 1;
    }
    return 0;
}

int32_t compare(const Cell* a, const Cell* b, int32_t op) {
    if (type_of(b) != TYPE_MAP) return -2;
    switch (op) {
        case actions::OP_SORT: case actions::OP_CASE_SORT: {
            uint32_t x = kv_node(a), y = kv_node(b);
            return x < y ? -1 : x > y ? 1 : 0;
        }
        case actions::OP_EQUAL: case actions::OP_NOT_EQUAL: case actions::OP_STRICT_EQUAL: case actions::OP_SAME:
        case actions::OP_FIND:
            return compare_maps(a, b, op);
        default:
            return -2;
    }
}

}  // namespace

uint32_t count(const Cell* map) { return hashtable::record(table_of(map))->count; }

bool is_hashable_key(uint32_t t) {
    switch (t) {
        case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_CHAR: case TYPE_INTEGER: case TYPE_FLOAT:
        case TYPE_WORD: case TYPE_SET_WORD: case TYPE_LIT_WORD: case TYPE_GET_WORD: case TYPE_REFINEMENT:
        case TYPE_ISSUE: case TYPE_PAIR: case TYPE_PERCENT: case TYPE_TUPLE: case TYPE_BINARY: case TYPE_TIME:
        case TYPE_TAG: case TYPE_EMAIL: case TYPE_DATE: case TYPE_MONEY: case TYPE_REF: case TYPE_POINT2D:
        case TYPE_POINT3D:
            return true;
        default:
            return false;
    }
}

void from_cells(Cell* out, const Cell* cells, uint32_t n) {
    std::vector<Cell> copy(cells, cells + n);   // the cells may live in a buffer that moves
    uint32_t node = block::new_node(n);
    block::append_cells(node, copy.data(), n);
    SeriesBuf* b = buf(node);
    for (uint32_t i = 0; i < b->length(); i++) set_new_line(&b->cells()[i], false);
    Cell m;
    init_over(&m, node);
    *out = m;
}

void put_pairs(Cell* map, const Cell* block, bool case_sensitive) {
    if (block::length(block) % 2 != 0) error::raise(error::ERR_SCRIPT_INVALID_ARG, block);
    uint32_t node = series_node(block);
    uint32_t head = series::clipped_head(block);
    uint32_t n = buf(node)->length() - head;
    memory::ensure_room(kv_node(map), size_t(n) * sizeof(Cell));
    for (uint32_t i = 0; i + 1 < n; i += 2) {
        Cell k = buf(node)->cells()[head + i], v = buf(node)->cells()[head + i + 1];
        set_value(map, &k, &v, case_sensitive, nullptr);
    }
}

}  // namespace zel::map

namespace zel::datatypes {

void register_map() {
    using namespace zel::map;
    actions::TypeSpec spec{TYPE_MAP, {}};
    auto set = [&](auto action, auto fn) { actions::put(spec, action, fn); };
    set(ACT_MAKE, &zel::map::make);
    set(ACT_TO, &to);
    set(ACT_REFLECT, &reflect);
    set(ACT_FORM, &form);
    set(ACT_MOLD, &mold);
    set(ACT_EVAL_PATH, &eval_path);
    set(ACT_COMPARE, &compare);
    set(ACT_CLEAR, &clear);
    set(ACT_COPY, &copy);
    set(ACT_FIND, &find);
    set(ACT_LENGTH_Q, &length);
    set(ACT_PUT, &put);
    set(ACT_REMOVE, &remove);
    set(ACT_SELECT, &select);
    actions::register_type(spec);
}

}  // namespace zel::datatypes
