// block!: the list of value cells that programs and data are made of. Its handlers serve
// every any-block type: paren! and the path types inherit them (path.cpp). find, select,
// put, sort and the set operations live in block_search.cpp.
//
// No handler here evaluates Zel code but through the owner notification, after which the
// modifying handlers read their target and source again; they allocate, so a pointer into a
// buffer is re-derived after that buffer may have grown.
#include "core/block.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/actions.h"
#include "core/error.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/typeset_bits.h"
#include "core/word.h"
#include "datatypes/datatypes.h"
#include "core/block_ops.h"
#include "datatypes/series/block_handlers.h"
#include "core/cycle_stack.h"
#include "datatypes/series/hash.h"
#include "datatypes/series/series.h"
#include "datatypes/series/string.h"
#include "io/lexer.h"

namespace zel::block {

using memory::buf;

namespace {

// True when p points into the data area of the node's buffer.
bool points_into(uint32_t node, const Cell* p) {
    SeriesBuf* b = buf(node);
    return p >= b->cells() && p < b->cells() + b->capacity();
}

}  // namespace

void append_cells(uint32_t node, const Cell* first, uint32_t count) {
    if (count == 0) return;
    if (points_into(node, first)) {
        std::vector<Cell> tmp(first, first + count);
        append_cells(node, tmp.data(), count);
        return;
    }
    SeriesBuf* b = memory::ensure_room(node, size_t(count) * sizeof(Cell));
    std::memcpy(b->cell_tail(), first, size_t(count) * sizeof(Cell));
    b->tail += count * uint32_t(sizeof(Cell));
}

void insert_cells(uint32_t node, uint32_t index, const Cell* first, uint32_t count) {
    if (count == 0) return;
    if (points_into(node, first)) {
        std::vector<Cell> tmp(first, first + count);
        insert_cells(node, index, tmp.data(), count);
        return;
    }
    SeriesBuf* b = memory::ensure_room(node, size_t(count) * sizeof(Cell));
    uint32_t len = b->length();
    if (index > len) index = len;
    Cell* c = b->cells();
    std::memmove(c + index + count, c + index, size_t(len - index) * sizeof(Cell));
    std::memcpy(c + index, first, size_t(count) * sizeof(Cell));
    b->tail += count * uint32_t(sizeof(Cell));
}

uint32_t copy_node(const Cell* b) {
    return memory::copy_range(series_node(b), series::clipped_head(b), uint32_t(length(b)));
}

namespace {

inline Cell* cells_of(const Cell* b) { return buf(series_node(b))->cells(); }

// The copy action of a nested value's type, or the plain series copy for a series type
// whose unit has no copy handler of its own yet.
actions::CopyFn copy_handler(uint32_t t) {
    auto h = reinterpret_cast<actions::CopyFn>(actions::handler_of(t, ACT_COPY));
    if (h) return h;
    if (is_series_type(t) && t != TYPE_IMAGE) return &series::copy;
    return nullptr;
}

// Replaces the cell at index of the node's buffer by its copy, keeping its new-line flag.
void replace_by_copy(uint32_t node, uint32_t index, actions::CopyFn fn, bool deep, Cell* types) {
    Cell v = buf(node)->cells()[index];
    Cell nv;
    set_unset(&nv);
    fn(&nv, &v, nullptr, deep, types);
    nv.header = (nv.header & ~HEADER_NEW_LINE) | (v.header & HEADER_NEW_LINE);
    buf(node)->cells()[index] = nv;
}

bool copyable_kind(uint32_t t) {
    return is_series_type(t) || t == TYPE_MAP || t == TYPE_BITSET || t == TYPE_OBJECT || t == TYPE_ERROR;
}

// `block/copy-nested-of-types`: every cell from first to end (every step cells) whose type is
// the datatype or in the typeset, and is a series, map!, bitset!, object! or error!, becomes
// its copy.
void copy_nested_of_types(uint32_t node, uint32_t first, uint32_t end, uint32_t step, bool deep, Cell* types) {
    for (uint32_t i = first; i < end && i < buf(node)->length(); i += step) {
        uint32_t t = type_of(&buf(node)->cells()[i]);
        bool wanted = type_of(types) == TYPE_DATATYPE ? datatype_value(types) == t : typeset_bits::has(types, t);
        if (!wanted || !copyable_kind(t)) continue;
        actions::CopyFn fn = copy_handler(t);
        if (fn) replace_by_copy(node, i, fn, deep, deep ? types : nullptr);
    }
}

// Every nested series value becomes its deep copy.
void copy_nested_series(uint32_t node) {
    for (uint32_t i = 0; i < buf(node)->length(); i++) {
        uint32_t t = type_of(&buf(node)->cells()[i]);
        if (!is_series_type(t)) continue;
        actions::CopyFn fn = copy_handler(t);
        if (fn) replace_by_copy(node, i, fn, true, nullptr);
    }
}

}  // namespace

// `block/copy`.
void copy(Cell* out, Cell* v, Cell* part, bool deep, Cell* types) {
    series::copy(out, v, part, deep, types);
    if (!deep && !types) return;
    if (type_of(v) == TYPE_HASH) retype(out, TYPE_BLOCK);
    uint32_t source = series_node(v);
    uint32_t node = series_node(out);
    if (deep && cycle::contains(source)) {
        cycle::reset();
        error::raise(error::ERR_INTERNAL_NO_CYCLE);
    }
    if (deep) cycle::push(source);
    struct Pop {
        bool on;
        ~Pop() { if (on) cycle::pop(); }
    } pop{deep};
    if (types) copy_nested_of_types(node, 0, buf(node)->length(), 1, deep, types);
    else copy_nested_series(node);
}

namespace {

// The cells of a vector! as values, into a new block.
void vector_to_block(Cell* out, const Cell* vec, uint32_t t) {
    Cell v = *vec;
    uint32_t n = uint32_t(series::count_to_tail(&v));
    uint32_t node = new_node(n);
    set_series(out, t, node);
    uint32_t h = series::clipped_head(&v);
    for (uint32_t i = 0; i < n; i++) {
        Cell e;
        series::element_value(&e, &v, h + i);
        append(node, &e);
    }
}

// The body of an object! or map!, through its reflect action, typed t.
void body_to_block(Cell* out, const Cell* value, uint32_t t) {
    Cell v = *value;
    auto reflect = actions::get<actions::ReflectFn>(type_of(&v), ACT_REFLECT);
    Cell body;
    reflect(&body, &v, sym(SYM_BODY_FIELD));
    if (!is_any_block_type(type_of(&body))) error::raise(error::ERR_SCRIPT_BAD_MAKE_ARG, &v);
    set_series(out, t, copy_node(&body));
}

// Conversions shared by make and to; false when the spec is not one of them.
bool convert_common(Cell* out, const Cell* spec, uint32_t t) {
    uint32_t st = type_of(spec);
    if (is_any_block_type(st)) {
        set_series(out, t, copy_node(spec));
    } else if (st == TYPE_OBJECT || st == TYPE_MAP) {
        body_to_block(out, spec, t);
    } else if (st == TYPE_VECTOR) {
        vector_to_block(out, spec, t);
    } else {
        return false;
    }
    return true;
}

}  // namespace

// `block/make`: room for a number of cells, or a copy of another any-block's cells, or the
// body of an object!, map! or vector!.
void make(Cell* out, Cell*, Cell* spec, uint32_t t) {
    uint32_t st = type_of(spec);
    if (st == TYPE_INTEGER || st == TYPE_FLOAT) {
        init_cell(out, make::spec_to_size(spec), t);
    } else if (!convert_common(out, spec, t)) {
        Cell dt;
        set_datatype(&dt, t);
        error::raise(error::ERR_SCRIPT_BAD_MAKE_ARG, &dt, spec);
    }
}

// `block/to`: a string! is loaded as source text, a typeset! gives its datatypes, and any
// other single value becomes a one-cell block.
void to(Cell* out, Cell*, Cell* spec, uint32_t t) {
    uint32_t st = type_of(spec);
    if (convert_common(out, spec, t)) return;
    if (st == TYPE_STRING) {
        std::string text = string::to_utf8(spec);
        lexer::load_utf8(out, text);
        retype(out, t);
    } else if (st == TYPE_TYPESET) {
        Cell ts = *spec;
        init_cell(out, 8, t);
        for (uint32_t k = 1; k <= TYPE_MAX; k++) {
            if (!typeset_bits::has(&ts, k)) continue;
            Cell dt;
            set_datatype(&dt, k);
            append(series_node(out), &dt);
        }
    } else {
        Cell v = *spec;
        init_cell(out, 1, t);
        append(series_node(out), &v);
    }
}

}  // namespace zel::block

