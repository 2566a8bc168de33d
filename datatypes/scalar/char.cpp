// char! (see char.h).
#include "datatypes/scalar/char.h"

#include <utility>

#include "core/actions.h"
#include "core/error.h"
#include "core/memory.h"
#include "core/stack.h"
#include "datatypes/datatypes.h"
#include "datatypes/scalar/datatype.h"
#include "datatypes/scalar/integer.h"
#include "datatypes/series/string.h"
#include "datatypes/series/utf8.h"

namespace zel::char_ {

namespace {

using stack::arg;


}  // namespace

Cell* push(uint32_t code_point) {
    Cell* c = stack::push();
    set_char(c, code_point);
    return c;
}

Cell* append_new(uint32_t block_node, uint32_t code_point) {
    Cell* c = memory::append_cell(block_node);
    set_char(c, code_point);
    return c;
}

void set_result(uint32_t code_point) {
    Cell c;
    set_char(&c, code_point);
    stack::set_result(&c);
}

void math(int32_t op) {
    Cell* a = arg(0);
    Cell* b = arg(1);
    int32_t y;
    switch (type_of(b)) {
        case TYPE_CHAR: case TYPE_INTEGER: y = int_value(b); break;
        case TYPE_FLOAT: y = integer::from_double_checked(float_value(b)); break;
        case TYPE_VECTOR:
            scalar::run_swapped(TYPE_VECTOR, integer::action_of(op));
            return;
        default:
            error::raise_type(error::ERR_SCRIPT_INVALID_TYPE, type_of(b));
    }
    // Division passes no result cell: the quotient is always truncated.
    Cell scratch;
    set_unset(&scratch);
    int32_t r = integer::arith(int_value(a), y, op, op == integer::OP_DIVIDE ? nullptr : &scratch);
    if (type_of(&scratch) == TYPE_FLOAT || r < 0 || uint32_t(r) > MAX_CODE_POINT) error::raise(error::ERR_MATH_OVERFLOW);
    set_char_value(a, uint32_t(r));
    stack::keep_result_slot();
}

namespace {

// ---- make and to ----

uint32_t checked(int64_t n, const Cell* value) {
    if (n < 0 || n > MAX_CODE_POINT) error::raise(error::ERR_SCRIPT_OUT_OF_RANGE, value);
    return uint32_t(n);
}

void make(Cell* out, Cell*, Cell* spec, uint32_t) {
    uint32_t cp = 0;
    uint32_t t = type_of(spec);
    switch (t) {
        case TYPE_CHAR: case TYPE_INTEGER: cp = checked(int_value(spec), spec); break;
        case TYPE_FLOAT: case TYPE_PERCENT: {
            double d = float_value(spec);
            if (!(d > -1.0 && d < double(MAX_CODE_POINT) + 1.0)) error::raise(error::ERR_SCRIPT_OUT_OF_RANGE, spec);
            cp = uint32_t(d);
            break;
        }
        case TYPE_BINARY: {
            const SeriesBuf* b = memory::buf(series_node(spec));
            int32_t head = series_head(spec);
            int32_t n = int32_t(b->length()) - head;
            if (n <= 0) scalar::raise_bad_to(TYPE_CHAR, spec);
            size_t used = 0;
            cp = utf8::decode(b->data() + head, size_t(n), used);
            if (cp == utf8::INVALID) scalar::raise_bad_to(TYPE_CHAR, spec);
            break;
        }
        default:
            if (!is_text_type(t)) scalar::raise_bad_to(TYPE_CHAR, spec);
            {
                const SeriesBuf* b = memory::buf(series_node(spec));
                int32_t head = series_head(spec);
                if (head < 0 || uint32_t(head) >= b->length()) scalar::raise_bad_to(TYPE_CHAR, spec);
                cp = string::char_at(b, uint32_t(head));
            }
    }
    set_char(out, cp);
}

// ---- form, mold, compare ----

int32_t form(const Cell* v, uint32_t buffer, const Cell*, int32_t budget) {
    string::append_char(buffer, char_value(v));
    return budget - 1;
}

int32_t mold(const Cell* v, uint32_t buffer, bool, bool all, bool, const Cell*, int32_t budget, int32_t) {
    uint32_t before = memory::buf(buffer)->length();
    string::append_ascii(buffer, "#\"");
    string::append_escaped(buffer, char_value(v), string::ESCAPE_STRING, all);
    string::append_char(buffer, '"');
    return budget - int32_t(memory::buf(buffer)->length() - before);
}

int32_t compare(const Cell* a, const Cell* b, int32_t op) {
    uint32_t tb = type_of(b);
    if ((op == actions::OP_STRICT_EQUAL || op == actions::OP_FIND || op == actions::OP_SAME) && tb != TYPE_CHAR)
        return 1;
    if (tb != TYPE_CHAR && tb != TYPE_INTEGER) return -2;
    int64_t x = char_value(a), y = int_value(b);
    return (x > y) - (x < y);
}

void add() { char_::math(integer::OP_ADD); }
void subtract() { char_::math(integer::OP_SUBTRACT); }
void multiply() { char_::math(integer::OP_MULTIPLY); }
void divide() { char_::math(integer::OP_DIVIDE); }
void remainder() { char_::math(integer::OP_REMAINDER); }
void and_() { char_::math(integer::OP_AND); }
void or_() { char_::math(integer::OP_OR); }
void xor_() { char_::math(integer::OP_XOR); }

}  // namespace
}  // namespace zel::char_

namespace zel::datatypes {

void register_char() {
    using namespace char_;
    actions::TypeSpec spec{TYPE_CHAR, {}};
    actions::put(spec, ACT_MAKE, &make);
    actions::put(spec, ACT_TO, &make);
    actions::put(spec, ACT_FORM, &form);
    actions::put(spec, ACT_MOLD, &mold);
    actions::put(spec, ACT_COMPARE, &compare);
    actions::put(spec, ACT_ADD, &add);
    actions::put(spec, ACT_DIVIDE, &divide);
    actions::put(spec, ACT_MULTIPLY, &multiply);
    actions::put(spec, ACT_REMAINDER, &remainder);
    actions::put(spec, ACT_SUBTRACT, &subtract);
    actions::put(spec, ACT_AND_T, &and_);
    actions::put(spec, ACT_OR_T, &or_);
    actions::put(spec, ACT_XOR_T, &xor_);
    for (int a : std::initializer_list<int>{ACT_RANDOM, ACT_ABSOLUTE, ACT_EVEN_Q, ACT_ODD_Q}) spec.handlers[a - 1] = actions::INHERIT;
    actions::register_type(spec);
}

}  // namespace zel::datatypes
