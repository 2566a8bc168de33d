// Conversion natives that re-type or build values without evaluation: as, as-pair,
// as-point2D, as-point3D, as-money, and the new-line marker of list cells (new-line,
// new-line?). None of them evaluates Zel code.
#include <cmath>

#include "core/error.h"
#include "core/memory.h"
#include "core/stack.h"
#include "datatypes/scalar/integer.h"
#include "datatypes/scalar/money.h"
#include "datatypes/scalar/pair.h"
#include "datatypes/scalar/point.h"
#include "natives/native_support.h"
#include "natives/native_units.h"

namespace zel::natives {

using memory::buf;

namespace {

// ---- as ----

enum class Family { NONE, BLOCK, TEXT };

Family family_of(uint32_t t) {
    if (t == TYPE_BLOCK || t == TYPE_PAREN || is_any_path_type(t)) return Family::BLOCK;
    if (is_text_type(t)) return Family::TEXT;
    return Family::NONE;
}

// as: the same series buffer and position under another type of its family.
void as(const int32_t* refs) {
    const Cell* type = arg(0);
    const Cell* spec = arg(1);
    uint32_t target = type_of(type) == TYPE_DATATYPE ? datatype_value(type) : type_of(type);
    uint32_t source = type_of(spec);
    Family f = family_of(source);
    if (f == Family::NONE || f != family_of(target)) {
        Cell from, to;
        set_datatype(&from, source);
        set_datatype(&to, target);
        error::raise(error::ERR_SCRIPT_NOT_SAME_CLASS, &from, &to);
    }
    Cell r = *spec;
    retype(&r, target);
    set_new_line(&r, false);
    stack::set_result(&r);
}

// ---- pairs and points ----

// A pair! coordinate: an integer! as it is; a float! must be finite (else invalid-arg with
// it) and is truncated toward zero, raising type-limit when that leaves the integer range.
int32_t pair_coordinate(const Cell* v) {
    if (type_of(v) == TYPE_INTEGER) return int_value(v);
    double d = float_value(v);
    if (!std::isfinite(d)) error::raise(error::ERR_SCRIPT_INVALID_ARG, v);
    return integer::from_double_checked(d);
}

// A point coordinate as a double (stored as a 32-bit float by the point writers).
double point_coordinate(int slot, int32_t n) {
    const Cell* v = arg(n);
    switch (type_of(v)) {
        case TYPE_INTEGER: return int_value(v);
        case TYPE_FLOAT: return float_value(v);
        default: raise_arg_type(slot, n, type_of(v));
    }
}

void as_pair(const int32_t* refs) {
    for (int32_t n = 0; n < 2; n++) {
        uint32_t t = type_of(arg(n));
        if (t != TYPE_INTEGER && t != TYPE_FLOAT) raise_arg_type(SLOT_as_pair, n, t);
    }
    int32_t x = pair_coordinate(arg(0));
    int32_t y = pair_coordinate(arg(1));
    Cell r;
    pair::write_cell(&r, x, y);
    stack::set_result(&r);
}

void as_point2d(const int32_t* refs) {
    double x = point_coordinate(SLOT_as_point2d, 0);
    double y = point_coordinate(SLOT_as_point2d, 1);
    Cell r;
    point2D::write_cell(&r, x, y);
    stack::set_result(&r);
}

void as_point3d(const int32_t* refs) {
    double x = point_coordinate(SLOT_as_point3d, 0);
    double y = point_coordinate(SLOT_as_point3d, 1);
    double z = point_coordinate(SLOT_as_point3d, 2);
    Cell r;
    point3D::write_cell(&r, x, y, z);
    stack::set_result(&r);
}

// as-money: a currency code and an amount.
void as_money(const int32_t* refs) {
    Cell* code = arg(0);
    Cell* amount = arg(1);
    if (type_of(code) != TYPE_WORD) raise_arg_type(SLOT_as_money, 0, type_of(code));
    uint32_t index = money::currency_index_of_symbol(word_symbol(code));
    if (!index) error::raise(error::ERR_SCRIPT_BAD_DENOM, code);
    Cell r;
    switch (type_of(amount)) {
        case TYPE_INTEGER: money::from_integer(&r, int_value(amount)); break;
        case TYPE_FLOAT: money::from_float(&r, float_value(amount), false); break;
        default: raise_arg_type(SLOT_as_money, 1, type_of(amount));
    }
    money::set_currency(&r, index);
    stack::set_result(&r);
}

// ---- new-line markers ----

bool is_list_type(uint32_t t) { return t == TYPE_BLOCK || t == TYPE_PAREN || t == TYPE_HASH; }

// new-line: sets or clears the marker at the position, to the tail with /all, or on every
// size-th cell from the position with /skip.
void new_line(const int32_t* refs) {
    const Cell* position = arg(0);
    if (!is_list_type(type_of(position))) raise_arg_type(SLOT_new_line, 0, type_of(position));
    bool on = !is_falsy(arg(1));
    uint32_t step = 0;   // 0: the position's cell only
    if (used(refs, 0)) step = 1;
    if (Cell* size = ref_arg(refs, 1)) {
        if (type_of(size) != TYPE_INTEGER) raise_arg_type(SLOT_new_line, 4, type_of(size));
        if (int_value(size) <= 0) error::raise(error::ERR_SCRIPT_OUT_OF_RANGE, size);
        step = uint32_t(int_value(size));
    }
    SeriesBuf* b = buf(series_node(position));
    int32_t head = series_head(position);
    uint32_t from = head < 0 ? 0 : uint32_t(head);
    uint32_t len = b->length();
    if (step == 0) {
        if (from < len) set_new_line(&b->cells()[from], on);
    } else {
        for (uint64_t i = from; i < len; i += step) set_new_line(&b->cells()[i], on);
    }
    stack::keep_result_slot();
}

void new_line_q(const int32_t* refs) {
    const Cell* position = arg(0);
    if (!is_list_type(type_of(position))) raise_arg_type(SLOT_new_line_q, 0, type_of(position));
    SeriesBuf* b = buf(series_node(position));
    int32_t head = series_head(position);
    bool marked = head >= 0 && uint32_t(head) < b->length() && has_new_line(&b->cells()[head]);
    Cell r;
    set_logic(&r, marked);
    stack::set_result(&r);
}

}  // namespace

void register_conversions() {
    set<SLOT_as, as>();
    set<SLOT_as_pair, as_pair>();
    set<SLOT_as_point2d, as_point2d>();
    set<SLOT_as_point3d, as_point3d>();
    set<SLOT_as_money, as_money>();
    set<SLOT_new_line, new_line>();
    set<SLOT_new_line_q, new_line_q>();
}

}  // namespace zel::natives
