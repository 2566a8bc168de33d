// Argument checks, checked word and slot access, and the switch lookup (see support.h).
#include "core/support.h"

#include "core/actions.h"
#include "core/callable.h"
#include "core/context.h"
#include "core/error.h"
#include "core/memory.h"
#include "core/runtime_words.h"
#include "core/stack.h"
#include "core/typeset_bits.h"
#include "core/word.h"

namespace zel::support {

namespace {

// expect-arg for argument n of the innermost named call.
[[noreturn]] void raise_expect_arg(int32_t arg_number, uint32_t type) { error::raise_expect_arg_n(arg_number, type); }

// The word-list entry of a context's slot (its word, bound to the context), or nullptr.
Cell* slot_entry(uint32_t ctx, int32_t index) {
    uint32_t n = context::word_count(ctx);
    if (index >= 0 && uint32_t(index) < n) {
        Cell* w = context::word_at(ctx, uint32_t(index));
        if (word_index(w) == index) return w;
    }
    for (uint32_t k = 0; k < n; k++) {
        Cell* w = context::word_at(ctx, k);
        if (word_index(w) == index) return w;
    }
    return nullptr;
}

// The slot's word as an error argument.
void slot_word(Cell* out, uint32_t ctx, int32_t index) {
    if (const Cell* w = slot_entry(ctx, index)) {
        *out = *w;
        out->header = TYPE_WORD;
    } else {
        set_none(out);
    }
}

Cell* checked_slot(uint32_t ctx, int32_t index) {
    Cell* values = context::values(ctx);
    if (!values || index < 0) {
        Cell w;
        slot_word(&w, ctx, index);
        error::raise(error::ERR_SCRIPT_NOT_DEFINED, &w);
    }
    return values + index;
}

void store_checked(uint32_t ctx, int32_t index) {
    Cell value = *stack::topmost();
    if (type_of(&value) == TYPE_UNSET) {
        Cell w;
        slot_word(&w, ctx, index);
        error::raise(error::ERR_SCRIPT_NEED_VALUE, &w);
    }
    *checked_slot(ctx, index) = value;
}

void set_word(const Cell* word_in) {
    Cell w = *word_in;
    Cell value = *stack::topmost();
    if (type_of(&value) == TYPE_UNSET) error::raise(error::ERR_SCRIPT_NEED_VALUE, &w);
    word::set(&w, &value, true);
}

}  // namespace

const Cell* check_value(const Cell* typeset, int32_t arg_number, const Cell* value) {
    if (!typeset_bits::has(typeset, type_of(value))) raise_expect_arg(arg_number, type_of(value));
    return value;
}

void check_arg_type(int32_t position, const Cell* typeset, int32_t arg_number) {
    if (position < 0) return;
    check_value(typeset, arg_number, stack::arg(position));
}

const Cell* check_arg_type_opt(const Cell* refinement, const Cell* typeset, int32_t arg_number,
                               const Cell* value) {
    if (type_of(refinement) == TYPE_LOGIC && logic_value(refinement)) check_value(typeset, arg_number, value);
    return value;
}

void check_not_unset(int32_t arg_number, const Cell* value) {
    if (type_of(value) == TYPE_UNSET) raise_expect_arg(arg_number, TYPE_UNSET);
}

void bad_make_arg(uint32_t type, const Cell* spec) {
    Cell dt;
    set_datatype(&dt, type);
    error::raise(error::ERR_SCRIPT_BAD_MAKE_ARG, &dt, spec);
}

void set_word_value(const Cell* word) {
    set_word(word);
    stack::reset_top();
}

void set_word_value_keep(const Cell* word) { set_word(word); }

Cell* word_value_checked(const Cell* word) {
    Cell* v = word::value_cell(word);
    if (type_of(v) == TYPE_UNSET) error::raise(error::ERR_SCRIPT_NO_VALUE, word);
    return v;
}

void set_slot(uint32_t ctx, int32_t index) {
    Cell value = *stack::topmost();
    *checked_slot(ctx, index) = value;
    if (context::kind(ctx) == context::KIND_OBJECT)
        if (Cell* entry = slot_entry(ctx, index)) set_word_changed(entry, true);
    stack::reset_top();
}

void set_slot_checked(uint32_t ctx, int32_t index) { store_checked(ctx, index); }

void set_slot_reset(uint32_t ctx, int32_t index) {
    store_checked(ctx, index);
    stack::reset_top();
}

Cell* get_slot_checked(uint32_t ctx, int32_t index) { return checked_slot(ctx, index); }

int32_t part_count(const Cell* s, const Cell* part, bool positions) {
    if (type_of(part) == TYPE_INTEGER) return int_value(part);
    if (positions && type_of(part) == type_of(s) && series_node(part) == series_node(s))
        return series_head(part) - series_head(s);
    Cell w;
    word::make_global(&w, TYPE_REFINEMENT, sym(SYM_PART));
    error::raise(error::ERR_SCRIPT_INVALID_REFINE_ARG, &w, part);
}

int32_t switch_lookup(const Cell* value, const Cell* cases, uint32_t step, bool skip_to_block, bool* matched) {
    if (matched) *matched = false;
    if (type_of(value) == TYPE_BLOCK) return -1;
    uint32_t node = series_node(cases);
    int32_t head = series_head(cases);
    for (uint32_t i = head < 0 ? 0 : uint32_t(head); i < memory::buf(node)->length(); i += step) {
        Cell c = memory::buf(node)->cells()[i];
        if (type_of(&c) != type_of(value) || !actions::compare(value, &c, actions::OP_EQUAL)) continue;
        if (matched) *matched = true;
        uint32_t len = memory::buf(node)->length();
        if (!skip_to_block) return int32_t(i + 1 < len ? i + 1 : i);
        for (uint32_t k = i + 1; k < len; k++)
            if (type_of(&memory::buf(node)->cells()[k]) == TYPE_BLOCK) return int32_t(k);
        return -1;
    }
    return -1;
}

void block_access(int mode, bool skip_to_block) {
    Cell value = *stack::arg(0);
    Cell cases = *stack::arg(1);
    Cell answer;
    set_none(&answer);
    if (is_any_block_type(type_of(&cases))) {
        int32_t at = switch_lookup(&value, &cases, mode == 1 ? 1 : 2, skip_to_block);
        if (at >= 0) answer = memory::buf(series_node(&cases))->cells()[at];
    }
    if (mode == 1) {
        stack::push_copy(&answer);
    } else {
        stack::set_result(&answer);
    }
}

}  // namespace zel::support
