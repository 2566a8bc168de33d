// bitset! (see bitset.h).
#include "datatypes/scalar/bitset.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "core/actions.h"
#include "core/error.h"
#include "core/object.h"
#include "core/runtime_words.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/datatypes.h"
#include "datatypes/scalar/datatype.h"
#include "datatypes/scalar/integer.h"
#include "core/block.h"
#include "core/cycle_stack.h"
#include "datatypes/series/series.h"
#include "datatypes/series/string.h"

namespace zel::bitset {

namespace {

using stack::arg;
using series::Change;


uint32_t sym_not, sym_dash;

// The highest bit a bitset may hold, so that its length in bits stays an integer!.
constexpr int64_t MAX_BIT = 0x7FFFFFF7;

bool is_word(const Cell* c, uint32_t& cache, const char* spelling) {
    return type_of(c) == TYPE_WORD && symbol::same_canonical(word_symbol(c), scalar::field_symbol(cache, spelling));
}

// ---- bit ranges inside a buffer ----

// The mask of the bits from bit (lo & 7) to the end of its byte, and from the start of a byte
// to bit (hi & 7).
inline uint8_t from_mask(uint32_t lo) { return uint8_t(0xFFu >> (lo & 7)); }
inline uint8_t to_mask(uint32_t hi) { return uint8_t(0xFF00u >> ((hi & 7) + 1)); }

void write_range(uint8_t* d, uint32_t lo, uint32_t hi, bool on) {
    uint32_t lb = lo >> 3, hb = hi >> 3;
    auto apply = [&](uint32_t i, uint8_t m) { d[i] = on ? uint8_t(d[i] | m) : uint8_t(d[i] & ~m); };
    if (lb == hb) {
        apply(lb, uint8_t(from_mask(lo) & to_mask(hi)));
        return;
    }
    apply(lb, from_mask(lo));
    std::memset(d + lb + 1, on ? 0xFF : 0x00, hb - lb - 1);
    apply(hb, to_mask(hi));
}

bool all_set(const uint8_t* d, uint32_t lo, uint32_t hi) {
    uint32_t lb = lo >> 3, hb = hi >> 3;
    if (lb == hb) {
        uint8_t m = uint8_t(from_mask(lo) & to_mask(hi));
        return (d[lb] & m) == m;
    }
    if ((d[lb] & from_mask(lo)) != from_mask(lo) || (d[hb] & to_mask(hi)) != to_mask(hi)) return false;
    for (uint32_t i = lb + 1; i < hb; i++)
        if (d[i] != 0xFF) return false;
    return true;
}

// Sets, clears or tests the bits lo..hi (0 <= lo <= hi <= MAX_BIT) of the bitset by
// membership: beyond the buffer, a complemented bitset already holds every bit and a plain
// one none, so only the other case grows the buffer.
bool apply_range(const Cell* bs, int64_t lo, int64_t hi, int32_t op) {
    int64_t bits = int64_t(byte_length(bs)) * 8;
    bool complemented = is_complemented(bs);
    if (op == OP_TEST) {
        if (lo < bits && !all_set(data_start(bs), uint32_t(lo), uint32_t(std::min(hi, bits - 1)))) return false;
        return hi < bits || complemented;
    }
    bool on = op == OP_SET;
    if (on == complemented) {
        if (lo >= bits) return true;
        hi = std::min(hi, bits - 1);
    } else {
        grow_to_bit(bs, uint32_t(hi));
    }
    write_range(data_start(bs), uint32_t(lo), uint32_t(hi), on);
    return true;
}

[[noreturn]] void raise_not_spec(Origin origin, const Cell* value) {
    Cell dt;
    set_datatype(&dt, TYPE_BITSET);
    switch (origin) {
        case Origin::MAKE: error::raise(error::ERR_SCRIPT_BAD_MAKE_ARG, &dt, value);
        case Origin::TO: error::raise(error::ERR_SCRIPT_BAD_TO_ARG, &dt, value);
        default: error::raise(error::ERR_SCRIPT_INVALID_ARG, value);
    }
}

// One range of bits named by value (for the error) under op; the measure gives hi. Testing
// counts negative bits as outside the buffer (members only of a complemented bitset); the
// other operations refuse them (script/out-of-range).
int64_t run_range(const Cell* value, const Cell* bs, int64_t lo, int64_t hi, int32_t op) {
    if (op == OP_TEST) {
        if (lo < 0) {
            if (!is_complemented(bs)) return 0;
            if (hi < 0) return 1;
            lo = 0;
        }
        return apply_range(bs, lo, hi, op);
    }
    if (lo < 0 || hi > MAX_BIT) error::raise(error::ERR_SCRIPT_OUT_OF_RANGE, value);
    if (op == OP_MEASURE) return hi;
    apply_range(bs, lo, hi, op);
    return 0;
}

int64_t bit_of(const Cell* v) {
    switch (type_of(v)) {
        case TYPE_CHAR: return int64_t(char_value(v));
        case TYPE_INTEGER: return int_value(v);
        default: return integer::from_double_checked(float_value(v));
    }
}

int64_t process_block(const Cell* spec, const Cell* bs, int32_t op, Origin origin) {
    int64_t result = op == OP_TEST ? 1 : op == OP_MEASURE ? -1 : 0;
    uint32_t node = series_node(spec);
    if (cycle::contains(node)) error::raise(error::ERR_INTERNAL_NO_CYCLE);
    cycle::Scope scope(node);
    int32_t n = block::length(spec);
    for (int32_t i = 0; i < n; i++) {
        Cell el = block::head(spec)[i];
        uint32_t t = type_of(&el);
        int64_t r;
        if ((t == TYPE_CHAR || t == TYPE_INTEGER) && i + 1 < n && is_word(&block::head(spec)[i + 1], sym_dash, "-")) {
            Cell dash = block::head(spec)[i + 1];
            if (i + 2 >= n) error::raise(error::ERR_SCRIPT_INVALID_ARG, &dash);
            Cell last = block::head(spec)[i + 2];
            if (type_of(&last) != t) error::raise(error::ERR_SCRIPT_INVALID_ARG, &last);
            int64_t lo = bit_of(&el), hi = bit_of(&last);
            if (hi < lo) error::raise(error::ERR_SCRIPT_PAST_END);
            r = run_range(lo < 0 ? &el : &last, bs, lo, hi, op);
            i += 2;
        } else {
            r = process_spec(&el, bs, op, origin);
        }
        if (op == OP_MEASURE) result = std::max(result, r);
        else if (op == OP_TEST && r == 0) return 0;
    }
    return result;
}

}  // namespace

// ---- buffer helpers ----

void init_cell(Cell* out, uint32_t bytes, bool complemented) {
    uint32_t node = memory::new_series(bytes, 1);
    SeriesBuf* b = memory::buf(node);
    std::memset(b->data(), complemented ? 0xFF : 0x00, bytes);
    b->tail = bytes;
    if (complemented) b->flags |= F_BITSET_COMPLEMENT;
    set_series(out, TYPE_BITSET, node);
}

uint8_t* grow_to_bit(const Cell* bs, uint32_t bit) {
    uint32_t node = series_node(bs);
    SeriesBuf* b = memory::buf(node);
    uint32_t need = bit / 8 + 1;
    if (need <= b->tail) return b->data();
    uint32_t old = b->tail;
    b = memory::ensure_room(node, need - old);
    std::memset(b->data() + old, (b->flags & F_BITSET_COMPLEMENT) ? 0xFF : 0x00, need - old);
    b->tail = need;
    return b->data();
}

bool bit_outside(const Cell* bs, int64_t bit) { return bit < 0 || bit >= int64_t(byte_length(bs)) * 8; }

void invert_bytes(uint32_t node) {
    SeriesBuf* b = memory::buf(node);
    uint8_t* d = b->data();
    for (uint32_t i = 0; i < b->tail; i++) d[i] = uint8_t(~d[i]);
}

bool has(const Cell* bs, uint32_t bit) {
    if (bit_outside(bs, bit)) return is_complemented(bs);
    return (data_start(bs)[bit >> 3] & (0x80u >> (bit & 7))) != 0;
}

int32_t mold_hex(const Cell* bs, uint32_t buffer, bool limited, int32_t budget, bool complemented) {
    static const char digits[] = "0123456789ABCDEF";
    uint32_t n = byte_length(bs);
    if (limited) {
        // A byte is written while the budget has not fallen below 0.
        uint32_t fit = budget < 0 ? 0 : uint32_t(budget) / 2 + 1;
        if (fit < n) n = fit;
    }
    std::string text;
    text.reserve(size_t(n) * 2);
    const uint8_t* d = data_start(bs);
    for (uint32_t i = 0; i < n; i++) {
        uint8_t v = complemented ? uint8_t(~d[i]) : d[i];
        text += digits[v >> 4];
        text += digits[v & 15];
    }
    return scalar::emit(buffer, text, budget);
}

int64_t process_spec(const Cell* spec, const Cell* bs, int32_t op, Origin origin) {
    uint32_t t = type_of(spec);
    switch (t) {
        case TYPE_CHAR: case TYPE_INTEGER: case TYPE_FLOAT: {
            int64_t bit = bit_of(spec);
            return run_range(spec, bs, bit, bit, op);
        }
        case TYPE_BINARY:
            error::raise(error::ERR_INTERNAL_NOT_DONE);
        case TYPE_BLOCK:
            return process_block(spec, bs, op, origin);
        default:
            if (is_text_type(t)) return process_string(spec, bs, op);
            raise_not_spec(origin, spec);
    }
}

int64_t process_string(const Cell* text, const Cell* bs, int32_t op) {
    int64_t result = op == OP_TEST ? 1 : op == OP_MEASURE ? -1 : 0;
    uint32_t head = string::head_index(text);
    uint32_t total = string::total_length(text);
    for (uint32_t i = head; i < total; i++) {
        uint32_t cp = string::char_at_index(text, i);
        Cell c;
        set_char(&c, cp);
        int64_t r = run_range(&c, bs, cp, cp, op);
        if (op == OP_MEASURE) result = std::max(result, r);
        else if (op == OP_TEST && r == 0) return 0;
    }
    return result;
}

void set_operation(Cell* out, int32_t op, const Cell* a_in, const Cell* b_in) {
    if (type_of(b_in) != TYPE_BITSET) error::raise_type(error::ERR_SCRIPT_INVALID_TYPE, type_of(b_in));
    Cell a = *a_in, b = *b_in;
    if (op == 8) {
        *out = a;
        return;
    }
    uint32_t la = byte_length(&a), lb = byte_length(&b);
    bool fa = is_complemented(&a), fb = is_complemented(&b);
    auto combine = [op](uint32_t x, uint32_t y) -> uint32_t {
        switch (op) {
            case 5: case 9: return x | y;
            case 6: case 10: return x & y;
            case 11: return x & ~y;
            default: return x ^ y;   // 7, 12
        }
    };
    bool flag = combine(fa, fb) & 1;
    uint32_t n = std::max(la, lb);
    // and~ ends at the common length when the shorter operand holds nothing beyond it.
    if (op == 6 && !(la < lb ? fa : fb)) n = std::min(la, lb);
    Cell r;
    init_cell(&r, n, false);
    uint8_t* d = data_start(&r);
    const uint8_t* x = data_start(&a);
    const uint8_t* y = data_start(&b);
    uint8_t xa = fa ? 0xFF : 0x00, yb = fb ? 0xFF : 0x00;
    for (uint32_t i = 0; i < n; i++) d[i] = uint8_t(combine(i < la ? x[i] : xa, i < lb ? y[i] : yb));
    if (flag) memory::buf(series_node(&r))->flags |= F_BITSET_COMPLEMENT;
    *out = r;
}

namespace {

// ---- make and to ----

void build(Cell* out, Cell* spec, Origin origin) {
    Cell body = *spec;
    bool negated = false;
    if (type_of(spec) == TYPE_BLOCK && block::length(spec) >= 1 && is_word(block::head(spec), sym_not, "not")) {
        negated = true;
        set_series_head(&body, int32_t(series_head(spec) + 1));
    }
    uint32_t t = type_of(&body);
    if (!negated && (t == TYPE_INTEGER || t == TYPE_FLOAT)) {
        if (origin == Origin::TO) scalar::raise_bad_to(TYPE_BITSET, spec);
        int32_t bits = make::spec_to_size(spec);
        if (bits < 0 || bits > MAX_BIT + 1) error::raise(error::ERR_SCRIPT_OUT_OF_RANGE, spec);
        init_cell(out, uint32_t((int64_t(bits) + 7) / 8), false);
        return;
    }
    if (!negated && t == TYPE_BITSET) {
        set_series(out, TYPE_BITSET, memory::duplicate_series(series_node(spec)));
        return;
    }
    const Cell* bin = nullptr;
    if (!negated && t == TYPE_BINARY) bin = &body;
    if (negated && block::length(&body) == 1 && type_of(block::head(&body)) == TYPE_BINARY) bin = block::head(&body);
    if (bin) {
        Cell source = *bin;
        uint32_t head = uint32_t(series_head(&source) < 0 ? 0 : series_head(&source));
        uint32_t total = memory::buf(series_node(&source))->length();
        uint32_t n = head < total ? total - head : 0;
        if (n > uint32_t(MAX_BIT / 8 + 1)) error::raise(error::ERR_SCRIPT_OUT_OF_RANGE, bin);
        init_cell(out, n, false);
        std::memcpy(data_start(out), memory::buf(series_node(&source))->data() + head, n);
        if (negated) {
            invert_bytes(series_node(out));
            memory::buf(series_node(out))->flags |= F_BITSET_COMPLEMENT;
        }
        return;
    }
    int64_t highest = process_spec(&body, nullptr, OP_MEASURE, origin);
    uint32_t bytes = highest < 0 ? 1 : uint32_t((highest + 8) / 8);
    Cell bs;
    init_cell(&bs, bytes, negated);
    process_spec(&body, &bs, negated ? OP_CLEAR : OP_SET, origin);
    *out = bs;
}

void make(Cell* out, Cell*, Cell* spec, uint32_t) { build(out, spec, Origin::MAKE); }
void to(Cell* out, Cell*, Cell* spec, uint32_t) { build(out, spec, Origin::TO); }

// ---- form and mold (the same text) ----

int32_t text(const Cell* bs, uint32_t buffer, const Cell* part, int32_t budget) {
    bool complemented = is_complemented(bs);
    budget = scalar::emit(buffer, complemented ? "make bitset! [not #{" : "make bitset! #{", budget);
    budget = mold_hex(bs, buffer, part != nullptr, budget, complemented);
    if (part && budget < 0) return budget;
    return scalar::emit(buffer, complemented ? "}]" : "}", budget);
}
int32_t form(const Cell* v, uint32_t buffer, const Cell* part, int32_t budget) { return text(v, buffer, part, budget); }
int32_t mold(const Cell* v, uint32_t buffer, bool, bool, bool, const Cell* part, int32_t budget, int32_t) {
    return text(v, buffer, part, budget);
}

// ---- compare ----

int32_t compare(const Cell* a, const Cell* b, int32_t op) {
    if (type_of(b) != TYPE_BITSET) return -2;
    if (op == actions::OP_SAME) return series_node(a) == series_node(b) ? 0 : 1;
    uint32_t la = byte_length(a), lb = byte_length(b);
    if (la != lb) return la < lb ? -1 : 1;
    bool fa = is_complemented(a), fb = is_complemented(b);
    if (fa != fb) return fa ? 1 : -1;
    const uint8_t* x = data_start(a);
    const uint8_t* y = data_start(b);
    for (uint32_t i = la; i-- > 0;)
        if (x[i] != y[i]) return x[i] < y[i] ? -1 : 1;
    return 0;
}

// ---- bitwise actions ----

void bitwise(int32_t op) {
    set_operation(arg(0), op, arg(0), arg(1));
    stack::keep_result_slot();
}
void and_() { bitwise(6); }
void or_() { bitwise(5); }
void xor_() { bitwise(7); }

// A copy with every stored byte inverted and the complement flag toggled.
void complement(Cell* v) {
    uint32_t node = memory::duplicate_series(series_node(v));
    invert_bytes(node);
    memory::buf(node)->flags ^= F_BITSET_COMPLEMENT;
    set_series(v, TYPE_BITSET, node);
}

// ---- series-like actions ----

void insert(Cell* bs, Cell* value, int32_t, bool, int32_t, bool) {
    series::notify_owner(bs, Change::INSERT, value, 0, 0);
    process_spec(value, bs, OP_SET, Origin::OTHER);
    series::notify_owner(bs, Change::INSERTED, value, 0, 0);
}

// No members are left: every byte 0x00 and the complement flag off.
void clear(Cell* bs) {
    series::notify_owner(bs, Change::CLEAR, nullptr, 0, 0);
    SeriesBuf* b = memory::buf(series_node(bs));
    std::memset(b->data(), 0x00, b->tail);
    b->flags &= ~F_BITSET_COMPLEMENT;
    series::notify_owner(bs, Change::CLEARED, nullptr, 0, 0);
}

void copy(Cell* out, Cell* v, Cell*, bool, Cell*) {
    set_series(out, TYPE_BITSET, memory::duplicate_series(series_node(v)));
}

void find(Cell* out, const actions::FindArgs& a) {
    if (process_spec(a.value, a.series, OP_TEST, Origin::OTHER)) set_logic(out, true);
    else set_none(out);
}

int32_t length(const Cell* bs) { return int32_t(int64_t(byte_length(bs)) * 8); }

void pick(Cell* out, Cell* bs, int32_t, Cell* spec) {
    set_logic(out, process_spec(spec, bs, OP_TEST, Origin::OTHER) != 0);
}

bool is_clearing(const Cell* v) {
    switch (type_of(v)) {
        case TYPE_NONE: return true;
        case TYPE_LOGIC: return !logic_value(v);
        case TYPE_INTEGER: return int_value(v) == 0;
        case TYPE_FLOAT: return float_value(v) == 0.0;
        default: return false;
    }
}

void poke(Cell* out, Cell* bs, int32_t, Cell* value, Cell* spec) {
    series::notify_owner(bs, Change::POKE, value, 0, 0);
    process_spec(spec, bs, is_clearing(value) ? OP_CLEAR : OP_SET, Origin::OTHER);
    series::notify_owner(bs, Change::POKED, value, 0, 0);
    *out = *value;
}

// remove/part: the part's bits stop being members.
void remove(Cell* bs, Cell* part, Cell*) {
    if (!part) error::raise(error::ERR_SCRIPT_MISSING_ARG);
    series::notify_owner(bs, Change::REMOVE, nullptr, 0, 0);
    process_spec(part, bs, OP_CLEAR, Origin::OTHER);
    series::notify_owner(bs, Change::REMOVED, nullptr, 0, 0);
}

void eval_path(Cell* out, Cell* parent, Cell* element, Cell* value, const actions::PathStep&) {
    uint32_t t = type_of(element);
    if (t != TYPE_INTEGER && t != TYPE_CHAR) error::raise_type(error::ERR_SCRIPT_INVALID_TYPE, t);
    if (!value) { pick(out, parent, 0, element); return; }
    poke(out, parent, 0, value, element);
}

void reflect(Cell* out, Cell* bs, uint32_t field) {
    if (!symbol::same_canonical(field, sym(SYM_OWNED))) error::raise(error::ERR_INTERNAL_NOT_DONE);
    series::owner_of(out, bs);
}

// modify bs 'owned none drops the owner; modify bs 'owned [object word] records that field.
void modify(Cell* out, Cell* bs, Cell* field, Cell* value, bool) {
    if (!scalar::is_field_word(field) || !symbol::same_canonical(word_symbol(field), sym(SYM_OWNED))) { *out = *value; return; }
    if (type_of(value) == TYPE_NONE) {
        series::set_owner(bs, nullptr, nullptr);
        *out = *value; return;
    }
    if (type_of(value) == TYPE_BLOCK && block::length(value) >= 2 && type_of(block::head(value)) == TYPE_OBJECT &&
        scalar::is_field_word(block::head(value) + 1)) {
        Cell owner = block::head(value)[0];
        Cell word = block::head(value)[1];
        series::set_owner(bs, &owner, &word);
        *out = *value; return;
    }
    error::raise(error::ERR_SCRIPT_INVALID_ARG, value);
}

}  // namespace
}  // namespace zel::bitset

