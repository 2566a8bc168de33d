// float! and percent! (see float.h).
#include "datatypes/scalar/float.h"

#include <cfloat>
#include <cmath>
#include <cstring>
#include <utility>

#include "core/actions.h"
#include "core/error.h"
#include "core/memory.h"
#include "core/stack.h"
#include "datatypes/datatypes.h"
#include "datatypes/scalar/datatype.h"
#include "datatypes/scalar/float_text.h"
#include "datatypes/scalar/integer.h"
#include "datatypes/scalar/money.h"
#include "datatypes/scalar/random.h"
#include "core/block.h"
#include "io/lexer.h"

namespace zel::float_ {

namespace {

using stack::arg;
using integer::OP_ADD;
using integer::OP_DIVIDE;
using integer::OP_MULTIPLY;
using integer::OP_REMAINDER;
using integer::OP_SUBTRACT;

uint64_t bits_of(double x) {
    uint64_t b;
    std::memcpy(&b, &x, 8);
    return b;
}

bool is_float_like(uint32_t t) { return t == TYPE_FLOAT || t == TYPE_PERCENT || t == TYPE_TIME; }

// The double of an integer!, char! or float-like operand.
double number_of(const Cell* c) {
    uint32_t t = type_of(c);
    return (t == TYPE_INTEGER || t == TYPE_CHAR) ? double(int_value(c)) : float_value(c);
}

}  // namespace

// ---- constructors ----

Cell* push(double x) {
    Cell* c = stack::push();
    set_float(c, x);
    return c;
}

Cell* append_new(uint32_t block_node, double x) {
    Cell* c = memory::append_cell(block_node);
    set_float(c, x);
    return c;
}

void set_result(double x) {
    Cell c;
    set_float(&c, x);
    stack::set_result(&c);
}

// ---- predicates ----

double abs(double x) { return std::fabs(x); }

bool almost_equal(double x, double y) {
    if (std::isnan(x) || std::isnan(y)) return false;
    if (x == y) return true;
    if (std::fabs(x - y) < 2.220446049250313e-16) return true;
    // Ordered images: negative doubles below positive ones, -0.0 and 0.0 on the same point.
    auto ordered = [](double d) {
        uint64_t b = bits_of(d);
        return (b >> 63) ? 0 - b : b | 0x8000000000000000ull;
    };
    uint64_t a = ordered(x), b = ordered(y);
    return (a > b ? a - b : b - a) <= 10;
}

bool almost_equal32(float f, float g) {
    if (f != f || g != g) return false;
    if (f == g) return true;
    uint32_t bf, bg;
    std::memcpy(&bf, &f, 4);
    std::memcpy(&bg, &g, 4);
    if (std::fabs(f) <= FLT_MAX && std::fabs(g) <= FLT_MAX) {
        auto signed_of = [](uint32_t b) {
            int64_t m = b & 0x7FFFFFFF;
            return (b & 0x80000000u) ? -m : m;
        };
        int64_t d = signed_of(bf) - signed_of(bg);
        return (d < 0 ? -d : d) <= 10;
    }
    if ((bf ^ bg) & 0x80000000u) return false;
    int64_t d = int64_t(bf & 0x7FFFFFFF) - int64_t(bg & 0x7FFFFFFF);
    return (d < 0 ? -d : d) < 0x100000;
}

// ---- arithmetic ----

double arith(double x, double y, int32_t op) {
    switch (op) {
        case OP_ADD: return x + y;
        case OP_SUBTRACT: return x - y;
        case OP_MULTIPLY: return x * y;
        case OP_DIVIDE: return x / y;
        case OP_REMAINDER:
            if (std::isfinite(y)) return std::fmod(x, y);
            if (std::isnan(y)) return y;
            return std::isfinite(x) ? x : std::nan("");
        default:
            scalar::raise_cannot_use(TYPE_FLOAT);
    }
}

void math(int32_t op) {
    Cell* a = arg(0);
    Cell* b = arg(1);
    uint32_t ta = type_of(a), tb = type_of(b);
    switch (tb) {
        case TYPE_TUPLE:
        case TYPE_MONEY:
            // Those types take a number as their first operand themselves.
            scalar::run_stack_action(tb, integer::action_of(op));
            return;
        case TYPE_VECTOR:
            scalar::run_swapped(tb, integer::action_of(op));
            return;
        case TYPE_PAIR: case TYPE_POINT2D: case TYPE_POINT3D:
            if (ta == TYPE_TIME) error::raise_type(error::ERR_SCRIPT_INVALID_TYPE, tb);
            if (op == OP_SUBTRACT || op == OP_DIVIDE) scalar::raise_not_related_action(integer::action_of(op), tb);
            scalar::run_swapped(tb, integer::action_of(op));
            return;
        case TYPE_INTEGER: case TYPE_FLOAT: case TYPE_PERCENT: case TYPE_TIME:
            break;
        case TYPE_CHAR:
            if (ta == TYPE_TIME || ta == TYPE_PERCENT) error::raise_type(error::ERR_SCRIPT_INVALID_TYPE, tb);
            break;
        default:
            error::raise_type(error::ERR_SCRIPT_INVALID_TYPE, tb);
    }
    double r = arith(number_of(a), number_of(b), op);
    uint32_t t = TYPE_FLOAT;
    if (ta == TYPE_TIME || tb == TYPE_TIME) t = TYPE_TIME;
    else if (ta == TYPE_PERCENT) t = TYPE_PERCENT;
    set_float_bits(a, t, r);
    stack::keep_result_slot();
}

void power() {
    Cell* a = arg(0);
    Cell* b = arg(1);
    uint32_t tb = type_of(b);
    if (tb != TYPE_INTEGER && tb != TYPE_FLOAT) scalar::raise_expect_arg(1, tb);
    uint32_t t = type_of(a) == TYPE_INTEGER ? TYPE_FLOAT : type_of(a);
    set_float_bits(a, t, std::pow(number_of(a), number_of(b)));
    stack::keep_result_slot();
}

int32_t compare(const Cell* a, const Cell* b, int32_t op) {
    uint32_t ta = type_of(a), tb = type_of(b);
    if ((op == actions::OP_STRICT_EQUAL || op == actions::OP_SAME || op == actions::OP_FIND) && tb != ta) return 1;
    double x = float_value(a), y;
    switch (tb) {
        case TYPE_INTEGER: y = double(int_value(b)); break;
        case TYPE_FLOAT: case TYPE_PERCENT: case TYPE_TIME: y = float_value(b); break;
        case TYPE_MONEY: {
            // The money comparison converts the float itself; ask it the other way round.
            int32_t r = actions::compare_raw(b, a, op);
            return r == -2 ? -2 : -r;
        }
        default: return -2;
    }
    switch (op) {
        case actions::OP_EQUAL: case actions::OP_NOT_EQUAL:
            return almost_equal(x, y) ? 0 : 1;
        case actions::OP_STRICT_EQUAL:
            return x == y ? 0 : 1;
        case actions::OP_SAME:
            return bits_of(x) == bits_of(y) ? 0 : 1;
        default:
            if (std::isnan(x) || std::isnan(y)) {
                // NaN equals nothing, so find and select never stop at it (nor find it).
                if (op == actions::OP_FIND) return 1;
                if (op == actions::OP_LESSER || op == actions::OP_LESSER_EQUAL) return 1;
                if (op == actions::OP_GREATER || op == actions::OP_GREATER_EQUAL) return -1;
                return 0;
            }
            return (x > y) - (x < y);
    }
}

void round(Cell* v, Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceiling, bool half_ceiling) {
    if (scale && type_of(scale) == TYPE_MONEY) scalar::raise_not_related_calling(TYPE_MONEY);
    uint32_t tv = type_of(v);
    double x = float_value(v);
    double s = tv == TYPE_PERCENT ? 0.01 : 1.0;
    if (scale) {
        uint32_t ts = type_of(scale);
        if (ts == TYPE_INTEGER) s = std::fabs(double(int_value(scale)));
        else if (is_float_like(ts)) s = std::fabs(float_value(scale));
        else error::raise_type(error::ERR_SCRIPT_INVALID_TYPE, ts);
        if (tv == TYPE_PERCENT) s /= 100.0;
    }
    // Nothing to round: a zero unit, or one below the value's precision.
    if (s == 0.0 || s < std::fabs(x) * 0x1p-53) {
        stack::keep_result_slot();
        return;
    }
    double q;
    int e = 0;
    bool scaled = false;
    if (s >= 1.0) {
        q = x / s;
    } else {
        std::frexp(s, &e);
        if (e < -1021) {
            x = std::ldexp(x, -e);
            s = std::ldexp(s, -e);
            scaled = true;
        }
        q = x * (1.0 / s);
    }
    double d;
    if (down) {
        d = std::trunc(q);
    } else if (floor) {
        d = std::floor(q);
    } else if (ceiling) {
        d = std::ceil(q);
    } else {
        // Nearest, deciding on the exact fraction of |q| (never on a rounded q + 0.5).
        double aq = std::fabs(q);
        double whole = std::floor(aq);
        double fraction = aq - whole;
        double m;
        if (fraction > 0.5) m = whole + 1.0;
        else if (fraction < 0.5) m = whole;
        else if (even) m = std::fmod(aq, 2.0) >= 1.0 ? whole + 1.0 : whole;
        else if (half_down) m = whole;
        else if (half_ceiling) m = std::fabs(std::ceil(q));
        else m = whole + 1.0;
        d = std::signbit(q) ? -m : m;
    }
    double r;
    if (!scaled && s >= 1.0) {
        r = d * s;
        if (std::isinf(r) && std::isfinite(x)) error::raise(error::ERR_MATH_OVERFLOW);
    } else {
        r = d / (1.0 / s);
        if (scaled) r = std::ldexp(r, e);
    }
    if (scale) {
        uint32_t ts = type_of(scale);
        if (ts == TYPE_INTEGER) set_integer(v, integer::from_double_checked(r));
        else set_float_bits(v, ts, r);
    } else {
        set_float_bits(v, tv, r);
    }
    stack::keep_result_slot();
}

bool scan_text(const Cell* str, double& out) {
    const SeriesBuf* b = memory::buf(series_node(str));
    int32_t head = series_head(str);
    int32_t count = int32_t(b->length()) - head;
    if (count <= 0) return false;
    int32_t err = lexer::SCAN_OK;
    out = lexer::scan_float_string(b->data() + size_t(head) * b->unit(), size_t(count), b->unit(), &err);
    return err == lexer::SCAN_OK;
}

namespace {

// ---- make and to (float! and percent! targets) ----

double from_binary(const Cell* bin) {
    const SeriesBuf* b = memory::buf(series_node(bin));
    int32_t head = series_head(bin);
    int32_t n = int32_t(b->length()) - head;
    if (n > 8) n = 8;
    uint64_t bits = 0;
    for (int32_t i = 0; i < n; i++) bits = (bits << 8) | b->data()[head + i];
    double d;
    std::memcpy(&d, &bits, 8);
    return d;
}

// [m e]: m x 10^trunc(e).
double from_block(const Cell* blk, uint32_t target) {
    if (block::length(blk) != 2) scalar::raise_bad_to(target, blk);
    const Cell* m = block::head(blk);
    for (int i = 0; i < 2; i++) {
        uint32_t t = type_of(&m[i]);
        if (t != TYPE_INTEGER && t != TYPE_FLOAT) scalar::raise_bad_to(TYPE_FLOAT, &m[i]);
    }
    return number_of(&m[0]) * std::pow(10.0, std::trunc(number_of(&m[1])));
}

void make(Cell* out, Cell*, Cell* spec, uint32_t target) {
    double d = 0.0;
    uint32_t t = type_of(spec);
    switch (t) {
        case TYPE_INTEGER: case TYPE_CHAR: d = number_of(spec); break;
        case TYPE_FLOAT: case TYPE_PERCENT: case TYPE_TIME: d = float_value(spec); break;
        case TYPE_MONEY: d = money::to_float(spec); break;
        case TYPE_BINARY: d = from_binary(spec); break;
        case TYPE_BLOCK: case TYPE_PAREN: case TYPE_HASH: d = from_block(spec, target); break;
        default:
            if (is_text_type(t)) {
                bool ok = target == TYPE_PERCENT ? percent::scan_text(spec, d) : scan_text(spec, d);
                if (!ok) scalar::raise_bad_to(target, spec);
                break;
            }
            scalar::raise_bad_to(target, spec);
    }
    set_float_bits(out, target, d);
}

// ---- random, form, mold ----

void draw_random(Cell* v, bool seed, bool secure, bool) {
    if (seed) {
        random::seed(data_word(v, 1) ^ data_word(v, 2));
        set_unset(v);
        return;
    }
    double x = float_value(v);
    double r;
    if (secure) {
        double r1 = random::secure_draw();
        double r2 = random::secure_draw();
        r = (r2 + r1 / 2147483647.0) * x / 2147483648.0;
    } else {
        r = x * double(random::draw()) / 2147483647.0;
    }
    set_float_bits(v, type_of(v), r);
}

int32_t form(const Cell* v, uint32_t buffer, const Cell*, int32_t budget) {
    return scalar::emit(buffer, to_text(float_value(v), KIND_FLOAT), budget);
}
int32_t mold(const Cell* v, uint32_t buffer, bool, bool, bool, const Cell*, int32_t budget, int32_t) {
    return scalar::emit(buffer, format_digits(float_value(v), 0, true), budget);
}
int32_t form_percent(const Cell* v, uint32_t buffer, const Cell*, int32_t budget) {
    return scalar::emit(buffer, to_text(float_value(v) * 100.0, KIND_PERCENT), budget);
}
int32_t mold_percent(const Cell* v, uint32_t buffer, bool, bool, bool, const Cell*, int32_t budget, int32_t) {
    return scalar::emit(buffer, to_text(float_value(v) * 100.0, KIND_PERCENT), budget);
}

// ---- actions ----

void add() { float_::math(OP_ADD); }
void subtract() { float_::math(OP_SUBTRACT); }
void multiply() { float_::math(OP_MULTIPLY); }
void divide() { float_::math(OP_DIVIDE); }
void remainder() { float_::math(OP_REMAINDER); }

void absolute() {
    Cell* v = arg(0);
    set_data_word(v, 2, data_word(v, 2) & 0x7FFFFFFFu);   // the sign bit of the double's high word
    stack::keep_result_slot();
}
void negate(Cell* v) { set_float_bits(v, type_of(v), 0.0 - float_value(v)); }

// Parity of the integral part; NaN and infinities are neither even nor odd.
bool is_even(const Cell* v) {
    double x = float_value(v);
    return std::isfinite(x) && std::fmod(std::trunc(x), 2.0) == 0.0;
}
bool is_odd(const Cell* v) {
    double x = float_value(v);
    return std::isfinite(x) && std::fmod(std::trunc(x), 2.0) != 0.0;
}

}  // namespace
}  // namespace zel::float_

