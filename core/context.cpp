// Contexts and words (see context.h, word.h).
#include "core/context.h"

#include "core/collector.h"
#include "core/error.h"
#include "core/hashtable.h"
#include "core/object.h"
#include "core/runtime_words.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/word.h"
#include "core/block.h"
#include "core/cycle_stack.h"

namespace zel {

uint32_t context::global = 0;

namespace context {

using memory::buf;

void init() {
    global = allocate(4000, false, false, KIND_GLOBAL);
    collector::register_node_root(&global, collector::NodeRootKind::Cells);
}

uint32_t allocate(uint32_t slots, bool on_stack, bool object, Kind kind) {
    if (slots == 0) slots = 1;
    uint32_t words = memory::new_cell_series(slots);
    uint32_t tbl = hashtable::create(slots, words, hashtable::KIND_SYMBOLS);
    uint32_t values = on_stack ? 0 : memory::new_cell_series(slots);
    uint32_t ctx = memory::new_cell_series(2);
    SeriesBuf* b = buf(ctx);
    Cell* c = b->cells();
    c[0].header = TYPE_CONTEXT | (uint32_t(kind) << KIND_SHIFT) | (on_stack ? ON_STACK : 0) |
                  (object ? OBJECT_FLAG : 0);
    set_ctx_table(&c[0], tbl);
    set_ctx_values(&c[0], values);
    set_ctx_self(&c[0], 0);
    set_unset(&c[1]);
    b->tail = 2 * sizeof(Cell);
    return ctx;
}

uint32_t word_list(uint32_t ctx) { return hashtable::record(table(ctx))->values; }
uint32_t word_count(uint32_t ctx) { return buf(word_list(ctx))->length(); }
Cell* word_at(uint32_t ctx, uint32_t position) { return &buf(word_list(ctx))->cells()[position]; }
uint32_t values_node(uint32_t ctx) { return on_stack(ctx) ? 0 : ctx_values(record(ctx)); }

int32_t index_of(uint32_t ctx, uint32_t symbol, bool case_insensitive) {
    int32_t pos = hashtable::find_word(table(ctx), symbol, case_insensitive);
    return pos < 0 ? -1 : word_index(word_at(ctx, uint32_t(pos)));
}

namespace {

// Appends a word the context's table does not hold, in the slot shared (a case variant's), or
// in a new slot when shared is -1; returns its slot.
int32_t append_word(uint32_t ctx, uint32_t tbl, uint32_t symbol, int32_t shared) {
    uint32_t list = word_list(ctx);
    uint32_t position = buf(list)->length();
    int32_t index;
    if (shared >= 0) {
        index = shared;
    } else if (on_stack(ctx)) {
        // Stack contexts have one slot per distinct word.
        index = 0;
        for (uint32_t i = 0; i < position; i++) {
            int32_t wi = word_index(&buf(list)->cells()[i]);
            if (wi + 1 > index) index = wi + 1;
        }
    } else {
        index = int32_t(buf(ctx_values(record(ctx)))->length());
    }
    Cell* w = memory::append_cell(list);
    set_word(w, TYPE_WORD, ctx, symbol, index);
    hashtable::index_word(tbl, position);
    if (!on_stack(ctx)) {
        uint32_t vals = ctx_values(record(ctx));
        // The values block keeps one cell per entry.
        memory::append_cell(vals);
    }
    return index;
}

}  // namespace

int32_t add_word(uint32_t ctx, uint32_t symbol, bool case_insensitive) {
    uint32_t tbl = table(ctx);
    int32_t pos = hashtable::find_word(tbl, symbol, case_insensitive);
    if (pos >= 0) return word_index(word_at(ctx, uint32_t(pos)));
    // A case variant shares the slot of the first spelling.
    int32_t shared = -1;
    if (!case_insensitive && symbol::alias_of(symbol) > 0) {
        int32_t first = hashtable::find_word(tbl, symbol, true);
        if (first >= 0) shared = word_index(word_at(ctx, uint32_t(first)));
    }
    return append_word(ctx, tbl, symbol, shared);
}

int32_t global_index(uint32_t symbol) {
    uint32_t tbl = table(global);
    int32_t pos = hashtable::find_word(tbl, symbol, true);
    if (pos >= 0) return word_index(word_at(global, uint32_t(pos)));
    // No spelling of the word is there (the look-up folds case): a slot of its own.
    return append_word(global, tbl, symbol, -1);
}

Cell* values(uint32_t ctx) {
    const Cell* c = record(ctx);
    if (ctx_on_stack(c)) return ctx_values(c) ? stack::bottom + (ctx_values(c) - 1) : nullptr;
    return buf(ctx_values(c))->cells();
}

Cell* value_at(uint32_t ctx, int32_t index, const Cell* word_for_error) {
    const Cell* c = record(ctx);
    if (ctx_on_stack(c)) {
        if (ctx_values(c) == 0) error::raise(error::ERR_SCRIPT_NOT_IN_CONTEXT, word_for_error);
        return stack::bottom + (ctx_values(c) - 1) + index;
    }
    return buf(ctx_values(c))->cells() + index;
}

uint32_t from_block(const Cell* spec, bool stack_values, bool object, Kind kind) {
    uint32_t node = series_node(spec);
    int32_t head = series_head(spec);
    uint32_t n = buf(node)->length();
    uint32_t count = 0;
    for (uint32_t i = uint32_t(head < 0 ? 0 : head); i < n; i++) {
        uint32_t t = type_of(&buf(node)->cells()[i]);
        if (t == TYPE_WORD || t == TYPE_GET_WORD || t == TYPE_LIT_WORD || t == TYPE_REFINEMENT) count++;
    }
    uint32_t ctx = allocate(count, stack_values, object, kind);
    for (uint32_t i = uint32_t(head < 0 ? 0 : head); i < n; i++) {
        const Cell* c = &buf(node)->cells()[i];
        uint32_t t = type_of(c);
        if (t == TYPE_WORD || t == TYPE_GET_WORD || t == TYPE_LIT_WORD || t == TYPE_REFINEMENT)
            add_word(ctx, word_symbol(c), true);
    }
    return ctx;
}

uint32_t duplicate(uint32_t ctx) {
    const Cell src = *record(ctx);
    uint32_t tbl = hashtable::duplicate_word_list(ctx_table(&src));
    uint32_t vals = ctx_on_stack(&src) ? 0 : memory::duplicate_series(ctx_values(&src));
    uint32_t copy = memory::new_cell_series(2);
    SeriesBuf* b = buf(copy);
    Cell* c = b->cells();
    c[0] = src;
    set_ctx_table(&c[0], tbl);
    set_ctx_values(&c[0], vals);
    set_unset(&c[1]);
    b->tail = 2 * sizeof(Cell);
    SeriesBuf* wl = buf(hashtable::record(tbl)->values);
    for (uint32_t i = 0; i < wl->length(); i++) set_word_context(&wl->cells()[i], copy);
    return copy;
}

bool collect_set_words(uint32_t ctx, const Cell* block) {
    uint32_t node = series_node(block);
    uint32_t n = buf(node)->length();
    int32_t head = series_head(block);
    uint32_t before = word_count(ctx);
    for (uint32_t i = uint32_t(head < 0 ? 0 : head); i < n; i++) {
        const Cell* c = &buf(node)->cells()[i];
        if (type_of(c) == TYPE_SET_WORD) add_word(ctx, word_symbol(c), true);
    }
    return word_count(ctx) != before;
}

bool bind_word(uint32_t ctx, Cell* w) {
    int32_t i = index_of(ctx, word_symbol(w), true);
    if (i < 0) return false;
    set_word_binding(w, ctx, i);
    return true;
}

void bind_block(uint32_t block_node, int32_t head, uint32_t ctx, bool self) {
    if (cycle::contains(block_node)) return;
    cycle::Scope scope(block_node);
    uint32_t self_sym = sym(SYM_SELF);
    for (uint32_t i = uint32_t(head < 0 ? 0 : head); i < buf(block_node)->length(); i++) {
        Cell* c = &buf(block_node)->cells()[i];
        uint32_t t = type_of(c);
        if (is_any_block_type(t)) {
            bind_block(series_node(c), 0, ctx, self);
        } else if (t >= TYPE_WORD && t <= TYPE_REFINEMENT) {
            if (self && t == TYPE_WORD && symbol::same_canonical(word_symbol(c), self_sym)) {
                set_word_binding(c, ctx, -1);
            } else {
                bind_word(ctx, c);
            }
        }
    }
}

}  // namespace context

// ---- words ----

namespace word {

using memory::buf;

void make_global(Cell* out, uint32_t t, uint32_t symbol) {
    int32_t index = context::global_index(symbol);
    set_word(out, t, context::global, symbol, index);
}

void make_global(Cell* out, uint32_t t, std::string_view spelling) {
    make_global(out, t, symbol::intern(spelling));
}

void in_context(Cell* out, uint32_t ctx, uint32_t symbol) {
    int32_t i = context::index_of(ctx, symbol, false);
    if (i >= 0) set_word(out, TYPE_WORD, ctx, symbol, i);
    else make_global(out, TYPE_WORD, symbol);
}

Cell* value_cell(const Cell* w) {
    uint32_t ctx = word_context(w);
    int32_t index = word_index(w);
    if (ctx == 0) error::raise(error::ERR_SCRIPT_NO_VALUE, w);
    if (index < 0) {
        if (symbol::same_canonical(word_symbol(w), sym(SYM_SELF))) return context::owner(ctx);
        error::raise(error::ERR_SCRIPT_NO_VALUE, w);
    }
    return context::value_at(ctx, index, w);
}

Cell* value_or_null(const Cell* w) {
    uint32_t ctx = word_context(w);
    int32_t index = word_index(w);
    if (ctx == 0) return nullptr;
    if (index < 0) {
        if (symbol::same_canonical(word_symbol(w), sym(SYM_SELF))) return context::owner(ctx);
        return nullptr;
    }
    const Cell* c = context::record(ctx);
    if (ctx_on_stack(c) && ctx_values(c) == 0) return nullptr;
    return context::value_at(ctx, index);
}

void set(const Cell* w, const Cell* value, bool fire) {
    uint32_t ctx = word_context(w);
    int32_t index = word_index(w);
    if (ctx == 0) error::raise(error::ERR_SCRIPT_NOT_DEFINED, w);
    if (index < 0) {
        index = context::index_of(ctx, word_symbol(w), false);
        if (index < 0) index = context::add_word(ctx, word_symbol(w), false);
    }
    const Cell* rec = context::record(ctx);
    if (ctx_on_stack(rec) && ctx_values(rec) == 0) error::raise(error::ERR_SCRIPT_NOT_DEFINED, w);
    if (context::kind(ctx) == context::KIND_OBJECT) {
        // Flag the entry as changed; run the owner's on-change* when it has one.
        object::flag_changed(ctx, index);
        if (fire && object::has_on_change(context::owner(ctx))) {
            object::set_field_notify(ctx, index, w, value);
            return;
        }
    }
    *context::value_at(ctx, index, w) = *value;
}

Cell* global_value(std::string_view spelling) {
    uint32_t s = symbol::intern(spelling);
    int32_t i = context::index_of(context::global, s, true);
    return i < 0 ? nullptr : context::value_at(context::global, i);
}

void set_global(std::string_view spelling, const Cell* value) {
    uint32_t s = symbol::intern(spelling);
    int32_t i = context::global_index(s);
    *context::value_at(context::global, i) = *value;
}

}  // namespace word
}  // namespace zel
