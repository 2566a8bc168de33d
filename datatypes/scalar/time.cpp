// time! (see time.h).
#include "datatypes/scalar/time.h"

#include <charconv>
#include <cmath>
#include <string>
#include <utility>

#include "core/actions.h"
#include "core/error.h"
#include "core/memory.h"
#include "core/stack.h"
#include "datatypes/datatypes.h"
#include "datatypes/scalar/datatype.h"
#include "datatypes/scalar/float.h"
#include "datatypes/scalar/float_text.h"
#include "datatypes/scalar/integer.h"
#include "core/block.h"

namespace zel::time {

namespace {

using stack::arg;


uint32_t sym_hour, sym_minute, sym_second;

// The decimal digits of a whole double (no exponent, no fraction).
std::string whole_text(double x) {
    char buf[400];
    auto r = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed, 0);
    return std::string(buf, r.ptr);
}

}  // namespace

Cell* append_new(uint32_t block_node, double seconds) {
    Cell* c = memory::append_cell(block_node);
    write_cell(c, seconds);
    return c;
}

Cell* push(double seconds) {
    Cell* c = stack::push();
    write_cell(c, seconds);
    return c;
}

void set_result(double seconds) {
    Cell c;
    write_cell(&c, seconds);
    stack::set_result(&c);
}

double hours(double seconds) { return std::trunc(seconds / SECONDS_PER_HOUR); }

double minutes(double seconds) {
    return std::floor(std::fmod(std::fabs(seconds), SECONDS_PER_HOUR) / SECONDS_PER_MINUTE);
}

int32_t field_index(const Cell* word) {
    if (scalar::is_field(word, sym_hour, "hour")) return 1;
    if (scalar::is_field(word, sym_minute, "minute")) return 2;
    if (scalar::is_field(word, sym_second, "second")) return 3;
    return -1;
}

void field(Cell* out, double seconds, int32_t n) {
    switch (n) {
        case 1: set_integer(out, integer::from_double_checked(hours(seconds))); break;
        case 2: set_integer(out, integer::from_double_checked(minutes(seconds))); break;
        default: set_float(out, std::fmod(seconds, SECONDS_PER_MINUTE)); break;
    }
}

double with_field(double seconds, int32_t n, const Cell* value) {
    uint32_t t = type_of(value);
    if (n == 3) {
        if (t != TYPE_INTEGER && t != TYPE_FLOAT) error::raise(error::ERR_SCRIPT_INVALID_ARG, value);
        double s = t == TYPE_INTEGER ? double(int_value(value)) : float_value(value);
        return seconds - (std::fmod(seconds, SECONDS_PER_MINUTE) - s);
    }
    if (t != TYPE_INTEGER) error::raise(error::ERR_SCRIPT_INVALID_ARG, value);
    double v = double(int_value(value));
    if (n == 1) return seconds - (hours(seconds) - v) * SECONDS_PER_HOUR;
    return seconds - (minutes(seconds) - v) * SECONDS_PER_MINUTE;
}

int32_t to_text(double seconds, uint32_t buffer, int32_t budget) {
    if (!std::isfinite(seconds)) return scalar::emit(buffer, float_::to_text(seconds, float_::KIND_FLOAT), budget);
    if (seconds < 0) {
        budget = scalar::emit(buffer, "-", budget);
        seconds = -seconds;
    }
    seconds += 0.0;   // -0.0 becomes 0.0

    budget = scalar::emit(buffer, whole_text(hours(seconds)), budget);
    budget = scalar::emit(buffer, ":", budget);
    double m = minutes(seconds);
    if (m < 10) budget = scalar::emit(buffer, "0", budget);
    budget = scalar::emit(buffer, whole_text(m), budget);
    budget = scalar::emit(buffer, ":", budget);
    double s = std::fmod(seconds, SECONDS_PER_MINUTE);
    std::string text = s >= TOLERANCE ? float_::to_text(s, float_::KIND_TIME) : "00";
    if (text.size() == 1 || text[1] == '.') text.insert(text.begin(), '0');
    return scalar::emit(buffer, text, budget);
}