namespace zel::percent {

Cell* append_new(uint32_t block_node, double x) {
    Cell* c = memory::append_cell(block_node);
    write_cell(c, x);
    return c;
}

Cell* push(double x) {
    Cell* c = stack::push();
    write_cell(c, x);
    return c;
}

void set_result(double x) {
    Cell c;
    write_cell(&c, x);
    stack::set_result(&c);
}

bool scan_text(const Cell* str, double& out) {
    // The text is loaded as a value: an integer!, float! or percent! literal gives its number.
    Cell v;
    if (!scalar::load_one_value(str, &v)) return false;
    switch (type_of(&v)) {
        case TYPE_INTEGER: out = double(int_value(&v)); return true;
        case TYPE_FLOAT: case TYPE_PERCENT: out = float_value(&v); return true;
        default: return false;
    }
}

}  // namespace zel::percent

namespace zel::datatypes {

void register_float() {
    using namespace float_;
    actions::TypeSpec spec{TYPE_FLOAT, {}};
    actions::put(spec, ACT_MAKE, &make);
    actions::put(spec, ACT_RANDOM, &draw_random);
    actions::put(spec, ACT_TO, &make);
    actions::put(spec, ACT_FORM, &form);
    actions::put(spec, ACT_MOLD, &mold);
    actions::put(spec, ACT_COMPARE, &float_::compare);
    actions::put(spec, ACT_ABSOLUTE, &absolute);
    actions::put(spec, ACT_ADD, &add);
    actions::put(spec, ACT_DIVIDE, &divide);
    actions::put(spec, ACT_MULTIPLY, &multiply);
    actions::put(spec, ACT_NEGATE, &negate);
    actions::put(spec, ACT_POWER, &float_::power);
    actions::put(spec, ACT_REMAINDER, &remainder);
    actions::put(spec, ACT_ROUND, &float_::round);
    actions::put(spec, ACT_SUBTRACT, &subtract);
    actions::put(spec, ACT_EVEN_Q, &is_even);
    actions::put(spec, ACT_ODD_Q, &is_odd);
    actions::register_type(spec);

    // percent! takes float!'s handlers but for its own text.
    actions::TypeSpec pct{TYPE_PERCENT, {}};
    for (int a : std::initializer_list<int>{ACT_MAKE, ACT_RANDOM, ACT_TO, ACT_COMPARE}) pct.handlers[a - 1] = actions::INHERIT;
    for (int a = ACT_ABSOLUTE; a <= ACT_ODD_Q; a++) pct.handlers[a - 1] = actions::INHERIT;
    actions::put(pct, ACT_FORM, &form_percent);
    actions::put(pct, ACT_MOLD, &mold_percent);
    actions::register_type(pct);
}

}  // namespace zel::datatypes
