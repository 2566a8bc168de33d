// The action dispatchers: each reads its arguments from the value stack, turns refinement
// positions into cells or flags, finds the handler by the first argument's type and calls it.
#include <algorithm>

#include "core/actions.h"
#include "core/error.h"
#include "core/runtime_words.h"
#include "core/stack.h"
#include "core/support.h"
#include "core/word.h"
#include "core/text.h"

namespace zel::actions {

Dispatcher dispatchers[ACTION_COUNT + 1];

namespace {

using stack::arg;

inline Cell* ref_arg(const int32_t* refs, int k) { return refs[k] >= 0 ? arg(refs[k]) : nullptr; }
inline bool flag(const int32_t* refs, int k) { return refs[k] >= 0; }
inline void store(const Cell* r) { stack::set_result(r); }

// Calls a stored handler with a fresh value-stack slot as its `out` (the collector sees it, and it
// is none of the arguments), then makes what the handler wrote there the action's result.
template <typename Fn, typename... Args>
inline void stored(Fn fn, const Args&... args) {
    Cell* out = stack::push_unset();
    fn(out, args...);
    store(out);
}

template <typename Fn>
Fn first_arg_handler(int action) { return get<Fn>(type_of(arg(0)), action); }
// The handler of the first argument's type, as the action's signature in actions.def.
template <int N>
SignatureOf<N> first_arg_handler(ActionTag<N> action) { return get(type_of(arg(0)), action); }

[[noreturn]] void invalid_refine(SymId word, const Cell* value) {
    Cell w;
    word::make_global(&w, TYPE_REFINEMENT, sym(word));
    error::raise(error::ERR_SCRIPT_INVALID_REFINE_ARG, &w, value);
}

uint32_t make_target(const Cell* first) {
    return type_of(first) == TYPE_DATATYPE ? datatype_value(first) : type_of(first);
}

void d_make(const int32_t*) {
    uint32_t t = make_target(arg(0));
    stored(get(t, ACT_MAKE), arg(0), arg(1), t);
}
void d_to(const int32_t*) {
    uint32_t t = make_target(arg(0));
    stored(get(t, ACT_TO), arg(0), arg(1), t);
}

void d_random(const int32_t* refs) {
    namespace R = ref::RANDOM;
    first_arg_handler(ACT_RANDOM)(arg(0), flag(refs, R::seed), flag(refs, R::secure), flag(refs, R::only));
}
void d_reflect(const int32_t*) {
    if (!is_any_word_type(type_of(arg(1)))) error::raise(error::ERR_SCRIPT_INVALID_ARG, arg(1));
    stored(first_arg_handler(ACT_REFLECT), arg(0), word_symbol(arg(1)));
}

// form and mold share the /part handling.
void formed_result(const int32_t* refs, int part_ref, bool mold, bool only, bool all, bool flat) {
    Cell* part = ref_arg(refs, part_ref);
    int32_t limit = 0x7FFFFFFF;
    if (part) {
        if (type_of(part) != TYPE_INTEGER) invalid_refine(SYM_PART, part);
        limit = int_value(part);
        if (limit <= 0) {
            Cell empty;
            string::init_cell(&empty, 1);
            store(&empty);
            return;
        }
    }
    stack::keep_result_slot();
    Cell* out = stack::push();
    string::init_cell(out, 16);
    uint32_t node = series_node(out);
    if (mold) get(type_of(arg(0)), ACT_MOLD)(arg(0), node, only, all, flat, part, limit, 0);
    else get(type_of(arg(0)), ACT_FORM)(arg(0), node, part, limit);
    if (part) string::truncate(node, uint32_t(limit));
    store(out);
}
void d_form(const int32_t* refs) { formed_result(refs, ref::FORM::part, false, false, false, false); }
void d_mold(const int32_t* refs) {
    namespace R = ref::MOLD;
    formed_result(refs, R::part, true, flag(refs, R::only), flag(refs, R::all),
                  flag(refs, R::flat));
}

void d_eval_path(const int32_t*) {
    PathStep step;
    Cell* out = stack::push_unset();
    eval_path(out, arg(0), arg(1), nullptr, step);
    store(out);
}

void d_stack_handler(int action) { first_arg_handler<StackFn>(action)(); }
void d_absolute(const int32_t*) { d_stack_handler(ACT_ABSOLUTE); }
void d_add(const int32_t*) { d_stack_handler(ACT_ADD); }
void d_divide(const int32_t*) { d_stack_handler(ACT_DIVIDE); }
void d_multiply(const int32_t*) { d_stack_handler(ACT_MULTIPLY); }
void d_power(const int32_t*) { d_stack_handler(ACT_POWER); }
void d_remainder(const int32_t*) { d_stack_handler(ACT_REMAINDER); }
void d_subtract(const int32_t*) { d_stack_handler(ACT_SUBTRACT); }
void d_and(const int32_t*) { d_stack_handler(ACT_AND_T); }
void d_or(const int32_t*) { d_stack_handler(ACT_OR_T); }
void d_xor(const int32_t*) { d_stack_handler(ACT_XOR_T); }
void d_negate(const int32_t*) { first_arg_handler(ACT_NEGATE)(arg(0)); stack::keep_result_slot(); }
void d_complement(const int32_t*) { first_arg_handler(ACT_COMPLEMENT)(arg(0)); stack::keep_result_slot(); }
void d_round(const int32_t* refs) {
    namespace R = ref::ROUND;
    first_arg_handler(ACT_ROUND)(arg(0), ref_arg(refs, R::to), flag(refs, R::even), flag(refs, R::down),
                                 flag(refs, R::half_down), flag(refs, R::floor), flag(refs, R::ceiling),
                                 flag(refs, R::half_ceiling));
}
void d_even(const int32_t*) {
    Cell r;
    set_logic(&r, first_arg_handler(ACT_EVEN_Q)(arg(0)));
    store(&r);
}
void d_odd(const int32_t*) {
    Cell r;
    set_logic(&r, first_arg_handler(ACT_ODD_Q)(arg(0)));
    store(&r);
}

bool has_buffer(uint32_t t) { return is_series_type(t) || t == TYPE_MAP; }

// How far a negative /part count (any int32, the minimum too) moves a head index back:
// its magnitude, cut at the head index.
int32_t back_count(int32_t negative, int32_t head) {
    int64_t back = -int64_t(negative);
    return int32_t(std::min<int64_t>(back, head < 0 ? 0 : head));
}

// The /part length of a value to append or insert (append and insert share it, and their
// refinements).
static_assert(int(ref::APPEND::part) == int(ref::INSERT::part) && int(ref::APPEND::only) == int(ref::INSERT::only) &&
              int(ref::APPEND::dup) == int(ref::INSERT::dup));
void append_insert(const int32_t* refs, bool append) {
    namespace R = ref::APPEND;
    Cell* series = arg(0);
    Cell* value = arg(1);
    Cell* part = ref_arg(refs, R::part);
    int32_t length = -1;
    if (part) {
        uint32_t vt = type_of(value);
        if (!has_buffer(vt)) error::raise(error::ERR_SCRIPT_INVALID_PART, part);
        int32_t vlen = int32_t(memory::buf(series_node(value))->length());
        if (series_head(value) > vlen) set_series_head(value, vlen);
        length = support::part_count(value, part, vt != TYPE_PORT);
        if (length == 0 || (length < 0 && series_head(value) == 0)) {
            stack::keep_result_slot();
            return;
        }
        if (length < 0) {
            int32_t back = back_count(length, series_head(value));
            set_series_head(value, series_head(value) - back);
            length = back;
        }
    }
    int32_t dup = 1;
    if (Cell* d = ref_arg(refs, R::dup)) {
        dup = type_of(d) == TYPE_INTEGER ? int_value(d) : int32_t(float_value(d));
        if (dup <= 0) {
            stack::keep_result_slot();
            return;
        }
    }
    if (!append && type_of(series) != TYPE_PORT && is_series_type(type_of(series))) {
        int32_t len = int32_t(memory::buf(series_node(series))->length());
        if (series_head(series) > len) set_series_head(series, len);
    }
    InsertFn insert = append ? get(type_of(series), ACT_APPEND) : get(type_of(series), ACT_INSERT);
    insert(series, value, length, flag(refs, R::only), dup, append);
    stack::keep_result_slot();
}
void d_append(const int32_t* refs) { append_insert(refs, true); }
void d_insert(const int32_t* refs) { append_insert(refs, false); }

void d_change(const int32_t* refs) {
    namespace R = ref::CHANGE;
    Cell* series = arg(0);
    Cell* part = ref_arg(refs, R::part);
    uint32_t st = type_of(series);
    // An image changes one pixel or pastes a whole image: /part and /dup of any count are
    // refused (a /dup of 1 or 0 would otherwise pass unnoticed).
    if (st == TYPE_IMAGE && (part || ref_arg(refs, R::dup))) error::raise(error::ERR_INTERNAL_NOT_DONE);
    int32_t length = -1;
    if (part) {
        if (st != TYPE_PORT && st != TYPE_IMAGE && is_series_type(st)) {
            int32_t len = int32_t(memory::buf(series_node(series))->length());
            if (series_head(series) > len) set_series_head(series, len);
        }
        length = support::part_count(series, part, st != TYPE_PORT && st != TYPE_IMAGE);
        if (length < 0) {
            if (st == TYPE_PORT || st == TYPE_IMAGE) {
                length = 0;
            } else {
                int32_t back = back_count(length, series_head(series));
                set_series_head(series, series_head(series) - back);
                length = back;
            }
        }
    }
    int32_t dup = 1;
    if (Cell* d = ref_arg(refs, R::dup)) {
        dup = type_of(d) == TYPE_INTEGER ? int_value(d) : int32_t(float_value(d));
        if (dup <= 0) {
            stack::keep_result_slot();
            return;
        }
    }
    get(st, ACT_CHANGE)(series, arg(1), length, flag(refs, R::only), dup);
    stack::keep_result_slot();
}

void d_nav(int action) { first_arg_handler<StackFn>(action)(); }
void d_at(const int32_t*) { d_nav(ACT_AT); }
void d_back(const int32_t*) { d_nav(ACT_BACK); }
void d_head(const int32_t*) { d_nav(ACT_HEAD); }
void d_head_q(const int32_t*) { d_nav(ACT_HEAD_Q); }
void d_index_q(const int32_t*) { d_nav(ACT_INDEX_Q); }
void d_next(const int32_t*) { d_nav(ACT_NEXT); }
void d_skip(const int32_t*) { d_nav(ACT_SKIP); }
void d_tail(const int32_t*) { d_nav(ACT_TAIL); }
void d_tail_q(const int32_t*) { d_nav(ACT_TAIL_Q); }

void d_clear(const int32_t*) { first_arg_handler(ACT_CLEAR)(arg(0)); stack::keep_result_slot(); }

void d_copy(const int32_t* refs) {
    namespace R = ref::COPY;
    Cell* types = ref_arg(refs, R::types);
    if (types && type_of(types) != TYPE_DATATYPE && type_of(types) != TYPE_TYPESET) {
        Cell calling, w;
        stack::calling_word(&calling);
        word::make_global(&w, TYPE_WORD, "kind");
        error::raise_expect_arg(&calling, type_of(types), &w);
    }
    stored(first_arg_handler(ACT_COPY), arg(0), ref_arg(refs, R::part), flag(refs, R::deep), types);
}

void d_find(const int32_t* refs) {
    namespace R = ref::FIND;
    FindArgs a{arg(0), arg(1), ref_arg(refs, R::part),
               flag(refs, R::only), flag(refs, R::case_), flag(refs, R::same), flag(refs, R::any),
               ref_arg(refs, R::with), ref_arg(refs, R::skip),
               flag(refs, R::last), flag(refs, R::reverse), flag(refs, R::tail), flag(refs, R::match)};
    stored(first_arg_handler(ACT_FIND), a);
}
void d_select(const int32_t* refs) {
    namespace R = ref::SELECT;
    FindArgs a{arg(0), arg(1), ref_arg(refs, R::part),
               flag(refs, R::only), flag(refs, R::case_), flag(refs, R::same), flag(refs, R::any),
               ref_arg(refs, R::with), ref_arg(refs, R::skip),
               flag(refs, R::last), flag(refs, R::reverse), false, false};
    stored(first_arg_handler(ACT_SELECT), a);
}

void d_length(const int32_t*) {
    int32_t n = first_arg_handler(ACT_LENGTH_Q)(arg(0));
    Cell r;
    if (n < 0) set_none(&r); else set_integer(&r, n);
    store(&r);
}

void d_move(const int32_t* refs) {
    stored(first_arg_handler(ACT_MOVE), arg(0), arg(1), ref_arg(refs, ref::MOVE::part));
}

int32_t pick_index(const Cell* c) {
    switch (type_of(c)) {
        case TYPE_INTEGER: return int_value(c);
        case TYPE_CHAR: return int32_t(char_value(c));
        case TYPE_LOGIC: return logic_value(c) ? 1 : 2;
        default: return 0;
    }
}
void d_pick(const int32_t*) { stored(first_arg_handler(ACT_PICK), arg(0), pick_index(arg(1)), arg(1)); }
void d_poke(const int32_t*) {
    Cell* out = stack::push_unset();
    first_arg_handler(ACT_POKE)(out, arg(0), pick_index(arg(1)), arg(2), arg(1));
    store(arg(2));
}
void d_put(const int32_t* refs) {
    stored(first_arg_handler(ACT_PUT), arg(0), arg(1), arg(2), flag(refs, ref::PUT::case_));
}
void d_remove(const int32_t* refs) {
    namespace R = ref::REMOVE;
    first_arg_handler(ACT_REMOVE)(arg(0), ref_arg(refs, R::part), ref_arg(refs, R::key));
    stack::keep_result_slot();
}
void d_reverse(const int32_t* refs) {
    namespace R = ref::REVERSE;
    first_arg_handler(ACT_REVERSE)(arg(0), ref_arg(refs, R::part), ref_arg(refs, R::skip));
    stack::keep_result_slot();
}
void d_sort(const int32_t* refs) {
    namespace R = ref::SORT;
    stored(first_arg_handler(ACT_SORT), arg(0), flag(refs, R::case_), ref_arg(refs, R::skip),
                                      ref_arg(refs, R::compare), ref_arg(refs, R::part), flag(refs, R::all),
                                      flag(refs, R::reverse), flag(refs, R::stable));
}
void d_swap(const int32_t*) { first_arg_handler(ACT_SWAP)(arg(0), arg(1)); stack::keep_result_slot(); }
void d_take(const int32_t* refs) {
    namespace R = ref::TAKE;
    stored(first_arg_handler(ACT_TAKE), arg(0), ref_arg(refs, R::part), flag(refs, R::deep),
                                      flag(refs, R::last));
}
void d_trim(const int32_t* refs) {
    namespace R = ref::TRIM;
    first_arg_handler(ACT_TRIM)(arg(0), flag(refs, R::head), flag(refs, R::tail), flag(refs, R::auto_),
                                flag(refs, R::lines), flag(refs, R::all), ref_arg(refs, R::with));
    stack::keep_result_slot();
}
void d_port1(int action) { stored(first_arg_handler<PortFn>(action), arg(0)); }
void d_create(const int32_t*) { d_port1(ACT_CREATE); }
void d_close(const int32_t*) { d_port1(ACT_CLOSE); }
void d_delete(const int32_t*) { d_port1(ACT_DELETE); }
void d_open_q(const int32_t*) { d_port1(ACT_OPEN_Q); }
void d_query(const int32_t*) { d_port1(ACT_QUERY); }
void d_update(const int32_t*) { d_port1(ACT_UPDATE); }
void d_modify(const int32_t* refs) {
    namespace R = ref::MODIFY;
    Cell* out = stack::push_unset();
    first_arg_handler(ACT_MODIFY)(out, arg(0), arg(1), arg(2), flag(refs, R::case_));
    stack::keep_result_slot();
}
void d_open(const int32_t* refs) {
    namespace R = ref::OPEN;
    stored(first_arg_handler(ACT_OPEN), arg(0), flag(refs, R::new_), flag(refs, R::read), flag(refs, R::write),
                                      flag(refs, R::seek), ref_arg(refs, R::allow));
}
void d_read(const int32_t* refs) {
    namespace R = ref::READ;
    stored(first_arg_handler(ACT_READ), arg(0), ref_arg(refs, R::part), ref_arg(refs, R::seek),
                                      flag(refs, R::binary), flag(refs, R::lines), flag(refs, R::info),
                                      ref_arg(refs, R::as));
}
void d_rename(const int32_t*) { stored(first_arg_handler(ACT_RENAME), arg(0), arg(1)); }
void d_write(const int32_t* refs) {
    namespace R = ref::WRITE;
    stored(first_arg_handler(ACT_WRITE), arg(0), arg(1), flag(refs, R::binary), flag(refs, R::lines),
                                       flag(refs, R::info), flag(refs, R::append), ref_arg(refs, R::part),
                                       ref_arg(refs, R::seek), ref_arg(refs, R::allow),
                                       ref_arg(refs, R::as));
}

}  // namespace

void init_dispatchers() {
    Dispatcher d[ACTION_COUNT + 1] = {
        nullptr, d_make, d_random, d_reflect, d_to, d_form, d_mold, d_eval_path, nullptr, nullptr,
        d_absolute, d_add, d_divide, d_multiply, d_negate, d_power, d_remainder, d_round, d_subtract,
        d_even, d_odd, d_and, d_complement, d_or, d_xor, d_append, d_at, d_back, d_change, d_clear,
        d_copy, d_find, d_head, d_head_q, d_index_q, d_insert, d_length, d_move, d_next, d_pick, d_poke,
        d_put, d_remove, d_reverse, d_select, d_sort, d_skip, d_swap, d_tail, d_tail_q, d_take, d_trim,
        d_create, d_close, d_delete, d_modify, d_open, d_open_q, d_query, d_read, d_rename, d_update,
        d_write,
    };
    for (int i = 0; i <= ACTION_COUNT; i++) dispatchers[i] = d[i];
}

}  // namespace zel::actions