namespace zel::block_ops {

using memory::buf;

int32_t form_body(const Cell* block_in, uint32_t b, const Cell* part, int32_t limit) {
    Cell block = *block_in;
    if (cycle::emit_marker(&block, b, limit, false)) return limit;
    uint32_t node = series_node(&block);
    cycle::Scope scope(node);
    uint32_t h = series::clipped_head(&block);
    for (uint32_t i = h; i < buf(node)->length(); i++) {
        if (part && limit < 1) break;
        if (i > h) {
            SeriesBuf* sb = buf(b);
            uint32_t n = sb->length();
            uint32_t last = n ? string::char_at(sb, n - 1) : 0;
            if (last != '\t' && last != '\n' && last != '\r') {
                string::append_char(b, ' ');
                limit--;
            }
        }
        Cell v = buf(node)->cells()[i];
        limit = actions::get<actions::FormFn>(type_of(&v), ACT_FORM)(&v, b, part, limit);
    }
    return limit;
}

int32_t mold_body_part(const Cell* block_in, uint32_t b, bool only, bool all, bool flat, const Cell* part,
                       int32_t limit, int32_t indent) {
    Cell block = *block_in;
    uint32_t node = series_node(&block);
    cycle::Scope scope(node);
    uint32_t h = series::clipped_head(&block);
    bool closing = false;
    for (uint32_t i = h; i < buf(node)->length(); i++) {
        if (part && limit < 1) return limit;
        Cell v = buf(node)->cells()[i];
        bool first = (i == h);
        if (!flat && has_new_line(&v)) {
            if (first && !only) {
                indent++;
                closing = true;
            }
            if (!(first && only)) {
                string::append_char(b, '\n');
                limit--;
            }
            limit = cycle::emit_indent(b, indent, limit);
        } else if (!first) {
            string::append_char(b, ' ');
            limit--;
        }
        limit = actions::get<actions::MoldFn>(type_of(&v), ACT_MOLD)(&v, b, false, all, flat, part, limit, indent);
    }
    if (closing) {
        indent--;
        string::append_char(b, '\n');
        limit = cycle::emit_indent(b, indent, limit - 1);
    }
    return limit;
}

int32_t mold_body(const Cell* block, uint32_t buffer, bool only, bool all, bool flat, int32_t limit,
                  int32_t indent) {
    return mold_body_part(block, buffer, only, all, flat, nullptr, limit < 0 ? 0x7FFFFFFF : limit, indent);
}

void copy_deep(Cell* out, const Cell* value) {
    Cell v = *value;
    uint32_t t = type_of(&v);
    if (is_any_block_type(t)) {
        block::copy(out, &v, nullptr, true, nullptr);
    } else if (is_series_type(t)) {
        auto fn = reinterpret_cast<actions::CopyFn>(actions::handler_of(t, ACT_COPY));
        if (fn) fn(out, &v, nullptr, true, nullptr);
        else if (t != TYPE_IMAGE) series::copy(out, &v, nullptr, true, nullptr);
        else *out = v;
    } else {
        *out = v;
    }
}

Cell* find_word(const Cell* block, uint32_t symbol, bool strict) {
    uint32_t node = series_node(block);
    SeriesBuf* b = buf(node);
    uint32_t len = b->length();
    uint32_t want = strict ? symbol : symbol::canonical(symbol);
    for (uint32_t i = series::clipped_head(block); i < len; i++) {
        const Cell* c = &b->cells()[i];
        uint32_t t = type_of(c);
        if (t != TYPE_WORD && t != TYPE_SET_WORD && t != TYPE_GET_WORD && t != TYPE_LIT_WORD) continue;
        uint32_t s = strict ? word_symbol(c) : symbol::canonical(word_symbol(c));
        if (s == want) return i + 1 < len ? &b->cells()[i + 1] : nullptr;
    }
    return nullptr;
}

}  // namespace zel::block_ops

