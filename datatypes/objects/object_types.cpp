// The object! and error! datatypes: their action handlers (make, reflect, form, mold, path
// access, compare, copy, select, put, modify). Objects themselves (making, copying, on-change
// notification, molding their fields) are the core's (core/object.h).
#include <string_view>

#include "core/actions.h"
#include "core/block.h"
#include "core/context.h"
#include "core/cycle_stack.h"
#include "core/error.h"
#include "core/memory.h"
#include "core/object.h"
#include "core/ownership.h"
#include "core/runtime_words.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/text.h"
#include "core/word.h"
#include "datatypes/datatypes.h"

namespace zel::object {

using memory::buf;

namespace {

// Whether the object writes any field when molded.
bool writes_fields(const Cell* o, bool all) {
    uint32_t ctx = object_ctx(o);
    uint32_t n = context::word_count(ctx);
    for (uint32_t k = 0; k < n; k++)
        if (all || !is_handler_symbol(word_symbol(context::word_at(ctx, k)))) return true;
    return false;
}

int32_t mold_as(const char* opening, const Cell* v, uint32_t b, bool only, bool all, bool flat, const Cell* part,
                int32_t limit, int32_t indent) {
    if (cycle::emit_marker(v, b, limit, true)) return limit;
    if (!only) {
        limit = string::append_ascii_within(b, opening, limit);
    }
    bool body = writes_fields(v, all);
    limit = mold_body(v, b, only, all, flat, part, limit, indent + 1, !flat);
    // The closing bracket lines up with the enclosing level (an empty body stays "[]").
    if (body && !flat && indent >= 1) limit = cycle::emit_indent(b, indent, limit);
    if (!only) {
        string::append_char(b, ']');
        limit--;
    }
    return limit;
}

int32_t object_mold(const Cell* v, uint32_t b, bool only, bool all, bool flat, const Cell* part, int32_t limit,
                    int32_t indent) {
    return mold_as("make object! [", v, b, only, all, flat, part, limit, indent);
}

int32_t object_form(const Cell* v, uint32_t b, const Cell* part, int32_t limit) {
    if (cycle::emit_marker(v, b, limit, false)) return limit;
    return mold_body(v, b, true, false, false, part, limit, 0, false);
}

int32_t error_form(const Cell* v, uint32_t b, const Cell*, int32_t limit) {
    uint32_t before = buf(b)->length();
    error::form(v, b);
    return limit - int32_t(buf(b)->length() - before);
}

int32_t error_mold(const Cell* v, uint32_t b, bool only, bool all, bool flat, const Cell* part, int32_t limit,
                   int32_t indent) {
    return mold_as("make error! [", v, b, only, all, flat, part, limit, indent);
}

// ---- path access, comparison ----

void object_eval_path(Cell* out, Cell* parent, Cell* element, Cell* value, const actions::PathStep& step) {
    uint32_t et = type_of(element);
    if (!(et == TYPE_WORD || et == TYPE_SET_WORD || et == TYPE_GET_WORD || et == TYPE_LIT_WORD))
        error::raise(error::ERR_SCRIPT_INVALID_PATH, step.path ? step.path : element, element);
    uint32_t ctx = object_ctx(parent);
    bool is_self = word_context(element) == ctx && word_index(element) == -1;
    if (is_self) {
        // self bound to the object reads the object itself and cannot be set.
        if (value) error::raise(error::ERR_SCRIPT_INVALID_PATH, step.path ? step.path : element, element);
        *out = *context::owner(ctx);
        return;
    }
    int32_t i = context::index_of(ctx, word_symbol(element), true);
    auto miss = [&] {
        if (step.miss_unset && step.miss_error) set_unset(out);
        else raise_path_miss(step, element);
    };
    if (i < 0) return miss();
    if (!value) {
        Cell* v = context::value_at(ctx, i);
        if (type_of(v) == TYPE_UNSET) return miss();
        *out = *v;
        return;
    }
    Cell w;
    set_word(&w, TYPE_WORD, ctx, word_symbol(element), i);
    word::set(&w, value, true);
    *out = *value;
}

int32_t object_compare(const Cell* a, const Cell* b, int32_t op) {
    if (type_of(b) != type_of(a)) return -2;
    if (object_ctx(a) == object_ctx(b)) return 0;
    if (op == actions::OP_SAME) return -1;
    if (cycle::contains(object_ctx(a))) return cycle::contains(object_ctx(b)) ? 0 : -1;
    uint32_t na = context::word_count(object_ctx(a)), nb = context::word_count(object_ctx(b));
    if (na != nb) return na < nb ? -1 : 1;
    uint32_t ca = object_ctx(a), cb = object_ctx(b);
    cycle::Scope sa(ca), sb(cb);
    for (uint32_t k = 0; k < na; k++) {
        uint32_t s1 = symbol::canonical(word_symbol(context::word_at(ca, k)));
        uint32_t s2 = symbol::canonical(word_symbol(context::word_at(cb, k)));
        if (s1 != s2) return s1 < s2 ? -1 : 1;
        Cell v1 = *value_of_entry(ca, k), v2 = *value_of_entry(cb, k);
        uint32_t t1 = type_of(&v1), t2 = type_of(&v2);
        if (t1 != t2 && !(is_any_word_type(t1) && is_any_word_type(t2)) && !(is_number_type(t1) && is_number_type(t2)))
            return t1 < t2 ? -1 : 1;
        int32_t r = actions::compare_raw(&v1, &v2, op);
        if (r != 0) return r;
    }
    return 0;
}

// ---- the other actions ----

void object_make(Cell* out, Cell* proto, Cell* spec, uint32_t) {
    set_none(out);
    make(out, type_of(proto) == TYPE_OBJECT ? proto : nullptr, spec);
}

void error_make(Cell* out, Cell*, Cell* spec, uint32_t) {
    set_none(out);
    error::make_from_spec(out, spec);
}

// A new block cell on the stack.
Cell* push_block(uint32_t n) {
    Cell* out = stack::push();
    block::init_cell(out, n);
    return out;
}

void object_reflect(Cell* result, Cell* o, uint32_t f) {
    uint32_t ctx = object_ctx(o);
    uint32_t n = context::word_count(ctx);
    auto is = [f](SymId id) { return symbol::same_canonical(f, sym(id)); };
    Cell* out;
    if (is(SYM_WORDS)) {
        out = push_block(n);
        for (uint32_t k = 0; k < n; k++) {
            Cell w;
            field_word(&w, ctx, k);
            block::append(series_node(out), &w);
        }
    } else if (is(SYM_VALUES)) {
        out = push_block(n);
        for (uint32_t k = 0; k < n; k++) {
            Cell v = *value_of_entry(ctx, k);
            block::append(series_node(out), &v);
        }
    } else if (is(SYM_BODY_FIELD)) {
        out = push_block(int64_t(n) * 2);
        for (uint32_t k = 0; k < n; k++) {
            Cell w;
            field_word(&w, ctx, k);
            w.header = TYPE_SET_WORD | HEADER_NEW_LINE;
            block::append(series_node(out), &w);
            Cell v = *value_of_entry(ctx, k);
            if (type_of(&v) == TYPE_WORD) retype(&v, TYPE_LIT_WORD);
            else if (type_of(&v) == TYPE_PATH) retype(&v, TYPE_LIT_PATH);
            block::append(series_node(out), &v);
        }
    } else if (is(SYM_CLASS)) {
        out = stack::push();
        set_integer(out, object_class(o));
    } else if (is(SYM_OWNER)) {
        out = stack::push();
        set_logic(out, ctx_owner_flag(context::record(ctx)));
    } else if (is(SYM_EVENTS_Q)) {
        out = stack::push();
        set_logic(out, info_of(ctx) != 0);
    } else if (is(SYM_CHANGED)) {
        out = push_block(n);
        for (uint32_t k = 0; k < n; k++) {
            if (!word_changed(context::word_at(ctx, k))) continue;
            Cell w;
            field_word(&w, ctx, k);
            block::append(series_node(out), &w);
        }
    } else {
        error::raise(error::ERR_INTERNAL_NOT_DONE);
    }
    *result = *out;
}

void object_copy(Cell* new_cell, Cell* v, Cell* part, bool deep, Cell* types) {
    if (part) {
        Cell w;
        word::make_global(&w, TYPE_REFINEMENT, sym(SYM_PART));
        error::raise(error::ERR_SCRIPT_INVALID_REFINE_ARG, &w, part);
    }
    copy(new_cell, v, deep, types);
}

void object_select(Cell* out, const actions::FindArgs& a) {
    if (!is_any_word_type(type_of(a.value))) error::raise_type(error::ERR_SCRIPT_INVALID_TYPE, type_of(a.value));
    select_word_value(out, a.series, word_symbol(a.value));
}

void object_put(Cell* out, Cell* o, Cell* key, Cell* value, bool) {
    if (type_of(key) != TYPE_WORD) error::raise_type(error::ERR_SCRIPT_INVALID_KEY_TYPE, type_of(key));
    actions::PathStep step;
    step.miss_error = true;
    object_eval_path(out, o, key, value, step);
    *out = *value;
}

void object_modify(Cell* out, Cell* o, Cell* f, Cell* value, bool) {
    if (!is_any_word_type(type_of(f))) { *out = *o; return; }
    uint32_t s = word_symbol(f);
    uint32_t ctx = object_ctx(o);
    if (symbol::same_canonical(s, sym(SYM_CHANGED))) {
        if (type_of(value) != TYPE_NONE) error::raise(error::ERR_SCRIPT_INVALID_ARG, value);
        clear_changed_flags(ctx);
    } else if (symbol::same_canonical(s, sym(SYM_OWNER))) {
        if (!is_falsy(value)) ownership::own_fields(o);
    } else if (symbol::same_canonical(s, sym(SYM_OWNED))) {
        if (type_of(value) == TYPE_NONE) {
            ownership::drop_owner(o);
        } else if (type_of(value) == TYPE_BLOCK && block::length(value) >= 2) {
            Cell owner = block::head(value)[0];
            Cell w = block::head(value)[1];
            if (type_of(&owner) == TYPE_OBJECT) ownership::record_owner_walk(o, &owner, &w);
        }
    }
    *out = *o;
}

}  // namespace

}  // namespace zel::object

