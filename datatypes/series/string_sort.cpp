// string!'s sort (binary! inherits it): the code points from the head, or records of /skip
// code points, ordered by code point (folded through the upper-case map unless /case, for
// every unit size, so the order never depends on how the text is stored), by one code point
// of each record (/compare n), by whole records (/all) or by a function.
//
// The records are sorted in a copy and written back once the sort returned. Only a /compare
// function evaluates Zel code; it may change or empty the string (even widen it), so the
// write-back re-reads the buffer and writes only what still fits, code point by code point
// when the unit changed. An error or a throw from the function leaves the string unchanged.
#include <algorithm>
#include <array>
#include <cstring>
#include <type_traits>
#include <vector>

#include "core/collector.h"
#include "core/error.h"
#include "core/interpreter.h"
#include "core/stack.h"
#include "core/block.h"
#include "datatypes/series/sort.h"
#include "datatypes/series/string.h"
#include "datatypes/series/string_internal.h"
#include "datatypes/series/vector.h"

namespace zel::string {

using memory::buf;
using series::Change;

namespace {

struct SortContext {
    uint32_t unit = 1;
    uint32_t size = 1;        // code points in a record
    uint32_t offset = 0;      // the code point compared inside a record
    bool all = false;         // compare whole records
    bool reverse = false;
    bool folding = false;
    uint32_t type = TYPE_STRING;
    uint32_t elem = 0;        // vector!: the element type
    const Cell* function = nullptr;
    Cell* x = nullptr;        // the record values handed to an /all function
    Cell* y = nullptr;
};

template <typename Unit>
uint32_t unit_at(const void* record, uint32_t i) {
    Unit u;
    std::memcpy(&u, static_cast<const uint8_t*>(record) + size_t(i) * sizeof(Unit), sizeof(Unit));
    return u;
}

template <typename Unit>
int32_t compare_units(const void* pa, const void* pb, void* context) {
    const auto* c = static_cast<const SortContext*>(context);
    if (c->reverse) std::swap(pa, pb);
    uint32_t first = c->all ? 0 : c->offset, last = c->all ? c->size : c->offset + 1;
    for (uint32_t i = first; i < last; i++) {
        uint32_t a = unit_at<Unit>(pa, i), b = unit_at<Unit>(pb, i);
        if (a == b) continue;
        if (c->folding) {
            a = fold(a);
            b = fold(b);
            if (a == b) continue;
        }
        return a < b ? -1 : 1;
    }
    return 0;
}

// Vector elements: numbers in their own kind (integers signed, characters as code points,
// floats with every NaN after the numbers).
template <typename T>
int32_t compare_numbers(const void* pa, const void* pb, void* context) {
    const auto* c = static_cast<const SortContext*>(context);
    if (c->reverse) std::swap(pa, pb);
    uint32_t first = c->all ? 0 : c->offset, last = c->all ? c->size : c->offset + 1;
    for (uint32_t i = first; i < last; i++) {
        T a, b;
        std::memcpy(&a, static_cast<const uint8_t*>(pa) + i * sizeof(T), sizeof(T));
        std::memcpy(&b, static_cast<const uint8_t*>(pb) + i * sizeof(T), sizeof(T));
        if constexpr (std::is_floating_point_v<T>) {
            bool na = a != a, nb = b != b;
            if (na || nb) {
                if (na && nb) continue;
                return na ? 1 : -1;
            }
        }
        if (a < b) return -1;
        if (b < a) return 1;
    }
    return 0;
}

sort::CompareFn vector_compare_fn(uint32_t elem, uint32_t unit) {
    if (elem == TYPE_FLOAT || elem == TYPE_PERCENT)
        return unit == 4 ? compare_numbers<float> : compare_numbers<double>;
    if (elem == TYPE_CHAR)
        return unit == 1 ? compare_numbers<uint8_t> : unit == 2 ? compare_numbers<uint16_t> : compare_numbers<uint32_t>;
    return unit == 1 ? compare_numbers<int8_t> : unit == 2 ? compare_numbers<int16_t> : compare_numbers<int32_t>;
}

// Single elements of a vector without a function: the standard sorts on the typed array.
template <typename T>
void sort_numbers(uint8_t* data, size_t n, bool reverse, bool stable) {
    T* d = reinterpret_cast<T*>(data);
    auto less = [reverse](T a, T b) {
        if constexpr (std::is_floating_point_v<T>) {
            bool na = a != a, nb = b != b;
            if (na || nb) return reverse ? (nb && !na) : (na ? false : nb);
        }
        return reverse ? b < a : a < b;
    };
    if (stable) std::stable_sort(d, d + n, less);
    else std::sort(d, d + n, less);
}

void sort_vector_elements(uint8_t* data, size_t n, uint32_t elem, uint32_t unit, bool reverse, bool stable) {
    if (elem == TYPE_FLOAT || elem == TYPE_PERCENT) {
        if (unit == 4) sort_numbers<float>(data, n, reverse, stable);
        else sort_numbers<double>(data, n, reverse, stable);
    } else if (elem == TYPE_CHAR) {
        if (unit == 1) sort_numbers<uint8_t>(data, n, reverse, stable);
        else if (unit == 2) sort_numbers<uint16_t>(data, n, reverse, stable);
        else sort_numbers<uint32_t>(data, n, reverse, stable);
    } else {
        if (unit == 1) sort_numbers<int8_t>(data, n, reverse, stable);
        else if (unit == 2) sort_numbers<int16_t>(data, n, reverse, stable);
        else sort_numbers<int32_t>(data, n, reverse, stable);
    }
}

sort::CompareFn compare_fn_for(uint32_t unit) {
    switch (unit) {
        case 1: return compare_units<uint8_t>;
        case 2: return compare_units<uint16_t>;
        default: return compare_units<uint32_t>;
    }
}

uint32_t read_unit(const void* record, uint32_t i, uint32_t unit) {
    switch (unit) {
        case 1: return unit_at<uint8_t>(record, i);
        case 2: return unit_at<uint16_t>(record, i);
        default: return unit_at<uint32_t>(record, i);
    }
}

// Refills a record value with one record: its text buffer emptied, widened to the record's
// unit and filled (the function may have changed the value since the last call).
void fill_record(Cell* value, const void* record, const SortContext& c) {
    uint32_t node = series_node(value);
    if (c.type == TYPE_VECTOR) {
        set_series_head(value, 0);
        vector::set_elem_type(value, c.elem);
        SeriesBuf* b = buf(node);
        b->tail = 0;
        b = memory::ensure_room(node, size_t(c.size) * c.unit);
        std::memcpy(b->data(), record, size_t(c.size) * c.unit);
        b->tail = c.size * c.unit;
        return;
    }
    empty_reset(value);
    if (c.unit > 1) widen(node, c.unit);
    SeriesBuf* b = memory::ensure_room(node, size_t(c.size) * c.unit);
    std::memcpy(b->data(), record, size_t(c.size) * c.unit);
    b->tail = c.size * c.unit;
}

// One code point of a record as the function sees it: an integer! in a binary!, else a char!.
void element_cell(Cell* out, const void* record, const SortContext& c) {
    if (c.type == TYPE_VECTOR) {
        vector::read_element(out, static_cast<const uint8_t*>(record) + size_t(c.offset) * c.unit, c.unit, c.elem);
        return;
    }
    uint32_t v = read_unit(record, c.offset, c.unit);
    if (c.type == TYPE_BINARY) set_integer(out, int32_t(v));
    else set_char(out, v);
}

int32_t compare_by_function(const void* pa, const void* pb, void* context) {
    const auto* c = static_cast<const SortContext*>(context);
    if (c->reverse) std::swap(pa, pb);
    Cell args[2];
    if (c->all) {
        fill_record(c->x, pa, *c);
        fill_record(c->y, pb, *c);
        args[0] = *c->x;
        args[1] = *c->y;
    } else {
        element_cell(&args[0], pa, *c);
        element_cell(&args[1], pb, *c);
    }
    Cell* mark = stack::top;
    interp::call_with_args(c->function, sym(SYM_COMPARE), args, 2);
    Cell answer = *mark;
    stack::top = mark;
    return block::comparator_answer(&answer);
}

// Single 8-bit code points without a function: a counting sort by rank (the byte values
// ordered by their folded form; equal forms share a rank), which keeps equal ranks in their
// order as the stable sort would.
void counting_sort_bytes(uint8_t* data, size_t n, bool folding, bool reverse) {
    std::array<uint8_t, 256> order{};
    for (uint32_t v = 0; v < 256; v++) order[v] = uint8_t(v);
    auto key = [folding](uint32_t v) { return folding ? fold(v) : v; };
    std::stable_sort(order.begin(), order.end(), [&](uint8_t a, uint8_t b) { return key(a) < key(b); });
    std::array<uint32_t, 256> rank{};
    uint32_t r = 0;
    for (uint32_t i = 0; i < 256; i++) {
        if (i > 0 && key(order[i]) != key(order[i - 1])) r++;
        rank[order[i]] = reverse ? 255 - r : r;
    }
    std::array<size_t, 257> start{};
    for (size_t i = 0; i < n; i++) start[rank[data[i]] + 1]++;
    for (uint32_t k = 0; k < 256; k++) start[k + 1] += start[k];
    std::vector<uint8_t> copy(data, data + n);
    for (uint8_t v : copy) data[start[rank[v]]++] = v;
}

// Writes the sorted records back at start, as far as the string still reaches, in its
// current unit.
void write_back(uint32_t node, uint32_t start, const std::vector<uint8_t>& recs, uint32_t unit) {
    uint32_t len = buf(node)->length();
    if (start >= len) return;
    uint32_t n = uint32_t(recs.size() / unit);
    if (n > len - start) n = len - start;
    if (buf(node)->unit() == unit) {
        std::memcpy(buf(node)->data() + size_t(start) * unit, recs.data(), size_t(n) * unit);
        return;
    }
    for (uint32_t i = 0; i < n; i++) write_char(node, start + i, read_unit(recs.data(), i, unit));
}

}  // namespace

// `string/sort`.
Cell* string_sort(Cell* series, bool case_sensitive, Cell* skip, Cell* comparator, Cell* part, bool all, bool reverse,
                  bool stable) {
    uint32_t type = type_of(series);
    // The refinements' kinds first.
    int32_t size = 1;
    if (skip) {
        if (type_of(skip) != TYPE_INTEGER) invalid_refine(SYM_SKIP, skip);
        size = int_value(skip);
        if (size < 1) invalid_refine(SYM_SKIP, skip);
    }
    if (all && !skip) error::raise(error::ERR_SCRIPT_BAD_REFINES);
    SortContext ctx;
    ctx.size = uint32_t(size);
    ctx.all = all;
    ctx.reverse = reverse;
    ctx.type = type;
    ctx.elem = type == TYPE_VECTOR ? vector::elem_type(series) : 0;
    ctx.folding = !case_sensitive && is_text_type(type);
    if (comparator) {
        uint32_t ct = type_of(comparator);
        if (ct == TYPE_INTEGER) {
            if (!skip || all) error::raise(error::ERR_SCRIPT_BAD_REFINES);
            int32_t k = int_value(comparator);
            if (k < 1 || k > size) error::raise(error::ERR_SCRIPT_OUT_OF_RANGE, comparator);
            ctx.offset = uint32_t(k - 1);
        } else if (is_any_function_type(ct)) {
            ctx.function = comparator;
        } else {
            invalid_refine(SYM_COMPARE, comparator);
        }
    }
    // The range: from the head to the tail, or the /part count (before the head when negative,
    // never past the start).
    int64_t len = total_length(series);
    int64_t start = head_index(series);
    int64_t count = len - start;
    if (part) {
        int64_t n = series::part_count(series, part);
        if (n < 0) {
            int64_t from = std::max<int64_t>(0, start + n);
            count = start - from;
            start = from;
            set_series_head(series, int32_t(start));
        } else if (n < count) {
            count = n;
        }
    }
    if (count <= 0) return series;
    if (size > count || count % size != 0) invalid_refine(SYM_SKIP, skip);

    tell_owner(series, Change::SORT, nullptr, int32_t(start), int32_t(count));
    uint32_t node = series_node(series);
    len = buf(node)->length();
    if (start >= len) return series;   // the owner cut the string short
    if (start + count > len) count = (len - start) / size * size;
    uint32_t unit = buf(node)->unit();
    ctx.unit = unit;
    const uint8_t* d = buf(node)->data() + size_t(start) * unit;
    std::vector<uint8_t> recs(d, d + size_t(count) * unit);
    size_t records = size_t(count / size);
    size_t width = size_t(size) * unit;
    if (ctx.function) {
        // The record values handed to an /all function are made once per sort.
        collector::RootedCell x, y;
        if (all && type == TYPE_VECTOR) {
            vector::init_cell(&x, uint32_t(size), ctx.elem, unit);
            vector::init_cell(&y, uint32_t(size), ctx.elem, unit);
            ctx.x = &x;
            ctx.y = &y;
        } else if (all) {
            init_cell_unit(&x, width, unit, type);
            init_cell_unit(&y, width, unit, type);
            ctx.x = &x;
            ctx.y = &y;
        }
        if (stable) sort::merge(recs.data(), records, width, compare_by_function, &ctx);
        else sort::quick(recs.data(), records, width, compare_by_function, &ctx);
    } else if (type == TYPE_VECTOR && size == 1) {
        sort_vector_elements(recs.data(), records, ctx.elem, unit, reverse, stable);
    } else if (type == TYPE_VECTOR) {
        auto fn = vector_compare_fn(ctx.elem, unit);
        if (stable) sort::merge(recs.data(), records, width, fn, &ctx);
        else sort::quick(recs.data(), records, width, fn, &ctx);
    } else if (unit == 1 && size == 1) {
        counting_sort_bytes(recs.data(), recs.size(), ctx.folding, reverse);
    } else {
        if (stable) sort::merge(recs.data(), records, width, compare_fn_for(unit), &ctx);
        else sort::quick(recs.data(), records, width, compare_fn_for(unit), &ctx);
    }
    write_back(series_node(series), uint32_t(start), recs, unit);
    tell_owner(series, Change::SORTED, nullptr, int32_t(start), int32_t(count));
    return series;
}

}  // namespace zel::string
