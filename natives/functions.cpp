// The natives that make functions (func function does has), build or extend objects and maps
// (construct extend), bind words (bind in context?), read and write word values (get set
// value? unset) and call a function with a block of arguments (apply).
#include <vector>

#include "core/actions.h"
#include "core/callable.h"
#include "core/collector.h"
#include "core/context.h"
#include "core/interpreter.h"
#include "core/memory.h"
#include "core/object.h"
#include "core/runtime_words.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/word.h"
#include "core/block.h"
#include "core/block_ops.h"
#include "natives/native_support.h"
#include "natives/native_units.h"

namespace zel::natives {

using memory::buf;

namespace {

inline bool is_plain_word_type(uint32_t t) {
    return t == TYPE_WORD || t == TYPE_SET_WORD || t == TYPE_GET_WORD || t == TYPE_LIT_WORD;
}

// Clips the head index of a block cell to its tail.
void clip_to_tail(Cell* b) {
    int32_t len = int32_t(buf(series_node(b))->length());
    if (series_head(b) > len) set_series_head(b, len);
}

// func with a spec held in a stack cell: validates the spec and makes the function.
void make_func(Cell* spec, Cell* body) {
    clip_to_tail(spec);
    clip_to_tail(body);
    uint32_t flags = callable::check_spec(spec);
    Cell* out = stack::push();
    set_none(out);
    callable::make_function(out, spec, body, flags);
    stack::set_result(out);
}

// A new block cell pushed on the stack, holding the given refinement (or nothing) and then
// copies of the cells of from (from its head).
Cell* push_spec(const Cell* from, bool local_first) {
    int32_t n = from ? block::length(from) : 0;
    Cell* spec = stack::push();
    block::init_cell(spec, n + 1);
    if (local_first) {
        Cell local;
        word::make_global(&local, TYPE_REFINEMENT, sym(SYM_LOCAL));
        block::append(series_node(spec), &local);
    }
    if (from && n > 0) block::append_cells(series_node(spec), block::head(from), uint32_t(n));
    return spec;
}

void func(const int32_t* refs) {
    make_func(arg(0), arg(1));
}

void function(const int32_t* refs) {
    Cell* body = arg(1);
    clip_to_tail(arg(0));
    clip_to_tail(body);
    Cell* spec = push_spec(arg(0), false);
    callable::collect_body_locals(spec, body);
    make_func(spec, body);
}

void does(const int32_t* refs) {
    Cell* spec = push_spec(nullptr, false);
    make_func(spec, arg(0));
}

void has(const int32_t* refs) {
    clip_to_tail(arg(0));
    Cell* spec = push_spec(arg(0), true);
    make_func(spec, arg(1));
}

// ---- objects and maps ----

// object/build-for-construct with the block, the prototype (or none) and the /only flag.
void construct(const int32_t* refs) {
    Cell* proto = ref_arg(refs, 0);
    Cell* obj = stack::push();
    set_none(obj);
    object::build_for_construct(obj, arg(0), proto, used(refs, 1));
    stack::set_result(obj);
}

// Puts one key and value into a map through its put action (in a scratch frame: action
// handlers may write the result slot of the frame they run in).
void map_put(const Cell* map, const Cell* key, const Cell* value, bool case_sensitive) {
    auto put = actions::get<actions::PutFn>(TYPE_MAP, ACT_PUT);
    stack::open_frame(sym(SYM_ANON), 0, stack::FRAME_NATIVE);
    Cell* m = stack::push_copy(map);
    Cell* k = stack::push_copy(key);
    Cell* v = stack::push_copy(value);
    put(m, k, v, case_sensitive);
    stack::close_frame_drop();
}

void extend(const int32_t* refs) {
    Cell* target = arg(0);
    Cell* spec = arg(1);
    bool case_sensitive = used(refs, 0);
    if (type_of(target) != TYPE_MAP) error::raise(error::ERR_INTERNAL_NOT_DONE);
    uint32_t node = series_node(spec);
    uint32_t first = uint32_t(series_head(spec) < 0 ? 0 : series_head(spec));
    if (type_of(spec) == TYPE_MAP) {
        // Every live pair of the other map (a removed pair has a value cell of header 0).
        for (uint32_t i = first; i + 1 < buf(node)->length(); i += 2) {
            Cell k = buf(node)->cells()[i], v = buf(node)->cells()[i + 1];
            if (v.header == 0) continue;
            map_put(target, &k, &v, case_sensitive);
        }
    } else {
        if (block::length(spec) % 2 != 0) error::raise(error::ERR_SCRIPT_INVALID_ARG, spec);
        for (uint32_t i = first; i + 1 < buf(node)->length(); i += 2) {
            Cell k = buf(node)->cells()[i], v = buf(node)->cells()[i + 1];
            map_put(target, &k, &v, case_sensitive);
        }
    }
    stack::keep_result_slot();
}

// ---- binding ----

// The context of an object-like value (object!, error!, port!) or of a callable (function!,
// routine!, native!, action!, op!); 0 for anything else.
uint32_t context_of_value(const Cell* v) {
    uint32_t t = type_of(v);
    if (t == TYPE_OP) t = op_source_type(v);
    switch (t) {
        case TYPE_OBJECT:
        case TYPE_ERROR:
        case TYPE_PORT:
        case TYPE_FUNCTION:
        case TYPE_ROUTINE:
            return value_context(v);
        case TYPE_NATIVE:
        case TYPE_ACTION:
            // The context made from the spec, kept in the auxiliary series.
            return callable_aux(v) ? ctx_self(&buf(callable_aux(v))->cells()[0]) : 0;
        default:
            return 0;
    }
}

void bind(const int32_t* refs) {
    Cell* target = arg(0);
    Cell* where = arg(1);
    bool copy = used(refs, 0);
    uint32_t ctx;
    if (is_any_word_type(type_of(where))) {
        ctx = word_context(where);
        if (!ctx) error::raise(error::ERR_SCRIPT_NOT_DEFINED, where);
    } else {
        ctx = context_of_value(where);
        if (!ctx) error::raise(error::ERR_SCRIPT_INVALID_ARG, where);
    }
    bool object_ctx = context::kind(ctx) == context::KIND_OBJECT;
    if (is_any_word_type(type_of(target))) {
        Cell w = *target;
        context::bind_word(ctx, &w);
        stack::set_result(&w);
        return;
    }
    Cell* block = target;
    if (copy) {
        block = stack::push();
        set_none(block);
        block_ops::copy_deep(block, target);
    }
    context::bind_block(series_node(block), series_head(block), ctx, object_ctx);
    stack::set_result(block);
}

void in(const int32_t* refs) {
    uint32_t ctx = context_of_value(arg(0));
    Cell w = *arg(1);
    int32_t i = ctx ? context::index_of(ctx, word_symbol(&w), true) : -1;
    if (i < 0) {
        set_none(&w);
    } else {
        set_word_binding(&w, ctx, i);

    }
    stack::set_result(&w);
}

void context_q(const int32_t* refs) {
    uint32_t ctx = word_context(arg(0));
    Cell r;
    set_none(&r);
    if (ctx) {
        const Cell* owner = context::owner(ctx);
        uint32_t t = type_of(owner);
        if (t == TYPE_OBJECT || t == TYPE_ERROR || t == TYPE_PORT || t == TYPE_FUNCTION || t == TYPE_ROUTINE) r = *owner;
    }
    stack::set_result(&r);
}

// ---- get and set ----

// Evaluates a path as a get-path (value null) or a set-path storing value, with the path
// errors of the interpreter (missing fields raise invalid-path; with miss_unset a missing
// field gives unset). Leaves the value in the result slot.
void walk_path(const Cell* path_in, const Cell* value, bool case_sensitive, bool miss_unset) {
    Cell* path = stack::push_copy(path_in);
    Cell* setv = stack::push();
    if (value) *setv = *value; else set_unset(setv);
    uint32_t pnode = series_node(path);
    uint32_t head = uint32_t(series_head(path) < 0 ? 0 : series_head(path));
    if (head >= buf(pnode)->length()) error::raise(error::ERR_SCRIPT_EMPTY_PATH);
    Cell first = buf(pnode)->cells()[head];
    if (type_of(&first) != TYPE_WORD) error::raise(error::ERR_SCRIPT_WORD_FIRST, path);
    if (head + 1 == buf(pnode)->length()) {
        // A path of one word reads or writes that word.
        if (value) {
            word::set(&first, setv);
            stack::set_result(setv);
        } else {
            stack::set_result(word::value_cell(&first));
        }
        return;
    }
    const Cell* v = word::value_cell(&first);
    if (type_of(v) == TYPE_UNSET) error::raise(error::ERR_SCRIPT_UNSET_PATH, path, &first);
    if (is_callable_type(type_of(v)))
        error::raise(value ? error::ERR_SCRIPT_INVALID_PATH_SET : error::ERR_SCRIPT_INVALID_PATH_GET, path);
    Cell* cur = stack::push_copy(v);
    Cell* grand = stack::push_none();
    Cell* prev = stack::push_none();
    Cell* elem = stack::push_none();
    Cell* mark = stack::top;
    for (uint32_t i = head + 1; i < buf(pnode)->length(); i++) {
        *elem = buf(pnode)->cells()[i];
        if (type_of(elem) == TYPE_GET_WORD) {
            *elem = *word::value_cell(elem);
        } else if (type_of(elem) == TYPE_PAREN) {
            Cell paren = *elem;
            interp::eval_block(&paren, false);
            if (stack::unwinding()) return;
            *elem = *(stack::top - 1);
            stack::top = mark;
        }
        if (type_of(elem) == TYPE_UNSET) error::raise(error::ERR_SCRIPT_INVALID_PATH, path, elem);
        bool last = i + 1 == buf(pnode)->length();
        actions::PathStep step;
        step.path = path;
        step.grand_parent = grand;
        step.previous = prev;
        step.index = int32_t(i - head);
        step.case_sensitive = case_sensitive;
        step.miss_error = true;
        step.miss_unset = miss_unset && !value;
        step.last = last;
        Cell* r = actions::eval_path(cur, elem, (value && last) ? setv : nullptr, step);
        Cell next = *r;
        *grand = *cur;
        *cur = next;
        *prev = *elem;
        stack::top = mark;
    }
    stack::set_result(value ? setv : cur);
}

void get_(const int32_t* refs) {
    Cell* w = arg(0);
    bool any = used(refs, 0);
    bool case_sensitive = used(refs, 1);
    uint32_t t = type_of(w);
    if (is_any_path_type(t)) {
        walk_path(w, nullptr, case_sensitive, any);
        return;
    }
    if (t == TYPE_OBJECT) {
        uint32_t ctx = object::context_of(w);
        uint32_t n = context::word_count(ctx);
        Cell* out = stack::push();
        block::init_cell(out, n);
        for (uint32_t k = 0; k < n; k++) {
            Cell v = *context::value_at(ctx, word_index(context::word_at(ctx, k)));
            block::append(series_node(out), &v);
        }
        stack::set_result(out);
        return;
    }
    const Cell* v = any ? word::value_or_null(w) : word::value_cell(w);
    Cell r;
    if (v) r = *v; else set_unset(&r);
    if (!any && type_of(&r) == TYPE_UNSET) error::raise(error::ERR_SCRIPT_NO_VALUE, w);
    stack::set_result(&r);
}

// Whether a value spreads over a block of words (element k to word k).
bool spreads(uint32_t t) { return t == TYPE_BLOCK || t == TYPE_PAREN || t == TYPE_HASH || is_any_path_type(t) || t == TYPE_MAP; }

// Element k of a spreading value, none past its end.
void spread_element(Cell* out, const Cell* v, int32_t k) {
    int32_t n = block::length(v);
    if (k < n) *out = block::head(v)[k];
    else set_none(out);
}

void set_block_of_words(Cell* words, Cell* value, bool any, bool only, bool some) {
    bool spread = !only && spreads(type_of(value));
    int32_t n = block::length(words);
    // Every entry is checked before any word is set.
    for (int32_t k = 0; k < n; k++) {
        Cell e = block::head(words)[k];
        if (!is_plain_word_type(type_of(&e))) error::raise(error::ERR_SCRIPT_INVALID_ARG, &e);
        Cell v;
        if (spread) spread_element(&v, value, k); else v = *value;
        if (!any && type_of(&v) == TYPE_UNSET) error::raise(error::ERR_SCRIPT_NEED_VALUE, &e);
    }
    for (int32_t k = 0; k < n && k < block::length(words); k++) {
        Cell e = block::head(words)[k];
        if (!is_plain_word_type(type_of(&e))) continue;
        Cell v;
        if (spread) spread_element(&v, value, k); else v = *value;
        if (some && type_of(&v) == TYPE_NONE) continue;
        word::set(&e, &v);
        if (stack::unwinding()) return;
    }
}

void set_(const int32_t* refs) {
    Cell* target = arg(0);
    Cell* value = arg(1);
    bool any = used(refs, 0), case_sensitive = used(refs, 1), only = used(refs, 2), some = used(refs, 3);
    uint32_t t = type_of(target);
    if (is_any_path_type(t)) {
        if (!any && type_of(value) == TYPE_UNSET) error::raise(error::ERR_SCRIPT_NEED_VALUE, target);
        walk_path(target, value, case_sensitive, false);
        return;
    }
    if (t == TYPE_BLOCK) {
        set_block_of_words(target, value, any, only, some);
    } else if (t == TYPE_OBJECT) {
        object::assign_values(target, value, any, only, some);
    } else {
        if (!any && type_of(value) == TYPE_UNSET) error::raise(error::ERR_SCRIPT_NEED_VALUE, target);
        word::set(target, value);
    }
    if (stack::unwinding()) return;
    stack::set_result(value);
}

void value_q(const int32_t* refs) {
    const Cell* v = arg(0);
    bool has;
    if (is_any_word_type(type_of(v))) {
        const Cell* c = word::value_or_null(v);
        has = c && type_of(c) != TYPE_UNSET;
    } else {
        has = type_of(v) != TYPE_UNSET;
    }
    Cell r;
    set_logic(&r, has);
    stack::set_result(&r);
}

void unset_(const int32_t* refs) {
    Cell* target = arg(0);
    Cell nothing;
    set_unset(&nothing);
    if (type_of(target) == TYPE_WORD) {
        word::set(target, &nothing);
    } else {
        for (int32_t k = 0; k < block::length(target); k++) {
            Cell e = block::head(target)[k];
            if (type_of(&e) != TYPE_WORD) continue;
            word::set(&e, &nothing);
            if (stack::unwinding()) return;
        }
    }
    if (stack::unwinding()) return;
    stack::set_result(&nothing);
}

// ---- apply ----

void apply(const int32_t* refs) {
    Cell* given = arg(0);
    Cell* args = arg(1);
    bool all_mode = used(refs, 0), safer = used(refs, 1);
    Cell* fn = stack::push();
    Cell* name = stack::push();
    const Cell* path = nullptr;
    uint32_t t = type_of(given);
    if (t == TYPE_WORD) {
        *fn = *word::get(given);
        *name = *given;
    } else if (is_any_path_type(t)) {
        // The function is the value of the path's first word; the path's other elements
        // name the refinements to use.
        if (block::length(given) == 0) error::raise(error::ERR_SCRIPT_EMPTY_PATH);
        Cell first = block::head(given)[0];
        if (type_of(&first) != TYPE_WORD) error::raise(error::ERR_SCRIPT_WORD_FIRST, given);
        *fn = *word::get(&first);
        *name = first;
        path = given;
    } else {
        *fn = *given;
        word::make_global(name, TYPE_WORD, sym(SYM_APPLIED));
    }
    if (!is_any_function_type(type_of(fn))) error::raise(error::ERR_SCRIPT_INVALID_ARG, given);
    if (type_of(fn) == TYPE_OP) fn->header = op_source_type(fn);
    interp::apply(fn, args, all_mode, safer, name, path);
    if (stack::unwinding()) return;
    stack::set_result(stack::top - 1);
}

}  // namespace

void register_functions() {
    set<SLOT_func, func>();
    set<SLOT_function, function>();
    set<SLOT_does, does>();
    set<SLOT_has, has>();
    set<SLOT_construct, construct>();
    set<SLOT_extend, extend>();
    set<SLOT_bind, bind>();
    set<SLOT_in, in>();
    set<SLOT_context_q, context_q>();
    set<SLOT_get, get_>();
    set<SLOT_set, set_>();
    set<SLOT_value_q, value_q>();
    set<SLOT_unset, unset_>();
    set<SLOT_apply, apply>();
}

}  // namespace zel::natives
