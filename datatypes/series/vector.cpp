// vector! (see vector.h): make from a count or a spec block, form and mold, comparison,
// element-wise arithmetic with a scalar (in place) or another vector (a new buffer), append,
// insert and change, find and select by element value. The other series actions come from
// series! through string!, reaching elements through series::element_value/store_element.
#include "datatypes/series/vector.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "core/actions.h"
#include "core/error.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/word.h"
#include "datatypes/datatypes.h"
#include "datatypes/scalar/float.h"
#include "datatypes/scalar/float_text.h"
#include "datatypes/scalar/integer.h"
#include "core/block.h"
#include "datatypes/series/series.h"
#include "datatypes/series/string.h"

namespace zel::vector {

using memory::buf;
using series::Change;

int32_t length(const Cell* v) {
    int32_t n = int32_t(buf(series_node(v))->length()) - series_head(v);
    return n < 0 ? 0 : n;
}

void read_element(Cell* out, const uint8_t* p, uint32_t unit, uint32_t elem) {
    switch (elem) {
        case TYPE_INTEGER: set_integer(out, get_int(p, unit)); return;
        case TYPE_CHAR: set_char(out, get_char(p, unit)); return;
        default: set_float_bits(out, elem == TYPE_PERCENT ? TYPE_PERCENT : TYPE_FLOAT, get_float(p, unit)); return;
    }
}

void set_element(uint8_t* p, const Cell* value, uint32_t unit) {
    uint32_t t = type_of(value);
    if (t == TYPE_INTEGER || t == TYPE_CHAR) put_int(p, unit, int_value(value));
    else put_float(p, unit, float_value(value));
}

void init_cell(Cell* c, uint32_t count, uint32_t elem, uint32_t unit) {
    if (uint64_t(count) * unit > 0x7FFFFFF0ull) memory::raise_no_memory();
    set_series(c, TYPE_VECTOR, memory::new_series(count ? count : 1, unit), 0, elem);
}

void append_value(Cell* v, const Cell* value) {
    if (type_of(value) != elem_type(v)) error::raise(error::ERR_SCRIPT_INVALID_ARG, value);
    uint32_t unit = unit_of(v);
    SeriesBuf* b = memory::ensure_room(series_node(v), unit);
    set_element(b->tail_ptr(), value, unit);
    b->tail += unit;
}

namespace {

// ---- make ----

const char* elem_name(uint32_t elem) {
    switch (elem) {
        case TYPE_INTEGER: return "integer!";
        case TYPE_CHAR: return "char!";
        case TYPE_FLOAT: return "float!";
        default: return "percent!";
    }
}

// The element type a spec word names (case-folded), 0 when none.
uint32_t elem_of_word(const Cell* w) {
    uint32_t s = word_symbol(w);
    for (auto [id, t] : {std::pair{SYM_INTEGER_TYPE, TYPE_INTEGER}, std::pair{SYM_CHAR_TYPE, TYPE_CHAR},
                         std::pair{SYM_FLOAT_TYPE, TYPE_FLOAT}, std::pair{SYM_PERCENT_TYPE, TYPE_PERCENT}})
        if (symbol::same_canonical(s, sym(id))) return t;
    return 0;
}

bool width_allowed(uint32_t elem, int32_t bits) {
    if (elem == TYPE_FLOAT) return bits == 32 || bits == 64;
    return bits == 8 || bits == 16 || bits == 32;
}

// Builds the vector: count elements at least, the initial values appended (each of the element
// type), the rest zero.
Cell* build(uint32_t elem, uint32_t unit, int64_t count, const Cell* values) {
    uint32_t nvalues = 0, vnode = 0, vhead = 0;
    if (values) {
        vnode = series_node(values);
        vhead = series::clipped_head(values);
        nvalues = buf(vnode)->length() - vhead;
    }
    int64_t total = std::max<int64_t>(count, nvalues);
    if (total > 0x7FFFFFFF) memory::raise_no_memory();
    Cell* out = stack::push();
    init_cell(out, uint32_t(std::max<int64_t>(total, 1)), elem, unit);
    for (uint32_t i = 0; i < nvalues; i++) {
        Cell value = buf(vnode)->cells()[vhead + i];
        append_value(out, &value);
    }
    if (total > nvalues) {
        SeriesBuf* b = memory::ensure_room(series_node(out), size_t(total - nvalues) * unit);
        std::memset(b->tail_ptr(), 0, size_t(total - nvalues) * unit);
        b->tail = uint32_t(total) * unit;
    }
    return out;
}

// `vector/make` from a spec block whose first value is a word: type, width, count, values.
Cell* make_from_typed_spec(const Cell* spec) {
    uint32_t node = series_node(spec), head = series::clipped_head(spec);
    uint32_t n = buf(node)->length() - head;
    Cell dt;
    set_datatype(&dt, TYPE_VECTOR);
    if (n < 2) error::raise(error::ERR_SCRIPT_BAD_MAKE_ARG, &dt, spec);
    const Cell* v = buf(node)->cells() + head;
    uint32_t elem = elem_of_word(&v[0]);
    if (!elem) error::raise(error::ERR_SCRIPT_BAD_MAKE_ARG, &dt, spec);
    uint32_t i = 1;
    uint32_t unit;
    if (type_of(&v[1]) == TYPE_INTEGER) {
        int32_t bits = int_value(&v[1]);
        if (elem == TYPE_PERCENT) bits = 64;
        else if (!width_allowed(elem, bits)) error::raise(error::ERR_SCRIPT_BAD_MAKE_ARG, &dt, spec);
        unit = uint32_t(bits / 8);
        i = 2;
    } else if (elem == TYPE_PERCENT) {
        unit = 8;
    } else {
        error::raise(error::ERR_SCRIPT_INVALID_SPEC_FIELD, spec);
    }
    int64_t count = 0;
    const Cell* values = nullptr;
    if (i < n && type_of(&v[i]) == TYPE_INTEGER) {
        count = int_value(&v[i]);
        if (i + 1 < n && type_of(&v[i + 1]) == TYPE_BLOCK) values = &v[i + 1];
    } else if (i < n && type_of(&v[i]) == TYPE_BLOCK) {
        values = &v[i];
    } else {
        // Also a spec that ends right after the width.
        error::raise(error::ERR_SCRIPT_INVALID_SPEC_FIELD, spec);
    }
    Cell vals;
    if (values) vals = *values;
    return build(elem, unit, count, values ? &vals : nullptr);
}

void make(Cell* out, Cell*, Cell* spec, uint32_t) {
    uint32_t st = type_of(spec);
    if (st == TYPE_INTEGER || st == TYPE_FLOAT) {
        int32_t n = make::spec_to_size(spec);
        *out = *build(TYPE_INTEGER, 4, n < 0 ? 0 : n, nullptr); return;
    }
    if (st != TYPE_BLOCK) error::raise(error::ERR_INTERNAL_NOT_DONE);
    Cell s = *spec;
    uint32_t node = series_node(&s), head = series::clipped_head(&s);
    if (head >= buf(node)->length()) { *out = *build(TYPE_INTEGER, 4, 0, nullptr); return; }
    Cell first = buf(node)->cells()[head];
    if (type_of(&first) == TYPE_WORD) { *out = *make_from_typed_spec(&s); return; }
    uint32_t elem = type_of(&first);
    if (elem != TYPE_INTEGER && elem != TYPE_CHAR && elem != TYPE_FLOAT && elem != TYPE_PERCENT)
        error::raise_type(error::ERR_SCRIPT_INVALID_TYPE, elem);
    *out = *build(elem, default_unit(elem), 0, &s);
}

// ---- form and mold ----

// `vector/emit-elements`.
int32_t emit_elements(const Cell* v, uint32_t out, bool all, const Cell* part, int32_t budget, bool mold) {
    uint32_t node = series_node(v), elem = elem_type(v);
    uint32_t unit = buf(node)->unit();
    uint32_t h = series::clipped_head(v), len = buf(node)->length();
    for (uint32_t i = h; i < len; i++) {
        if (part && budget < 1) break;
        const uint8_t* p = buf(node)->data() + size_t(i) * unit;
        uint32_t before = buf(out)->length();
        switch (elem) {
            case TYPE_CHAR: {
                uint32_t c = get_char(p, unit);
                if (mold) string::append_ascii(out, "#\"");
                string::append_escaped(out, c, string::ESCAPE_STRING, all);
                if (mold) string::append_char(out, '"');
                break;
            }
            case TYPE_INTEGER:
                string::append_ascii(out, integer::to_decimal_text(get_int(p, unit)).view());
                break;
            case TYPE_FLOAT:
                string::append_ascii(out, float_::to_text(get_float(p, unit),
                                                          unit == 4 ? float_::KIND_VECTOR_FLOAT32 : float_::KIND_FLOAT));
                break;
            default:
                string::append_ascii(out, float_::to_text(get_float(p, unit) * 100.0,
                                                          unit == 4 ? float_::KIND_VECTOR_PERCENT32 : float_::KIND_PERCENT));
                break;
        }
        budget -= int32_t(buf(out)->length() - before);
        if (i + 1 < len) {
            string::append_char(out, ' ');
            budget -= 1;
        }
    }
    return budget;
}

int32_t form(const Cell* v, uint32_t out, const Cell* part, int32_t budget) {
    return emit_elements(v, out, false, part, budget, false);
}

int32_t mold(const Cell* v, uint32_t out, bool only, bool all, bool, const Cell* part, int32_t budget, int32_t) {
    if (!only) {
        string::append_ascii(out, "make vector! [");
        budget -= 14;
    }
    uint32_t unit = unit_of(v), elem = elem_type(v);
    if (length(v) > 0 && unit == default_unit(elem)) {
        budget = emit_elements(v, out, all, part, budget, true);
        if (!only) {
            string::append_char(out, ']');
            budget -= 1;
        }
        return budget;
    }
    uint32_t before = buf(out)->length();
    string::append_ascii(out, elem_name(elem));
    string::append_char(out, ' ');
    string::append_ascii(out, integer::to_decimal_text(int32_t(unit * 8)).view());
    string::append_ascii(out, " [");
    budget -= int32_t(buf(out)->length() - before);
    budget = emit_elements(v, out, all, part, budget, true);
    if (!only) {
        string::append_ascii(out, "]]");
        budget -= 2;
    }
    return budget;
}

// ---- compare ----

bool equality_op(int32_t op) {
    return op == actions::OP_EQUAL || op == actions::OP_NOT_EQUAL || op == actions::OP_STRICT_EQUAL ||
           op == actions::OP_FIND;
}

bool is_float_elem(uint32_t elem) { return elem == TYPE_FLOAT || elem == TYPE_PERCENT; }

// The element as a signed 64-bit integer (integers signed, characters as code points).
int64_t int_element(const uint8_t* p, uint32_t unit, uint32_t elem) {
    return elem == TYPE_CHAR ? int64_t(get_char(p, unit)) : int64_t(get_int(p, unit));
}

// `vector/compare`: element by element from the heads; a NaN orders after every number and a
// pair holding one is never equal.
int32_t compare(const Cell* a, const Cell* b, int32_t op) {
    if (type_of(b) != TYPE_VECTOR) return -2;
    if (elem_type(a) != elem_type(b)) error::raise(error::ERR_SCRIPT_NOT_SAME_TYPE);
    bool same = series_node(a) == series_node(b) && series_head(a) == series_head(b);
    if (op == actions::OP_SAME) return same ? 0 : -1;
    if (same && equality_op(op)) return 0;
    int32_t la = length(a), lb = length(b);
    if (la == lb && la == 0) return 0;
    if (la != lb && equality_op(op)) return 1;
    int32_t n = std::min(la, lb);
    uint32_t elem = elem_type(a);
    const SeriesBuf* ba = buf(series_node(a));
    const SeriesBuf* bb = buf(series_node(b));
    uint32_t ua = ba->unit(), ub = bb->unit();
    const uint8_t* pa = ba->data() + size_t(series::clipped_head(a)) * ua;
    const uint8_t* pb = bb->data() + size_t(series::clipped_head(b)) * ub;
    for (int32_t i = 0; i < n; i++, pa += ua, pb += ub) {
        if (is_float_elem(elem)) {
            double x = get_float(pa, ua), y = get_float(pb, ub);
            bool nx = std::isnan(x), ny = std::isnan(y);
            if (nx || ny) return nx ? 1 : -1;
            if (x != y) return x < y ? -1 : 1;
        } else {
            int64_t x = int_element(pa, ua, elem), y = int_element(pb, ub, elem);
            if (x != y) return x < y ? -1 : 1;
        }
    }
    return la == lb ? 0 : (la < lb ? -1 : 1);
}

// ---- arithmetic ----

// `vector/int-op`: integer! arithmetic whose add, subtract and multiply wrap around in 32 bits.
inline int32_t int_op(int32_t x, int32_t y, int32_t op) { return integer::arith(x, y, op, nullptr); }

// Applies op to every element from the head with a double scalar (float and percent vectors).
void float_with_scalar(Cell* v, double s, int32_t op) {
    if (((op == integer::OP_ADD || op == integer::OP_SUBTRACT) && s == 0.0) ||
        ((op == integer::OP_MULTIPLY || op == integer::OP_DIVIDE) && s == 1.0))
        return;
    SeriesBuf* b = buf(series_node(v));
    uint32_t unit = b->unit(), h = series::clipped_head(v), len = b->length();
    if (h >= len) {
        float_::arith(0.0, s, op);   // an op that is not a float op still raises
        return;
    }
    uint8_t* p = b->data() + size_t(h) * unit;
    uint8_t* end = b->data() + size_t(len) * unit;
    if (unit == 8 && op <= integer::OP_DIVIDE) {
        double* d = reinterpret_cast<double*>(p);
        size_t n = size_t(end - p) / 8;
        switch (op) {
            case integer::OP_ADD: for (size_t i = 0; i < n; i++) d[i] += s; return;
            case integer::OP_SUBTRACT: for (size_t i = 0; i < n; i++) d[i] -= s; return;
            case integer::OP_MULTIPLY: for (size_t i = 0; i < n; i++) d[i] *= s; return;
            default: break;
        }
    }
    for (; p < end; p += unit) put_float(p, unit, float_::arith(get_float(p, unit), s, op));
}

// The same for integer and character vectors, each result kept in the element's width.
void int_with_scalar(Cell* v, int32_t s, int32_t op) {
    if (((op == integer::OP_ADD || op == integer::OP_SUBTRACT) && s == 0) ||
        ((op == integer::OP_MULTIPLY || op == integer::OP_DIVIDE) && s == 1))
        return;
    SeriesBuf* b = buf(series_node(v));
    uint32_t unit = b->unit(), h = series::clipped_head(v), len = b->length(), elem = elem_type(v);
    if (h >= len) return;
    uint8_t* p = b->data() + size_t(h) * unit;
    uint8_t* end = b->data() + size_t(len) * unit;
    if (unit == 4 && elem == TYPE_INTEGER && op <= integer::OP_MULTIPLY) {
        // The common case without a call per element; unsigned arithmetic wraps as int_op does.
        uint32_t* d = reinterpret_cast<uint32_t*>(p);
        size_t n = size_t(end - p) / 4;
        uint32_t u = uint32_t(s);
        switch (op) {
            case integer::OP_ADD: for (size_t i = 0; i < n; i++) d[i] += u; return;
            case integer::OP_SUBTRACT: for (size_t i = 0; i < n; i++) d[i] -= u; return;
            default: for (size_t i = 0; i < n; i++) d[i] *= u; return;
        }
    }
    for (; p < end; p += unit) put_int(p, unit, int_op(int32_t(int_element(p, unit, elem)), s, op));
}

// `vector/math-with-scalar`: the vector's own elements change; the vector is the result.
void math_with_scalar(int32_t op, Cell* v, const Cell* scalar) {
    uint32_t st = type_of(scalar);
    bool number = st == TYPE_INTEGER || st == TYPE_FLOAT || st == TYPE_PERCENT;
    if (!number) error::raise(error::ERR_INTERNAL_NOT_DONE);
    if (is_float_elem(elem_type(v))) {
        float_with_scalar(v, st == TYPE_INTEGER ? double(int_value(scalar)) : float_value(scalar), op);
    } else {
        int32_t s = st == TYPE_INTEGER ? int_value(scalar) : integer::from_double_checked(float_value(scalar));
        int_with_scalar(v, s, op);
    }
}

// Vector with vector: a new buffer of the wider width and the shorter length.
void math_with_vector(int32_t op, Cell* a, const Cell* b) {
    uint32_t elem = elem_type(a);
    if (elem != elem_type(b)) error::raise(error::ERR_SCRIPT_NOT_SAME_TYPE);
    uint32_t ua = unit_of(a), ub = unit_of(b), unit = std::max(ua, ub);
    int32_t n = std::min(length(a), length(b));
    Cell r;
    init_cell(&r, uint32_t(n), elem, unit);
    SeriesBuf* rb = buf(series_node(&r));
    const uint8_t* pa = buf(series_node(a))->data() + size_t(series::clipped_head(a)) * ua;
    const uint8_t* pb = buf(series_node(b))->data() + size_t(series::clipped_head(b)) * ub;
    uint8_t* pr = rb->data();
    for (int32_t i = 0; i < n; i++, pa += ua, pb += ub, pr += unit) {
        if (is_float_elem(elem))
            put_float(pr, unit, float_::arith(get_float(pa, ua), get_float(pb, ub), op));
        else
            put_int(pr, unit, int_op(int32_t(int_element(pa, ua, elem)), int32_t(int_element(pb, ub, elem)), op));
    }
    rb->tail = uint32_t(n) * unit;
    *a = r;
}

// `vector/math-op`: the math actions of a vector first argument.
void math_op(int32_t op) {
    Cell* a = stack::arg(0);
    Cell* b = stack::arg(1);
    if (type_of(b) == TYPE_VECTOR) math_with_vector(op, a, b);
    else math_with_scalar(op, a, b);
    stack::keep_result_slot();
}

void add() { math_op(integer::OP_ADD); }
void subtract() { math_op(integer::OP_SUBTRACT); }
void multiply() { math_op(integer::OP_MULTIPLY); }
void divide() { math_op(integer::OP_DIVIDE); }
void remainder() { math_op(integer::OP_REMAINDER); }
void and_() { math_op(integer::OP_AND); }
void or_() { math_op(integer::OP_OR); }
void xor_() { math_op(integer::OP_XOR); }

// ---- append, insert, change ----

// The values a value stands for: a block's, a paren's or a hash!'s from its head (also a
// path's for change), else the value itself.
struct Source {
    uint32_t node = 0, head = 0, count = 1;
    const Cell* single = nullptr;
    const Cell* at(uint32_t i) const { return node ? buf(node)->cells() + head + i : single; }
};

Source source_of(const Cell* value, bool paths) {
    uint32_t t = type_of(value);
    Source s;
    if (t == TYPE_BLOCK || t == TYPE_PAREN || t == TYPE_HASH || (paths && is_any_path_type(t))) {
        s.node = series_node(value);
        s.head = series::clipped_head(value);
        s.count = buf(s.node)->length() - s.head;
    } else {
        s.single = value;
    }
    return s;
}

// Every value must be of the element type (checked before anything moves).
void check_source(const Source& s, uint32_t elem) {
    for (uint32_t i = 0; i < s.count; i++)
        if (type_of(s.at(i)) != elem) error::raise(error::ERR_SCRIPT_INVALID_ARG, s.at(i));
}

// The source elements in the target's width, gathered before the target moves (so a source
// that is the target itself reads its old elements).
std::vector<uint8_t> gather(const Cell* value, const Source& s, uint32_t elem, uint32_t unit) {
    std::vector<uint8_t> out;
    if (type_of(value) == TYPE_VECTOR) {
        const SeriesBuf* vb = buf(series_node(value));
        uint32_t vu = vb->unit(), h = series::clipped_head(value), n = vb->length() - h;
        out.resize(size_t(n) * unit);
        for (uint32_t i = 0; i < n; i++) {
            const uint8_t* p = vb->data() + size_t(h + i) * vu;
            if (is_float_elem(elem)) put_float(&out[size_t(i) * unit], unit, get_float(p, vu));
            else put_int(&out[size_t(i) * unit], unit, int_element(p, vu, elem));
        }
        return out;
    }
    out.resize(size_t(s.count) * unit);
    for (uint32_t i = 0; i < s.count; i++) set_element(&out[size_t(i) * unit], s.at(i), unit);
    return out;
}

// Opens room for total elements at `at` in place of `replaced` ones and writes the gathered
// elements dup times. Sizes are checked first (internal/no-memory).
void splice(uint32_t node, uint32_t at, uint32_t replaced, const std::vector<uint8_t>& src, uint32_t dup) {
    SeriesBuf* b = buf(node);
    uint32_t unit = b->unit(), len = b->length();
    uint64_t count = src.size() / unit;
    uint64_t total = count * dup;
    uint64_t new_len = uint64_t(len) - replaced + total;
    if (total > 0x7FFFFFFF || new_len * unit > 0x7FFFFFF0ull) memory::raise_no_memory();
    if (new_len > len) b = memory::ensure_room(node, size_t(new_len - len) * unit);
    uint8_t* base = b->data();
    std::memmove(base + size_t(at + total) * unit, base + size_t(at + replaced) * unit,
                 size_t(len - at - replaced) * unit);
    if (total) {
        std::memcpy(base + size_t(at) * unit, src.data(), src.size());
        series::repeat_fill(base + size_t(at) * unit, uint32_t(src.size()), dup);
    }
    b->tail = uint32_t(new_len * unit);
}

// `vector/append` (insert with append false).
void append(Cell* v, Cell* value, int32_t part, bool, int32_t dup, bool is_append) {
    uint32_t elem = elem_type(v);
    Source s = source_of(value, false);
    if (s.node && part >= 1 && uint32_t(part) < s.count) s.count = uint32_t(part);
    check_source(s, elem);
    uint32_t times = dup < 1 ? 1 : uint32_t(dup);
    if (uint64_t(s.count) * times > 0x7FFFFFFF) memory::raise_no_memory();
    uint32_t len = buf(series_node(v))->length();
    if (uint32_t(series_head(v)) > len || series_head(v) < 0) set_series_head(v, int32_t(series_head(v) < 0 ? 0 : len));
    uint32_t at = is_append || uint32_t(series_head(v)) >= len ? len : uint32_t(series_head(v));
    series::notify_owner(v, is_append ? Change::APPEND : Change::INSERT, value, int32_t(at),
                         int32_t(s.count * times));
    // The owner's handler may have changed either series: plan again.
    uint32_t node = series_node(v);
    len = buf(node)->length();
    if (uint32_t(series_head(v)) > len) set_series_head(v, int32_t(len));
    at = is_append || uint32_t(series_head(v)) >= len ? len : uint32_t(series_head(v));
    s = source_of(value, false);
    if (s.node && part >= 1 && uint32_t(part) < s.count) s.count = uint32_t(part);
    check_source(s, elem);
    std::vector<uint8_t> src = gather(value, s, elem, buf(node)->unit());
    splice(node, at, 0, src, times);
    uint32_t total = s.count * times;
    series::notify_owner(v, is_append ? Change::APPENDED : Change::INSERTED, value, int32_t(at), int32_t(total));
    set_series_head(v, int32_t(is_append ? 0 : at + total));
}

// `vector/change`.
void change(Cell* v, Cell* value, int32_t part, bool, int32_t dup) {
    uint32_t elem = elem_type(v);
    uint32_t times = dup < 1 ? 1 : uint32_t(dup);
    auto plan = [&](Source& s) {
        if (type_of(value) == TYPE_VECTOR) {
            if (elem_type(value) != elem) error::raise(error::ERR_SCRIPT_INVALID_ARG, value);
            s = Source{};
            s.count = uint32_t(length(value));
        } else {
            s = source_of(value, true);
            check_source(s, elem);
        }
        if (uint64_t(s.count) * times > 0x7FFFFFFF) memory::raise_no_memory();
    };
    Source s;
    plan(s);
    uint32_t len = buf(series_node(v))->length();
    if (series_head(v) < 0) set_series_head(v, 0);
    if (uint32_t(series_head(v)) > len) set_series_head(v, int32_t(len));
    series::notify_owner(v, Change::CHANGE, value, series_head(v), part);
    uint32_t node = series_node(v);
    len = buf(node)->length();
    if (uint32_t(series_head(v)) > len) set_series_head(v, int32_t(len));
    uint32_t h = uint32_t(series_head(v)), avail = len - h;
    plan(s);
    uint64_t total = uint64_t(s.count) * times;
    uint64_t r = part >= 0 ? uint64_t(part) : total;
    if (r > avail) r = avail;
    std::vector<uint8_t> src = gather(value, s, elem, buf(node)->unit());
    splice(node, h, uint32_t(r), src, times);
    series::notify_owner(v, Change::CHANGED, value, int32_t(h), int32_t(total));
    uint32_t new_len = buf(series_node(v))->length();
    set_series_head(v, int32_t(std::min<uint64_t>(h + total, new_len)));
}

// ---- find, select, eval-path ----

// Whether the element equals the value (a number of the element's kind).
bool element_equals(const uint8_t* p, uint32_t unit, uint32_t elem, const Cell* value) {
    uint32_t t = type_of(value);
    if (is_float_elem(elem)) {
        if (t != TYPE_INTEGER && t != TYPE_FLOAT && t != TYPE_PERCENT) return false;
        double y = t == TYPE_INTEGER ? double(int_value(value)) : float_value(value);
        return get_float(p, unit) == y;
    }
    if (elem == TYPE_CHAR ? t != TYPE_CHAR && t != TYPE_INTEGER : t != TYPE_INTEGER) return false;
    return int_element(p, unit, elem) == int64_t(t == TYPE_CHAR ? int64_t(char_value(value)) : int_value(value));
}

// The buffer position of the first (or last) element equal to the value, -1 when none.
int64_t search(const actions::FindArgs& a) {
    const Cell* v = a.series;
    const SeriesBuf* b = buf(series_node(v));
    uint32_t unit = b->unit(), elem = elem_type(v);
    int64_t head = series::clipped_head(v), high = b->length();
    int64_t skip = 1;
    if (a.skip) {
        if (type_of(a.skip) != TYPE_INTEGER || int_value(a.skip) < 1) series::raise_invalid_refine(SYM_SKIP, a.skip);
        skip = int_value(a.skip);
    }
    if (a.part) {
        int64_t n = series::part_count(v, a.part);
        if (n >= 0 && head + n < high) high = head + n;
    }
    auto at = [&](int64_t p) { return element_equals(b->data() + size_t(p) * unit, unit, elem, a.value); };
    if (a.match) return head < high && at(head) ? head : -1;
    if (a.reverse) {
        for (int64_t p = head - 1; p >= 0; p -= skip)
            if (at(p)) return p;
        return -1;
    }
    if (a.last) {
        if (head >= high) return -1;
        for (int64_t p = head + (high - 1 - head) / skip * skip; p >= head; p -= skip)
            if (at(p)) return p;
        return -1;
    }
    for (int64_t p = head; p < high; p += skip)
        if (at(p)) return p;
    return -1;
}

void find(Cell* out, const actions::FindArgs& a) {
    int64_t p = search(a);
    if (p < 0) {
        set_none(out);
        return;
    }
    *out = *a.series;
    set_series_head(out, int32_t(a.tail || a.match ? p + 1 : p));
}

void select(Cell* out, const actions::FindArgs& a) {
    int64_t p = search(a);
    if (p < 0 || p + 1 >= int64_t(buf(series_node(a.series))->length())) set_none(out);
    else series::element_value(out, a.series, uint32_t(p + 1));
}

void eval_path(Cell* out, Cell* parent, Cell* element, Cell* value, const actions::PathStep& step) {
    if (type_of(element) != TYPE_INTEGER)
        error::raise(error::ERR_SCRIPT_INVALID_PATH, step.path ? step.path : element, element);
    if (!value) {
        actions::get<actions::PickFn>(TYPE_VECTOR, ACT_PICK)(out, parent, int_value(element), element);
        return;
    }
    actions::get<actions::PokeFn>(TYPE_VECTOR, ACT_POKE)(out, parent, int_value(element), value, element);
    *out = *value;
}

}  // namespace

}  // namespace zel::vector

