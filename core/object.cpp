// Object values (see object.h) and the object behaviour of error!.
//
// Rooting: every function here that evaluates (make's body, change handlers) keeps the
// values it needs after the evaluation in RootGuard'ed locals or value-stack cells, and holds
// contexts by node id (stable for a node's life).
#include "core/object.h"

#include <vector>

#include "core/actions.h"
#include "core/callable.h"
#include "core/collector.h"
#include "core/context.h"
#include "core/error.h"
#include "core/hashtable.h"
#include "core/interpreter.h"
#include "core/ownership.h"
#include "core/runtime_words.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/typeset_bits.h"
#include "core/word.h"
#include "core/block.h"
#include "core/block_ops.h"
#include "core/cycle_stack.h"
#include "core/text.h"

namespace zel::object {

using memory::buf;

namespace {

int32_t class_counter = 1000000;

constexpr uint32_t HANDLER_ABSENT = 0xFFFF0000u;
enum HandlerSlot { ON_CHANGE = 0, ON_DEEP_CHANGE = 1 };

// An info slot: a pair! whose x holds HANDLER_ABSENT or (field index << 16) | argument count
// and whose y holds the node of the handler's spec when the count was taken.
inline uint32_t info_x(const Cell* p) { return uint32_t(pair_x(p)); }
inline uint32_t info_spec(const Cell* p) { return uint32_t(pair_y(p)); }
inline void set_info(Cell* p, uint32_t x, uint32_t spec) { set_pair(p, int32_t(x), int32_t(spec)); }

// Arguments of a callable's spec: the words before its first refinement.
int32_t count_args(uint32_t spec_node) {
    SeriesBuf* b = buf(spec_node);
    int32_t n = 0;
    for (uint32_t i = 0; i < b->length(); i++) {
        uint32_t t = type_of(&b->cells()[i]);
        if (t == TYPE_REFINEMENT) break;
        if (t == TYPE_WORD || t == TYPE_LIT_WORD || t == TYPE_GET_WORD) n++;
    }
    return n;
}

inline uint32_t handler_x(int32_t index, uint32_t spec_node) {
    return (uint32_t(index) << 16) | (uint32_t(count_args(spec_node)) & 0xFFFF);
}

// The handler of an info slot: copies the field's value into out; false when absent.
bool handler_value(uint32_t ctx, HandlerSlot slot, Cell* out) {
    uint32_t info = info_of(ctx);
    if (!info) return false;
    uint32_t x = info_x(&buf(info)->cells()[slot]);
    if (x >= HANDLER_ABSENT) return false;
    *out = *context::value_at(ctx, int32_t(x >> 16));
    return true;
}

// Counts the handler's arguments again when the field now holds another function.
void recount_if_replaced(uint32_t ctx, HandlerSlot slot, const Cell* fn) {
    Cell* p = &buf(info_of(ctx))->cells()[slot];
    if (info_spec(p) == callable_spec(fn)) return;
    set_info(p, handler_x(int32_t(info_x(p) >> 16), callable_spec(fn)), callable_spec(fn));
}

// The series kinds that make and copy duplicate, and of those the ones rebound to the new
// object (value copying classes).
inline bool copied_by_make(uint32_t t) { return is_series_type(t); }
inline bool copied_by_copy_deep(uint32_t t) {
    return t == TYPE_BLOCK || t == TYPE_PAREN || t == TYPE_STRING || t == TYPE_FILE || t == TYPE_URL ||
           is_any_path_type(t) || t == TYPE_TAG || t == TYPE_EMAIL || t == TYPE_REF;
}

// A deep copy of a series value through its type's copy action (the generic deep copy for a
// type that has none, which shares an image!).
void deep_copy_value(Cell* out, const Cell* value) {
    Cell v = *value;
    auto fn = reinterpret_cast<actions::CopyFn>(actions::handler_of(type_of(&v), ACT_COPY));
    if (!fn) {
        block_ops::copy_deep(out, &v);
        return;
    }
    Cell fresh;
    set_unset(&fresh);
    *out = *fn(&v, &fresh, nullptr, true, nullptr);
}

// Replaces the value of slot k by its deep copy, rebinding a copied any-block to ctx.
void copy_slot_in_place(uint32_t ctx, uint32_t k) {
    Cell v = *value_of_entry(ctx, k);
    Cell copy;
    deep_copy_value(&copy, &v);
    copy.header = (copy.header & ~HEADER_NEW_LINE) | (v.header & HEADER_NEW_LINE);
    if (is_any_block_type(type_of(&copy))) context::bind_block(series_node(&copy), 0, ctx, true);
    *value_of_entry(ctx, k) = copy;
}

// Replaces a function! value of slot k by a clone whose body refers to the object of ctx.
void clone_function_slot(uint32_t ctx, uint32_t k) {
    Cell fn = *value_of_entry(ctx, k);
    if (type_of(&fn) != TYPE_FUNCTION) return;
    collector::RootGuard keep_fn(&fn);
    Cell body = buf(callable_aux(&fn))->cells()[callable::AUX_BODY];
    if (type_of(&body) != TYPE_BLOCK) error::raise(error::ERR_SCRIPT_BAD_FUNC_DEF, &fn);
    Cell spec;
    set_series(&spec, TYPE_BLOCK, callable_spec(&fn));
    // The body is bound to the object first, then (by make_function) to the function's own
    // context, so that arguments and locals win over fields of the same name.
    Cell copy;
    block_ops::copy_deep(&copy, &body);
    collector::RootGuard keep_copy(&copy);
    context::bind_block(series_node(&copy), 0, ctx, true);
    Cell clone;
    callable::make_function(&clone, &spec, &copy, fn.header & (callable::ATTR_TRACE | callable::ATTR_NO_TRACE), ctx);
    clone.header = (clone.header & ~HEADER_NEW_LINE) | (fn.header & HEADER_NEW_LINE);
    *value_of_entry(ctx, k) = clone;
}

void clone_functions(uint32_t ctx) {
    uint32_t n = context::word_count(ctx);
    for (uint32_t k = 0; k < n; k++) clone_function_slot(ctx, k);
}

void clear_value_new_lines(uint32_t ctx) {
    uint32_t node = context::values_node(ctx);
    if (node) clear_cells_bit30(node);
}

// The position of the word-list entry that holds slot index (s: its symbol, or 0).
int32_t entry_position(uint32_t ctx, int32_t index, uint32_t s) {
    uint32_t n = context::word_count(ctx);
    // Object slots are numbered as their entries; only a case variant added case-sensitively
    // shares an earlier slot, whose own entry sits at the slot's position.
    if (index >= 0 && uint32_t(index) < n && slot_at(ctx, uint32_t(index)) == index) return index;
    if (s) return hashtable::find_word(context::table(ctx), s, true);
    for (uint32_t k = 0; k < n; k++)
        if (slot_at(ctx, k) == index) return int32_t(k);
    return -1;
}

// A copy of o's context wrapped as a new object of the same class and type, its function
// fields cloned; no on-change info yet.
void duplicate_object(Cell* out, const Cell* o) {
    uint32_t ctx = context::duplicate(object_ctx(o));
    wrap(out, ctx, object_class(o), type_of(o) == TYPE_ERROR ? TYPE_ERROR : TYPE_OBJECT);
}

bool copyable_kind(uint32_t t) {
    return is_series_type(t) || t == TYPE_MAP || t == TYPE_BITSET || t == TYPE_OBJECT || t == TYPE_ERROR;
}

// copy's work without the final on-change info (construct adds fields first).
void copy_object(Cell* out, const Cell* o_in, bool deep, const Cell* types, bool attach) {
    Cell o = *o_in;
    Cell ts;
    if (types) ts = *types; else set_none(&ts);
    Cell obj;
    set_none(&obj);
    collector::RootGuard keep_o(&o), keep_ts(&ts), keep_obj(&obj);
    if (types && deep && cycle::contains(object_ctx(&o))) {
        cycle::reset();
        error::raise(error::ERR_INTERNAL_NO_CYCLE);
    }
    duplicate_object(&obj, &o);
    uint32_t ctx = object_ctx(&obj);
    clone_functions(ctx);
    uint32_t n = context::word_count(ctx);
    if (types) {
        // As a block copy with /types: the values of the wanted types are copied in place.
        if (deep) cycle::push(object_ctx(&o));
        struct Pop {
            bool on;
            ~Pop() { if (on) cycle::pop(); }
        } pop{deep};
        for (uint32_t k = 0; k < n; k++) {
            Cell v = *value_of_entry(ctx, k);
            uint32_t t = type_of(&v);
            bool wanted = type_of(&ts) == TYPE_DATATYPE ? datatype_value(&ts) == t : typeset_bits::has(&ts, t);
            if (!wanted || !copyable_kind(t)) continue;
            auto fn = reinterpret_cast<actions::CopyFn>(actions::handler_of(t, ACT_COPY));
            if (!fn) continue;
            Cell fresh;
            set_unset(&fresh);
            Cell c = *fn(&v, &fresh, nullptr, deep, deep ? &ts : nullptr);
            c.header = (c.header & ~HEADER_NEW_LINE) | (v.header & HEADER_NEW_LINE);
            *value_of_entry(ctx, k) = c;
        }
    } else if (deep) {
        for (uint32_t k = 0; k < n; k++)
            if (copied_by_copy_deep(type_of(value_of_entry(ctx, k)))) copy_slot_in_place(ctx, k);
    }
    if (attach) attach_on_change_info(&obj);
    *out = obj;
}


const Cell* none_cell() {
    static Cell none{TYPE_NONE, 0, 0, 0};
    none = Cell{TYPE_NONE, 0, 0, 0};
    return &none;
}


// Code points of a UTF-8 text (for the mold budget).
int32_t text_length(std::string_view s) {
    int32_t n = 0;
    for (unsigned char c : s)
        if ((c & 0xC0) != 0x80) n++;
    return n;
}

}  // namespace

// The value index of the word-list entry at position k.
int32_t slot_at(uint32_t ctx, uint32_t k) { return word_index(context::word_at(ctx, k)); }
Cell* value_of_entry(uint32_t ctx, uint32_t k) { return context::value_at(ctx, slot_at(ctx, k)); }

// The word-list entry at position k as a plain word! bound to ctx.
void field_word(Cell* out, uint32_t ctx, uint32_t k) {
    *out = *context::word_at(ctx, k);
    out->header = TYPE_WORD;
}

bool is_handler_symbol(uint32_t s) {
    return symbol::same_canonical(s, sym(SYM_ON_CHANGE)) || symbol::same_canonical(s, sym(SYM_ON_DEEP_CHANGE));
}

// The on-change info node of the object of ctx (through the context's owner cell).
uint32_t info_of(uint32_t ctx) {
    const Cell* o = context::owner(ctx);
    return (type_of(o) == TYPE_OBJECT || type_of(o) == TYPE_ERROR) ? object_change_info(o) : 0;
}

[[noreturn]] void raise_path_miss(const actions::PathStep& step, const Cell* element) {
    const Cell* path = step.path ? step.path : element;
    if (step.miss_error) error::raise(error::ERR_SCRIPT_INVALID_PATH, path, element);
    error::raise(error::ERR_SCRIPT_UNSET_PATH, path, element);
}

Cell* unset_cell() {
    static Cell unset{TYPE_UNSET, 0, 0, 0};
    unset = Cell{TYPE_UNSET, 0, 0, 0};
    return &unset;
}

// ---- values and fields ----

int32_t next_class_id() { return ++class_counter; }

void wrap(Cell* out, uint32_t ctx, int32_t class_id, uint32_t t) {
    out->header = t;
    set_object_ctx(out, ctx);
    set_object_class(out, class_id);
    set_object_change_info(out, 0);
    *context::owner(ctx) = *out;
}

uint32_t field_count(const Cell* o) { return context::word_count(object_ctx(o)); }

int32_t index_of_word(const Cell* o, uint32_t s) { return context::index_of(object_ctx(o), s, true); }

Cell* field(const Cell* o, uint32_t s) {
    int32_t i = context::index_of(object_ctx(o), s, true);
    return i < 0 ? nullptr : context::value_at(object_ctx(o), i);
}

const Cell* select_word_value(const Cell* o, uint32_t s) {
    const Cell* f = field(o, s);
    return f ? f : none_cell();
}

Cell* word_of_value_cell(const Cell* o, const Cell* cell) {
    uint32_t ctx = object_ctx(o);
    uint32_t vals = context::values_node(ctx);
    if (!vals) return nullptr;
    const Cell* first = buf(vals)->cells();
    if (cell < first || cell >= first + buf(vals)->length()) return nullptr;
    int32_t index = int32_t(cell - first);
    int32_t pos = entry_position(ctx, index, 0);
    return pos < 0 ? nullptr : context::word_at(ctx, uint32_t(pos));
}

bool slot_holds_class(uint32_t ctx, int32_t index, int32_t class_id) {
    const Cell* v = context::value_at(ctx, index);
    return type_of(v) == TYPE_OBJECT && object_class(v) == class_id;
}

bool word_holds_class(const Cell* w, int32_t class_id) {
    const Cell* v = word::value_or_null(w);
    return v && type_of(v) == TYPE_OBJECT && object_class(v) == class_id;
}

void clear_cells_bit30(uint32_t block_node) {
    SeriesBuf* b = buf(block_node);
    for (uint32_t i = 0; i < b->length(); i++) set_new_line(&b->cells()[i], false);
}

void clear_changed_flags(uint32_t ctx) {
    uint32_t n = context::word_count(ctx);
    for (uint32_t k = 0; k < n; k++) set_word_changed(context::word_at(ctx, k), false);
}

void flag_changed(uint32_t ctx, int32_t index) {
    int32_t pos = entry_position(ctx, index, 0);
    if (pos >= 0) set_word_changed(context::word_at(ctx, uint32_t(pos)), true);
}

// ---- change handlers ----

bool has_on_change(const Cell* o) {
    uint32_t t = type_of(o);
    return (t == TYPE_OBJECT || t == TYPE_ERROR) && info_of(object_ctx(o)) != 0;
}

void attach_on_change_info(Cell* o) {
    uint32_t ctx = object_ctx(o);
    int32_t index[2] = {context::index_of(ctx, sym(SYM_ON_CHANGE), true),
                        context::index_of(ctx, sym(SYM_ON_DEEP_CHANGE), true)};
    for (int k = 0; k < 2; k++) {
        if (index[k] < 0) continue;
        const Cell* v = context::value_at(ctx, index[k]);
        if (type_of(v) == TYPE_FUNCTION || type_of(v) == TYPE_ROUTINE) continue;
        Cell w, dt;
        field_word(&w, ctx, uint32_t(entry_position(ctx, index[k], sym(k ? SYM_ON_DEEP_CHANGE : SYM_ON_CHANGE))));
        set_datatype(&dt, type_of(v));
        error::raise(error::ERR_SCRIPT_BAD_FIELD_SET, &w, &dt);
    }
    if (index[0] < 0 && index[1] < 0) {
        set_object_change_info(o, 0);
    } else {
        uint32_t info = memory::new_cell_series(2);
        for (int k = 0; k < 2; k++) {
            Cell* p = memory::append_cell(info);
            if (index[k] < 0) {
                set_info(p, HANDLER_ABSENT, 0);
            } else {
                uint32_t spec = callable_spec(context::value_at(ctx, index[k]));
                set_info(p, handler_x(index[k], spec), spec);
            }
        }
        set_object_change_info(o, info);
    }
    *context::owner(ctx) = *o;
    if (index[1] >= 0) ownership::own_fields(o);
}

void call_on_change(const Cell* o, const Cell* w, const Cell* old_value, const Cell* new_value) {
    uint32_t ctx = object_ctx(o);
    Cell handler;
    if (!handler_value(ctx, ON_CHANGE, &handler)) return;
    if (type_of(&handler) != TYPE_FUNCTION && type_of(&handler) != TYPE_ROUTINE)
        error::raise(error::ERR_SCRIPT_INVALID_OBJ_EVT, &handler);
    recount_if_replaced(ctx, ON_CHANGE, &handler);
    Cell word = *w;
    word.header = TYPE_WORD;
    if (word_context(&word) != ctx) {
        int32_t i = context::index_of(ctx, word_symbol(&word), true);
        if (i >= 0) {
            set_word_binding(&word, ctx, i);
        }
    }
    Cell* saved_top = stack::top;
    Cell* args = stack::push_copy(&word);
    stack::push_copy(old_value);
    stack::push_copy(new_value);
    interp::call_with_args(&handler, sym(SYM_ON_CHANGE), args, 3);
    stack::top = saved_top;
}

void set_field_notify(uint32_t ctx, int32_t index, const Cell* w, const Cell* value) {
    Cell* saved_top = stack::top;
    Cell* old_value = stack::push_copy(context::value_at(ctx, index));
    Cell* new_value = stack::push_copy(value);
    *context::value_at(ctx, index) = *new_value;
    Cell word = *w;
    word.header = TYPE_WORD;
    set_word_binding(&word, ctx, index);
    Cell o = *context::owner(ctx);
    call_on_change(&o, &word, old_value, new_value);
    stack::top = saved_top;
}

void fire_on_change_by_index(const Cell* o, int32_t index, const Cell* old_value, const Cell* new_value) {
    uint32_t ctx = object_ctx(o);
    int32_t pos = entry_position(ctx, index, 0);
    if (pos < 0) return;
    Cell w;
    field_word(&w, ctx, uint32_t(pos));
    call_on_change(o, &w, old_value, new_value);
}

void fire_on_change_of_word(const Cell* object_word, const Cell* field_word_in, const Cell* old_value,
                            const Cell* new_value) {
    const Cell* v = word::value_or_null(object_word);
    if (!v || type_of(v) != TYPE_OBJECT) return;
    Cell o = *v;
    call_on_change(&o, field_word_in, old_value, new_value);
}

void call_on_deep_change(const Cell* o, const Cell* w, const Cell* target, const Cell* action,
                         const Cell* new_value, int32_t index, int32_t part) {
    uint32_t ctx = object_ctx(o);
    if (!info_of(ctx)) error::raise(error::ERR_SCRIPT_INVALID_OBJ_EVT, o);
    Cell handler;
    if (!handler_value(ctx, ON_DEEP_CHANGE, &handler)) return;
    if (type_of(&handler) != TYPE_FUNCTION && type_of(&handler) != TYPE_ROUTINE) return;
    recount_if_replaced(ctx, ON_DEEP_CHANGE, &handler);
    Cell* saved_top = stack::top;
    Cell* args = stack::push_copy(o);
    stack::push_copy(w);
    stack::push_copy(target);
    stack::push_copy(action);
    if (new_value) stack::push_copy(new_value); else stack::push_none();
    set_integer(stack::push(), index);
    set_integer(stack::push(), part);
    interp::call_with_args(&handler, sym(SYM_ON_DEEP_CHANGE), args, 7);
    stack::top = saved_top;
}

// ---- make, copy, construct, set ----

void make(Cell* out, const Cell* proto_in, const Cell* spec_in) {
    Cell spec = *spec_in;
    collector::RootGuard keep_spec(&spec);
    uint32_t st = type_of(&spec);
    if (st != TYPE_BLOCK && st != TYPE_OBJECT) error::raise(error::ERR_SYNTAX_MALCONSTRUCT, &spec);
    bool has_proto = proto_in && type_of(proto_in) == TYPE_OBJECT;
    Cell proto;
    if (has_proto) proto = *proto_in; else set_none(&proto);
    Cell obj;
    set_none(&obj);
    collector::RootGuard keep_proto(&proto), keep_obj(&obj);
    uint32_t ctx;
    if (has_proto) {
        duplicate_object(&obj, &proto);
        ctx = object_ctx(&obj);
        clone_functions(ctx);
    } else {
        ctx = context::allocate(4, false, true, context::KIND_OBJECT);
        wrap(&obj, ctx, 0, TYPE_OBJECT);
    }
    uint32_t inherited = context::word_count(ctx);
    bool gained;
    if (st == TYPE_BLOCK) {
        gained = context::collect_set_words(ctx, &spec);
        context::bind_block(series_node(&spec), series_head(&spec), ctx, true);
        // The series that came from the prototype become copies bound to the new object.
        if (has_proto)
            for (uint32_t k = 0; k < inherited; k++)
                if (copied_by_make(type_of(value_of_entry(ctx, k)))) copy_slot_in_place(ctx, k);
        Cell* saved_top = stack::top;
        interp::eval_block(&spec, false);
        stack::top = saved_top;
        if (stack::unwinding()) {
            *out = obj;
            return;
        }
        clear_changed_flags(ctx);
        clear_value_new_lines(ctx);
        if (gained || !has_proto) set_object_class(&obj, next_class_id());
    } else {
        // Fields of the spec object: new ones are added, existing ones overwritten; the
        // series among them are copied and the functions cloned for the new object.
        uint32_t sctx = object_ctx(&spec);
        uint32_t sn = context::word_count(sctx);
        std::vector<uint32_t> from_spec;
        for (uint32_t k = 0; k < sn; k++) {
            uint32_t s = word_symbol(context::word_at(sctx, k));
            int32_t i = context::add_word(ctx, s, true);
            *context::value_at(ctx, i) = *value_of_entry(sctx, k);
            from_spec.push_back(uint32_t(entry_position(ctx, i, s)));
        }
        for (uint32_t k : from_spec) {
            uint32_t t = type_of(value_of_entry(ctx, k));
            if (copied_by_make(t)) copy_slot_in_place(ctx, k);
            else if (t == TYPE_FUNCTION) clone_function_slot(ctx, k);
        }
        gained = context::word_count(ctx) != inherited;
        if (gained || !has_proto) set_object_class(&obj, next_class_id());
    }
    wrap(&obj, ctx, object_class(&obj), TYPE_OBJECT);
    attach_on_change_info(&obj);
    *out = obj;
}

void copy(Cell* out, const Cell* o, bool deep, const Cell* types) { copy_object(out, o, deep, types, true); }

void build_for_construct(Cell* out, const Cell* block_in, const Cell* proto_in, bool only) {
    Cell spec = *block_in;
    bool has_proto = proto_in && type_of(proto_in) == TYPE_OBJECT;
    Cell obj;
    set_none(&obj);
    collector::RootGuard keep_spec(&spec), keep_obj(&obj);
    if (has_proto) {
        copy_object(&obj, proto_in, false, nullptr, false);
    } else {
        uint32_t ctx = context::allocate(4, false, true, context::KIND_OBJECT);
        wrap(&obj, ctx, next_class_id(), TYPE_OBJECT);
    }
    uint32_t ctx = object_ctx(&obj);
    // Consecutive set-words share the value after the last of them; a set-word at the end
    // gets none. Unless only, the words true yes on, false no off and none stand for their
    // values.
    auto is_one_of = [](uint32_t s, SymId a, SymId b, SymId c) {
        return symbol::same_canonical(s, sym(a)) || symbol::same_canonical(s, sym(b)) || symbol::same_canonical(s, sym(c));
    };
    std::vector<int32_t> waiting;
    uint32_t node = series_node(&spec);
    for (uint32_t i = uint32_t(series_head(&spec) < 0 ? 0 : series_head(&spec)); i < buf(node)->length(); i++) {
        Cell c = buf(node)->cells()[i];
        if (type_of(&c) == TYPE_SET_WORD) {
            waiting.push_back(context::add_word(ctx, word_symbol(&c), true));
            continue;
        }
        if (waiting.empty()) continue;
        if (!only && type_of(&c) == TYPE_WORD) {
            uint32_t s = word_symbol(&c);
            if (is_one_of(s, SYM_TRUE, SYM_YES, SYM_ON)) set_logic(&c, true);
            else if (is_one_of(s, SYM_FALSE, SYM_NO, SYM_OFF)) set_logic(&c, false);
            else if (symbol::same_canonical(s, sym(SYM_NONE))) set_none(&c);
        }
        set_new_line(&c, false);
        for (int32_t slot : waiting) *context::value_at(ctx, slot) = c;
        waiting.clear();
    }
    for (int32_t slot : waiting) set_none(context::value_at(ctx, slot));
    if (has_proto) attach_on_change_info(&obj);
    *out = obj;
}

void assign_values(const Cell* target_in, const Cell* value_in, bool any, bool only, bool some) {
    Cell target = *target_in;
    Cell value = *value_in;
    collector::RootGuard keep_target(&target), keep_value(&value);
    uint32_t ctx = object_ctx(&target);
    uint32_t n = context::word_count(ctx);
    bool by_name = !only && (type_of(&value) == TYPE_OBJECT || type_of(&value) == TYPE_ERROR);
    uint32_t vt = type_of(&value);
    bool in_order = !only && (vt == TYPE_BLOCK || vt == TYPE_PAREN || vt == TYPE_HASH);
    // The source value of field k; false when the source gives the field nothing.
    auto source = [&](uint32_t k, Cell* out) -> bool {
        if (by_name) {
            int32_t i = context::index_of(object_ctx(&value), word_symbol(context::word_at(ctx, k)), true);
            if (i < 0) return false;
            *out = *context::value_at(object_ctx(&value), i);
            return true;
        }
        if (in_order) {
            if (int32_t(k) >= block::length(&value)) return false;
            *out = block::head(&value)[k];
            return true;
        }
        *out = value;
        return true;
    };
    // Every source value is checked before anything is stored.
    if (!any) {
        for (uint32_t k = 0; k < n; k++) {
            Cell v;
            if (!source(k, &v) || type_of(&v) != TYPE_UNSET) continue;
            Cell w;
            field_word(&w, ctx, k);
            error::raise(error::ERR_SCRIPT_NEED_VALUE, &w);
        }
    }
    bool handlers = has_on_change(&target);
    for (uint32_t k = 0; k < n && k < context::word_count(ctx); k++) {
        Cell w, v;
        field_word(&w, ctx, k);
        if (handlers && is_handler_symbol(word_symbol(&w))) continue;
        if (!source(k, &v)) continue;
        if (some && type_of(&v) == TYPE_NONE) continue;
        word::set(&w, &v, true);
        if (stack::unwinding()) return;
    }
}

void copy_values_by_name(const Cell* target_in, const Cell* source_in) {
    Cell target = *target_in, source = *source_in;
    collector::RootGuard keep_target(&target), keep_source(&source);
    uint32_t tctx = object_ctx(&target), sctx = object_ctx(&source);
    uint32_t n = context::word_count(sctx);
    // Every source word must exist in the target: checked before anything is stored.
    for (uint32_t k = 0; k < n; k++) {
        uint32_t s = word_symbol(context::word_at(sctx, k));
        if (context::index_of(tctx, s, true) < 0) {
            Cell w;
            field_word(&w, sctx, k);
            error::raise(error::ERR_SCRIPT_NOT_IN_CONTEXT, &w);
        }
    }
    for (uint32_t k = 0; k < n; k++) {
        uint32_t s = word_symbol(context::word_at(sctx, k));
        int32_t i = context::index_of(tctx, s, true);
        Cell v = *value_of_entry(sctx, k);
        uint32_t t = type_of(&v);
        if (is_any_block_type(t) || is_text_type(t) || t == TYPE_BINARY || t == TYPE_VECTOR || t == TYPE_IMAGE) {
            Cell c;
            deep_copy_value(&c, &v);
            v = c;
        }
        *context::value_at(tctx, i) = v;
        flag_changed(tctx, i);
    }
}

// ---- text ----

int32_t mold_body(const Cell* o, uint32_t b, bool only, bool all, bool flat, const Cell* part, int32_t limit,
                  int32_t indent, bool indenting) {
    uint32_t ctx = object_ctx(o);
    uint32_t n = context::word_count(ctx);
    // The last field written (handler fields are skipped unless all).
    int32_t last = -1;
    for (uint32_t k = 0; k < n; k++)
        if (all || !is_handler_symbol(word_symbol(context::word_at(ctx, k)))) last = int32_t(k);
    if (last < 0) return limit;
    cycle::Scope scope(ctx);
    if (!flat && !only) {
        string::append_char(b, '\n');
        limit--;
    }
    uint32_t separator = flat ? ' ' : '\n';
    for (uint32_t k = 0; k < n && limit > 0; k++) {
        uint32_t s = word_symbol(context::word_at(ctx, k));
        if (!all && is_handler_symbol(s)) continue;
        if (indenting) limit = cycle::emit_indent(b, indent, limit);
        std::string_view name = symbol::spelling(s);
        string::append_utf8(b, name);
        string::append_ascii(b, ": ");
        limit -= text_length(name) + 2;
        Cell v = *value_of_entry(ctx, k);
        if (type_of(&v) == 0) set_unset(&v);
        if (type_of(&v) == TYPE_WORD) {
            string::append_char(b, '\'');
            limit--;
        }
        limit = actions::get<actions::MoldFn>(type_of(&v), ACT_MOLD)(&v, b, false, all, flat, part, limit, indent);
        if (int32_t(k) != last || indenting) {
            string::append_char(b, separator);
            limit--;
        }
    }
    return limit;
}

}  // namespace zel::object
