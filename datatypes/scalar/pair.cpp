// pair! (see pair.h).
#include "datatypes/scalar/pair.h"

#include <climits>
#include <cmath>

#include "core/actions.h"
#include "core/error.h"
#include "core/memory.h"
#include "core/stack.h"
#include "datatypes/datatypes.h"
#include "datatypes/scalar/datatype.h"
#include "datatypes/scalar/integer.h"
#include "datatypes/scalar/point.h"
#include "datatypes/scalar/random.h"
#include "core/block.h"

namespace zel::pair {

namespace {

using stack::arg;


uint32_t sym_x, sym_y;

// 1 for x, 2 for y (an integer index or a field word), -1 otherwise.
int32_t field_of(const Cell* element) {
    if (type_of(element) == TYPE_INTEGER) {
        int32_t n = int_value(element);
        return n == 1 || n == 2 ? n : -1;
    }
    if (scalar::is_field(element, sym_x, "x")) return 1;
    if (scalar::is_field(element, sym_y, "y")) return 2;
    return -1;
}

// Turns the cell (a pair) into a point2D! with the same components.
void to_point(Cell* c) { point2D::write_cell(c, double(x_of(c)), double(y_of(c))); }

}  // namespace

Cell* append_new(uint32_t block_node, int32_t x, int32_t y) {
    Cell* c = memory::append_cell(block_node);
    write_cell(c, x, y);
    return c;
}

Cell* push(int32_t x, int32_t y) {
    Cell* c = stack::push();
    write_cell(c, x, y);
    return c;
}

void set_result(int32_t x, int32_t y) {
    Cell c;
    write_cell(&c, x, y);
    stack::set_result(&c);
}

void arith(int32_t op) {
    Cell* a = arg(0);
    Cell* b = arg(1);
    int32_t x2, y2;
    switch (type_of(b)) {
        case TYPE_PAIR:
            x2 = x_of(b);
            y2 = y_of(b);
            break;
        case TYPE_INTEGER:
            x2 = y2 = int_value(b);
            break;
        case TYPE_FLOAT: case TYPE_PERCENT: {
            double f = float_value(b);
            if (op == integer::OP_MULTIPLY || op == integer::OP_DIVIDE) {
                // Scaling leaves integer space: the result is a point.
                if (op == integer::OP_MULTIPLY ? !std::isfinite(f) : std::isnan(f))
                    error::raise(error::ERR_SCRIPT_INVALID_ARG, b);
                double x = double(x_of(a)), y = double(y_of(a));
                if (op == integer::OP_MULTIPLY) point2D::write_cell(a, x * f, y * f);
                else point2D::write_cell(a, x / f, y / f);
                stack::keep_result_slot();
                return;
            }
            if (!std::isfinite(f)) error::raise(error::ERR_SCRIPT_INVALID_ARG, b);
            x2 = y2 = integer::from_double_checked(f);
            break;
        }
        case TYPE_POINT2D:
            to_point(a);
            point2D::arith(op);
            return;
        default:
            error::raise_type(error::ERR_SCRIPT_INVALID_TYPE, type_of(b));
    }
    Cell rx, ry;
    integer::arith(x_of(a), x2, op, &rx);
    integer::arith(y_of(a), y2, op, &ry);
    if (type_of(&rx) != TYPE_INTEGER || type_of(&ry) != TYPE_INTEGER) {
        // A component left the 32-bit integers: the whole operation runs again on points,
        // from the operands as they were (point2D! arithmetic takes pairs and numbers).
        to_point(a);
        point2D::arith(op);
        return;
    }
    write_cell(a, int_value(&rx), int_value(&ry));
    stack::keep_result_slot();
}

void from_text(Cell* out, const Cell* text) {
    if (!scalar::load_one_value(text, out) || type_of(out) != TYPE_PAIR) scalar::raise_bad_to(TYPE_PAIR, text);
}

namespace {

// ---- make and to ----

int32_t component_of(const Cell* v) {
    return type_of(v) == TYPE_INTEGER ? int_value(v) : integer::from_double_checked(float_value(v));
}

void make(Cell* out, Cell*, Cell* spec, uint32_t) {
    switch (type_of(spec)) {
        case TYPE_INTEGER:
            write_cell(out, int_value(spec), int_value(spec));
            break;
        case TYPE_FLOAT: {
            int32_t n = integer::from_double_checked(float_value(spec));
            write_cell(out, n, n);
            break;
        }
        case TYPE_BLOCK: {
            const Cell* v = block::head(spec);
            bool ok = block::length(spec) >= 2;
            for (int i = 0; ok && i < 2; i++) ok = type_of(&v[i]) == TYPE_INTEGER || type_of(&v[i]) == TYPE_FLOAT;
            if (!ok) error::raise(error::ERR_SYNTAX_MALCONSTRUCT, spec);
            write_cell(out, component_of(&v[0]), component_of(&v[1]));
            break;
        }
        case TYPE_STRING:
            from_text(out, spec);
            break;
        case TYPE_PAIR:
            *out = *spec;
            break;
        case TYPE_POINT2D: {
            double x = point::component(spec, 0), y = point::component(spec, 1);
            if (!std::isfinite(x) || !std::isfinite(y)) error::raise(error::ERR_SCRIPT_INVALID_ARG, spec);
            write_cell(out, integer::from_double_checked(x), integer::from_double_checked(y));
            break;
        }
        default:
            scalar::raise_bad_to(TYPE_PAIR, spec);
    }
}

// ---- random, form and mold, compare ----

void draw_random(Cell* v, bool seed, bool secure, bool) {
    if (seed) {
        random::seed(uint32_t(x_of(v)) ^ uint32_t(y_of(v)));
        set_unset(v);
        return;
    }
    int32_t x = x_of(v), y = y_of(v);
    write_cell(v, x ? random::uniform_int(x, secure) : 0, y ? random::uniform_int(y, secure) : 0);
}

int32_t text(const Cell* v, uint32_t buffer, int32_t budget) {
    budget = scalar::emit(buffer, integer::to_decimal_text(x_of(v)).view(), budget);
    budget = scalar::emit(buffer, "x", budget);
    return scalar::emit(buffer, integer::to_decimal_text(y_of(v)).view(), budget);
}
int32_t form(const Cell* v, uint32_t buffer, const Cell*, int32_t budget) { return text(v, buffer, budget); }
int32_t mold(const Cell* v, uint32_t buffer, bool, bool, bool, const Cell*, int32_t budget, int32_t) {
    return text(v, buffer, budget);
}

int32_t compare(const Cell* a, const Cell* b, int32_t op) {
    switch (type_of(b)) {
        case TYPE_PAIR: {
            int32_t d = (x_of(a) > x_of(b)) - (x_of(a) < x_of(b));
            return d ? d : (y_of(a) > y_of(b)) - (y_of(a) < y_of(b));
        }
        case TYPE_POINT2D: {
            // Strict equality and sameness need the same datatype.
            if (op == actions::OP_STRICT_EQUAL || op == actions::OP_SAME) return 1;
            Cell p = *a;
            to_point(&p);
            return actions::compare_raw(&p, b, op);
        }
        default:
            return -2;
    }
}

// ---- arithmetic actions ----

void add() { arith(integer::OP_ADD); }
void subtract() { arith(integer::OP_SUBTRACT); }
void multiply() { arith(integer::OP_MULTIPLY); }
void divide() { arith(integer::OP_DIVIDE); }
void remainder() { arith(integer::OP_REMAINDER); }
void and_() { arith(integer::OP_AND); }
void or_() { arith(integer::OP_OR); }
void xor_() { arith(integer::OP_XOR); }

void absolute() {
    Cell* v = arg(0);
    write_cell(v, integer::abs_checked(x_of(v)), integer::abs_checked(y_of(v)));
    stack::keep_result_slot();
}

// Negation wraps: -2147483648 stays itself.
void negate(Cell* v) { write_cell(v, int32_t(0u - uint32_t(x_of(v))), int32_t(0u - uint32_t(y_of(v)))); }

// Each component by the integer rounding; a pair scale rounds x by its x and y by its y.
void round(Cell* v, Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceiling, bool half_ceiling) {
    if (scale && type_of(scale) == TYPE_MONEY) scalar::raise_not_related_calling(TYPE_MONEY);
    auto integer_round = actions::get<actions::RoundFn>(TYPE_INTEGER, ACT_ROUND);
    Cell scales[2];
    bool per_component = scale && type_of(scale) == TYPE_PAIR;
    if (per_component) {
        set_integer(&scales[0], x_of(scale));
        set_integer(&scales[1], y_of(scale));
    } else if (scale) {
        scales[0] = scales[1] = *scale;
    }
    int32_t out[2];
    for (int i = 0; i < 2; i++) {
        Cell c;
        set_integer(&c, i == 0 ? x_of(v) : y_of(v));
        integer_round(&c, scale ? &scales[i] : nullptr, even, down, half_down, floor, ceiling, half_ceiling);
        out[i] = type_of(&c) == TYPE_INTEGER ? int_value(&c) : integer::from_double_checked(float_value(&c));
    }
    write_cell(v, out[0], out[1]);
    stack::keep_result_slot();
}

// ---- path access, pick, reverse ----

void eval_path(Cell* out, Cell* parent, Cell* element, Cell* value, const actions::PathStep& step) {
    int32_t n = field_of(element);
    if (n < 0) error::raise(error::ERR_SCRIPT_INVALID_PATH, step.path ? step.path : element, element);
    if (!value) {
        set_integer(out, n == 1 ? x_of(parent) : y_of(parent));
        return;
    }
    if (type_of(value) != TYPE_INTEGER) error::raise_type(error::ERR_SCRIPT_INVALID_TYPE, type_of(value));
    n == 1 ? set_x(parent, int_value(value)) : set_y(parent, int_value(value));
    scalar::store_back(parent, step);
    *out = *value;
}

void pick(Cell* out, Cell* v, int32_t index, Cell* index_cell) {
    int32_t n;
    if (scalar::is_field_word(index_cell)) {
        n = field_of(index_cell);
        if (n < 0) {
            Cell dt;
            set_datatype(&dt, TYPE_PAIR);
            error::raise(error::ERR_SCRIPT_CANNOT_USE, index_cell, &dt);
        }
    } else {
        if (type_of(index_cell) != TYPE_INTEGER || (index != 1 && index != 2))
            error::raise(error::ERR_SCRIPT_OUT_OF_RANGE, index_cell);
        n = index;
    }
    set_integer(out, n == 1 ? x_of(v) : y_of(v));
}

void reverse(Cell* v, Cell*, Cell*) { write_cell(v, y_of(v), x_of(v)); }

}  // namespace
}  // namespace zel::pair

