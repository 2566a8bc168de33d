// point2D! and point3D! (see point.h). The two types share one body parameterised by their
// component count.
#include "datatypes/scalar/point.h"

#include <cmath>
#include <utility>

#include "core/actions.h"
#include "core/error.h"
#include "core/hashtable.h"
#include "core/memory.h"
#include "core/stack.h"
#include "datatypes/datatypes.h"
#include "datatypes/scalar/datatype.h"
#include "datatypes/scalar/pair.h"
#include "datatypes/scalar/float.h"
#include "datatypes/scalar/float_text.h"
#include "datatypes/scalar/integer.h"
#include "datatypes/scalar/random.h"
#include "core/block.h"

namespace zel::point {

namespace {

using stack::arg;


uint32_t sym_x, sym_y, sym_z;

inline int dims_of(uint32_t t) { return t == TYPE_POINT3D ? 3 : 2; }

// Writes a point of type t from up to three doubles (z ignored for point2D!).
void write_point(Cell* c, uint32_t t, const double* v) {
    if (t == TYPE_POINT3D) point3D::write_cell(c, v[0], v[1], v[2]);
    else point2D::write_cell(c, v[0], v[1]);
}

// 1-based component number of an index or field word, -1 otherwise.
int32_t field_of(const Cell* element, int dims) {
    if (type_of(element) == TYPE_INTEGER) {
        int32_t n = int_value(element);
        return n >= 1 && n <= dims ? n : -1;
    }
    if (scalar::is_field(element, sym_x, "x")) return 1;
    if (scalar::is_field(element, sym_y, "y")) return 2;
    if (dims == 3 && scalar::is_field(element, sym_z, "z")) return 3;
    return -1;
}

// ---- make and to ----

void from_text(Cell* out, const Cell* text, uint32_t t) {
    if (!scalar::load_one_value(text, out) || type_of(out) != t) scalar::raise_bad_to(t, text);
}

void make(Cell* out, Cell*, Cell* spec, uint32_t t) {
    int dims = dims_of(t);
    double v[3] = {0, 0, 0};
    switch (type_of(spec)) {
        case TYPE_INTEGER:
            v[0] = v[1] = v[2] = double(int_value(spec));
            break;
        case TYPE_FLOAT:
            v[0] = v[1] = v[2] = float_value(spec);
            break;
        case TYPE_PAIR:
            v[0] = double(pair::x_of(spec));
            v[1] = double(pair::y_of(spec));
            break;
        case TYPE_POINT2D:
            v[0] = component(spec, 0);
            v[1] = component(spec, 1);
            break;
        case TYPE_POINT3D:
            if (t != TYPE_POINT3D) scalar::raise_bad_to(t, spec);
            for (int i = 0; i < 3; i++) v[i] = component(spec, i);
            break;
        case TYPE_BLOCK: {
            const Cell* c = block::head(spec);
            if (block::length(spec) < dims) error::raise(error::ERR_SYNTAX_MALCONSTRUCT, spec);
            for (int i = 0; i < dims; i++) {
                if (type_of(&c[i]) == TYPE_INTEGER) v[i] = double(int_value(&c[i]));
                else if (type_of(&c[i]) == TYPE_FLOAT) v[i] = float_value(&c[i]);
                else error::raise(error::ERR_SYNTAX_MALCONSTRUCT, spec);
            }
            break;
        }
        case TYPE_STRING:
            from_text(out, spec, t);
            return;
        default:
            scalar::raise_bad_to(t, spec);
    }
    write_point(out, t, v);
}

// ---- form and mold (the same text) ----

int32_t text(const Cell* v, uint32_t buffer, int32_t budget) {
    int dims = dims_of(type_of(v));
    budget = scalar::emit(buffer, "(", budget);
    for (int i = 0; i < dims; i++) {
        if (i) budget = scalar::emit(buffer, ", ", budget);
        budget = scalar::emit(buffer, float_::to_text(double(component(v, i)), float_::KIND_POINT), budget);
    }
    return scalar::emit(buffer, ")", budget);
}
int32_t form(const Cell* v, uint32_t buffer, const Cell*, int32_t budget) { return text(v, buffer, budget); }
int32_t mold(const Cell* v, uint32_t buffer, bool, bool, bool, const Cell*, int32_t budget, int32_t) {
    return text(v, buffer, budget);
}

// ---- arithmetic ----

// The first two stack arguments, a point first; every component by float arithmetic in
// doubles, rounded to 32 bits.
void arith(int32_t op) {
    Cell* a = arg(0);
    Cell* b = arg(1);
    uint32_t t = type_of(a);
    int dims = dims_of(t);
    double other[3];
    uint32_t tb = type_of(b);
    if (tb == t) {
        for (int i = 0; i < dims; i++) other[i] = component(b, i);
    } else if (tb == TYPE_PAIR && t == TYPE_POINT2D) {
        other[0] = double(pair::x_of(b));
        other[1] = double(pair::y_of(b));
    } else if (tb == TYPE_INTEGER) {
        other[0] = other[1] = other[2] = double(int_value(b));
    } else if (tb == TYPE_FLOAT || tb == TYPE_PERCENT) {
        other[0] = other[1] = other[2] = double(float(float_value(b)));
    } else {
        error::raise_type(error::ERR_SCRIPT_INVALID_TYPE, tb);
    }
    double r[3] = {0, 0, 0};
    for (int i = 0; i < dims; i++) r[i] = float_::arith(double(component(a, i)), other[i], op);
    write_point(a, t, r);
    stack::keep_result_slot();
}

void add() { arith(integer::OP_ADD); }
void subtract() { arith(integer::OP_SUBTRACT); }
void multiply() { arith(integer::OP_MULTIPLY); }
void divide() { arith(integer::OP_DIVIDE); }
void remainder() { arith(integer::OP_REMAINDER); }

void absolute() {
    Cell* v = arg(0);
    for (int i = 0; i < dims_of(type_of(v)); i++) set_component(v, i, std::fabs(double(component(v, i))));
    stack::keep_result_slot();
}

void negate(Cell* v) {
    for (int i = 0; i < dims_of(type_of(v)); i++) set_component(v, i, 0.0 - double(component(v, i)));
}

// Each component by the float rounding. A pair or point scale rounds component by component;
// an integer scale is used as the same float scale, so that the result stays a float.
void round(Cell* v, Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceiling, bool half_ceiling) {
    if (scale && type_of(scale) == TYPE_MONEY) scalar::raise_not_related_calling(TYPE_MONEY);
    int dims = dims_of(type_of(v));
    Cell scales[3];
    if (scale) {
        uint32_t ts = type_of(scale);
        bool pair_scale = ts == TYPE_PAIR && dims == 2;
        bool point_scale = ts == TYPE_POINT2D || ts == TYPE_POINT3D;
        for (int i = 0; i < dims; i++) {
            if (pair_scale) set_float(&scales[i], double(i == 0 ? pair::x_of(scale) : pair::y_of(scale)));
            else if (point_scale) set_float(&scales[i], i < dims_of(ts) ? double(component(scale, i)) : 0.0);
            else if (ts == TYPE_INTEGER) set_float(&scales[i], double(int_value(scale)));
            else scales[i] = *scale;
        }
    }
    double r[3] = {0, 0, 0};
    for (int i = 0; i < dims; i++) {
        Cell c;
        set_float(&c, double(component(v, i)));
        float_::round(&c, scale ? &scales[i] : nullptr, even, down, half_down, floor, ceiling, half_ceiling);
        r[i] = type_of(&c) == TYPE_INTEGER ? double(int_value(&c)) : float_value(&c);
    }
    write_point(v, type_of(v), r);
    stack::keep_result_slot();
}

// ---- random ----

void draw_random(Cell* v, bool seed, bool secure, bool only) {
    int dims = dims_of(type_of(v));
    if (seed) {
        random::seed(hashtable::murmur3(payload_bytes(v), size_t(dims) * 4));
        set_unset(v);
        return;
    }
    auto float_random = actions::get<actions::RandomFn>(TYPE_FLOAT, ACT_RANDOM);
    for (int i = 0; i < dims; i++) {
        float f = component(v, i);
        if (f == 0.0f) continue;
        Cell c;
        set_float(&c, double(f));
        float_random(&c, false, secure, only);
        set_component(v, i, float_value(&c));
    }
}

// ---- compare ----

int32_t compare(const Cell* a, const Cell* b_in, int32_t op) {
    uint32_t t = type_of(a);
    int dims = dims_of(t);
    Cell b = *b_in;
    if (type_of(&b) == TYPE_PAIR && t == TYPE_POINT2D) {
        // Strict equality and sameness need the same datatype.
        if (op == actions::OP_STRICT_EQUAL || op == actions::OP_SAME) return 1;
        point2D::write_cell(&b, double(pair::x_of(&b)), double(pair::y_of(&b)));
    } else if (type_of(&b) != t) {
        return -2;
    }
    switch (op) {
        case actions::OP_STRICT_EQUAL:
            for (int i = 0; i < dims; i++)
                if (!(component(a, i) == component(&b, i))) return 1;
            return 0;
        case actions::OP_SAME:
            for (int i = 0; i < dims; i++)
                if (data_word(a, i) != data_word(&b, i)) return 1;
            return 0;
        case actions::OP_LESSER: case actions::OP_LESSER_EQUAL: case actions::OP_GREATER:
        case actions::OP_GREATER_EQUAL: case actions::OP_SORT: case actions::OP_CASE_SORT: {
            double d = 0;
            for (int i = 0; i < dims; i++) {
                d = double(component(a, i)) - double(component(&b, i));
                if (!float_::almost_equal32(float(d), 0.0f)) break;
            }
            return (d > 0) - (d < 0);
        }
        default:
            for (int i = 0; i < dims; i++)
                if (!float_::almost_equal32(component(a, i), component(&b, i))) return 1;
            return 0;
    }
}

// ---- path access, pick, reverse ----

void eval_path(Cell* out, Cell* parent, Cell* element, Cell* value, const actions::PathStep& step) {
    int32_t n = field_of(element, dims_of(type_of(parent)));
    if (n < 0) error::raise(error::ERR_SCRIPT_INVALID_PATH, step.path ? step.path : element, element);
    if (!value) {
        set_float(out, double(component(parent, n - 1)));
        return;
    }
    uint32_t tv = type_of(value);
    if (tv != TYPE_INTEGER && tv != TYPE_FLOAT) error::raise_type(error::ERR_SCRIPT_INVALID_TYPE, tv);
    set_component(parent, n - 1, tv == TYPE_INTEGER ? double(int_value(value)) : float_value(value));
    scalar::store_back(parent, step);
    *out = *value;
}

void pick(Cell* out, Cell* v, int32_t index, Cell* index_cell) {
    int dims = dims_of(type_of(v));
    int32_t n;
    if (scalar::is_field_word(index_cell)) {
        n = field_of(index_cell, dims);
        if (n < 0) {
            Cell dt;
            set_datatype(&dt, type_of(v));
            error::raise(error::ERR_SCRIPT_CANNOT_USE, index_cell, &dt);
        }
    } else {
        if (type_of(index_cell) != TYPE_INTEGER || index < 1 || index > dims)
            error::raise(error::ERR_SCRIPT_OUT_OF_RANGE, index_cell);
        n = index;
    }
    set_float(out, double(component(v, n - 1)));
}

// point2D! swaps x and y, point3D! x and z.
void reverse(Cell* v, Cell*, Cell*) {
    int last = dims_of(type_of(v)) - 1;
    uint32_t first = data_word(v, 0);
    set_data_word(v, 0, data_word(v, last));
    set_data_word(v, last, first);
}

void register_point(uint32_t t) {
    actions::TypeSpec spec{t, {}};
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
    actions::put(spec, ACT_ROUND, &point::round);
    actions::put(spec, ACT_SUBTRACT, &subtract);
    actions::put(spec, ACT_PICK, &pick);
    actions::put(spec, ACT_REVERSE, &reverse);
    actions::register_type(spec);
}

}  // namespace
}  // namespace zel::point

