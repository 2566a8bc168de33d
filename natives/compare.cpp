// The comparison natives (equal? not-equal? strict-equal? lesser? greater? lesser-or-equal?
// greater-or-equal?), identity (same?), negation (not), the datatype of a value (type?) and
// the bitset test complement?.
#include "core/actions.h"
#include "core/memory.h"
#include "core/stack.h"
#include "core/word.h"
#include "natives/native_support.h"
#include "natives/native_units.h"

namespace zel::natives {

namespace {

void set_logic_result(bool v) {
    Cell r;
    set_logic(&r, v);
    stack::set_result(&r);
}

// The comparison natives hand both arguments and their operator to the compare action of the
// first value's type; they check no argument type of their own.
template <int Op>
void compare_native(const int32_t*) {
    set_logic_result(actions::compare(arg(0), arg(1), Op));
}

// Whether data words first to last (0-2) of a and b are equal.
bool words_equal(const Cell* a, const Cell* b, int first, int last) {
    for (int i = first; i <= last; i++)
        if (data_word(a, i) != data_word(b, i)) return false;
    return true;
}

// same?: values of different datatypes are never the same; otherwise the identity rule of the
// datatype decides (the same series at the same position, the same 64 bits of a float ...).
bool same_values(const Cell* a, const Cell* b) {
    uint32_t t = type_of(a);
    if (t != type_of(b)) return false;
    if (is_series_type(t)) return series_head(a) == series_head(b) && series_node(a) == series_node(b);
    switch (t) {
        case TYPE_DATATYPE:
        case TYPE_LOGIC:
        case TYPE_OBJECT:
            return words_equal(a, b, 0, 0);
        case TYPE_CHAR:
        case TYPE_INTEGER:
        case TYPE_BITSET:
            return words_equal(a, b, 1, 1);
        case TYPE_FLOAT:
        case TYPE_PERCENT:
        case TYPE_PAIR:
        case TYPE_TIME:
            return words_equal(a, b, 1, 2);
        case TYPE_TUPLE:
            return actions::compare_raw(a, b, actions::OP_STRICT_EQUAL) == 0;
        case TYPE_NONE:
        case TYPE_UNSET:
            return true;
        case TYPE_MONEY:
            return actions::compare_raw(a, b, actions::OP_EQUAL) == 0;
        case TYPE_NATIVE:
        case TYPE_ACTION:
        case TYPE_POINT2D:
            return words_equal(a, b, 0, 1);
        case TYPE_OP:
            return words_equal(a, b, 1, 2);
        default:
            return words_equal(a, b, 0, 2);
    }
}

void same_q(const int32_t* refs) {
    set_logic_result(same_values(arg(0), arg(1)));
}

void not_(const int32_t* refs) {
    set_logic_result(is_falsy(arg(0)));
}

void type_q(const int32_t* refs) {
    uint32_t t = type_of(arg(0));
    Cell r;
    if (used(refs, 0)) word::make_global(&r, TYPE_WORD, actions::type_word_symbol(t));
    else set_datatype(&r, t);
    stack::set_result(&r);
}

void complement_q(const int32_t* refs) {
    const Cell* bits = arg(0);
    if (type_of(bits) != TYPE_BITSET) raise_arg_type(SLOT_complement_q, 0, type_of(bits));
    set_logic_result((memory::buf(series_node(bits))->flags & F_BITSET_COMPLEMENT) != 0);
}

}  // namespace

void register_compare() {
    set<SLOT_equal_q, compare_native<actions::OP_EQUAL>>();
    set<SLOT_not_equal_q, compare_native<actions::OP_NOT_EQUAL>>();
    set<SLOT_strict_equal_q, compare_native<actions::OP_STRICT_EQUAL>>();
    set<SLOT_lesser_q, compare_native<actions::OP_LESSER>>();
    set<SLOT_greater_q, compare_native<actions::OP_GREATER>>();
    set<SLOT_lesser_or_equal_q, compare_native<actions::OP_LESSER_EQUAL>>();
    set<SLOT_greater_or_equal_q, compare_native<actions::OP_GREATER_EQUAL>>();
    set<SLOT_same_q, same_q>();
    set<SLOT_not_, not_>();
    set<SLOT_type_q, type_q>();
    set<SLOT_complement_q, complement_q>();
}

}  // namespace zel::natives