namespace zel::datatypes {

void register_pair() {
    using namespace pair;
    actions::TypeSpec spec{TYPE_PAIR, {}};
    actions::put(spec, ACT_MAKE, &make);
    actions::put(spec, ACT_RANDOM, &draw_random);
    actions::put(spec, ACT_TO, &make);
    actions::put(spec, ACT_FORM, &form);
    actions::put(spec, ACT_MOLD, &mold);
    actions::put(spec, ACT_EVAL_PATH, &eval_path);
    actions::put(spec, ACT_COMPARE, &compare);
    actions::put(spec, ACT_ABSOLUTE, &absolute);
    actions::put(spec, ACT_ADD, &add);
    actions::put(spec, ACT_DIVIDE, &divide);
    actions::put(spec, ACT_MULTIPLY, &multiply);
    actions::put(spec, ACT_NEGATE, &negate);
    actions::put(spec, ACT_REMAINDER, &remainder);
    actions::put(spec, ACT_ROUND, &pair::round);
    actions::put(spec, ACT_SUBTRACT, &subtract);
    actions::put(spec, ACT_AND_T, &and_);
    actions::put(spec, ACT_OR_T, &or_);
    actions::put(spec, ACT_XOR_T, &xor_);
    actions::put(spec, ACT_PICK, &pick);
    actions::put(spec, ACT_REVERSE, &reverse);
    actions::register_type(spec);
}

}  // namespace zel::datatypes
