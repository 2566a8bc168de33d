// tuple! (see tuple.h).
#include "datatypes/scalar/tuple.h"

#include <cmath>
#include <cstring>
#include <string_view>
#include <utility>

#include "core/actions.h"
#include "core/error.h"
#include "core/memory.h"
#include "core/runtime_words.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/datatypes.h"
#include "datatypes/scalar/datatype.h"
#include "datatypes/scalar/float.h"
#include "datatypes/scalar/integer.h"
#include "datatypes/scalar/random.h"
#include "core/block.h"
#include "datatypes/series/series.h"

namespace zel::tuple {

namespace {

using stack::arg;


uint8_t clamp(int64_t v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); }
// In double space: NaN gives 0, the fraction is dropped.
uint8_t clamp(double v) { return v >= 255.0 ? 255 : v > 0.0 ? uint8_t(v) : 0; }

}  // namespace

void write_cell(Cell* c, const uint8_t* data, uint32_t n) {
    if (n > MAX_COUNT) n = MAX_COUNT;
    c->header = TYPE_TUPLE;
    clear_payload(c);
    std::memcpy(bytes(c), data, n);
    set_count(c, n < MIN_COUNT ? MIN_COUNT : n);
}

Cell* push(uint32_t n, uint32_t w1, uint32_t w2, uint32_t w3) {
    Cell* c = stack::push();
    c->header = TYPE_TUPLE;
    set_data_word(c, 0, w1);
    set_data_word(c, 1, w2);
    set_data_word(c, 2, w3);
    set_count(c, n < MIN_COUNT ? MIN_COUNT : n > MAX_COUNT ? MAX_COUNT : n);
    return c;
}

Cell* append_new(uint32_t block_node, const uint8_t* data, uint32_t n) {
    Cell t;
    write_cell(&t, data, n);
    return block::append(block_node, &t);
}

Cell* push_from_ints(uint32_t n, const int32_t* ints) {
    uint8_t data[MAX_COUNT] = {};
    if (n > MAX_COUNT) n = MAX_COUNT;
    for (uint32_t i = 0; i < n; i++) data[i] = uint8_t(ints[i]);
    Cell* c = stack::push();
    write_cell(c, data, n);
    return c;
}

void from_binary(const Cell* binary, Cell* out) {
    const SeriesBuf* b = memory::buf(series_node(binary));
    int32_t head = series_head(binary) < 0 ? 0 : series_head(binary);
    int32_t n = int32_t(b->length()) - head;
    if (n < 0) n = 0;
    write_cell(out, b->data() + head, uint32_t(n > int32_t(MAX_COUNT) ? MAX_COUNT : n));
}

