// integer! (see integer.h).
#include "datatypes/scalar/integer.h"

#include <climits>
#include <cstring>
#include <utility>

#include "core/actions.h"
#include "core/error.h"
#include "core/memory.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/datatypes.h"
#include "datatypes/scalar/datatype.h"
#include "datatypes/scalar/date.h"
#include "datatypes/scalar/float.h"
#include "datatypes/scalar/money.h"
#include "datatypes/scalar/random.h"
#include "datatypes/series/string.h"
#include "io/lexer.h"

namespace zel::integer {

namespace {

using stack::arg;

[[noreturn]] void overflow() { error::raise(error::ERR_MATH_OVERFLOW); }

// Raises expect-arg now, before any argument changes, when type lacks the action.
void require(uint32_t type, int action) { (void)actions::lookup(type, action); }

}  // namespace

int action_of(int32_t op) {
    static const int actions_by_op[] = {ACT_ADD, ACT_SUBTRACT, ACT_MULTIPLY, ACT_DIVIDE,
                                        ACT_REMAINDER, ACT_OR_T, ACT_AND_T, ACT_XOR_T};
    return op >= 0 && op < 8 ? actions_by_op[op] : ACT_ADD;
}

Cell* push(int32_t n) {
    Cell* c = stack::push();
    set_integer(c, n);
    return c;
}

Cell* append_new(uint32_t block_node, int32_t n) {
    Cell* c = memory::append_cell(block_node);
    set_integer(c, n);
    return c;
}

void set_result(int32_t n) {
    Cell c;
    set_integer(&c, n);
    stack::set_result(&c);
}

bool float_out_of_range(double x) { return !(x > -2147483649.0 && x < 2147483648.0); }

int32_t from_double_checked(double x) {
    if (float_out_of_range(x)) error::raise_type(error::ERR_SCRIPT_TYPE_LIMIT, TYPE_INTEGER);
    return int32_t(x);
}

int32_t abs_checked(int32_t n) {
    if (n == INT32_MIN) overflow();
    return n < 0 ? -n : n;
}

// Two digits a step, from a table of the pairs "00" to "99".
DecimalText to_decimal_text(int32_t n) {
    static constexpr char pairs[201] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    DecimalText t;
    char buf[12];
    int i = 12;
    uint32_t m = n < 0 ? 0u - uint32_t(n) : uint32_t(n);
    while (m >= 100) {
        uint32_t r = m % 100;
        m /= 100;
        buf[--i] = pairs[2 * r + 1];
        buf[--i] = pairs[2 * r];
    }
    if (m >= 10) {
        buf[--i] = pairs[2 * m + 1];
        buf[--i] = pairs[2 * m];
    } else {
        buf[--i] = char('0' + m);
    }
    if (n < 0) buf[--i] = '-';
    t.length = uint8_t(12 - i);
    std::memcpy(t.text, buf + i, t.length);
    return t;
}

int32_t arith(int32_t a, int32_t b, int32_t op, Cell* result) {
    int32_t r = 0;
    switch (op) {
        case OP_ADD:
            if (__builtin_add_overflow(a, b, &r)) {
                if (result) set_float(result, double(a) + double(b));
                return r;
            }
            break;
        case OP_SUBTRACT:
            if (__builtin_sub_overflow(a, b, &r)) {
                if (result) set_float(result, double(a) - double(b));
                return r;
            }
            break;
        case OP_MULTIPLY:
            if (__builtin_mul_overflow(a, b, &r)) {
                if (result) set_float(result, double(int64_t(a) * int64_t(b)));
                return r;
            }
            break;
        case OP_DIVIDE:
            if (b == 0) error::raise(error::ERR_MATH_ZERO_DIVIDE);
            if (a == INT32_MIN && b == -1) overflow();
            r = a / b;
            if (result && a % b != 0) {
                set_float(result, double(a) / double(b));
                return r;
            }
            break;
        case OP_REMAINDER:
            if (b == 0) error::raise(error::ERR_MATH_ZERO_DIVIDE);
            if (a == INT32_MIN && b == -1) overflow();
            r = a % b;
            break;
        case OP_OR: r = a | b; break;
        case OP_AND: r = a & b; break;
        case OP_XOR: r = a ^ b; break;
        default: error::raise(error::ERR_INTERNAL_NOT_DONE);
    }
    if (result) set_integer(result, r);
    return r;
}

void math(int32_t op) {
    Cell* a = arg(0);
    Cell* b = arg(1);
    uint32_t tb = type_of(b);
    switch (tb) {
        case TYPE_INTEGER: case TYPE_CHAR: {
            Cell r;
            arith(int_value(a), int_value(b), op, &r);
            *arg(0) = r;
            break;
        }
        case TYPE_FLOAT: case TYPE_PERCENT: case TYPE_TIME:
            float_::math(op);
            return;
        case TYPE_MONEY:
            scalar::run_stack_action(TYPE_MONEY, action_of(op));
            return;
        case TYPE_PAIR: case TYPE_POINT2D: case TYPE_POINT3D:
            if (op == OP_DIVIDE) scalar::raise_not_related_action(ACT_DIVIDE, TYPE_INTEGER);
            if (op == OP_SUBTRACT) {
                // n - p is done as (-p) + n.
                require(tb, ACT_NEGATE);
                require(tb, ACT_ADD);
                std::swap(*a, *b);
                actions::get<actions::UnaryFn>(tb, ACT_NEGATE)(arg(0));
                scalar::run_stack_action(tb, ACT_ADD);
                return;
            }
            scalar::run_swapped(tb, action_of(op));
            return;
        case TYPE_TUPLE:
            if (op == OP_SUBTRACT || op == OP_DIVIDE) scalar::raise_not_related_action(action_of(op), TYPE_INTEGER);
            scalar::run_swapped(tb, action_of(op));
            return;
        case TYPE_DATE:
            if (op != OP_ADD) scalar::raise_not_related_action(action_of(op), TYPE_INTEGER);
            scalar::run_swapped(tb, ACT_ADD);
            return;
        case TYPE_VECTOR:
            scalar::run_swapped(tb, action_of(op));
            return;
        default:
            error::raise_type(error::ERR_SCRIPT_INVALID_TYPE, tb);
    }
    stack::keep_result_slot();
}

bool scan_text(const Cell* str, int32_t& out) {
    const SeriesBuf* b = memory::buf(series_node(str));
    int32_t head = series_head(str);
    int32_t count = int32_t(b->length()) - head;
    if (count <= 0) return false;
    bool digit = false;
    for (int32_t i = head; i < head + count && !digit; i++) {
        uint32_t c = string::char_at(b, uint32_t(i));
        digit = c >= '0' && c <= '9';
    }
    if (!digit) return false;
    int32_t err = lexer::SCAN_OK;
    out = lexer::scan_integer_string(b->data() + size_t(head) * b->unit(), size_t(count), b->unit(), &err);
    return err == lexer::SCAN_OK;
}

namespace {

// ---- make and to ----

int32_t from_issue(const Cell* issue) {
    std::string_view text = symbol::spelling(word_symbol(issue));
    if (text.size() > 8) error::raise(error::ERR_SCRIPT_INVALID_DATA, issue);
    uint32_t v = 0;
    for (char c : text) {
        uint32_t d;
        if (c >= '0' && c <= '9') d = uint32_t(c - '0');
        else if (c >= 'a' && c <= 'f') d = uint32_t(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F') d = uint32_t(c - 'A' + 10);
        else error::raise(error::ERR_SCRIPT_INVALID_DATA, issue);
        v = (v << 4) | d;
    }
    return int32_t(v);
}

int32_t from_binary(const Cell* bin) {
    const SeriesBuf* b = memory::buf(series_node(bin));
    int32_t head = series_head(bin);
    int32_t n = int32_t(b->length()) - head;
    if (n > 4) n = 4;
    uint32_t v = 0;
    for (int32_t i = 0; i < n; i++) v = (v << 8) | b->data()[head + i];
    return int32_t(v);
}

void convert(Cell* out, Cell* spec, bool make) {
    int32_t n = 0;
    uint32_t t = type_of(spec);
    switch (t) {
        case TYPE_INTEGER: n = int_value(spec); break;
        case TYPE_LOGIC:
            if (!make) scalar::raise_bad_to(TYPE_INTEGER, spec);
            n = logic_value(spec) ? 1 : 0;
            break;
        case TYPE_CHAR: n = int32_t(char_value(spec)); break;
        case TYPE_FLOAT: case TYPE_PERCENT: n = from_double_checked(float_value(spec)); break;
        case TYPE_TIME: n = from_double_checked(float_value(spec) + 0.5); break;
        case TYPE_ISSUE: n = from_issue(spec); break;
        case TYPE_BINARY: n = from_binary(spec); break;
        case TYPE_DATE: n = date::epoch_seconds(spec); break;
        case TYPE_MONEY: n = money::to_integer(spec); break;
        default:
            if (is_text_type(t)) {
                if (!scan_text(spec, n)) scalar::raise_bad_to(TYPE_INTEGER, spec);
                break;
            }
            scalar::raise_bad_to(TYPE_INTEGER, spec);
    }
    set_integer(out, n);
}

void make(Cell* out, Cell*, Cell* spec, uint32_t) { convert(out, spec, true); }
void to(Cell* out, Cell*, Cell* spec, uint32_t) { convert(out, spec, false); }

// ---- random, form, mold, compare ----

// Works on the third word and keeps the cell's type (char! inherits it).
void draw_random(Cell* v, bool seed, bool secure, bool) {
    if (seed) {
        random::seed(uint32_t(int_value(v)));
        set_unset(v);
        return;
    }
    int32_t n = int_value(v);
    set_int_value(v, n == 0 ? 0 : int32_t(random::uniform_int(n, secure)));
}

int32_t form(const Cell* v, uint32_t buffer, const Cell*, int32_t budget) {
    return scalar::emit(buffer, to_decimal_text(int_value(v)).view(), budget);
}
int32_t mold(const Cell* v, uint32_t buffer, bool, bool, bool, const Cell*, int32_t budget, int32_t) {
    return scalar::emit(buffer, to_decimal_text(int_value(v)).view(), budget);
}

int32_t three_way(int64_t x, int64_t y) { return (x > y) - (x < y); }

int32_t compare(const Cell* a, const Cell* b, int32_t op) {
    uint32_t tb = type_of(b);
    if ((op == actions::OP_STRICT_EQUAL || op == actions::OP_FIND || op == actions::OP_SAME) && tb != TYPE_INTEGER)
        return 1;
    switch (tb) {
        case TYPE_INTEGER: case TYPE_CHAR:
            return three_way(int_value(a), int_value(b));
        case TYPE_FLOAT: case TYPE_PERCENT: case TYPE_TIME: {
            Cell f;
            set_float(&f, double(int_value(a)));
            return float_::compare(&f, b, op);
        }
        case TYPE_MONEY: {
            // The money comparison converts the integer itself; ask it the other way round.
            int32_t r = actions::compare_raw(b, a, op);
            return r == -2 ? -2 : -r;
        }
        default:
            return -2;
    }
}

// ---- arithmetic actions ----

void add() { math(OP_ADD); }
void subtract() { math(OP_SUBTRACT); }
void multiply() { math(OP_MULTIPLY); }
void divide() { math(OP_DIVIDE); }
void remainder() { math(OP_REMAINDER); }
void and_() { math(OP_AND); }
void or_() { math(OP_OR); }
void xor_() { math(OP_XOR); }

// absolute, even? and odd? work on the third word and keep the type (char! inherits them).
void absolute() {
    Cell* v = arg(0);
    set_int_value(v, int32_t(abs_checked(int_value(v))));
    stack::keep_result_slot();
}
void negate(Cell* v) {
    if (int_value(v) == INT32_MIN) overflow();
    set_int_value(v, -int_value(v));
}
void complement(Cell* v) { set_int_value(v, ~int_value(v)); }
bool is_even(const Cell* v) { return (int_value(v) & 1) == 0; }
bool is_odd(const Cell* v) { return (int_value(v) & 1) != 0; }

void power() {
    Cell* a = arg(0);
    Cell* b = arg(1);
    uint32_t tb = type_of(b);
    if (tb != TYPE_INTEGER && tb != TYPE_FLOAT) scalar::raise_expect_arg(1, tb);
    if (tb == TYPE_FLOAT || int_value(b) < 0) {
        float_::power();
        return;
    }
    int64_t base = int_value(a);
    int64_t result = 1;
    uint32_t e = uint32_t(int_value(b));
    bool fits = true;
    while (e) {
        if (e & 1) {
            result *= base;
            if (result < INT32_MIN || result > INT32_MAX) { fits = false; break; }
        }
        e >>= 1;
        if (e) {
            base *= base;
            if (base < INT32_MIN || base > INT32_MAX) { fits = false; break; }
        }
    }
    if (!fits) {
        float_::power();
        return;
    }
    set_integer(a, int32_t(result));
    stack::keep_result_slot();
}

void round(Cell* v, Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceiling, bool half_ceiling) {
    if (scale && type_of(scale) == TYPE_MONEY) scalar::raise_not_related_calling(TYPE_MONEY);
    if (scale && type_of(scale) != TYPE_INTEGER) {
        Cell f;
        set_float(&f, double(int_value(v)));
        Cell s = *scale;
        float_::round(&f, &s, even, down, half_down, floor, ceiling, half_ceiling);
        *v = f;
        stack::keep_result_slot();
        return;
    }
    // In 64 bits, so that every magnitude (2147483648 included) is exact.
    int64_t s = scale ? int_value(scale) : 1;
    if (s < 0) s = -s;
    int64_t n = int_value(v);
    if (s != 0) {
        int64_t mag = n < 0 ? -n : n;
        int64_t r = mag % s, q = mag / s;
        if (r != 0) {
            int64_t lower = mag - r, upper = mag + (s - r);
            int64_t m;
            if (down) m = lower;
            else if (floor) m = n > 0 ? lower : upper;
            else if (ceiling) m = n > 0 ? upper : lower;
            else if (r < s - r) m = lower;
            else if (r > s - r) m = upper;
            else if (even) m = (q & 1) ? upper : lower;
            else if (half_down) m = lower;
            else if (half_ceiling) m = n >= 0 ? upper : lower;
            else m = upper;
            int64_t result = n <= 0 ? -m : m;
            if (result < INT32_MIN || result > INT32_MAX) overflow();
            set_integer(v, int32_t(result));
        }
    }
    stack::keep_result_slot();
}

}  // namespace
}  // namespace zel::integer

namespace zel::datatypes {

void register_integer() {
    using namespace integer;
    actions::TypeSpec spec{TYPE_INTEGER, {}};
    actions::put(spec, ACT_MAKE, &make);
    actions::put(spec, ACT_RANDOM, &draw_random);
    actions::put(spec, ACT_TO, &to);
    actions::put(spec, ACT_FORM, &form);
    actions::put(spec, ACT_MOLD, &mold);
    actions::put(spec, ACT_COMPARE, &compare);
    actions::put(spec, ACT_ABSOLUTE, &absolute);
    actions::put(spec, ACT_ADD, &add);
    actions::put(spec, ACT_DIVIDE, &divide);
    actions::put(spec, ACT_MULTIPLY, &multiply);
    actions::put(spec, ACT_NEGATE, &negate);
    actions::put(spec, ACT_POWER, &power);
    actions::put(spec, ACT_REMAINDER, &remainder);
    actions::put(spec, ACT_ROUND, &integer::round);
    actions::put(spec, ACT_SUBTRACT, &subtract);
    actions::put(spec, ACT_EVEN_Q, &is_even);
    actions::put(spec, ACT_ODD_Q, &is_odd);
    actions::put(spec, ACT_AND_T, &and_);
    actions::put(spec, ACT_COMPLEMENT, &complement);
    actions::put(spec, ACT_OR_T, &or_);
    actions::put(spec, ACT_XOR_T, &xor_);
    actions::register_type(spec);
}

}  // namespace zel::datatypes