void from_text(Cell* out, const Cell* text) {
    if (!scalar::load_one_value(text, out) || type_of(out) != TYPE_TIME) scalar::raise_bad_to(TYPE_TIME, text);
}

namespace {

// ---- make and to ----

// [hours minutes seconds]: only the first value may be negative, and then the whole time is.
double from_block(const Cell* spec) {
    int32_t n = block::length(spec);
    if (n < 1 || n > 3) scalar::raise_bad_to(TYPE_TIME, spec);
    const Cell* v = block::head(spec);
    double parts[3] = {0, 0, 0};
    bool negative = false;
    for (int32_t i = 0; i < n; i++) {
        uint32_t t = type_of(&v[i]);
        double x;
        if (t == TYPE_INTEGER) x = double(int_value(&v[i]));
        else if (t == TYPE_FLOAT && i == 2) x = float_value(&v[i]);
        else scalar::raise_bad_to(TYPE_TIME, spec);
        if (x < 0) {
            if (i > 0) scalar::raise_bad_to(TYPE_TIME, spec);
            negative = true;
            x = -x;
        }
        parts[i] = x;
    }
    double total = parts[0] * SECONDS_PER_HOUR + parts[1] * SECONDS_PER_MINUTE + parts[2];
    return negative ? -total : total;
}

void make(Cell* out, Cell*, Cell* spec, uint32_t) {
    uint32_t t = type_of(spec);
    switch (t) {
        case TYPE_TIME: *out = *spec; break;
        case TYPE_INTEGER: write_cell(out, double(int_value(spec))); break;
        case TYPE_FLOAT: case TYPE_PERCENT: write_cell(out, float_value(spec)); break;
        case TYPE_BLOCK: case TYPE_PAREN: case TYPE_HASH: write_cell(out, from_block(spec)); break;
        default:
            if (!is_text_type(t)) scalar::raise_bad_to(TYPE_TIME, spec);
            from_text(out, spec);
    }
    out->header = TYPE_TIME;
}

// ---- form and mold (the same text) ----

int32_t form(const Cell* v, uint32_t buffer, const Cell*, int32_t budget) {
    return to_text(cell_value(v), buffer, budget);
}
int32_t mold(const Cell* v, uint32_t buffer, bool, bool, bool, const Cell*, int32_t budget, int32_t) {
    return to_text(cell_value(v), buffer, budget);
}

// ---- arithmetic ----

// The second operand of time arithmetic: a number or a time (dates are handled before). Money
// and tuples go on to their own arithmetic, which refuses a time operand by its datatype.
void check_operand(const Cell* b) {
    switch (type_of(b)) {
        case TYPE_INTEGER: case TYPE_FLOAT: case TYPE_PERCENT: case TYPE_TIME: case TYPE_MONEY: case TYPE_TUPLE: return;
        default: error::raise_type(error::ERR_SCRIPT_INVALID_TYPE, type_of(b));
    }
}

void add() {
    if (type_of(arg(1)) == TYPE_DATE) {
        // The date takes the time: date + time.
        scalar::run_swapped(TYPE_DATE, ACT_ADD);
        return;
    }
    check_operand(arg(1));
    float_::math(integer::OP_ADD);
}

void subtract() {
    if (type_of(arg(1)) == TYPE_DATE) scalar::raise_not_related_action(ACT_SUBTRACT, TYPE_TIME);
    check_operand(arg(1));
    float_::math(integer::OP_SUBTRACT);
}

void multiply() {
    if (type_of(arg(1)) == TYPE_TIME) scalar::raise_not_related_action(ACT_MULTIPLY, TYPE_TIME);
    check_operand(arg(1));
    float_::math(integer::OP_MULTIPLY);
}

// A time divided by a time is a ratio (float!); by a number, a time.
void divide() {
    check_operand(arg(1));
    bool ratio = type_of(arg(1)) == TYPE_TIME;
    float_::math(integer::OP_DIVIDE);
    retype(arg(0), ratio ? TYPE_FLOAT : TYPE_TIME);
}

// The float rounding on the seconds; an integer scale is used as the same float scale, so
// that the result is seconds again whatever its size. The result is always time!.
void round(Cell* v, Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceiling, bool half_ceiling) {
    if (scale && type_of(scale) == TYPE_MONEY) scalar::raise_not_related_calling(TYPE_MONEY);
    Cell s;
    Cell* sp = nullptr;
    if (scale) {
        s = *scale;
        if (type_of(&s) == TYPE_INTEGER) set_float(&s, double(int_value(&s)));
        sp = &s;
    }
    float_::round(v, sp, even, down, half_down, floor, ceiling, half_ceiling);
    retype(v, TYPE_TIME);
    stack::keep_result_slot();
}

// The whole seconds within the minute, nudged by the tolerance; their low bit. NaN and
// infinities are neither even nor odd.
bool parity(const Cell* v, int32_t& low) {
    double t = cell_value(v);
    if (!std::isfinite(t)) return false;
    double u = t >= 0 ? t + TOLERANCE : t - TOLERANCE;
    low = int32_t(std::trunc(std::fmod(u, SECONDS_PER_MINUTE))) & 1;
    return true;
}
bool is_even(const Cell* v) {
    int32_t low;
    return parity(v, low) && low == 0;
}
bool is_odd(const Cell* v) {
    int32_t low;
    return parity(v, low) && low == 1;
}

// ---- path access and pick ----

int32_t element_index(const Cell* element) {
    if (type_of(element) == TYPE_INTEGER) {
        int32_t n = int_value(element);
        return n >= 1 && n <= 3 ? n : -1;
    }
    return field_index(element);
}

void eval_path(Cell* out, Cell* parent, Cell* element, Cell* value, const actions::PathStep& step) {
    int32_t n = element_index(element);
    if (n < 0) error::raise(error::ERR_SCRIPT_INVALID_PATH, step.path ? step.path : element, element);
    if (!value) {
        field(out, cell_value(parent), n);
        return;
    }
    write_cell(parent, with_field(cell_value(parent), n, value));
    scalar::store_back(parent, step);
    *out = *value;
}

void pick(Cell* out, Cell* v, int32_t index, Cell* index_cell) {
    int32_t n;
    if (scalar::is_field_word(index_cell)) {
        n = field_index(index_cell);
        if (n < 0) {
            Cell dt;
            set_datatype(&dt, TYPE_TIME);
            error::raise(error::ERR_SCRIPT_CANNOT_USE, index_cell, &dt);
        }
    } else {
        if (type_of(index_cell) != TYPE_INTEGER || index < 1 || index > 3)
            error::raise(error::ERR_SCRIPT_OUT_OF_RANGE, index_cell);
        n = index;
    }
    field(out, cell_value(v), n);
}

}  // namespace
}  // namespace zel::time

namespace zel::datatypes {

void register_time() {
    using namespace time;
    actions::TypeSpec spec{TYPE_TIME, {}};
    for (int a : std::initializer_list<int>{ACT_RANDOM, ACT_COMPARE, ACT_ABSOLUTE, ACT_NEGATE, ACT_REMAINDER})
        spec.handlers[a - 1] = actions::INHERIT;
    actions::put(spec, ACT_MAKE, &make);
    actions::put(spec, ACT_TO, &make);
    actions::put(spec, ACT_FORM, &form);
    actions::put(spec, ACT_MOLD, &mold);
    actions::put(spec, ACT_EVAL_PATH, &eval_path);
    actions::put(spec, ACT_ADD, &add);
    actions::put(spec, ACT_DIVIDE, &divide);
    actions::put(spec, ACT_MULTIPLY, &multiply);
    actions::put(spec, ACT_ROUND, &time::round);
    actions::put(spec, ACT_SUBTRACT, &subtract);
    actions::put(spec, ACT_EVEN_Q, &is_even);
    actions::put(spec, ACT_ODD_Q, &is_odd);
    actions::put(spec, ACT_PICK, &pick);
    actions::register_type(spec);
}

}  // namespace zel::datatypes