void from_hex_issue(const Cell* issue, Cell* out) {
    std::string_view text = symbol::spelling(word_symbol(issue));
    size_t n = text.size();
    if (n != 3 && n != 6 && n != 8) error::raise(error::ERR_SCRIPT_INVALID_DATA, issue);
    uint8_t digits[8];
    for (size_t i = 0; i < n; i++) {
        char c = text[i];
        if (c >= '0' && c <= '9') digits[i] = uint8_t(c - '0');
        else if (c >= 'a' && c <= 'f') digits[i] = uint8_t(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F') digits[i] = uint8_t(c - 'A' + 10);
        else error::raise(error::ERR_SCRIPT_INVALID_DATA, issue);
    }
    uint8_t data[4];
    uint32_t count = 0;
    if (n == 3) {
        for (size_t i = 0; i < 3; i++) data[count++] = uint8_t(digits[i] * 16 + digits[i]);
    } else {
        for (size_t i = 0; i < n; i += 2) data[count++] = uint8_t(digits[i] * 16 + digits[i + 1]);
    }
    write_cell(out, data, count);
}

bool all_zero(const Cell* c) { return (data_word(c, 0) | data_word(c, 1) | data_word(c, 2)) == 0; }

void arith(int32_t op) {
    Cell* a = arg(0);
    Cell* b = arg(1);
    if (type_of(a) != TYPE_TUPLE) {
        if (op == integer::OP_SUBTRACT || op == integer::OP_DIVIDE)
            scalar::raise_not_related_action(integer::action_of(op), type_of(a));
        std::swap(*a, *b);
    }
    uint32_t n = count(a);
    uint8_t* x = bytes(a);
    uint8_t out[MAX_COUNT] = {};
    switch (type_of(b)) {
        case TYPE_TUPLE: {
            uint32_t nb = count(b);
            if (nb > n) n = nb;
            const uint8_t* y = bytes(b);
            for (uint32_t i = 0; i < n; i++) {
                Cell r;
                integer::arith(x[i], y[i], op, &r);
                out[i] = type_of(&r) == TYPE_INTEGER ? clamp(int64_t(int_value(&r))) : clamp(float_value(&r));
            }
            break;
        }
        case TYPE_INTEGER: {
            int32_t y = int_value(b);
            for (uint32_t i = 0; i < n; i++) {
                Cell r;
                integer::arith(x[i], y, op, &r);
                out[i] = type_of(&r) == TYPE_INTEGER ? clamp(int64_t(int_value(&r))) : clamp(float_value(&r));
            }
            break;
        }
        case TYPE_FLOAT: case TYPE_PERCENT: {
            double y = float_value(b);
            for (uint32_t i = 0; i < n; i++) out[i] = clamp(std::trunc(float_::arith(double(x[i]), y, op)));
            break;
        }
        default:
            error::raise_type(error::ERR_SCRIPT_INVALID_TYPE, type_of(b));
    }
    uint32_t keep = a->header & ~COUNT_MASK;
    write_cell(a, out, n);
    a->header = keep | (a->header & COUNT_MASK);
    stack::keep_result_slot();
}

void from_text(Cell* out, const Cell* text) {
    if (!scalar::load_one_value(text, out) || type_of(out) != TYPE_TUPLE) scalar::raise_bad_to(TYPE_TUPLE, text);
}

namespace {

// ---- make and to ----

void from_block(const Cell* spec, Cell* out) {
    int32_t n = block::length(spec);
    if (n > int32_t(MAX_COUNT)) scalar::raise_bad_to(TYPE_TUPLE, spec);
    const Cell* v = block::head(spec);
    uint8_t data[MAX_COUNT] = {};
    for (int32_t i = 0; i < n; i++) {
        double d;
        switch (type_of(&v[i])) {
            case TYPE_INTEGER: d = double(int_value(&v[i])); break;
            case TYPE_CHAR: d = double(char_value(&v[i])); break;
            case TYPE_FLOAT: d = std::trunc(float_value(&v[i])); break;
            default: scalar::raise_bad_to(TYPE_TUPLE, spec);
        }
        if (!(d >= 0.0 && d <= 255.0)) scalar::raise_bad_to(TYPE_TUPLE, spec);
        data[i] = uint8_t(d);
    }
    write_cell(out, data, uint32_t(n));
}

void make(Cell* out, Cell*, Cell* spec, uint32_t) {
    uint32_t t = type_of(spec);
    switch (t) {
        case TYPE_TUPLE: *out = *spec; break;
        case TYPE_BLOCK: case TYPE_PAREN: case TYPE_HASH: from_block(spec, out); break;
        case TYPE_BINARY: from_binary(spec, out); break;
        case TYPE_ISSUE: from_hex_issue(spec, out); break;
        default:
            if (!is_text_type(t)) scalar::raise_bad_to(TYPE_TUPLE, spec);
            from_text(out, spec);
    }
}

// ---- form and mold (the same text) ----

int32_t text(const Cell* v, uint32_t buffer, int32_t budget) {
    uint32_t n = count(v);
    for (uint32_t i = 0; i < n; i++) {
        if (i) budget = scalar::emit(buffer, ".", budget);
        budget = scalar::emit(buffer, integer::to_decimal_text(bytes(v)[i]).view(), budget);
    }
    return budget;
}
int32_t form(const Cell* v, uint32_t buffer, const Cell*, int32_t budget) { return text(v, buffer, budget); }
int32_t mold(const Cell* v, uint32_t buffer, bool, bool, bool, const Cell*, int32_t budget, int32_t) {
    return text(v, buffer, budget);
}

// ---- random, compare ----

void draw_random(Cell* v, bool seed, bool secure, bool) {
    if (seed) {
        random::seed(data_word(v, 0) ^ data_word(v, 1) ^ data_word(v, 2));
        set_unset(v);
        return;
    }
    uint8_t* b = bytes(v);
    for (uint32_t i = 0; i < count(v); i++) b[i] = uint8_t(random::uniform_int(int32_t(b[i]) + 1, secure) - 1);
}

int32_t compare(const Cell* a, const Cell* b, int32_t) {
    if (type_of(b) != TYPE_TUPLE) return -2;
    uint32_t n = count(a) > count(b) ? count(a) : count(b);
    for (uint32_t i = 0; i < n; i++) {
        uint8_t x = bytes(a)[i], y = bytes(b)[i];
        if (x != y) return x < y ? -1 : 1;
    }
    return 0;
}

// ---- actions ----

void add() { arith(integer::OP_ADD); }
void subtract() { arith(integer::OP_SUBTRACT); }
void multiply() { arith(integer::OP_MULTIPLY); }
void divide() { arith(integer::OP_DIVIDE); }
void remainder() { arith(integer::OP_REMAINDER); }
void and_() { arith(integer::OP_AND); }
void or_() { arith(integer::OP_OR); }
void xor_() { arith(integer::OP_XOR); }

void complement(Cell* v) {
    uint8_t* b = bytes(v);
    for (uint32_t i = 0; i < count(v); i++) b[i] = uint8_t(255 - b[i]);
}

int32_t length(const Cell* v) { return int32_t(count(v)); }

void pick(Cell* out, Cell* v, int32_t index, Cell* index_cell) {
    if (type_of(index_cell) != TYPE_INTEGER || index < 1 || uint32_t(index) > count(v))
        error::raise(error::ERR_SCRIPT_OUT_OF_RANGE, index_cell);
    set_integer(out, bytes(v)[index - 1]);
}

void eval_path(Cell* out, Cell* parent, Cell* element, Cell* value, const actions::PathStep& step) {
    if (type_of(element) != TYPE_INTEGER) error::raise_type(error::ERR_SCRIPT_INVALID_TYPE, type_of(element));
    int32_t i = int_value(element);
    if (!value) { pick(out, parent, i, element); return; }
    uint32_t tv = type_of(value);
    if (tv != TYPE_INTEGER && tv != TYPE_NONE) error::raise_type(error::ERR_SCRIPT_INVALID_TYPE, tv);
    uint32_t n = count(parent);
    if (i < 1 || uint32_t(i) > n) error::raise(error::ERR_SCRIPT_OUT_OF_RANGE, element);
    uint8_t* b = bytes(parent);
    if (tv == TYPE_NONE) {
        // Cuts the tuple before index i (never below 3 bytes).
        for (uint32_t k = uint32_t(i) - 1; k < n; k++) b[k] = 0;
        uint32_t left = uint32_t(i) - 1;
        set_count(parent, left < MIN_COUNT ? MIN_COUNT : left);
    } else {
        b[i - 1] = clamp(int64_t(int_value(value)));
    }
    scalar::store_back(parent, step);
    *out = *value;
}

// /part n reverses the first n bytes, as records of /skip k bytes.
void reverse(Cell* v, Cell* part, Cell* skip) {
    uint32_t n = count(v);
    int64_t len = n, size = 1;
    if (part) {
        if (type_of(part) != TYPE_INTEGER) series::raise_invalid_refine(SYM_PART, part);
        if (int_value(part) < 0) error::raise(error::ERR_SCRIPT_OUT_OF_RANGE, part);
        len = int_value(part) > int32_t(n) ? n : int_value(part);
    }
    if (skip) {
        if (type_of(skip) != TYPE_INTEGER) series::raise_invalid_refine(SYM_SKIP, skip);
        if (int_value(skip) < 1) error::raise(error::ERR_SCRIPT_OUT_OF_RANGE, skip);
        size = int_value(skip);
    }
    if (size == len) return;
    if (!skip) size = 1;   // len is 0: nothing to reverse
    else if (size > len || len % size != 0) series::raise_invalid_refine(SYM_SKIP, skip);
    uint8_t* b = bytes(v);
    uint8_t copy[MAX_COUNT];
    std::memcpy(copy, b, MAX_COUNT);
    int64_t records = len / size;
    for (int64_t r = 0; r < records; r++)
        std::memcpy(b + r * size, copy + (records - 1 - r) * size, size_t(size));
}

}  // namespace
}  // namespace zel::tuple

