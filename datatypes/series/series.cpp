// series!: the pseudo-datatype that holds the action handlers every series shares (block!
// and string! name it as their parent). The handlers work on any series through the
// buffer's unit; only where an element must become a value, or a value an element, do they
// switch on the value's type.
//
// None of these handlers evaluates Zel code, except through notify_owner (an owner's
// on-deep-change*); every handler re-derives its buffer pointers after a notification.
#include "datatypes/series/series.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "core/actions.h"
#include "core/error.h"
#include "core/hashtable.h"
#include "core/ownership.h"
#include "core/stack.h"
#include "core/support.h"
#include "core/symbol.h"
#include "core/word.h"
#include "datatypes/datatypes.h"
#include "datatypes/scalar/pair.h"
#include "datatypes/scalar/random.h"
#include "datatypes/series/hash.h"
#include "datatypes/series/string.h"
#include "datatypes/series/vector.h"

namespace zel::series {

using memory::buf;

// ---- shared operations ----

int32_t count_to_tail(Cell* s, bool from_start) {
    uint32_t len = buffer_count(s);
    int32_t h = series_head(s);
    if (h > 0 && uint32_t(h) > len) {
        set_series_head(s, int32_t(len));
        return 0;
    }
    if (from_start || h < 0) return int32_t(len);
    return int32_t(len - uint32_t(h));
}

bool move_head_index(Cell* s, int32_t n) {
    int64_t p = int64_t(series_head(s)) + n;
    int64_t len = buffer_count(s);
    if (p <= len && p >= 0) set_series_head(s, int32_t(p));
    return p >= len;
}

void raise_invalid_refine(SymId refinement, const Cell* value) {
    Cell w;
    word::make_global(&w, TYPE_REFINEMENT, sym(refinement));
    error::raise(error::ERR_SCRIPT_INVALID_REFINE_ARG, &w, value);
}

int32_t part_count(const Cell* s, const Cell* part) { return support::part_count(s, part); }

namespace {

// Vector elements: integers and characters of 1, 2 or 4 bytes, floats of 4 or 8 bytes,
// percents of 8 bytes. Integers read as signed numbers; characters as code points.
void read_vector_element(Cell* out, const uint8_t* p, uint32_t unit, uint32_t elem_type) {
    switch (elem_type) {
        case TYPE_INTEGER: {
            int32_t v = unit == 1 ? int32_t(int8_t(*p)) : unit == 2 ? int32_t(*reinterpret_cast<const int16_t*>(p))
                                                                     : *reinterpret_cast<const int32_t*>(p);
            set_integer(out, v);
            return;
        }
        case TYPE_CHAR: {
            uint32_t v = unit == 1 ? *p : unit == 2 ? *reinterpret_cast<const uint16_t*>(p)
                                                    : *reinterpret_cast<const uint32_t*>(p);
            set_char(out, v);
            return;
        }
        default: {
            double d = unit == 4 ? double(*reinterpret_cast<const float*>(p)) : *reinterpret_cast<const double*>(p);
            set_float_bits(out, elem_type == TYPE_PERCENT ? TYPE_PERCENT : TYPE_FLOAT, d);
            return;
        }
    }
}

void write_vector_element(uint8_t* p, uint32_t unit, const Cell* v) {
    uint32_t t = type_of(v);
    if (t == TYPE_INTEGER || t == TYPE_CHAR) {
        uint32_t x = uint32_t(int_value(v));
        if (unit == 1) *p = uint8_t(x);
        else if (unit == 2) *reinterpret_cast<uint16_t*>(p) = uint16_t(x);
        else *reinterpret_cast<uint32_t*>(p) = x;
    } else {
        double d = float_value(v);
        if (unit == 4) *reinterpret_cast<float*>(p) = float(d);
        else *reinterpret_cast<double*>(p) = d;
    }
}

}  // namespace

void element_value(Cell* out, const Cell* s_in, uint32_t index) {
    Cell s = *s_in;   // out may be the series' own cell
    SeriesBuf* b = buffer_of(&s);
    uint32_t t = type_of(&s);
    if (is_any_block_type(t) || t == TYPE_MAP) {
        *out = b->cells()[index];
    } else if (t == TYPE_BINARY) {
        set_integer(out, b->data()[index]);
    } else if (t == TYPE_VECTOR) {
        read_vector_element(out, b->data() + size_t(index) * b->unit(), b->unit(), vector::elem_type(&s));
    } else {
        set_char(out, string::char_at(b, index));
    }
}

void store_element(const Cell* s, uint32_t index, const Cell* value) {
    uint32_t t = type_of(s);
    uint32_t node = series_node(s);
    SeriesBuf* b = buf(node);
    if (is_any_block_type(t) || t == TYPE_MAP) {
        b->cells()[index] = *value;
    } else if (t == TYPE_BINARY) {
        int32_t v;
        if (type_of(value) == TYPE_INTEGER) v = int_value(value);
        else if (type_of(value) == TYPE_CHAR && char_value(value) <= 0xFF) v = int32_t(char_value(value));
        else error::raise(error::ERR_SCRIPT_INVALID_ARG, value);
        if (v < -128 || v > 255) error::raise(error::ERR_SCRIPT_INVALID_ARG, value);
        b->data()[index] = uint8_t(v);
    } else if (t == TYPE_VECTOR) {
        if (type_of(value) != vector::elem_type(s)) error::raise(error::ERR_SCRIPT_INVALID_ARG, value);
        write_vector_element(b->data() + size_t(index) * b->unit(), b->unit(), value);
    } else {
        if (type_of(value) != TYPE_CHAR) error::raise(error::ERR_SCRIPT_INVALID_ARG, value);
        string::write_char(node, index, char_value(value));
    }
}

uint8_t* repeat_fill(uint8_t* addr, uint32_t unit_bytes, uint32_t count) {
    size_t total = size_t(unit_bytes) * count;
    size_t filled = count ? unit_bytes : total;
    while (filled < total) {
        size_t n = std::min(filled, total - filled);
        std::memcpy(addr + filled, addr, n);
        filled += n;
    }
    return addr + total;
}

// ---- owner notification (ownership tracking) ----

const char* change_word(Change c) {
    static const char* const words[] = {
        "clear", "cleared", "remove", "removed", "random", "randomized", "reverse", "reversed",
        "take", "taken", "move", "moved", "poke", "poked", "insert", "inserted", "append", "appended",
        "change", "changed", "put", "put-ed", "sort", "sorted", "swap", "swaped", "trim", "trimmed",
    };
    return words[int(c)];
}

// The symbols of the change words, interned at their first use.
uint32_t change_symbol(Change c) {
    static uint32_t symbols[int(Change::TRIMMED) + 1];
    uint32_t& s = symbols[int(c)];
    if (!s) s = symbol::intern(change_word(c));
    return s;
}

void notify_owner(const Cell* value, Change action, const Cell* new_value, int32_t index, int32_t part) {
    // A hash!'s index follows every change of its block (hash.h).
    if (type_of(value) == TYPE_HASH) hash::track_change(value, action, index, part);
    if (!ownership::is_owned(value)) return;
    ownership::notify_change(value, change_symbol(action), new_value, index, part);
}

void owner_of(Cell* out, const Cell* value) {
    const Cell* owner = ownership::is_ownable(type_of(value)) ? ownership::owner_of(series_node(value)) : nullptr;
    if (owner) *out = *owner; else set_none(out);
}

void set_owner(const Cell* value, const Cell* owner, const Cell* field_word) {
    if (!owner) ownership::drop_owner(value);
    else ownership::record_owner_walk(value, owner, field_word);
}

// ---- random draws ----

uint32_t random_draw(uint32_t n, bool secure) {
    if (n <= 1) return 1;
    return uint32_t(zel::random::uniform_int(int32_t(n), secure));
}

void random_seed(uint32_t seed) { zel::random::seed(seed); }

// ---- the series! handlers ----

namespace {

using stack::arg;

// Writes a new empty series of the value's type (head 0, same unit) into out.
void empty_like(Cell* out, const Cell* s) {
    uint32_t node = memory::copy_range(series_node(s), 0, 0);
    set_series(out, type_of(s), node, 0, type_of(s) == TYPE_VECTOR ? vector::elem_type(s) : 0);
}

void head() {
    set_series_head(arg(0), 0);
    stack::keep_result_slot();
}

void tail() {
    set_series_head(arg(0), int32_t(buffer_count(arg(0))));
    stack::keep_result_slot();
}

void next() {
    Cell* s = arg(0);
    int32_t h = series_head(s) < 0 ? 0 : series_head(s);
    if (uint32_t(h) < buffer_count(s)) set_series_head(s, int32_t(h + 1));
    stack::keep_result_slot();
}

void back() {
    Cell* s = arg(0);
    if (series_head(s) > 0) set_series_head(s, int32_t(series_head(s) - 1));
    stack::keep_result_slot();
}

void at_or_skip(bool at) {
    Cell* s = arg(0);
    Cell* n = arg(1);
    if (type_of(n) != TYPE_INTEGER) error::raise(error::ERR_SCRIPT_INVALID_ARG, n);
    int64_t h = series_head(s);
    int64_t k = int_value(n);
    int64_t p = at ? (k >= 1 ? h + k - 1 : h + k) : h + k;
    int64_t len = buffer_count(s);
    set_series_head(s, int32_t(p < 0 ? 0 : (p > len ? len : p)));
    stack::keep_result_slot();
}
void at() { at_or_skip(true); }
void skip() { at_or_skip(false); }

void is_head() {
    bool r = series_head(arg(0)) == 0;
    set_logic(stack::base, r);
    stack::keep_result_slot();
}

void is_tail() {
    bool r = is_tail_reached(arg(0));
    set_logic(stack::base, r);
    stack::keep_result_slot();
}

void is_index() {
    int32_t i = series_head(arg(0)) + 1;
    set_integer(stack::base, i);
    stack::keep_result_slot();
}

int32_t is_length(const Cell* s) { return count_to_tail(const_cast<Cell*>(s)); }

// The buffer position that pick and poke address: head + i - 1 for i > 0, head + i for
// i < 0; -1 when i is 0 or the position lies outside the buffer.
int64_t pick_position(const Cell* s, int32_t i) {
    if (i == 0) return -1;
    int64_t p = int64_t(series_head(s)) + (i > 0 ? int64_t(i) - 1 : int64_t(i));
    if (p < 0 || p >= int64_t(buffer_count(s))) return -1;
    return p;
}

void pick(Cell* out, Cell* s, int32_t index, Cell*) {
    int64_t p = pick_position(s, index);
    if (p < 0) set_none(out);
    else element_value(out, s, uint32_t(p));
}

void poke(Cell* out, Cell* s, int32_t index, Cell* value, Cell*) {
    int64_t p = pick_position(s, index);
    if (p < 0) {
        Cell i;
        set_integer(&i, index);
        error::raise(error::ERR_SCRIPT_OUT_OF_RANGE, &i);
    }
    notify_owner(s, Change::POKE, value, int32_t(p), 1);
    if (uint32_t(p) < buffer_count(s)) store_element(s, uint32_t(p), value);
    notify_owner(s, Change::POKED, value, int32_t(p), 1);
    *out = *value;
}

void clear(Cell* s) {
    int32_t n = count_to_tail(s);
    if (n < 1) return;
    int32_t h = series_head(s);
    notify_owner(s, Change::CLEAR, nullptr, h, n);
    // The owner's handler may have changed the series: what lies after the head now goes.
    n = count_to_tail(s);
    SeriesBuf* b = buffer_of(s);
    if (n > 0) b->tail = uint32_t(h) << b->unit_shift();
    notify_owner(s, Change::CLEARED, nullptr, h, n);
}

}  // namespace

// `series/copy`: the shallow copy of a series from its head, or of the /part range.
void copy(Cell* out, Cell* v, Cell* part, bool, Cell*) {
    int64_t len = buffer_count(v);
    int64_t head = series_head(v) < 0 ? 0 : series_head(v);
    int64_t start = head, count = len - head;
    if (part) {
        if (type_of(part) == TYPE_PAIR) {
            int64_t x = pair::x_of(part), y = pair::y_of(part);
            start = x < 0 ? head + x : head + x - 1;
            if (start < 0) start = 0;
            count = y < x ? 0 : y - x;
        } else {
            int64_t n = part_count(v, part);
            if (n < 0) {
                start = head + n;
                count = -n;
                if (start < 0) {
                    start = 0;
                    count = head;
                }
            } else {
                count = n;
            }
        }
    }
    if (start > len) {
        start = len;
        count = 0;
    }
    if (count < 0) count = 0;
    if (start + count > len) count = len - start;
    uint32_t node = memory::copy_range(series_node(v), uint32_t(start), uint32_t(count));
    uint32_t t = type_of(v);
    set_series(out, t, node, 0, t == TYPE_VECTOR ? vector::elem_type(v) : 0);
    out->header |= v->header & HEADER_NEW_LINE;
}

namespace {

void remove(Cell* s, Cell* part, Cell* key) {
    int64_t wanted = 1;
    if (part) wanted = part_count(s, part);
    if (wanted < 1) return;
    if (key) {
        actions::FindArgs a{s, key, nullptr, false, true, false, false, nullptr, nullptr, false, false, false, false};
        Cell found;
        actions::get<actions::FindFn>(type_of(s), ACT_FIND)(&found, a);
        if (type_of(&found) == TYPE_NONE) {
            set_none(stack::base);
            return;
        }
        set_series_head(s, series_head(&found));
        wanted++;
    }
    // The elements removed: the wanted count, cut at the tail as the series is when asked.
    int64_t pos = series_head(s) < 0 ? 0 : series_head(s);
    auto cut = [&] { return std::max<int64_t>(0, std::min<int64_t>(wanted, int64_t(buffer_count(s)) - pos)); };
    int64_t count = cut();
    if (count == 0) return;
    notify_owner(s, Change::REMOVE, nullptr, int32_t(pos), int32_t(count));
    // The owner's handler may have changed the series: the count is cut again.
    count = cut();
    SeriesBuf* b = buffer_of(s);
    if (count > 0) {
        uint32_t shift = b->unit_shift();
        uint8_t* d = b->data();
        size_t rest = size_t(int64_t(b->length()) - pos - count) << shift;
        if (rest) std::memmove(d + (size_t(pos) << shift), d + (size_t(pos + count) << shift), rest);
        b->tail -= uint32_t(size_t(count) << shift);
    }
    notify_owner(s, Change::REMOVED, nullptr, int32_t(pos), int32_t(count));
}

// The records reverse swaps: count elements from head, in records of size; false when
// nothing is to be reversed. Raises for a bad /skip.
bool plan_reverse(Cell* s, const Cell* part, const Cell* skip, int64_t& head, int64_t& count, int64_t& size) {
    if (is_tail_reached(s)) return false;
    int64_t avail = count_to_tail(s);
    count = avail;
    if (part) {
        count = part_count(s, part);
        if (count < 1) return false;
        if (count > avail) count = avail;
    }
    size = 1;
    if (skip) {
        if (type_of(skip) != TYPE_INTEGER) raise_invalid_refine(SYM_SKIP, skip);
        size = int_value(skip);
        if (size == count) return false;
        if (size < 1) error::raise(error::ERR_SCRIPT_OUT_OF_RANGE, skip);
        if (count < size || count % size != 0) raise_invalid_refine(SYM_SKIP, skip);
    }
    head = clipped_head(s);
    return true;
}

void reverse(Cell* s, Cell* part, Cell* skip) {
    int64_t h, count, size;
    if (!plan_reverse(s, part, skip, h, count, size)) return;
    notify_owner(s, Change::REVERSE, nullptr, int32_t(h), int32_t(count));
    // The owner's handler may have changed the series: the records are planned again.
    if (plan_reverse(s, part, skip, h, count, size)) {
        SeriesBuf* b = buffer_of(s);
        size_t rec = size_t(size) << b->unit_shift();
        std::vector<uint8_t> tmp(rec);
        uint8_t* lo = b->data() + (size_t(h) << b->unit_shift());
        uint8_t* hi = lo + (size_t(count) << b->unit_shift()) - rec;
        while (lo < hi) {
            std::memcpy(tmp.data(), lo, rec);
            std::memcpy(lo, hi, rec);
            std::memcpy(hi, tmp.data(), rec);
            lo += rec;
            hi -= rec;
        }
    } else {
        count = 0;
    }
    notify_owner(s, Change::REVERSED, nullptr, int32_t(h), int32_t(count));
}

void swap_elements(SeriesBuf* b, uint32_t i, uint32_t j) {
    uint32_t u = b->unit();
    uint8_t tmp[16];
    uint8_t* a = b->data() + size_t(i) * u;
    uint8_t* c = b->data() + size_t(j) * u;
    std::memcpy(tmp, a, u);
    std::memcpy(a, c, u);
    std::memcpy(c, tmp, u);
}

void random(Cell* s, bool seed, bool secure, bool only) {
    stack::keep_result_slot();
    if (seed) {
        int32_t n = count_to_tail(s);
        SeriesBuf* b = buffer_of(s);
        uint32_t shift = b->unit_shift();
        uint32_t h = hashtable::murmur3(b->data() + (size_t(clipped_head(s)) << shift), size_t(n) << shift);
        random_seed(h);
        set_unset(stack::base);
        return;
    }
    int32_t n = count_to_tail(s);
    if (only) {
        if (n < 1) {
            set_none(stack::base);
            return;
        }
        uint32_t r = random_draw(uint32_t(n), secure);
        element_value(stack::base, s, clipped_head(s) + r - 1);
        return;
    }
    if (n < 1) return;
    int32_t h = series_head(s);
    notify_owner(s, Change::RANDOM, nullptr, h, n);
    // The owner's handler may have changed the series: what is there now is shuffled.
    n = count_to_tail(s);
    h = int32_t(clipped_head(s));
    SeriesBuf* b = buffer_of(s);
    uint32_t pos = uint32_t(h);
    for (uint32_t k = uint32_t(n); k >= 1; k--, pos++) {
        uint32_t r = random_draw(k, secure);
        if (r != 1) swap_elements(b, pos, pos + r - 1);
    }
    notify_owner(s, Change::RANDOMIZED, nullptr, h, n);
}

void reflect(Cell* out, Cell* s, uint32_t field) {
    if (!symbol::same_canonical(field, sym(SYM_OWNED))) error::raise(error::ERR_INTERNAL_NOT_DONE);
    owner_of(out, s);
}

void modify(Cell* out, Cell* s, Cell* field, Cell* value, bool) {
    if (!is_any_word_type(type_of(field)) || !symbol::same_canonical(word_symbol(field), sym(SYM_OWNED))) { *out = *s; return; }
    if (type_of(value) == TYPE_NONE) {
        set_owner(s, nullptr, nullptr);
    } else if (type_of(value) == TYPE_BLOCK && count_to_tail(value) >= 2) {
        SeriesBuf* b = buffer_of(value);
        Cell owner = b->cells()[series_head(value)];
        Cell word = b->cells()[series_head(value) + 1];
        if (type_of(&owner) == TYPE_OBJECT) set_owner(s, &owner, &word);
    }
    *out = *s;
}

bool movable_pair(uint32_t a, uint32_t b, const Cell* origin, const Cell* target) {
    if (is_any_block_type(a)) return is_any_block_type(b);
    if (is_text_type(a)) return is_text_type(b);
    if (a == TYPE_BINARY) return b == TYPE_BINARY;
    if (a == TYPE_VECTOR)
        return b == TYPE_VECTOR && vector::elem_type(origin) == vector::elem_type(target) && buffer_of(origin)->unit() == buffer_of(target)->unit();
    return false;
}

[[noreturn]] void raise_move_bad(const Cell* origin, const Cell* target) {
    Cell a, b;
    set_datatype(&a, type_of(origin));
    set_datatype(&b, type_of(target));
    error::raise(error::ERR_SCRIPT_MOVE_BAD, &a, &b);
}

// What move moves: count elements from src of the origin, to the target position t.
struct MovePlan {
    uint32_t src = 0, count = 0, t = 0;
};

// The stretch of a move as the series are now; false when nothing is to be moved.
bool plan_move(Cell* origin, Cell* target, const Cell* part, MovePlan& m) {
    int64_t avail = count_to_tail(origin);
    if (avail == 0) return false;
    int64_t count = 1;
    if (part) {
        count = part_count(origin, part);
        if (count < 1) return false;
    }
    if (count > avail) count = avail;
    m.src = clipped_head(origin);
    m.count = uint32_t(count);
    m.t = clipped_head(target);
    return true;
}

// Where a stretch moved inside its own buffer lands: right after the element at t (t after
// the stretch; at the tail when t is the tail) or at t (t before it). False when it stays.
bool move_destination(const Cell* s, const MovePlan& m, uint32_t& dest) {
    uint32_t len = buffer_count(s);
    if (m.t > m.src) {
        if (m.t < m.src + m.count) return false;   // a target inside the stretch leaves it in place
        dest = m.t >= len ? len - m.count : m.t + 1 - m.count;
    } else {
        dest = m.t;
    }
    return dest != m.src;
}

// Moves the stretch inside one buffer.
void move_within(Cell* origin, Cell* target, const Cell* part, MovePlan m) {
    uint32_t dest;
    if (!move_destination(origin, m, dest)) return;
    notify_owner(origin, Change::MOVE, nullptr, int32_t(m.src), int32_t(m.count));
    // The owner's handler may have changed the series: the move is planned again.
    uint32_t count = 0;
    if (plan_move(origin, target, part, m) && move_destination(origin, m, dest)) {
        count = m.count;
        SeriesBuf* b = buffer_of(origin);
        uint32_t shift = b->unit_shift();
        uint8_t* d = b->data();
        uint32_t src = m.src;
        std::vector<uint8_t> tmp(size_t(count) << shift);
        std::memcpy(tmp.data(), d + (size_t(src) << shift), tmp.size());
        if (dest > src)
            std::memmove(d + (size_t(src) << shift), d + (size_t(src + count) << shift), size_t(dest - src) << shift);
        else
            std::memmove(d + (size_t(dest + count) << shift), d + (size_t(dest) << shift), size_t(src - dest) << shift);
        std::memcpy(d + (size_t(dest) << shift), tmp.data(), tmp.size());
        // A hash!'s index is renewed over every cell that moved, from the lower end (the
        // owner is told the destination; a handler may have re-indexed since the move began).
        hash::track_change(origin, Change::CHANGED, int32_t(std::min(src, dest)), int32_t(count));
    } else {
        dest = m.t;
    }
    notify_owner(target, Change::MOVED, nullptr, int32_t(dest), int32_t(count));
}

// Moves the stretch from one buffer into another (same kinds; text by code point).
void move_between(Cell* origin, Cell* target, const Cell* part, MovePlan m) {
    notify_owner(origin, Change::MOVE, nullptr, int32_t(m.src), int32_t(m.count));
    // The owner's handler may have changed either series: the move is planned again.
    if (!plan_move(origin, target, part, m)) {
        notify_owner(target, Change::MOVED, nullptr, int32_t(clipped_head(target)), 0);
        return;
    }
    uint32_t onode = series_node(origin), tnode = series_node(target);
    uint32_t src = m.src, count = m.count, t = m.t;
    if (is_text_type(type_of(origin)) && buf(onode)->unit() != buf(tnode)->unit()) {
        // Widen the target to what the moved code points need, then copy them one by one.
        uint32_t top = 0;
        for (uint32_t i = 0; i < count; i++) top = std::max(top, string::char_at(buf(onode), src + i));
        uint32_t need = top <= 0xFF ? 1 : top <= 0xFFFF ? 2 : 4;
        if (need > buf(tnode)->unit()) string::widen(tnode, need);
    }
    SeriesBuf* tb = buf(tnode);
    uint32_t tu = tb->unit();
    size_t need = size_t(tb->length() + count) * tu;
    if (need > 0x7FFFFFFF) memory::raise_no_memory();
    if (need > tb->size) tb = memory::grow(tnode, need * 2);
    SeriesBuf* ob = buf(onode);
    uint8_t* td = tb->data();
    std::memmove(td + size_t(t + count) * tu, td + size_t(t) * tu, size_t(tb->length() - t) * tu);
    if (ob->unit() == tu) {
        std::memcpy(td + size_t(t) * tu, ob->data() + size_t(src) * tu, size_t(count) * tu);
    } else {
        for (uint32_t i = 0; i < count; i++) {
            uint32_t cp = string::char_at(ob, src + i);
            uint8_t* p = td + size_t(t + i) * tu;
            if (tu == 2) *reinterpret_cast<uint16_t*>(p) = uint16_t(cp);
            else if (tu == 4) *reinterpret_cast<uint32_t*>(p) = cp;
            else *p = uint8_t(cp);
        }
    }
    tb->tail += count * tu;
    uint32_t ou = ob->unit();
    uint8_t* od = ob->data();
    std::memmove(od + size_t(src) * ou, od + size_t(src + count) * ou, size_t(ob->length() - src - count) * ou);
    ob->tail -= count * ou;
    // The origin's owner hears only of the move itself; a hash! origin's index follows the
    // removal all the same.
    hash::track_change(origin, Change::REMOVED, int32_t(src), int32_t(count));
    notify_owner(target, Change::MOVED, nullptr, int32_t(t), int32_t(count));
}

void move(Cell* out, Cell* origin, Cell* target, Cell* part) {
    uint32_t tt = type_of(target), ot = type_of(origin);
    bool target_ok = is_any_block_type(tt) || is_text_type(tt) || tt == TYPE_BINARY || tt == TYPE_VECTOR;
    if (!target_ok) {
        Cell calling, w;
        stack::calling_word(&calling);
        word::make_global(&w, TYPE_WORD, "target");
        error::raise_expect_arg(&calling, tt, &w);
    }
    MovePlan m;
    if (!plan_move(origin, target, part, m)) { *out = *target; return; }
    if (series_node(origin) == series_node(target)) {
        if (m.t != m.src) move_within(origin, target, part, m);
        *out = *target; return;
    }
    if (!movable_pair(ot, tt, origin, target)) raise_move_bad(origin, target);
    move_between(origin, target, part, m);
    *out = *target;
}

}  // namespace

namespace {

// What take cuts: amount elements from start. NONE: nothing is left to take (the result is
// none); EMPTY: the request takes nothing (an empty series of the same type), after telling
// the owner when notify is set; CUT: the stretch.
struct TakePlan {
    enum Kind { NONE, EMPTY, CUT } kind = NONE;
    bool notify = false;
    int64_t start = 0, amount = 0;
};

TakePlan plan_take(Cell* s, const Cell* part, bool last) {
    TakePlan p;
    int64_t avail = count_to_tail(s);
    if (avail == 0) return p;
    int64_t head = clipped_head(s);
    int64_t amount = 1;
    bool before = false;
    if (part) {
        int64_t n;
        if (type_of(part) == TYPE_INTEGER) {
            n = int_value(part);
        } else if (type_of(part) == type_of(s) && series_node(part) == series_node(s)) {
            int64_t ph = series_head(part);
            if (ph < head) n = 0;
            else n = last ? avail - (ph - head) : ph - head;
        } else {
            raise_invalid_refine(SYM_PART, part);
        }
        if (n == 0) {
            p.kind = TakePlan::EMPTY;
            return p;
        }
        if (n < 0) {
            before = true;
            amount = std::min<int64_t>(-n, head);
            if (last || head == 0) {
                p.kind = TakePlan::EMPTY;
                p.notify = true;
                p.start = head;
                return p;
            }
        } else {
            amount = std::min<int64_t>(n, avail);
        }
    }
    int64_t len = buffer_count(s);
    p.kind = TakePlan::CUT;
    p.start = last ? len - amount : before ? head - amount : head;
    p.amount = amount;
    return p;
}

}  // namespace

Cell* take_with(Cell* s, Cell* part, bool last, void (*prepare)(Cell* taken)) {
    Cell* out = stack::push();
    TakePlan p = plan_take(s, part, last);
    if (p.kind == TakePlan::NONE) {
        set_none(out);
        return out;
    }
    if (p.kind == TakePlan::EMPTY && !p.notify) {
        empty_like(out, s);
        return out;
    }
    notify_owner(s, Change::TAKE, nullptr, int32_t(p.start), int32_t(p.amount));
    // The owner's handler may have changed the series: the cut is planned again.
    p = plan_take(s, part, last);
    if (p.kind != TakePlan::CUT) {
        if (p.kind == TakePlan::NONE) set_none(out);
        else empty_like(out, s);
        notify_owner(s, Change::TAKEN, nullptr, int32_t(p.start), 0);
        return out;
    }
    uint32_t start = uint32_t(p.start), amount = uint32_t(p.amount);
    uint32_t t = type_of(s);
    set_series(out, t, memory::copy_range(series_node(s), start, amount), 0, t == TYPE_VECTOR ? vector::elem_type(s) : 0);
    // The result is complete before anything is removed: a prepare step that fails (a deep
    // copy that meets a cycle) leaves the series as it was.
    if (prepare) prepare(out);
    SeriesBuf* b = buffer_of(s);
    uint32_t shift = b->unit_shift();
    uint8_t* d = b->data();
    size_t rest = size_t(b->length() - start - amount) << shift;
    if (rest) std::memmove(d + (size_t(start) << shift), d + (size_t(start + amount) << shift), rest);
    b->tail -= amount << shift;
    notify_owner(s, Change::TAKEN, nullptr, int32_t(start), int32_t(amount));
    return out;
}

void take(Cell* out, Cell* s, Cell* part, bool, bool last) { *out = *take_with(s, part, last, nullptr); }

}  // namespace zel::series

