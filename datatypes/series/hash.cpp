// hash! (see hash.h): make, to, mold and copy of its own; everything else a block does it
// inherits, with the index kept in step through track_change.
#include "datatypes/series/hash.h"

#include <algorithm>

#include "core/actions.h"
#include "core/error.h"
#include "core/hashtable.h"
#include "core/stack.h"
#include "datatypes/datatypes.h"
#include "core/block.h"
#include "core/block_ops.h"
#include "datatypes/series/block_handlers.h"
#include "datatypes/series/string.h"

namespace zel::hash {

using memory::buf;
using series::Change;

namespace {

// The table of a hash! cell when it indexes that cell's own block, else 0.
uint32_t own_table(const Cell* value) {
    if (type_of(value) != TYPE_HASH || table_node(value) == 0) return 0;
    return hashtable::record(table_node(value))->values == series_node(value) ? table_node(value) : 0;
}

}  // namespace

// A change that would renumber or drop more index entries than this marks the index stale
// instead: nothing more is done until the next lookup, which rebuilds the whole index once.
// So runs of inserts, removes, takes and changes near the head cost what they cost on a
// plain block, and the lookup after them pays one re-index.
constexpr uint32_t SHIFT_LIMIT = 64;
constexpr uint32_t STALE = 1;   // in the record's stamp word (unused by the hash! kind)

bool is_stale(uint32_t table) { return hashtable::record(table)->stamp == STALE; }
void mark_stale(uint32_t table) { hashtable::record(table)->stamp = STALE; }

uint32_t synced_table(const Cell* value) {
    uint32_t table = own_table(value);
    if (!table) return 0;
    if (is_stale(table)) {
        hashtable::rebuild(table);
        hashtable::record(table)->stamp = 0;
    } else {
        hashtable::sync(table);
    }
    return table;
}

void index_cell(Cell* value) {
    uint32_t node = series_node(value);
    uint32_t n = buf(node)->length();
    set_table_node(value, hashtable::create(std::max<uint32_t>(n, 1), node, hashtable::KIND_HASH, true));
}

namespace {

// Drops every entry at or after the position (all of them at position 0).
void drop_from(uint32_t table, uint32_t position) {
    if (position == 0) hashtable::empty(table);
    else hashtable::drop_from(table, position);
}

// After cells were inserted at pos: the entries behind them move up, the new cells are
// entered. Falls back to re-entering everything from pos when the index was not in step.
void after_insert(uint32_t table, uint32_t pos, uint32_t total) {
    uint32_t indexed = hashtable::indexed_length(table);
    uint32_t len = buf(hashtable::record(table)->values)->length();
    if (pos <= indexed && uint64_t(indexed) + total == len &&
        hashtable::renumber_range(table, int32_t(total), pos, indexed - pos, true) == 0) {
        for (uint32_t p = pos; p < pos + total; p++) hashtable::insert_position(table, p);
    } else {
        drop_from(table, pos);
    }
}

// After count cells were removed at pos: their entries go, the entries behind them move down.
void after_remove(uint32_t table, uint32_t pos, uint32_t count) {
    uint32_t indexed = hashtable::indexed_length(table);
    uint32_t len = buf(hashtable::record(table)->values)->length();
    if (uint64_t(pos) + count <= indexed && uint64_t(len) + count == indexed) {
        hashtable::drop_range(table, pos, count);
        if (hashtable::renumber_range(table, -int32_t(count), pos + count, indexed - pos - count, true) != 0)
            drop_from(table, pos);
    } else {
        drop_from(table, pos);
    }
}

// After part cells were rewritten in place from index.
void after_rewrite(uint32_t table, uint32_t index, uint32_t part) {
    hashtable::drop_range(table, index, part);
    uint64_t end = std::min<uint64_t>(uint64_t(index) + part, hashtable::indexed_length(table));
    for (uint64_t p = index; p < end; p++) hashtable::insert_position(table, uint32_t(p));
}

}  // namespace

void track_change(const Cell* value, Change action, int32_t index_in, int32_t part_in) {
    uint32_t table = own_table(value);
    if (!table) return;
    if (is_stale(table)) return;
    uint32_t index = index_in < 0 ? 0 : uint32_t(index_in);
    uint32_t part = part_in < 0 ? 0 : uint32_t(part_in);
    uint32_t indexed = hashtable::indexed_length(table);
    bool far = index < indexed && indexed - index > SHIFT_LIMIT;
    switch (action) {
        case Change::CLEAR: case Change::TRIM: case Change::CHANGE: case Change::MOVE:
        case Change::INSERTED: case Change::APPENDED: case Change::REMOVED: case Change::TAKEN:
        case Change::CLEARED: case Change::TRIMMED: case Change::CHANGED: case Change::MOVED:
            if (far) {
                mark_stale(table);
                return;
            }
            break;
        case Change::POKED: case Change::REVERSED: case Change::RANDOMIZED: case Change::SORTED:
        case Change::PUT_ED:
            if (part > SHIFT_LIMIT) {
                mark_stale(table);
                return;
            }
            break;
        default:
            break;
    }
    switch (action) {
        // Before a change: entries that a change of unknown extent would leave wrong go now,
        // so that an index left behind by a change that never completes is only short.
        case Change::CLEAR: case Change::TRIM: case Change::CHANGE: case Change::MOVE:
            drop_from(table, index);
            return;
        case Change::INSERTED: case Change::APPENDED:
            after_insert(table, index, part);
            break;
        case Change::REMOVED: case Change::TAKEN:
            after_remove(table, index, part);
            break;
        case Change::POKED: case Change::REVERSED: case Change::RANDOMIZED:
        case Change::SORTED: case Change::PUT_ED:
            after_rewrite(table, index, part);
            break;
        case Change::CLEARED: case Change::TRIMMED: case Change::CHANGED: case Change::MOVED:
            drop_from(table, index);
            break;
        default:
            return;   // the other before-notifications: the index stays right until the change
    }
    hashtable::sync(table);
}

void track_swap(const Cell* a, const Cell* b) {
    // Both entries go before either comes back, so that no entry describes a cell's old value
    // while the other is placed.
    uint32_t ta = own_table(a), tb = own_table(b);
    if (ta && is_stale(ta)) ta = 0;
    if (tb && is_stale(tb)) tb = 0;
    uint32_t pa = uint32_t(series_head(a)), pb = uint32_t(series_head(b));
    if (ta) hashtable::delete_position(ta, pa);
    if (tb) hashtable::delete_position(tb, pb);
    if (ta) hashtable::insert_position(ta, pa);
    if (tb) hashtable::insert_position(tb, pb);
}

namespace {

// `hash/make` from a block cell that becomes the hash! itself.
void from_fresh_block(Cell* out) {
    retype(out, TYPE_HASH);
    set_series_head(out, 0);
    index_cell(out);
}

// `hash/copy`: a whole copy duplicates the index; any other gets one of its own.
void copy(Cell* out, Cell* value, Cell* part, bool deep, Cell* types) {
    Cell v = *value;
    bool whole = series_head(&v) == 0 && !part && !deep && !types;
    block::copy(out, &v, part, deep, types);
    retype(out, TYPE_HASH);
    set_series_head(out, 0);
    uint32_t table = synced_table(&v);
    if (whole && table) set_table_node(out, hashtable::duplicate(table, series_node(out)));
    else index_cell(out);
}

// `hash/to`: a hash! is copied; anything else converts as to block! does first.
void to(Cell* out, Cell* proto, Cell* spec, uint32_t) {
    if (type_of(spec) == TYPE_HASH) {
        copy(out, spec, nullptr, false, nullptr);
        return;
    }
    block::to(out, proto, spec, TYPE_BLOCK);
    from_fresh_block(out);
}

// `hash/make`: a size, a block's cells, a copy of a hash!, or what to gives.
void make(Cell* out, Cell* proto, Cell* spec, uint32_t) {
    uint32_t st = type_of(spec);
    if (st == TYPE_INTEGER || st == TYPE_FLOAT) {
        int32_t size = make::spec_to_size(spec);
        block::init_cell(out, size < 1 ? 1 : size, TYPE_HASH);
        from_fresh_block(out);
        return;
    }
    if (st == TYPE_HASH) {
        copy(out, spec, nullptr, false, nullptr);
        return;
    }
    if (st == TYPE_BLOCK) {
        set_series(out, TYPE_HASH, block::copy_node(spec));
        from_fresh_block(out);
        return;
    }
    to(out, proto, spec, TYPE_HASH);
}

// `hash/mold`: "make hash! " and the block's mold (the contents alone with /only).
int32_t mold(const Cell* v, uint32_t b, bool only, bool all, bool flat, const Cell* part, int32_t limit,
             int32_t indent) {
    if (!only) {
        string::append_ascii(b, "make hash! ");
        limit -= 11;
    }
    auto block_mold = reinterpret_cast<actions::MoldFn>(actions::handler_of(TYPE_BLOCK, ACT_MOLD));
    return block_mold(v, b, only, all, flat, part, limit, indent);
}

}  // namespace

}  // namespace zel::hash

