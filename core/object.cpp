// Object values (see object.h) and the error! datatype's object behaviour.
#include "core/object.h"

#include "core/actions.h"
#include "core/callable.h"
#include "core/collector.h"
#include "core/context.h"
#include "core/error.h"
#include "core/interpreter.h"
#include "core/runtime_words.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/word.h"
#include "datatypes/series/block.h"
#include "datatypes/series/block_ops.h"
#include "datatypes/series/cycle_stack.h"
#include "datatypes/series/string.h"

namespace zel::object {

using memory::buf;

namespace {
int32_t class_counter = 1000000;

// The value index of the word-list entry at position k.
int32_t slot_at(uint32_t ctx, uint32_t k) { return word_index(context::word_at(ctx, k)); }

// Clones function fields so that their bodies refer to the new object.
void clone_functions(uint32_t ctx) {
    uint32_t n = context::word_count(ctx);
    for (uint32_t k = 0; k < n; k++) {
        Cell* v = context::value_at(ctx, slot_at(ctx, k));
        if (type_of(v) != TYPE_FUNCTION) continue;
        Cell fn = *v;
        collector::RootGuard g(&fn);
        Cell body = buf(fn.d3)->cells()[callable::AUX_BODY];
        if (type_of(&body) != TYPE_BLOCK) error::raise(error::ERR_SCRIPT_BAD_FUNC_DEF, &fn);
        Cell spec;
        set_series(&spec, TYPE_BLOCK, fn.d2);
        Cell copy;
        block_ops::copy_deep(&copy, &body);
        collector::RootGuard g2(&copy);
        context::bind_block(series_node(&copy), 0, ctx, true);
        Cell nf;
        callable::make_function(&nf, &spec, &copy, fn.header & (callable::ATTR_TRACE | callable::ATTR_NO_TRACE), ctx);
        *context::value_at(ctx, slot_at(ctx, k)) = nf;
    }
}

void clear_flags(uint32_t ctx) {
    uint32_t n = context::word_count(ctx);
    for (uint32_t k = 0; k < n; k++) context::word_at(ctx, k)->header &= ~context::WORD_CHANGED;
    SeriesBuf* vb = buf(context::values_node(ctx));
    for (uint32_t i = 0; i < vb->length(); i++) set_new_line(&vb->cells()[i], false);
}

int32_t handler_info(uint32_t ctx, uint32_t s, int32_t* argc) {
    int32_t i = context::index_of(ctx, s, true);
    if (i < 0) return -1;
    Cell* v = context::value_at(ctx, i);
    if (type_of(v) != TYPE_FUNCTION && type_of(v) != TYPE_ROUTINE) {
        Cell w, dt;
        word::make_global(&w, TYPE_WORD, s);
        set_datatype(&dt, type_of(v));
        error::raise(error::ERR_SCRIPT_BAD_FIELD_SET, &w, &dt);
    }
    *argc = 0;
    return i;
}

}  // namespace

int32_t next_class_id() { return ++class_counter; }

void wrap(Cell* out, uint32_t ctx, int32_t class_id, uint32_t t) {
    out->header = t;
    out->d1 = ctx;
    out->d2 = uint32_t(class_id);
    out->d3 = 0;
    *context::owner(ctx) = *out;
}

bool has_on_change(const Cell* o) { return (type_of(o) == TYPE_OBJECT || type_of(o) == TYPE_ERROR) && o->d3 != 0; }

void attach_on_change_info(Cell* o) {
    uint32_t ctx = o->d1;
    int32_t argc;
    int32_t oc = handler_info(ctx, sym(SYM_ON_CHANGE), &argc);
    int32_t odc = handler_info(ctx, sym(SYM_ON_DEEP_CHANGE), &argc);
    if (oc < 0 && odc < 0) {
        o->d3 = 0;
    } else {
        // Two pair! cells: x = (field index << 16) | 0 (0xFFFF: absent).
        uint32_t info = memory::new_cell_series(2);
        Cell* a = memory::append_cell(info);
        a->header = TYPE_PAIR;
        a->d2 = oc < 0 ? 0xFFFF0000u : uint32_t(oc) << 16;
        a->d3 = 0;
        Cell* b = memory::append_cell(info);
        b->header = TYPE_PAIR;
        b->d2 = odc < 0 ? 0xFFFF0000u : uint32_t(odc) << 16;
        b->d3 = 0;
        o->d3 = info;
    }
    *context::owner(ctx) = *o;
}

void set_field_notify(uint32_t ctx, int32_t index, const Cell* w, const Cell* value) {
    Cell obj = *context::owner(ctx);
    Cell args[3];
    args[0] = *w;
    args[0].header = TYPE_WORD;
    args[0].d1 = ctx;
    args[0].d3 = uint32_t(index);
    args[1] = *context::value_at(ctx, index);
    args[2] = *value;
    *context::value_at(ctx, index) = *value;
    if (!obj.d3) return;
    uint32_t xi = buf(obj.d3)->cells()[0].d2;
    if (xi >= 0xFFFF0000u) return;
    Cell handler = *context::value_at(ctx, int32_t(xi >> 16));
    if (type_of(&handler) != TYPE_FUNCTION) error::raise(error::ERR_SCRIPT_INVALID_OBJ_EVT, &handler);
    for (auto& a : args) stack::push_copy(&a);
    Cell* first = stack::top - 3;
    interp::call_with_args(&handler, sym(SYM_ON_CHANGE), first, 3);
    Cell r = *(stack::top - 1);
    stack::top = first;
    (void)r;
}

Cell* field(const Cell* o, uint32_t s) {
    int32_t i = context::index_of(o->d1, s, true);
    return i < 0 ? nullptr : context::value_at(o->d1, i);
}

uint32_t field_count(const Cell* o) { return context::word_count(o->d1); }

void make(Cell* out, const Cell* proto, const Cell* spec_in) {
    Cell spec = *spec_in;
    collector::RootGuard g1(&spec);
    Cell obj;
    bool has_proto = proto && type_of(proto) == TYPE_OBJECT;
    uint32_t ctx;
    if (has_proto) {
        ctx = context::duplicate(proto->d1);
        wrap(&obj, ctx, int32_t(proto->d2), TYPE_OBJECT);
    } else {
        ctx = context::allocate(4, false, true, context::KIND_OBJECT);
        wrap(&obj, ctx, 0, TYPE_OBJECT);
    }
    collector::RootGuard g2(&obj);
    if (has_proto) clone_functions(ctx);
    if (type_of(&spec) == TYPE_BLOCK) {
        bool gained = context::collect_set_words(ctx, &spec);
        context::bind_block(series_node(&spec), series_head(&spec), ctx, true);
        if (has_proto) {
            // Series values that came from the prototype become copies bound to the new object.
            uint32_t n = context::word_count(ctx);
            for (uint32_t k = 0; k < n; k++) {
                Cell* v = context::value_at(ctx, slot_at(ctx, k));
                if (is_series_type(type_of(v))) {
                    Cell copy;
                    block_ops::copy_deep(&copy, v);
                    if (is_any_block_type(type_of(&copy))) context::bind_block(series_node(&copy), 0, ctx, true);
                    *context::value_at(ctx, slot_at(ctx, k)) = copy;
                }
            }
        }
        interp::eval_block(&spec, false);
        stack::drop(1);
        clear_flags(ctx);
        if (gained || !has_proto) obj.d2 = uint32_t(next_class_id());
    } else if (type_of(&spec) == TYPE_OBJECT) {
        uint32_t sctx = spec.d1;
        uint32_t before = context::word_count(ctx);
        for (uint32_t k = 0; k < context::word_count(sctx); k++) {
            uint32_t s = word_symbol(context::word_at(sctx, k));
            int32_t i = context::add_word(ctx, s, true);
            *context::value_at(ctx, i) = *context::value_at(sctx, slot_at(sctx, k));
        }
        clone_functions(ctx);
        if (context::word_count(ctx) != before || !has_proto) obj.d2 = uint32_t(next_class_id());
    } else {
        error::raise(error::ERR_SYNTAX_MALCONSTRUCT, &spec);
    }
    attach_on_change_info(&obj);
    *out = obj;
}

// ---- action handlers ----

namespace {

int32_t mold_body(const Cell* o, uint32_t b, bool only, bool all, bool flat, int32_t limit, int32_t indent) {
    uint32_t ctx = o->d1;
    uint32_t n = context::word_count(ctx);
    if (n == 0) return limit;
    cycle::Scope scope(ctx);
    bool indented = !only || indent > 0;
    if (!flat && !only) {
        string::append_char(b, '\n');
        limit--;
    }
    for (uint32_t k = 0; k < n && limit > 0; k++) {
        Cell w = *context::word_at(ctx, k);
        uint32_t s = word_symbol(&w);
        if (!all && (symbol::same_canonical(s, sym(SYM_ON_CHANGE)) || symbol::same_canonical(s, sym(SYM_ON_DEEP_CHANGE))))
            continue;
        if (indented && !flat)
            for (int32_t l = 0; l < indent; l++) { string::append_ascii(b, "    "); limit -= 4; }
        std::string_view name = symbol::spelling(s);
        string::append_utf8(b, name);
        string::append_ascii(b, ": ");
        limit -= int32_t(name.size()) + 2;
        Cell v = *context::value_at(ctx, word_index(&w));
        if (type_of(&v) == 0) set_unset(&v);
        if (type_of(&v) == TYPE_WORD) { string::append_char(b, '\''); limit--; }
        limit = actions::mold_into(&v, b, false, all, flat, limit, indent);
        bool last = (k + 1 == n);
        if (!last || indented) {
            string::append_char(b, flat ? ' ' : '\n');
            limit--;
        }
    }
    return limit;
}

int32_t object_mold(const Cell* v, uint32_t b, bool only, bool all, bool flat, const Cell*, int32_t limit, int32_t indent) {
    if (cycle::contains(v->d1)) {
        string::append_ascii(b, "make object! [...]");
        return limit - 18;
    }
    if (!only) { string::append_ascii(b, "make object! ["); limit -= 14; }
    limit = mold_body(v, b, only, all, flat, limit, indent + 1);
    if (!flat && indent >= 1)
        for (int32_t l = 0; l < indent; l++) { string::append_ascii(b, "    "); limit -= 4; }
    if (!only) { string::append_char(b, ']'); limit--; }
    return limit;
}

int32_t object_form(const Cell* v, uint32_t b, const Cell*, int32_t limit) {
    if (cycle::contains(v->d1)) {
        string::append_ascii(b, "...");
        return limit - 3;
    }
    return mold_body(v, b, true, false, false, limit, 0);
}

int32_t error_form(const Cell* v, uint32_t b, const Cell*, int32_t limit) {
    uint32_t before = buf(b)->length();
    error::form(v, b);
    return limit - int32_t(buf(b)->length() - before);
}

int32_t error_mold(const Cell* v, uint32_t b, bool only, bool all, bool flat, const Cell*, int32_t limit, int32_t indent) {
    if (!only) { string::append_ascii(b, "make error! ["); limit -= 13; }
    limit = mold_body(v, b, only, all, flat, limit, indent + 1);
    if (!flat && indent >= 1)
        for (int32_t l = 0; l < indent; l++) { string::append_ascii(b, "    "); limit -= 4; }
    if (!only) { string::append_char(b, ']'); limit--; }
    return limit;
}

Cell* object_eval_path(Cell* parent, Cell* element, Cell* value, const actions::PathStep& step) {
    uint32_t et = type_of(element);
    if (!(et == TYPE_WORD || et == TYPE_SET_WORD || et == TYPE_GET_WORD || et == TYPE_LIT_WORD))
        error::raise(error::ERR_SCRIPT_INVALID_PATH, step.path ? step.path : element, element);
    uint32_t ctx = parent->d1;
    int32_t i = context::index_of(ctx, word_symbol(element), true);
    auto miss = [&]() -> Cell* {
        if (step.miss_unset && step.miss_error) return stack::push_unset();
        if (step.miss_error) error::raise(error::ERR_SCRIPT_INVALID_PATH, step.path ? step.path : element, element);
        error::raise(error::ERR_SCRIPT_UNSET_PATH, step.path ? step.path : element, element);
    };
    if (i < 0) return miss();
    if (!value) {
        Cell* v = context::value_at(ctx, i);
        if (type_of(v) == TYPE_UNSET) return miss();
        return v;
    }
    Cell w;
    set_word(&w, TYPE_WORD, ctx, word_symbol(element), i);
    word::set(&w, value, true);
    return value;
}

int32_t object_compare(const Cell* a, const Cell* b, int32_t op) {
    if (type_of(b) != type_of(a)) return -2;
    if (a->d1 == b->d1) return 0;
    if (op == actions::OP_SAME) return -1;
    if (cycle::contains(a->d1)) return cycle::contains(b->d1) ? 0 : -1;
    uint32_t na = context::word_count(a->d1), nb = context::word_count(b->d1);
    if (na != nb) return na < nb ? -1 : 1;
    cycle::Scope sa(a->d1), sb(b->d1);
    for (uint32_t k = 0; k < na; k++) {
        uint32_t s1 = symbol::canonical(word_symbol(context::word_at(a->d1, k)));
        uint32_t s2 = symbol::canonical(word_symbol(context::word_at(b->d1, k)));
        if (s1 != s2) return s1 < s2 ? -1 : 1;
        const Cell* v1 = context::value_at(a->d1, slot_at(a->d1, k));
        const Cell* v2 = context::value_at(b->d1, slot_at(b->d1, k));
        uint32_t t1 = type_of(v1), t2 = type_of(v2);
        if (t1 != t2 && !(is_any_word_type(t1) && is_any_word_type(t2)) && !(is_number_type(t1) && is_number_type(t2)))
            return t1 < t2 ? -1 : 1;
        int32_t r = actions::compare_raw(v1, v2, op);
        if (r != 0) return r;
    }
    return 0;
}

Cell* object_make(Cell* proto, Cell* spec, uint32_t type) {
    Cell* out = stack::push();
    make(out, type_of(proto) == TYPE_OBJECT ? proto : nullptr, spec);
    return out;
}

Cell* error_make(Cell* proto, Cell* spec, uint32_t type) {
    Cell* out = stack::push();
    error::make_from_spec(out, spec);
    return out;
}

Cell* object_reflect(Cell* o, uint32_t field_sym) {
    uint32_t ctx = o->d1;
    Cell* out = stack::push();
    uint32_t n = context::word_count(ctx);
    if (symbol::same_canonical(field_sym, sym(SYM_WORDS))) {
        uint32_t node = memory::new_cell_series(n);
        set_series(out, TYPE_BLOCK, node);
        for (uint32_t k = 0; k < n; k++) {
            Cell w = *context::word_at(ctx, k);
            w.header = TYPE_WORD;
            block::append(node, &w);
        }
    } else if (symbol::same_canonical(field_sym, sym(SYM_VALUES))) {
        uint32_t node = memory::new_cell_series(n);
        set_series(out, TYPE_BLOCK, node);
        for (uint32_t k = 0; k < n; k++) block::append(node, context::value_at(ctx, slot_at(ctx, k)));
    } else if (symbol::same_canonical(field_sym, sym(SYM_BODY_FIELD))) {
        uint32_t node = memory::new_cell_series(n * 2);
        set_series(out, TYPE_BLOCK, node);
        for (uint32_t k = 0; k < n; k++) {
            Cell w = *context::word_at(ctx, k);
            w.header = TYPE_SET_WORD | HEADER_NEW_LINE;
            block::append(node, &w);
            Cell v = *context::value_at(ctx, slot_at(ctx, k));
            if (type_of(&v) == TYPE_WORD) retype(&v, TYPE_LIT_WORD);
            else if (type_of(&v) == TYPE_PATH) retype(&v, TYPE_LIT_PATH);
            block::append(node, &v);
        }
    } else if (symbol::same_canonical(field_sym, sym(SYM_CLASS))) {
        set_integer(out, int32_t(o->d2));
    } else if (symbol::same_canonical(field_sym, sym(SYM_OWNER))) {
        set_logic(out, (context::record(ctx)->header & context::OWNER_BIT) != 0);
    } else if (symbol::same_canonical(field_sym, sym(SYM_EVENTS_Q))) {
        set_logic(out, o->d3 != 0);
    } else if (symbol::same_canonical(field_sym, sym(SYM_CHANGED))) {
        uint32_t node = memory::new_cell_series(n);
        set_series(out, TYPE_BLOCK, node);
        for (uint32_t k = 0; k < n; k++) {
            Cell w = *context::word_at(ctx, k);
            if (w.header & context::WORD_CHANGED) {
                w.header = TYPE_WORD;
                block::append(node, &w);
            }
        }
    } else {
        error::raise(error::ERR_INTERNAL_NOT_DONE);
    }
    return out;
}

Cell* object_copy(Cell* v, Cell* new_cell, Cell* part, bool deep, Cell* types) {
    if (part) {
        Cell w;
        word::make_global(&w, TYPE_REFINEMENT, sym(SYM_PART));
        error::raise(error::ERR_SCRIPT_INVALID_REFINE_ARG, &w, part);
    }
    uint32_t ctx = context::duplicate(v->d1);
    wrap(new_cell, ctx, int32_t(v->d2), type_of(v));
    clone_functions(ctx);
    if (deep) {
        uint32_t n = context::word_count(ctx);
        for (uint32_t k = 0; k < n; k++) {
            Cell* f = context::value_at(ctx, slot_at(ctx, k));
            if (is_any_block_type(type_of(f)) || is_text_type(type_of(f))) {
                Cell copy;
                block_ops::copy_deep(&copy, f);
                *context::value_at(ctx, slot_at(ctx, k)) = copy;
            }
        }
    }
    attach_on_change_info(new_cell);
    return new_cell;
}

Cell* object_select(const actions::FindArgs& a) {
    Cell* out = stack::push();
    if (!is_any_word_type(type_of(a.value))) error::raise_type(error::ERR_SCRIPT_INVALID_TYPE, type_of(a.value));
    Cell* f = field(a.series, word_symbol(a.value));
    if (f) *out = *f; else set_none(out);
    return out;
}

Cell* object_put(Cell* o, Cell* key, Cell* value, bool) {
    if (type_of(key) != TYPE_WORD) error::raise_type(error::ERR_SCRIPT_INVALID_KEY_TYPE, type_of(key));
    actions::PathStep step;
    object_eval_path(o, key, value, step);
    return value;
}

template <typename F>
actions::Handler H(F f) { return reinterpret_cast<actions::Handler>(f); }

}  // namespace

void register_types() {
    actions::TypeSpec obj{TYPE_OBJECT, 0, "object!", {}};
    obj.handlers[ACT_MAKE - 1] = H(object_make);
    obj.handlers[ACT_REFLECT - 1] = H(object_reflect);
    obj.handlers[ACT_FORM - 1] = H(object_form);
    obj.handlers[ACT_MOLD - 1] = H(object_mold);
    obj.handlers[ACT_EVAL_PATH - 1] = H(object_eval_path);
    obj.handlers[ACT_COMPARE - 1] = H(object_compare);
    obj.handlers[ACT_COPY - 1] = H(object_copy);
    obj.handlers[ACT_SELECT - 1] = H(object_select);
    obj.handlers[ACT_PUT - 1] = H(object_put);
    actions::register_type(obj);

    actions::TypeSpec err{TYPE_ERROR, TYPE_OBJECT, "error!", {}};
    err.handlers[ACT_MAKE - 1] = H(error_make);
    err.handlers[ACT_REFLECT - 1] = actions::INHERIT;
    err.handlers[ACT_FORM - 1] = H(error_form);
    err.handlers[ACT_MOLD - 1] = H(error_mold);
    err.handlers[ACT_EVAL_PATH - 1] = H(object_eval_path);
    err.handlers[ACT_COMPARE - 1] = H(object_compare);
    err.handlers[ACT_COPY - 1] = actions::INHERIT;
    err.handlers[ACT_SELECT - 1] = actions::INHERIT;
    actions::register_type(err);
}

}  // namespace zel::object