namespace zel::datatypes {

void register_vector() {
    using namespace zel::vector;
    actions::TypeSpec spec{TYPE_VECTOR, {}};
    auto set = [&](auto action, auto fn) { actions::put(spec, action, fn); };
    for (int a : std::initializer_list<int>{ACT_RANDOM, ACT_REFLECT, ACT_AT, ACT_BACK, ACT_CLEAR, ACT_COPY, ACT_HEAD, ACT_HEAD_Q,
                  ACT_INDEX_Q, ACT_LENGTH_Q, ACT_MOVE, ACT_NEXT, ACT_PICK, ACT_POKE, ACT_REMOVE, ACT_REVERSE,
                  ACT_SKIP, ACT_SORT, ACT_TAIL, ACT_TAIL_Q, ACT_TAKE, ACT_MODIFY})
        set(a, actions::INHERIT);
    set(ACT_MAKE, &zel::vector::make);
    set(ACT_FORM, &form);
    set(ACT_MOLD, &mold);
    set(ACT_COMPARE, &compare);
    set(ACT_EVAL_PATH, &eval_path);
    set(ACT_FIND, &find);
    set(ACT_SELECT, &select);
    set(ACT_ADD, &add);
    set(ACT_SUBTRACT, &subtract);
    set(ACT_MULTIPLY, &multiply);
    set(ACT_DIVIDE, &divide);
    set(ACT_REMAINDER, &remainder);
    set(ACT_AND_T, &and_);
    set(ACT_OR_T, &or_);
    set(ACT_XOR_T, &xor_);
    set(ACT_APPEND, static_cast<actions::InsertFn>(&zel::vector::append));
    set(ACT_INSERT, static_cast<actions::InsertFn>(&zel::vector::append));
    set(ACT_CHANGE, static_cast<actions::ChangeFn>(&zel::vector::change));
    actions::register_type(spec);
}

}  // namespace zel::datatypes