namespace zel::point2D {

Cell* append_new(uint32_t block_node, double x, double y) {
    Cell* c = memory::append_cell(block_node);
    write_cell(c, x, y);
    return c;
}

Cell* push(double x, double y) {
    Cell* c = stack::push();
    write_cell(c, x, y);
    return c;
}

void set_result(double x, double y) {
    Cell c;
    write_cell(&c, x, y);
    stack::set_result(&c);
}

void arith(int32_t op) { point::arith(op); }

void from_text(Cell* out, const Cell* text) { point::from_text(out, text, TYPE_POINT2D); }

}  // namespace zel::point2D

namespace zel::point3D {

Cell* append_new(uint32_t block_node, double x, double y, double z) {
    Cell* c = memory::append_cell(block_node);
    write_cell(c, x, y, z);
    return c;
}

Cell* push(double x, double y, double z) {
    Cell* c = stack::push();
    write_cell(c, x, y, z);
    return c;
}

void set_result(double x, double y, double z) {
    Cell c;
    write_cell(&c, x, y, z);
    stack::set_result(&c);
}

void arith(int32_t op) { point::arith(op); }

void from_text(Cell* out, const Cell* text) { point::from_text(out, text, TYPE_POINT3D); }

}  // namespace zel::point3D

namespace zel::datatypes {

void register_point2d() { point::register_point(TYPE_POINT2D); }
void register_point3d() { point::register_point(TYPE_POINT3D); }

}  // namespace zel::datatypes
