// Ownership tracking (see ownership.h): the owners table, the record and drop walks, the
// change notification and the collector step for the table.
#include "core/ownership.h"

#include <vector>

#include "core/collector.h"
#include "core/context.h"
#include "core/hashtable.h"
#include "core/memory.h"
#include "core/object.h"
#include "core/stack.h"
#include "core/word.h"
#include "core/cycle_stack.h"

namespace zel::ownership {

using memory::buf;

namespace {

// The owners table: entries of a key cell and three payload cells.
uint32_t owners = 0;
enum Payload { P_VALUE = 0, P_OWNER = 1, P_WORD = 2, PAYLOAD_CELLS = 3 };

void mark_table_buffers() { hashtable::mark_entry_buffers(owners); }

inline bool is_object_type(uint32_t t) { return t == TYPE_OBJECT; }

// Cells from the series' head index to its tail, one at a time (the buffer is re-read for
// each, since a walk may allocate).
template <typename F>
void for_each_cell(const Cell* series, F f) {
    uint32_t node = series_node(series);
    int32_t head = series_head(series);
    for (uint32_t i = uint32_t(head < 0 ? 0 : head); i < buf(node)->length(); i++) {
        Cell c = buf(node)->cells()[i];
        f(&c);
    }
}

// Each field of a context: its value and its word (as a word!), both copies, since a walk may
// allocate.
template <typename F>
void for_each_field(uint32_t ctx, F f) {
    uint32_t n = context::word_count(ctx);
    for (uint32_t k = 0; k < n; k++) {
        Cell w = *context::word_at(ctx, k);
        w.header = TYPE_WORD;
        Cell v = *context::value_at(ctx, word_index(&w));
        f(&v, &w);
    }
}

// The steps the record and drop walks share. An ownable series is handed to at_series(node);
// then, for a block, each of its cells from the head goes to visit(cell, nullptr). An object
// that is no owner itself has each field go to visit(value, word). A block or object already
// being walked is not entered again, so a value that contains itself is walked once.
template <typename AtSeries, typename Visit>
void walk_step(const Cell* value, AtSeries at_series, Visit visit) {
    uint32_t t = type_of(value);
    if (is_ownable(t)) {
        uint32_t node = series_node(value);
        at_series(node);
        if (!is_any_block_type(t) || cycle::contains(node)) return;
        Cell series = *value;
        cycle::Scope scope(node);
        for_each_cell(&series, [&](const Cell* c) { visit(c, nullptr); });
    } else if (is_object_type(t)) {
        uint32_t ctx = object_ctx(value);
        if (ctx_owner_flag(context::record(ctx)) || cycle::contains(ctx)) return;
        cycle::Scope scope(ctx);
        for_each_field(ctx, visit);
    }
}

void record_walk(const Cell* value, const Cell* owner, const Cell* word) {
    auto at_series = [&](uint32_t node) {
        if (buf(node)->flags & F_OWNED) return;
        Cell v = *value;
        Cell* p = hashtable::insert_pointer(owners, node);
        p[P_VALUE] = v;
        p[P_OWNER] = *owner;
        p[P_WORD] = *word;
        buf(node)->flags |= F_OWNED;
    };
    walk_step(value, at_series, [&](const Cell* v, const Cell* field) {
        if (!field) return record_walk(v, owner, word);
        // The owner's own cell inside a field is not walked again.
        if (is_object_type(type_of(v)) && object_ctx(v) == object_ctx(owner)) return;
        record_walk(v, owner, field);
    });
}

void drop_walk(const Cell* value) {
    auto at_series = [](uint32_t node) {
        buf(node)->flags &= ~F_OWNED;
        if (Cell* p = hashtable::delete_pointer(owners, node))
            for (int k = 0; k < PAYLOAD_CELLS; k++) set_unset(&p[k]);
    };
    walk_step(value, at_series, [](const Cell* v, const Cell*) { drop_walk(v); });
}

// The node a change is notified for: a series' buffer, an object's context; 0 otherwise.
uint32_t notified_node(const Cell* value) {
    uint32_t t = type_of(value);
    if (is_ownable(t)) return (buf(series_node(value))->flags & F_OWNED) ? series_node(value) : 0;
    if (t == TYPE_OBJECT) return object_ctx(value);
    return 0;
}

bool entry_is_dead(const Cell* entry, void*) {
    uint32_t key = hashtable::entry_key(entry);
    if (!collector::is_marked(key)) return true;
    const Cell* owner = &entry[1 + P_OWNER];
    if (type_of(owner) == TYPE_OBJECT && collector::is_marked(object_ctx(owner))) return false;
    // The series lives on but its owner died: it may be owned again.
    buf(key)->flags &= ~F_OWNED;
    return true;
}

}  // namespace

void init() {
    owners = hashtable::create_entries(1000, PAYLOAD_CELLS, hashtable::KIND_OWNERS);
    collector::add_root_marker(mark_table_buffers);
}

bool is_ownable(uint32_t t) {
    return is_any_block_type(t) || is_text_type(t) || t == TYPE_BINARY || t == TYPE_VECTOR || t == TYPE_IMAGE ||
           t == TYPE_BITSET;
}

bool is_owned(const Cell* value) {
    return is_ownable(type_of(value)) && (buf(series_node(value))->flags & F_OWNED) != 0;
}

void record_owner_walk(const Cell* value, const Cell* owner_in, const Cell* word_in) {
    Cell v = *value, owner = *owner_in, word = *word_in;
    record_walk(&v, &owner, &word);
}

void take_object_values(const Cell* value, const Cell* owner_in, const Cell* word) {
    Cell owner = *owner_in;
    record_owner_walk(value, &owner, word);
    if (type_of(&owner) == TYPE_OBJECT) set_ctx_owner_flag(context::record(object_ctx(&owner)));
}

void own_fields(const Cell* object_in) {
    Cell o = *object_in;
    uint32_t ctx = object_ctx(&o);
    if (!cycle::contains(ctx)) {
        // The owner is on the cycle stack while its fields are walked: a field that leads
        // back to it (through a block or another object) is not walked into again.
        cycle::Scope scope(ctx);
        for_each_field(ctx, [&](const Cell* v, const Cell* w) {
            if (is_object_type(type_of(v)) && object_ctx(v) == ctx) return;
            record_walk(v, &o, w);
        });
    }
    set_ctx_owner_flag(context::record(ctx));
}

void drop_owner(const Cell* value) {
    Cell v = *value;
    drop_walk(&v);
}

void drop_owner_range(const Cell* block, int32_t index, int32_t count) {
    uint32_t node = series_node(block);
    if (index < 0) index = 0;
    for (int32_t i = index; i < index + count && uint32_t(i) < buf(node)->length(); i++) {
        Cell c = buf(node)->cells()[i];
        drop_walk(&c);
    }
}

const Cell* entry_of(uint32_t node) {
    if (!owners || !node) return nullptr;
    return hashtable::lookup_pointer(owners, node);
}

const Cell* owner_of(uint32_t node) {
    const Cell* p = entry_of(node);
    return p ? &p[P_OWNER] : nullptr;
}

bool notify_change(const Cell* value, uint32_t action_symbol, const Cell* new_value, int32_t index, int32_t part) {
    uint32_t node = notified_node(value);
    if (!node) return false;
    const Cell* p = entry_of(node);
    if (!p) return false;
    Cell owner = p[P_OWNER];
    Cell word = p[P_WORD];
    if (type_of(&owner) != TYPE_OBJECT || !object::has_on_change(&owner)) return false;
    Cell target = *value;
    Cell action;
    word::make_global(&action, TYPE_WORD, action_symbol);
    Cell nv;
    if (new_value) nv = *new_value; else set_none(&nv);
    // call_on_deep_change copies its arguments onto the value stack before it evaluates.
    object::call_on_deep_change(&owner, &word, &target, &action, &nv, index, part);
    return true;
}

void after_marking() {
    if (!owners) return;
    using hashtable::Record;
    // An entry's payload is marked once its key series is known to be reachable; marking a
    // payload (an owner and what it holds) can make further keys reachable.
    std::vector<uint8_t> done;
    bool progress = true;
    while (progress) {
        progress = false;
        const Record* r = hashtable::record(owners);
        uint32_t size = r->aux;
        uint32_t cells = size / sizeof(Cell);
        uint32_t bytes = buf(r->values)->tail;
        done.resize(bytes / size, 0);
        for (uint32_t off = 0, i = 0; off + size <= bytes; off += size, i++) {
            const Cell* e = reinterpret_cast<const Cell*>(buf(r->values)->data() + off);
            if (e->header != TYPE_UNSET || done[i] || !collector::is_marked(hashtable::entry_key(e))) continue;
            done[i] = 1;
            collector::mark_cells(e + 1, e + cells);
            progress = true;
        }
        collector::drain_marks();
    }
    hashtable::sweep_dead_entries(owners, entry_is_dead, nullptr);
}

uint32_t entry_count() { return owners ? hashtable::record(owners)->count : 0; }

uint32_t table() { return owners; }

}  // namespace zel::ownership