namespace zel::make {

int32_t spec_to_size(const Cell* spec) {
    if (type_of(spec) == TYPE_INTEGER) return int_value(spec);
    double d = float_value(spec);
    if (std::isnan(d) || d > 2147483647.0 || d < -2147483648.0) error::raise(error::ERR_SCRIPT_OUT_OF_RANGE, spec);
    return int32_t(std::trunc(d));
}

}  // namespace zel::make

namespace zel::datatypes {

void register_series() {
    actions::TypeSpec spec{TYPE_SERIES, {}};
    auto set = [&](auto action, auto fn) { actions::put(spec, action, fn); };
    set(ACT_RANDOM, series::random);
    set(ACT_REFLECT, series::reflect);
    set(ACT_AT, series::at);
    set(ACT_BACK, series::back);
    set(ACT_CLEAR, series::clear);
    set(ACT_COPY, &series::copy);
    set(ACT_HEAD, series::head);
    set(ACT_HEAD_Q, series::is_head);
    set(ACT_INDEX_Q, series::is_index);
    set(ACT_LENGTH_Q, series::is_length);
    set(ACT_MOVE, series::move);
    set(ACT_NEXT, series::next);
    set(ACT_PICK, series::pick);
    set(ACT_POKE, series::poke);
    set(ACT_REMOVE, series::remove);
    set(ACT_REVERSE, series::reverse);
    set(ACT_SKIP, series::skip);
    set(ACT_TAIL, series::tail);
    set(ACT_TAIL_Q, series::is_tail);
    set(ACT_TAKE, &series::take);
    set(ACT_MODIFY, series::modify);
    actions::register_type(spec);
}

}  // namespace zel::datatypes
