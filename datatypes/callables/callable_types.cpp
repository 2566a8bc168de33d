// The callable datatypes: native!, action!, op!, function! and routine!. This unit holds
// their action handlers (make, reflect, form, mold, compare); building callables, their
// argument caches and calling them are the core's (core/callable.h, core/interpreter.h).
#include <string_view>

#include "core/actions.h"
#include "core/block.h"
#include "core/callable.h"
#include "core/context.h"
#include "core/error.h"
#include "core/memory.h"
#include "core/runtime_words.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/text.h"
#include "datatypes/datatypes.h"

namespace zel::callable {

using memory::buf;

namespace {

int32_t mold_spec_block(const Cell* v, uint32_t buffer, bool all, bool flat, int32_t limit, int32_t indent) {
    Cell spec;
    set_series(&spec, TYPE_BLOCK, callable_spec(v));
    return actions::mold_into(&spec, buffer, false, all, flat, limit, indent);
}

int32_t native_form(const Cell*, uint32_t b, const Cell*, int32_t limit) { return string::append_ascii_within(b, "?native?", limit); }
int32_t action_form(const Cell*, uint32_t b, const Cell*, int32_t limit) { return string::append_ascii_within(b, "?action?", limit); }
int32_t op_form(const Cell*, uint32_t b, const Cell*, int32_t limit) { return string::append_ascii_within(b, "?op?", limit); }
int32_t function_form(const Cell*, uint32_t b, const Cell*, int32_t limit) { return string::append_ascii_within(b, "?function?", limit); }
int32_t routine_form(const Cell*, uint32_t b, const Cell*, int32_t limit) { return string::append_ascii_within(b, "?routine?", limit); }

int32_t native_like_mold(const char* prefix, const Cell* v, uint32_t b, bool all, bool flat, int32_t limit, int32_t indent) {
    limit = string::append_ascii_within(b, prefix, limit);
    limit = mold_spec_block(v, b, all, flat, limit, indent);
    return string::append_ascii_within(b, "]", limit);
}
int32_t native_mold(const Cell* v, uint32_t b, bool, bool all, bool flat, const Cell*, int32_t limit, int32_t indent) {
    return native_like_mold("make native! [", v, b, all, flat, limit, indent);
}
int32_t action_mold(const Cell* v, uint32_t b, bool, bool all, bool flat, const Cell*, int32_t limit, int32_t indent) {
    return native_like_mold("make action! [", v, b, all, flat, limit, indent);
}
int32_t function_body_mold(const Cell* v, uint32_t b, bool all, bool flat, int32_t limit, int32_t indent) {
    Cell body = buf(callable_aux(v))->cells()[AUX_BODY];
    if (type_of(&body) == TYPE_NONE) return string::append_ascii_within(b, " none", limit);
    return actions::mold_into(&body, b, false, all, flat, limit, indent);
}
int32_t function_mold(const Cell* v, uint32_t b, bool, bool all, bool flat, const Cell*, int32_t limit, int32_t indent) {
    limit = string::append_ascii_within(b, "func ", limit);
    limit = mold_spec_block(v, b, all, flat, limit, indent);
    return function_body_mold(v, b, all, flat, limit, indent);
}
int32_t routine_mold(const Cell* v, uint32_t b, bool, bool all, bool flat, const Cell*, int32_t limit, int32_t indent) {
    limit = string::append_ascii_within(b, "routine ", limit);
    limit = mold_spec_block(v, b, all, flat, limit, indent);
    Cell body = buf(callable_aux(v))->cells()[AUX_BODY];
    if (type_of(&body) != TYPE_BLOCK) limit = string::append_ascii_within(b, " ", limit);
    return actions::mold_into(&body, b, false, all, flat, limit, indent);
}
int32_t op_mold(const Cell* v, uint32_t b, bool, bool all, bool flat, const Cell*, int32_t limit, int32_t indent) {
    limit = string::append_ascii_within(b, "make op! ", limit);
    uint32_t source = op_source_type(v);
    if (source == TYPE_FUNCTION) {
        limit = string::append_ascii_within(b, "func ", limit);
        limit = mold_spec_block(v, b, all, flat, limit, indent);
        return function_body_mold(v, b, all, flat, limit, indent);
    }
    limit = string::append_ascii_within(b, "[", limit);
    limit = mold_spec_block(v, b, all, flat, limit, indent);
    return string::append_ascii_within(b, "]", limit);
}

int32_t three_way(uint32_t a, uint32_t b) { return a < b ? -1 : a > b ? 1 : 0; }
bool identity_op(int32_t op) { return op <= 2 || op == 7 || op == 8 || op == 9 || op == 12; }

int32_t native_compare(const Cell* a, const Cell* b, int32_t op) {
    if (type_of(a) != type_of(b) || !identity_op(op)) return -2;
    return three_way(callable_slot(a), callable_slot(b));
}
int32_t op_compare(const Cell* a, const Cell* b, int32_t op) {
    if (type_of(a) != type_of(b) || !identity_op(op)) return -2;
    uint32_t sa = op_source_type(a);
    if (sa == TYPE_FUNCTION || sa == TYPE_ROUTINE) return three_way(callable_aux(a), callable_aux(b));
    return three_way(callable_slot(a), callable_slot(b));
}
int32_t function_compare(const Cell* a, const Cell* b, int32_t op) {
    if (type_of(a) != type_of(b) || !identity_op(op)) return -2;
    return three_way(callable_aux(a), callable_aux(b));
}

void native_make(Cell* out, Cell* proto, Cell* spec, uint32_t type) {
    Cell dt;
    set_datatype(&dt, type);
    if (type_of(spec) != TYPE_BLOCK || block::length(spec) != 2) error::raise(error::ERR_SCRIPT_BAD_MAKE_ARG, &dt, spec);
    Cell s = block::head(spec)[0];
    Cell n = block::head(spec)[1];
    int32_t max = type == TYPE_NATIVE ? 107 : ACTION_COUNT;
    if (type_of(&s) != TYPE_BLOCK || type_of(&n) != TYPE_INTEGER || int_value(&n) < 1 || int_value(&n) > max ||
        (type == TYPE_ACTION && (int_value(&n) == ACT_SET_PATH || int_value(&n) == ACT_COMPARE)))
        error::raise(error::ERR_SCRIPT_BAD_MAKE_ARG, &dt, spec);
    make_native(out, type, &s, int_value(&n));
}
void op_make(Cell* out, Cell* proto, Cell* spec, uint32_t type) {
    make_op(out, spec);
}
void function_make(Cell* out, Cell* proto, Cell* spec, uint32_t type) {
    if (type_of(spec) != TYPE_BLOCK || block::length(spec) < 2 || type_of(block::head(spec)) != TYPE_BLOCK ||
        type_of(block::head(spec) + 1) != TYPE_BLOCK)
        error::raise(error::ERR_SCRIPT_BAD_FUNC_DEF, spec);
    Cell s = block::head(spec)[0], body = block::head(spec)[1];
    uint32_t flags = check_spec(&s);
    make_function(out, &s, &body, flags);
}

void native_reflect(Cell* out, Cell* v, uint32_t field) {
    if (symbol::same_canonical(field, sym(SYM_SPEC))) {
        set_series(out, TYPE_BLOCK, callable_spec(v));
        return;
    }
    if (symbol::same_canonical(field, sym(SYM_BODY_FIELD))) {
        uint32_t source = callable_kind(v);
        if (source == TYPE_FUNCTION || source == TYPE_ROUTINE) *out = buf(callable_aux(v))->cells()[AUX_BODY];
        else set_integer(out, int32_t(callable_slot(v)));
        return;
    }
    error::raise(error::ERR_INTERNAL_NOT_DONE);
}
void function_reflect(Cell* out, Cell* v, uint32_t field) {
    if (symbol::same_canonical(field, sym(SYM_SPEC))) { set_series(out, TYPE_BLOCK, callable_spec(v)); return; }
    if (symbol::same_canonical(field, sym(SYM_BODY_FIELD))) { *out = buf(callable_aux(v))->cells()[AUX_BODY]; return; }
    if (symbol::same_canonical(field, sym(SYM_WORDS))) {
        uint32_t ctx = callable_ctx(v);
        uint32_t n = context::word_count(ctx);
        uint32_t node = memory::new_cell_series(n);
        set_series(out, TYPE_BLOCK, node);
        for (uint32_t i = 0; i < n; i++) {
            Cell w = *context::word_at(ctx, i);
            block::append(node, &w);
        }
        return;
    }
    error::raise(error::ERR_INTERNAL_NOT_DONE);
}

}  // namespace

}  // namespace zel::callable

