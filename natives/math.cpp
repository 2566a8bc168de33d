// The math natives: the sign tests (negative? positive? sign? zero? NaN?), max and min, shift,
// to-hex, the trigonometric natives in degrees (or radians), the logarithms, exp and
// square-root. Floating-point work is IEEE double through the C library; none of these
// raises for a domain or range problem (NaN and infinities come out as the library gives
// them). None of them evaluates Zel code.
#include <cmath>
#include <cstdint>
#include <string>

#include "core/actions.h"
#include "core/context.h"
#include "core/error.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/scalar/integer.h"
#include "datatypes/scalar/money.h"
#include "datatypes/scalar/pair.h"
#include "datatypes/scalar/point.h"
#include "datatypes/scalar/tuple.h"
#include "datatypes/series/string.h"
#include "natives/native_support.h"
#include "natives/native_units.h"

namespace zel::natives {

namespace {

constexpr double PI = 3.141592653589793;
constexpr double EPSILON = 2.220446049250313e-16;   // 2^-52
constexpr double LN_2 = 0.6931471805599453;
constexpr double E = 2.718281828459045;

void set_result_float(double v) {
    Cell r;
    set_float(&r, v);
    stack::set_result(&r);
}

void set_result_logic(bool v) {
    Cell r;
    set_logic(&r, v);
    stack::set_result(&r);
}

void set_result_integer(int32_t v) {
    Cell r;
    set_integer(&r, v);
    stack::set_result(&r);
}

// `natives/math-arg`: an integer! argument becomes the float! of its value and a percent! is
// retyped float! with the same bits, in place; returns the double.
double math_arg(int slot, int32_t n) {
    Cell* a = arg(n);
    switch (type_of(a)) {
        case TYPE_INTEGER: set_float(a, double(int_value(a))); break;
        case TYPE_PERCENT: retype(a, TYPE_FLOAT); break;
        case TYPE_FLOAT: break;
        default: raise_arg_type(slot, n, type_of(a));
    }
    return float_value(a);
}

// ---- sign tests ----

// The sign of a number!, money! or time! argument: -1, 0 or 1; NaN gives 0.
int32_t sign_of(int slot) {
    const Cell* v = arg(0);
    switch (type_of(v)) {
        case TYPE_MONEY: return money::sign_of(v);
        case TYPE_INTEGER: return integer::sign(int_value(v));
        case TYPE_FLOAT: case TYPE_PERCENT: case TYPE_TIME: {
            double d = float_value(v);
            return (d > 0.0) - (d < 0.0);
        }
        default: raise_arg_type(slot, 0, type_of(v));
    }
}

void negative_q(const int32_t* refs) {
    set_result_logic(sign_of(SLOT_negative_q) < 0);
}

void positive_q(const int32_t* refs) {
    set_result_logic(sign_of(SLOT_positive_q) > 0);
}

void sign_q(const int32_t* refs) {
    set_result_integer(sign_of(SLOT_sign_q));
}

void zero_q(const int32_t* refs) {
    const Cell* v = arg(0);
    bool zero;
    switch (type_of(v)) {
        case TYPE_MONEY: zero = money::is_zero(v); break;
        case TYPE_CHAR: zero = char_value(v) == 0; break;
        case TYPE_INTEGER: zero = int_value(v) == 0; break;
        case TYPE_FLOAT: case TYPE_PERCENT: case TYPE_TIME: zero = float_value(v) == 0.0; break;
        case TYPE_PAIR: zero = pair::x_of(v) == 0 && pair::y_of(v) == 0; break;
        case TYPE_POINT2D: zero = point::component(v, 0) == 0.0f && point::component(v, 1) == 0.0f; break;
        case TYPE_POINT3D:
            zero = point::component(v, 0) == 0.0f && point::component(v, 1) == 0.0f && point::component(v, 2) == 0.0f;
            break;
        case TYPE_TUPLE: zero = tuple::all_zero(v); break;
        default: raise_arg_type(SLOT_zero_q, 0, type_of(v));
    }
    set_result_logic(zero);
}

// NaN?: the 64-bit payload read as a double (an integer! is not converted, and is never NaN).
void nan_q(const int32_t* refs) {
    const Cell* v = arg(0);
    bool nan = (type_of(v) == TYPE_FLOAT || type_of(v) == TYPE_PERCENT) && std::isnan(float_value(v));
    set_result_logic(nan);
}

// ---- max and min ----

bool is_nan_number(const Cell* v) {
    return (type_of(v) == TYPE_FLOAT || type_of(v) == TYPE_PERCENT) && std::isnan(float_value(v));
}

inline double pick(double a, double b, bool want_max) { return want_max ? (a < b ? b : a) : (b < a ? b : a); }
inline int32_t pick(int32_t a, int32_t b, bool want_max) { return want_max ? (a < b ? b : a) : (b < a ? b : a); }

// The coordinates of a pair!, point2D! or point3D! as doubles; returns the count.
int coordinates(const Cell* v, double* out) {
    switch (type_of(v)) {
        case TYPE_PAIR: out[0] = pair::x_of(v); out[1] = pair::y_of(v); return 2;
        case TYPE_POINT2D: out[0] = point::component(v, 0); out[1] = point::component(v, 1); return 2;
        default:
            out[0] = point::component(v, 0);
            out[1] = point::component(v, 1);
            out[2] = point::component(v, 2);
            return 3;
    }
}

bool is_coordinate_type(uint32_t t) { return t == TYPE_PAIR || t == TYPE_POINT2D || t == TYPE_POINT3D; }
bool is_int_or_float(uint32_t t) { return t == TYPE_INTEGER || t == TYPE_FLOAT; }

// pair!, point2D!, point3D! against a value of the same kind or an integer! or float!
// compared with every coordinate. A pair! against a point2D! gives a point2D!. Returns false
// when the operands are not such a combination (mixed point dimensions).
bool min_max_coordinates(const Cell* a, const Cell* b, bool want_max, Cell* out) {
    const Cell* shape = is_coordinate_type(type_of(a)) ? a : b;
    const Cell* other = shape == a ? b : a;
    uint32_t st = type_of(shape), ot = type_of(other);
    if (is_int_or_float(ot)) {
        if (st == TYPE_PAIR) {
            int32_t n = ot == TYPE_INTEGER ? int_value(other) : integer::from_double_checked(float_value(other));
            pair::write_cell(out, pick(pair::x_of(shape), n, want_max), pick(pair::y_of(shape), n, want_max));
            return true;
        }
        double n = ot == TYPE_INTEGER ? double(int_value(other)) : float_value(other);
        double c[3] = {};
        int count = coordinates(shape, c);
        *out = *shape;
        for (int i = 0; i < count; i++) point::set_component(out, i, pick(c[i], n, want_max));
        return true;
    }
    if (st == TYPE_PAIR && ot == TYPE_PAIR) {
        pair::write_cell(out, pick(pair::x_of(a), pair::x_of(b), want_max), pick(pair::y_of(a), pair::y_of(b), want_max));
        return true;
    }
    bool two_d = (st == TYPE_PAIR || st == TYPE_POINT2D) && (ot == TYPE_PAIR || ot == TYPE_POINT2D);
    if (!two_d && !(st == TYPE_POINT3D && ot == TYPE_POINT3D)) return false;
    double ca[3] = {}, cb[3] = {};
    coordinates(a, ca);
    coordinates(b, cb);
    if (two_d) point2D::write_cell(out, pick(ca[0], cb[0], want_max), pick(ca[1], cb[1], want_max));
    else point3D::write_cell(out, pick(ca[0], cb[0], want_max), pick(ca[1], cb[1], want_max), pick(ca[2], cb[2], want_max));
    return true;
}

// A byte from an integer! or float! compared with every byte of a tuple: clipped to 0-255 in
// double space (NaN gives 0).
uint8_t tuple_byte(const Cell* v) {
    double d = type_of(v) == TYPE_INTEGER ? double(int_value(v)) : float_value(v);
    if (!(d > 0.0)) return 0;
    return d >= 255.0 ? 255 : uint8_t(d);
}

// tuple! byte by byte, against another tuple (the shorter one's missing bytes count as 0) or
// an integer! or float! compared with every byte. Returns false for other combinations.
bool min_max_tuples(const Cell* a, const Cell* b, bool want_max, Cell* out) {
    const Cell* shape = type_of(a) == TYPE_TUPLE ? a : b;
    const Cell* other = shape == a ? b : a;
    uint8_t bytes[tuple::MAX_COUNT] = {};
    uint32_t n = tuple::count(shape);
    if (type_of(other) == TYPE_TUPLE) {
        uint32_t m = tuple::count(other);
        uint32_t len = n > m ? n : m;
        for (uint32_t i = 0; i < len; i++) {
            int32_t x = i < tuple::count(a) ? tuple::bytes(a)[i] : 0;
            int32_t y = i < tuple::count(b) ? tuple::bytes(b)[i] : 0;
            bytes[i] = uint8_t(pick(x, y, want_max));
        }
        tuple::write_cell(out, bytes, len);
        return true;
    }
    if (!is_int_or_float(type_of(other))) return false;
    int32_t byte = tuple_byte(other);
    for (uint32_t i = 0; i < n; i++) bytes[i] = uint8_t(pick(int32_t(tuple::bytes(shape)[i]), byte, want_max));
    tuple::write_cell(out, bytes, n);
    return true;
}

// `natives/min-max`.
void min_max(int slot, bool want_max, const int32_t* refs) {
    const Cell* a = arg(0);
    const Cell* b = arg(1);
    uint32_t ta = type_of(a), tb = type_of(b);
    Cell out;
    // A NaN against another number wins.
    if (is_number_type(ta) && is_number_type(tb)) {
        if (is_nan_number(a)) return stack::keep_result_slot();
        if (is_nan_number(b)) return stack::set_result(b);
    }
    if (is_coordinate_type(ta) || is_coordinate_type(tb)) {
        if (min_max_coordinates(a, b, want_max, &out)) return stack::set_result(&out);
    } else if (ta == TYPE_TUPLE || tb == TYPE_TUPLE) {
        if (min_max_tuples(a, b, want_max, &out)) return stack::set_result(&out);
    }
    // Anything else: the lesser-than comparison chooses; the value is kept as it is.
    bool a_less = actions::compare(a, b, actions::OP_LESSER);
    if (want_max == a_less) stack::set_result(b);
    else stack::keep_result_slot();
}

void max(const int32_t* refs) { min_max(SLOT_max, true, refs); }
void min(const int32_t* refs) { min_max(SLOT_min, false, refs); }

// ---- bits ----

void shift(const int32_t* refs) {
    int32_t data = int_value(arg(0));
    int32_t bits = int_value(arg(1));
    if (bits < 0) bits = 0;
    int32_t r;
    if (used(refs, 0)) r = bits > 31 ? 0 : int32_t(uint32_t(data) << bits);
    else if (used(refs, 1)) r = bits > 31 ? 0 : int32_t(uint32_t(data) >> bits);
    else r = bits > 31 ? (data < 0 ? -1 : 0) : data >> bits;
    set_result_integer(r);
}

// to-hex: the 32-bit value as eight upper-case hex digits (two's complement), or its last n.
void to_hex(const int32_t* refs) {
    std::string digits = string::hex_digits(uint32_t(int_value(arg(0))), false);
    if (Cell* size = ref_arg(refs, 0)) {
        int32_t n = int_value(size);
        if (n <= 0) error::raise(error::ERR_SCRIPT_INVALID_ARG, size);
        if (n < 8) digits = digits.substr(size_t(8 - n));
    }
    Cell r;
    set_word(&r, TYPE_ISSUE, context::global, symbol::intern(digits), -1);
    stack::set_result(&r);
}

// ---- trigonometry ----

enum class Trig { SINE, COSINE, TANGENT };

// `trig/reduce-degrees`: brings an angle in degrees into the range where the function is
// computed most exactly, then converts it to radians.
double reduce_degrees(double a, Trig kind) {
    a = std::fmod(a, 360.0);
    if (a > 180.0 || a < -180.0) a = a < 0.0 ? a + 360.0 : a - 360.0;
    if (a > 90.0 || a < -90.0) {
        if (kind == Trig::TANGENT) a = a < 0.0 ? a + 180.0 : a - 180.0;
        else if (kind == Trig::SINE) a = a < 0.0 ? -180.0 - a : 180.0 - a;
    }
    return a * PI / 180.0;
}

void trig(int slot, Trig kind, const int32_t* refs) {
    double a = math_arg(slot, 0);
    if (!used(refs, 0)) a = reduce_degrees(a, kind);
    double r;
    if (kind == Trig::TANGENT) {
        if (a == PI / 2) r = HUGE_VAL;
        else if (a == -PI / 2) r = -HUGE_VAL;
        else r = std::tan(a);
    } else {
        r = kind == Trig::SINE ? std::sin(a) : std::cos(a);
        if (std::fabs(r) < EPSILON) r = 0.0;
    }
    set_result_float(r);
}

void sine(const int32_t* refs) { trig(SLOT_sine, Trig::SINE, refs); }
void cosine(const int32_t* refs) { trig(SLOT_cosine, Trig::COSINE, refs); }
void tangent(const int32_t* refs) { trig(SLOT_tangent, Trig::TANGENT, refs); }

// arcsine, arccosine, arctangent: the result in degrees unless /radians.
void arc(int slot, double (*fn)(double), const int32_t* refs) {
    double r = fn(math_arg(slot, 0));
    if (!used(refs, 0)) r = r * 180.0 / PI;
    set_result_float(r);
}

void arcsine(const int32_t* refs) { arc(SLOT_arcsine, std::asin, refs); }
void arccosine(const int32_t* refs) { arc(SLOT_arccosine, std::acos, refs); }
void arctangent(const int32_t* refs) { arc(SLOT_arctangent, std::atan, refs); }

// arctangent2: the angle of (x, y), in degrees within (-180, 180] unless /radians.
void arctangent2(const int32_t* refs) {
    double y = math_arg(SLOT_arctangent2, 0);
    double x = math_arg(SLOT_arctangent2, 1);
    double r = std::atan2(y, x);
    if (!used(refs, 0)) {
        r = r * 180.0 / PI;
        if (r == -180.0) r = 180.0;   // atan2 gives -pi for y = -0.0; the range excludes -180
    }
    set_result_float(r);
}

// ---- logarithms, exp, square-root ----

void unary(int slot, double (*fn)(double), const int32_t* refs) {
    set_result_float(fn(math_arg(slot, 0)));
}

double log2_of(double x) { return std::log(x) / LN_2; }
double exp_of(double x) { return std::pow(E, x); }
double log10_of(double x) { return std::log10(x); }
double log_of(double x) { return std::log(x); }
double sqrt_of(double x) { return std::sqrt(x); }

void log_2(const int32_t* refs) { unary(SLOT_log_2, log2_of, refs); }
void log_10(const int32_t* refs) { unary(SLOT_log_10, log10_of, refs); }
void log_e(const int32_t* refs) { unary(SLOT_log_e, log_of, refs); }
void exp(const int32_t* refs) { unary(SLOT_exp, exp_of, refs); }
void square_root(const int32_t* refs) { unary(SLOT_square_root, sqrt_of, refs); }

}  // namespace

void register_math() {
    set<SLOT_negative_q, negative_q>();
    set<SLOT_positive_q, positive_q>();
    set<SLOT_sign_q, sign_q>();
    set<SLOT_zero_q, zero_q>();
    set<SLOT_nan_q, nan_q>();
    set<SLOT_max, max>();
    set<SLOT_min, min>();
    set<SLOT_shift, shift>();
    set<SLOT_to_hex, to_hex>();
    set<SLOT_sine, sine>();
    set<SLOT_cosine, cosine>();
    set<SLOT_tangent, tangent>();
    set<SLOT_arcsine, arcsine>();
    set<SLOT_arccosine, arccosine>();
    set<SLOT_arctangent, arctangent>();
    set<SLOT_arctangent2, arctangent2>();
    set<SLOT_log_2, log_2>();
    set<SLOT_log_10, log_10>();
    set<SLOT_log_e, log_e>();
    set<SLOT_exp, exp>();
    set<SLOT_square_root, square_root>();
}

}  // namespace zel::natives