namespace zel::datatypes {

void register_hash() {
    using namespace zel::hash;
    actions::TypeSpec spec{TYPE_HASH, {}};
    auto set = [&](auto action, auto fn) { actions::put(spec, action, fn); };
    for (int a : std::initializer_list<int>{ACT_REFLECT, ACT_FORM, ACT_EVAL_PATH, ACT_COMPARE, ACT_APPEND, ACT_AT, ACT_BACK, ACT_CHANGE,
                  ACT_CLEAR, ACT_FIND, ACT_HEAD, ACT_HEAD_Q, ACT_INDEX_Q, ACT_INSERT, ACT_LENGTH_Q, ACT_MOVE,
                  ACT_NEXT, ACT_PICK, ACT_POKE, ACT_PUT, ACT_REMOVE, ACT_REVERSE, ACT_SELECT, ACT_SKIP, ACT_SWAP,
                  ACT_TAIL, ACT_TAIL_Q, ACT_TAKE, ACT_MODIFY, ACT_SORT, ACT_TRIM})
        set(a, actions::INHERIT);
    set(ACT_MAKE, &zel::hash::make);
    set(ACT_TO, &to);
    set(ACT_MOLD, &mold);
    set(ACT_COPY, &copy);
    actions::register_type(spec);
}

}  // namespace zel::datatypes