namespace zel::datatypes {

void register_bitset() {
    using namespace bitset;
    actions::TypeSpec spec{TYPE_BITSET, {}};
    actions::put(spec, ACT_MAKE, &bitset::make);
    actions::put(spec, ACT_REFLECT, &reflect);
    actions::put(spec, ACT_TO, &to);
    actions::put(spec, ACT_FORM, &form);
    actions::put(spec, ACT_MOLD, &mold);
    actions::put(spec, ACT_EVAL_PATH, &eval_path);
    actions::put(spec, ACT_COMPARE, &compare);
    actions::put(spec, ACT_NEGATE, &complement);
    actions::put(spec, ACT_AND_T, &and_);
    actions::put(spec, ACT_COMPLEMENT, &complement);
    actions::put(spec, ACT_OR_T, &or_);
    actions::put(spec, ACT_XOR_T, &xor_);
    actions::put(spec, ACT_APPEND, &insert);
    actions::put(spec, ACT_CLEAR, &bitset::clear);
    actions::put(spec, ACT_COPY, &bitset::copy);
    actions::put(spec, ACT_FIND, &find);
    actions::put(spec, ACT_INSERT, &insert);
    actions::put(spec, ACT_LENGTH_Q, &length);
    actions::put(spec, ACT_PICK, &pick);
    actions::put(spec, ACT_POKE, &poke);
    actions::put(spec, ACT_REMOVE, &bitset::remove);
    actions::put(spec, ACT_MODIFY, &modify);
    actions::register_type(spec);
}

}  // namespace zel::datatypes