namespace zel::datatypes {

void register_tuple() {
    using namespace tuple;
    actions::TypeSpec spec{TYPE_TUPLE, {}};
    actions::put(spec, ACT_MAKE, &tuple::make);
    actions::put(spec, ACT_RANDOM, &draw_random);
    actions::put(spec, ACT_TO, &tuple::make);
    actions::put(spec, ACT_FORM, &form);
    actions::put(spec, ACT_MOLD, &mold);
    actions::put(spec, ACT_EVAL_PATH, &eval_path);
    actions::put(spec, ACT_COMPARE, &compare);
    actions::put(spec, ACT_ADD, &add);
    actions::put(spec, ACT_DIVIDE, &divide);
    actions::put(spec, ACT_MULTIPLY, &multiply);
    actions::put(spec, ACT_REMAINDER, &remainder);
    actions::put(spec, ACT_SUBTRACT, &subtract);
    actions::put(spec, ACT_AND_T, &and_);
    actions::put(spec, ACT_COMPLEMENT, &complement);
    actions::put(spec, ACT_OR_T, &or_);
    actions::put(spec, ACT_XOR_T, &xor_);
    actions::put(spec, ACT_LENGTH_Q, &length);
    actions::put(spec, ACT_PICK, &pick);
    actions::put(spec, ACT_REVERSE, &reverse);
    actions::register_type(spec);
}

}  // namespace zel::datatypes