namespace zel::block {

using series::Change;
using series::notify_owner;

namespace {

// ---- form, mold, compare ----

int32_t form(const Cell* v, uint32_t b, const Cell* part, int32_t limit) {
    return block_ops::form_body(v, b, part, limit);
}

int32_t mold(const Cell* v, uint32_t b, bool only, bool all, bool flat, const Cell* part, int32_t limit,
          int32_t indent) {
    if (cycle::emit_marker(v, b, limit, true)) return limit;
    if (!only) {
        string::append_char(b, '[');
        limit--;
    }
    limit = block_ops::mold_body_part(v, b, only, all, flat, part, limit, indent);
    if (!only) {
        string::append_char(b, ']');
        limit--;
    }
    return limit;
}

bool equality_op(int32_t op) {
    return op == actions::OP_EQUAL || op == actions::OP_NOT_EQUAL || op == actions::OP_STRICT_EQUAL ||
           op == actions::OP_STRICT_LIT || op == actions::OP_EQUAL_LIT || op == actions::OP_FIND;
}

bool comparable_cells(uint32_t t1, uint32_t t2) {
    return t1 == t2 || (is_any_word_type(t1) && is_any_word_type(t2)) || (is_number_type(t1) && is_number_type(t2));
}

int32_t compare(const Cell* a, const Cell* b, int32_t op) {
    uint32_t ta = type_of(a), tb = type_of(b);
    if (ta != tb) {
        bool lit_pair = (ta == TYPE_PATH && tb == TYPE_LIT_PATH) || (ta == TYPE_LIT_PATH && tb == TYPE_PATH);
        if (!(lit_pair && (op == actions::OP_STRICT_LIT || op == actions::OP_EQUAL_LIT))) return -2;
    }
    bool same = series_node(a) == series_node(b) && series_head(a) == series_head(b);
    if (op == actions::OP_SAME) return same ? 0 : -1;
    if (same) return 0;
    if (cycle::contains(series_node(a))) return cycle::contains(series_node(b)) ? 0 : -1;
    int32_t la = length(a), lb = length(b);
    if (la != lb && equality_op(op)) return 1;
    if (la == 0) return lb == 0 ? 0 : -1;
    Cell va = *a, vb = *b;
    cycle::Scope sa(series_node(&va));
    cycle::Scope sb(series_node(&vb));
    int32_t n = std::min(la, lb);
    uint32_t ha = series::clipped_head(&va), hb = series::clipped_head(&vb);
    for (int32_t i = 0; i < n; i++) {
        Cell c1 = cells_of(&va)[ha + i];
        Cell c2 = cells_of(&vb)[hb + i];
        uint32_t t1 = type_of(&c1), t2 = type_of(&c2);
        if (!comparable_cells(t1, t2)) return t1 < t2 ? -1 : 1;
        int32_t r = actions::compare_raw(&c1, &c2, op);
        if (r != 0) return r;
    }
    return la == lb ? 0 : (la < lb ? -1 : 1);
}

// ---- insert, append, change ----

// The new cell count of a block growing by extra cells, checked against the largest
// buffer (2^31 - 1 bytes).
size_t checked_cells(size_t len, int64_t extra) {
    int64_t total = int64_t(len) + extra;
    if (extra < 0 || total > 0x7FFFFFFF / int64_t(sizeof(Cell))) memory::raise_no_memory();
    return size_t(total);
}

// The cells an insert, append or change writes: the value's cells from its head (an
// any-block without /only) or the value itself. A source in the target's own buffer is
// copied out first, so that it stays intact while the target moves its cells; a source in
// another buffer is read in place (growing the target moves no other buffer).
class Source {
public:
    Source(const Cell* value, bool only) : value_(*value), block_(!only && is_any_block_type(type_of(value))) {}
    uint32_t count() const { return block_ ? uint32_t(length(&value_)) : 1; }
    // The cells, valid until the next evaluation (call after the owner was notified).
    const Cell* cells(uint32_t target_node) {
        if (!block_) return &value_;
        if (series_node(&value_) != target_node) return head(&value_);
        copy_.assign(head(&value_), head(&value_) + length(&value_));
        return copy_.data();
    }
private:
    Cell value_;
    bool block_;
    std::vector<Cell> copy_;
};

// Writes the n source cells at index of the node and repeats them dup times.
void write_repeated(uint32_t node, uint32_t index, const Cell* src, uint32_t n, int32_t dup) {
    Cell* at = buf(node)->cells() + index;
    std::memcpy(at, src, size_t(n) * sizeof(Cell));
    if (dup > 1) series::repeat_fill(reinterpret_cast<uint8_t*>(at), n * uint32_t(sizeof(Cell)), uint32_t(dup));
}

// Makes room for new_len cells; the buffer doubles the need unless dup is 5 or more.
SeriesBuf* room_for(uint32_t node, size_t new_len, int32_t dup) {
    SeriesBuf* b = buf(node);
    if (new_len * sizeof(Cell) <= b->size) return b;
    size_t want = new_len * sizeof(Cell);
    if (dup < 5) want = std::min<size_t>(want * 2, size_t(0x7FFFFFF0));
    return memory::grow(node, want);
}

// The cells a write takes from its source: all of them, or at most part (part < 0: no limit).
int64_t source_count(const Source& src, int32_t part) {
    int64_t n = src.count();
    return part >= 0 && part < n ? part : n;
}

void append(Cell* s, Cell* value, int32_t part, bool only, int32_t dup, bool append) {
    Source src(value, only);
    int64_t n = source_count(src, part);
    if (n == 0) return;
    if (dup < 1) dup = 1;
    uint32_t node = series_node(s);
    uint32_t len = buf(node)->length();
    if (series_head(s) > int32_t(len) || series_head(s) < 0) set_series_head(s, int32_t(series_head(s) < 0 ? 0 : len));
    uint32_t pos = append ? len : uint32_t(series_head(s));
    int64_t total = n * int64_t(dup);
    checked_cells(len, total);
    notify_owner(s, append ? Change::APPEND : Change::INSERT, value, int32_t(pos), int32_t(total));
    // The owner's handler may have changed the target or the source: both are read again.
    len = buf(node)->length();
    pos = append ? len : std::min(uint32_t(std::max(series_head(s), 0)), len);
    n = source_count(src, part);
    total = n * int64_t(dup);
    size_t new_len = checked_cells(len, total);
    if (n > 0) {
        const Cell* cells = src.cells(node);
        SeriesBuf* b = room_for(node, new_len, dup);
        Cell* c = b->cells();
        if (pos < len) std::memmove(c + pos + total, c + pos, size_t(len - pos) * sizeof(Cell));
        write_repeated(node, pos, cells, uint32_t(n), dup);
        b->tail = uint32_t(new_len * sizeof(Cell));
    }
    notify_owner(s, append ? Change::APPENDED : Change::INSERTED, value, int32_t(pos), int32_t(total));
    if (append) {
        set_series_head(s, 0);
    } else {
        uint32_t after = pos + uint32_t(total);
        uint32_t l = buf(node)->length();
        set_series_head(s, int32_t(after > l ? l : after));
    }
}

void change(Cell* s, Cell* value, int32_t part, bool only, int32_t dup) {
    Source src(value, only);
    int64_t n = src.count();
    if (dup < 1) dup = 1;
    uint32_t node = series_node(s);
    uint32_t len = buf(node)->length();
    if (series_head(s) > int32_t(len) || series_head(s) < 0) set_series_head(s, int32_t(series_head(s) < 0 ? 0 : len));
    uint32_t pos = uint32_t(series_head(s));
    int64_t total = n * int64_t(dup);
    checked_cells(len, total);
    notify_owner(s, Change::CHANGE, value, int32_t(pos), int32_t(total));
    // The owner's handler may have changed the target or the source: both are read again.
    len = buf(node)->length();
    pos = std::min(uint32_t(std::max(series_head(s), 0)), len);
    n = src.count();
    total = n * int64_t(dup);
    int64_t replaced = part >= 0 ? part : total;
    if (replaced > int64_t(len - pos)) replaced = len - pos;
    size_t new_len = checked_cells(len - size_t(replaced), total);
    const Cell* cells = src.cells(node);
    SeriesBuf* b = room_for(node, new_len, dup);
    Cell* c = b->cells();
    size_t rest = len - pos - size_t(replaced);
    if (total != replaced && rest) std::memmove(c + pos + total, c + pos + replaced, rest * sizeof(Cell));
    if (n > 0) write_repeated(node, pos, cells, uint32_t(n), dup);
    b->tail = uint32_t(new_len * sizeof(Cell));
    notify_owner(s, Change::CHANGED, value, int32_t(pos), int32_t(total));
    uint32_t after = pos + uint32_t(total);
    uint32_t l = buf(node)->length();
    set_series_head(s, int32_t(after > l ? l : after));
}

// ---- take, swap, trim ----

// take/deep: every series in the taken block becomes its deep copy (before the elements
// leave the block, so that a copy that raises no-cycle loses nothing).
void copy_taken_deep(Cell* taken) {
    uint32_t node = series_node(taken);
    for (uint32_t i = 0; i < buf(node)->length(); i++) {
        Cell v = buf(node)->cells()[i];
        if (!is_series_type(type_of(&v))) continue;
        Cell copied;
        block_ops::copy_deep(&copied, &v);
        copied.header = (copied.header & ~HEADER_NEW_LINE) | (v.header & HEADER_NEW_LINE);
        buf(node)->cells()[i] = copied;
    }
}

void take(Cell* out, Cell* s, Cell* part, bool deep, bool last) {
    Cell* r = series::take_with(s, part, last, deep ? copy_taken_deep : nullptr);
    if (type_of(r) == TYPE_NONE) { *out = *r; return; }
    uint32_t node = series_node(r);
    if (!part && buf(node)->length() == 1) *r = buf(node)->cells()[0];
    *out = *r;
}

void swap(Cell* a, Cell* b) {
    if (!is_any_block_type(type_of(b))) error::raise(error::ERR_SCRIPT_INVALID_ARG, b);
    if (series::is_tail_reached(a) || series::is_tail_reached(b) || series_head(a) < 0 || series_head(b) < 0) return;
    notify_owner(a, Change::SWAP, nullptr, series_head(a), 1);
    notify_owner(b, Change::SWAP, nullptr, series_head(b), 1);
    if (!series::is_tail_reached(a) && !series::is_tail_reached(b)) {
        Cell* ca = cells_of(a) + series_head(a);
        Cell* cb = cells_of(b) + series_head(b);
        std::swap(*ca, *cb);
        hash::track_swap(a, b);
    }
    notify_owner(a, Change::SWAPED, nullptr, series_head(a), 1);
    notify_owner(b, Change::SWAPED, nullptr, series_head(b), 1);
}

void trim(Cell* s, bool, bool, bool, bool, bool, Cell*) {
    int32_t n = series::count_to_tail(s);
    if (n < 1) return;
    uint32_t h = series::clipped_head(s);
    notify_owner(s, Change::TRIM, nullptr, int32_t(h), n);
    // The owner's handler may have changed the block: its head and tail are read again.
    h = series::clipped_head(s);
    n = series::count_to_tail(s);
    SeriesBuf* b = buf(series_node(s));
    Cell* c = b->cells();
    uint32_t len = b->length(), out = h;
    for (uint32_t i = h; i < len; i++)
        if (type_of(&c[i]) != TYPE_NONE) c[out++] = c[i];
    b->tail = out * uint32_t(sizeof(Cell));
    notify_owner(s, Change::TRIMMED, nullptr, int32_t(h), n);
}

// ---- eval-path ----

[[noreturn]] void raise_bad_path_set(const actions::PathStep& step, const Cell* element) {
    error::raise(error::ERR_SCRIPT_BAD_PATH_SET, step.path ? step.path : element, element);
}

void poke_cell(Cell* parent, uint32_t index, Cell* value) {
    notify_owner(parent, Change::POKE, value, int32_t(index), 1);
    if (index < buf(series_node(parent))->length()) cells_of(parent)[index] = *value;
    notify_owner(parent, Change::POKED, value, int32_t(index), 1);
}

void eval_path(Cell* out, Cell* parent, Cell* element, Cell* value, const actions::PathStep& step) {
    uint32_t et = type_of(element);
    uint32_t node = series_node(parent);
    if (et == TYPE_INTEGER) {
        int32_t i = int_value(element);
        int64_t p = i == 0 ? -1 : int64_t(series_head(parent)) + (i > 0 ? i - 1 : i);
        bool inside = p >= 0 && p < int64_t(buf(node)->length());
        if (!value) {
            if (inside) *out = buf(node)->cells()[p];
            else set_none(out);
            return;
        }
        if (!inside) error::raise(error::ERR_SCRIPT_OUT_OF_RANGE, element);
        poke_cell(parent, uint32_t(p), value);
        *out = *value;
        return;
    }
    bool word_key = et == TYPE_WORD && type_of(parent) != TYPE_HASH;
    if (!value) {
        if (word_key) {
            Cell* c = block_ops::find_word(parent, word_symbol(element), step.case_sensitive);
            if (c) *out = *c;
            else set_none(out);
            return;
        }
        actions::FindArgs a{parent, element, nullptr, false, step.case_sensitive, false, false,
                            nullptr, nullptr, false, false, false, false};
        actions::get<actions::FindFn>(type_of(parent), ACT_SELECT)(out, a);
        return;
    }
    int64_t index;
    if (word_key) {
        Cell* c = block_ops::find_word(parent, word_symbol(element), step.case_sensitive);
        if (!c) raise_bad_path_set(step, element);
        index = c - buf(node)->cells();
    } else {
        actions::FindArgs a{parent, element, nullptr, false, step.case_sensitive, false, false,
                            nullptr, nullptr, false, false, false, false};
        Cell found;
        actions::get<actions::FindFn>(type_of(parent), ACT_FIND)(&found, a);
        Cell* r = &found;
        if (type_of(r) == TYPE_NONE) raise_bad_path_set(step, element);
        index = int64_t(series_head(r)) + 1;
        if (index >= int64_t(buf(node)->length())) raise_bad_path_set(step, element);
    }
    poke_cell(parent, uint32_t(index), value);
    *out = *value;
}

// block!'s registration: its own handlers, series!'s for the positions and element access.
actions::TypeSpec type_spec() {
    actions::TypeSpec spec{TYPE_BLOCK, {}};
    auto set = [&](auto action, auto fn) { actions::put(spec, action, fn); };
    for (int a : std::initializer_list<int>{ACT_RANDOM, ACT_REFLECT, ACT_AT, ACT_BACK, ACT_CLEAR, ACT_HEAD, ACT_HEAD_Q, ACT_INDEX_Q,
                  ACT_LENGTH_Q, ACT_MOVE, ACT_NEXT, ACT_PICK, ACT_POKE, ACT_REMOVE, ACT_REVERSE, ACT_SKIP,
                  ACT_TAIL, ACT_TAIL_Q, ACT_MODIFY})
        set(a, actions::INHERIT);
    set(ACT_MAKE, &make);
    set(ACT_TO, &to);
    set(ACT_FORM, form);
    set(ACT_MOLD, mold);
    set(ACT_EVAL_PATH, eval_path);
    set(ACT_COMPARE, compare);
    using AppendFn = void (*)(Cell*, Cell*, int32_t, bool, int32_t, bool);
    set(ACT_APPEND, static_cast<AppendFn>(&append));
    set(ACT_INSERT, static_cast<AppendFn>(&append));
    set(ACT_CHANGE, change);
    set(ACT_COPY, &copy);
    set(ACT_SWAP, swap);
    set(ACT_TAKE, take);
    set(ACT_TRIM, trim);
    set(ACT_FIND, &block::find);
    set(ACT_SELECT, &block::select);
    set(ACT_PUT, &block::put);
    set(ACT_SORT, &block::sort);
    return spec;
}

}  // namespace

}  // namespace zel::block

namespace zel::datatypes {

void register_block() { actions::register_type(block::type_spec()); }

}  // namespace zel::datatypes