namespace zel::datatypes {

void register_objects() {
    using namespace object;
    actions::TypeSpec obj{TYPE_OBJECT, {}};
    actions::put(obj, ACT_MAKE, object_make);
    actions::put(obj, ACT_REFLECT, object_reflect);
    actions::put(obj, ACT_FORM, object_form);
    actions::put(obj, ACT_MOLD, object_mold);
    actions::put(obj, ACT_EVAL_PATH, object_eval_path);
    actions::put(obj, ACT_COMPARE, object_compare);
    actions::put(obj, ACT_COPY, object_copy);
    actions::put(obj, ACT_PUT, object_put);
    actions::put(obj, ACT_SELECT, object_select);
    actions::put(obj, ACT_MODIFY, object_modify);
    actions::register_type(obj);

    actions::TypeSpec err{TYPE_ERROR, {}};
    actions::put(err, ACT_MAKE, error_make);
    err.handlers[ACT_REFLECT - 1] = actions::INHERIT;
    actions::put(err, ACT_FORM, error_form);
    actions::put(err, ACT_MOLD, error_mold);
    actions::put(err, ACT_EVAL_PATH, object_eval_path);
    actions::put(err, ACT_COMPARE, object_compare);
    err.handlers[ACT_COPY - 1] = actions::INHERIT;
    err.handlers[ACT_SELECT - 1] = actions::INHERIT;
    actions::register_type(err);
}

}  // namespace zel::datatypes