namespace zel::datatypes {

void register_callables() {
    using namespace callable;
    using actions::INHERIT;
    actions::TypeSpec native{TYPE_NATIVE, {}};
    actions::put(native, ACT_MAKE, native_make);
    actions::put(native, ACT_REFLECT, native_reflect);
    actions::put(native, ACT_FORM, native_form);
    actions::put(native, ACT_MOLD, native_mold);
    actions::put(native, ACT_COMPARE, native_compare);
    actions::register_type(native);

    actions::TypeSpec action{TYPE_ACTION, {}};
    actions::put(action, ACT_MAKE, native_make);
    action.handlers[ACT_REFLECT - 1] = INHERIT;
    actions::put(action, ACT_FORM, action_form);
    actions::put(action, ACT_MOLD, action_mold);
    actions::put(action, ACT_COMPARE, native_compare);
    actions::register_type(action);

    actions::TypeSpec op{TYPE_OP, {}};
    actions::put(op, ACT_MAKE, op_make);
    op.handlers[ACT_REFLECT - 1] = INHERIT;
    actions::put(op, ACT_FORM, op_form);
    actions::put(op, ACT_MOLD, op_mold);
    actions::put(op, ACT_COMPARE, op_compare);
    actions::register_type(op);

    actions::TypeSpec function{TYPE_FUNCTION, {}};
    actions::put(function, ACT_MAKE, function_make);
    actions::put(function, ACT_REFLECT, function_reflect);
    actions::put(function, ACT_FORM, function_form);
    actions::put(function, ACT_MOLD, function_mold);
    actions::put(function, ACT_COMPARE, function_compare);
    actions::register_type(function);

    actions::TypeSpec routine{TYPE_ROUTINE, {}};
    routine.handlers[ACT_REFLECT - 1] = INHERIT;
    actions::put(routine, ACT_FORM, routine_form);
    actions::put(routine, ACT_MOLD, routine_mold);
    actions::put(routine, ACT_COMPARE, function_compare);
    actions::register_type(routine);
}

}  // namespace zel::datatypes
