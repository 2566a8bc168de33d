// binary! action handlers: to (make comes through string!'s make), form and mold, the byte
// comparison, append/insert and change of any value's bytes, trim, the bitwise actions, and
// the registration of binary! with string!'s other handlers (copy, find, pick, poke, remove,
// reverse, sort, swap, take ... work on a unit of one byte unchanged).
//
// The modifying handlers notify the owner before they read positions or gather bytes: its
// handler may run Zel code and change either series. The bytes a value stands for are gathered
// into a C++ string before the target changes, so a value sharing the target's buffer and an
// integer out of range (checked while gathering) are both harmless.
#include "datatypes/series/binary.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/actions.h"
#include "core/error.h"
#include "core/interpreter.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/datatypes.h"
#include "datatypes/scalar/bitset.h"
#include "datatypes/scalar/tuple.h"
#include "datatypes/series/image.h"
#include "datatypes/series/series.h"
#include "datatypes/series/string.h"
#include "datatypes/series/string_internal.h"
#include "datatypes/series/utf8.h"

namespace zel::binary {

using memory::buf;
using series::Change;
using namespace actions;

// The largest byte count a series buffer may hold.
constexpr uint64_t MAX_BYTES = 0x7FFFFFF0u;

void init_cell(Cell* out, size_t size) { set_series(out, TYPE_BINARY, memory::new_series(size ? size : 16, 1)); }

void from_memory(Cell* out, const uint8_t* bytes, size_t n) {
    if (n > MAX_BYTES) memory::raise_no_memory();
    uint32_t node = memory::new_series(n ? n : 16, 1);
    SeriesBuf* b = buf(node);
    if (n) std::memcpy(b->data(), bytes, n);
    b->tail = uint32_t(n);
    set_series(out, TYPE_BINARY, node);
}

Cell* push_from_memory(const uint8_t* bytes, size_t n) {
    Cell* out = stack::push();
    set_none(out);
    from_memory(out, bytes, n);
    return out;
}

void append_bytes(uint32_t node, const uint8_t* bytes, size_t n) {
    if (uint64_t(buf(node)->tail) + n > MAX_BYTES) memory::raise_no_memory();
    SeriesBuf* b = memory::ensure_room(node, n);
    if (n) std::memmove(b->data() + b->tail, bytes, n);
    b->tail += uint32_t(n);
}

namespace {

[[noreturn]] void raise_bad_to_arg(const Cell* value) {
    Cell dt;
    set_datatype(&dt, TYPE_BINARY);
    error::raise(error::ERR_SCRIPT_BAD_TO_ARG, &dt, value);
}

// The UTF-8 text of a string-family value from its head.
std::string text_bytes(const Cell* v) { return string::to_utf8(v); }

// The blocks being converted, outermost first: a block met again inside itself has no finite
// byte form.
std::vector<uint32_t> blocks_in_progress;
struct BlockVisit {
    explicit BlockVisit(const Cell* block) {
        uint32_t node = series_node(block);
        for (uint32_t n : blocks_in_progress)
            if (n == node) raise_bad_to_arg(block);
        interp::check_native_stack();
        blocks_in_progress.push_back(node);
    }
    ~BlockVisit() { blocks_in_progress.pop_back(); }
    BlockVisit(const BlockVisit&) = delete;
    BlockVisit& operator=(const BlockVisit&) = delete;
};

void cut(std::string& s, size_t from, int64_t limit) {
    if (limit >= 0 && s.size() - from > uint64_t(limit)) s.resize(from + size_t(limit));
}

}  // namespace

void value_to_bytes(std::string& out, const Cell* value, int64_t limit, bool limit_counts_bytes, bool form_others) {
    size_t from = out.size();
    uint32_t t = type_of(value);
    switch (t) {
        case TYPE_CHAR: utf8::encode(out, char_value(value)); break;
        case TYPE_INTEGER: {
            int32_t v = int_value(value);
            if (v < -128 || v > 255) error::raise(error::ERR_SCRIPT_INVALID_ARG, value);
            if (limit != 0) out.push_back(char(uint8_t(v)));
            return;
        }
        case TYPE_BINARY: {
            uint32_t n = length(value);
            out.append(reinterpret_cast<const char*>(head_address(value)), n);
            break;
        }
        case TYPE_TUPLE:
            out.append(reinterpret_cast<const char*>(tuple::bytes(value)), tuple::count(value));
            break;
        case TYPE_BLOCK: case TYPE_PAREN: case TYPE_HASH: {
            // Each value in turn, nested blocks included; the limit counts values, or bytes
            // across the values with limit_counts_bytes.
            BlockVisit visit(value);
            uint32_t node = series_node(value);
            int32_t h = series_head(value);
            int64_t values = 0;
            for (uint32_t i = h < 0 ? 0 : uint32_t(h); i < buf(node)->length(); i++) {
                if (limit >= 0) {
                    if (limit_counts_bytes ? int64_t(out.size() - from) >= limit : values >= limit) break;
                }
                Cell v = buf(node)->cells()[i];
                int64_t left = limit < 0 || !limit_counts_bytes ? -1 : limit - int64_t(out.size() - from);
                value_to_bytes(out, &v, left, limit_counts_bytes, form_others);
                values++;
            }
            return;
        }
        default:
            if (is_text_type(t)) {
                out += text_bytes(value);
            } else if (form_others) {
                Cell formed;
                form_value(&formed, value);
                out += string::to_utf8(&formed);
            } else {
                raise_bad_to_arg(value);
            }
            break;
    }
    cut(out, from, limit);
}

// ---- comparison ----

int32_t compare_bytes(const Cell* a, const Cell* b, int32_t op, bool match) {
    uint32_t bt = type_of(b);
    if (bt != TYPE_BINARY && !is_text_type(bt)) return -2;
    if (bt == TYPE_BINARY && series_node(a) == series_node(b) && series_head(a) == series_head(b)) {
        if (op == OP_SAME || op == OP_EQUAL || op == OP_NOT_EQUAL || op == OP_STRICT_EQUAL || op == OP_FIND) return 0;
    } else if (op == OP_SAME) {
        return -1;
    }
    std::string text;
    const uint8_t* pb;
    size_t lb;
    if (bt == TYPE_BINARY) {
        pb = head_address(b);
        lb = length(b);
    } else {
        text = string::to_utf8(b);
        pb = reinterpret_cast<const uint8_t*>(text.data());
        lb = text.size();
    }
    const uint8_t* pa = head_address(a);
    size_t la = length(a);
    bool equality = op == OP_EQUAL || op == OP_NOT_EQUAL || op == OP_STRICT_EQUAL || op == OP_FIND;
    size_t n;
    if (match) {
        if (lb == 0) return op == OP_EQUAL || op == OP_STRICT_EQUAL || op == OP_FIND ? 0 : 1;
        if (lb > la) return 1;
        n = lb;
    } else {
        if (la != lb && equality) return 1;
        n = std::min(la, lb);
    }
    int c = n ? std::memcmp(pa, pb, n) : 0;
    if (c != 0) return c < 0 ? -1 : 1;
    if (match) return 0;
    return la < lb ? -1 : la > lb ? 1 : 0;
}

bool head_in_bitset(const Cell* bin, const Cell* bitset) {
    if (length(bin) == 0) return false;
    return string::bitset_has(bitset, *head_address(bin));
}

// ---- mold ----

int32_t emit_molded(const Cell* bin, uint32_t buffer, bool only, bool flat, bool has_part, int32_t budget,
                    int32_t indent) {
    static const char HEX[] = "0123456789ABCDEF";
    int64_t left = budget;
    auto spent = [&] { return has_part && left <= 0; };
    std::string out;
    auto new_line = [&](int32_t level) {
        out.push_back('\n');
        out.append(size_t(level < 0 ? 0 : level) * 4, ' ');
    };
    if (!only) {
        out += "#{";
        left -= 2;
    }
    uint32_t n = length(bin);
    const uint8_t* p = head_address(bin);
    bool lines = n > 30 && !flat;
    if (lines) new_line(indent + 1);
    out.reserve(out.size() + size_t(n) * 2 + size_t(n / 32 + 2) * (size_t(indent) * 4 + 6));
    for (uint32_t i = 0; i < n && !spent(); i++) {
        out.push_back(HEX[p[i] >> 4]);
        out.push_back(HEX[p[i] & 15]);
        left -= 2;
        if ((i + 1) % 32 == 0 && !flat && !spent()) {
            new_line(indent + 1);
            left -= 1;
        }
    }
    if (!spent()) {
        if (lines && n % 32 != 0) {
            new_line(indent);
            left -= 1;
        }
        if (!only) {
            out.push_back('}');
            left -= 1;
        }
    }
    string::append_ascii(buffer, out);
    return left < INT32_MIN ? INT32_MIN : int32_t(left);
}

namespace {

int32_t binary_form(const Cell* value, uint32_t buffer, const Cell* part, int32_t limit) {
    return emit_molded(value, buffer, false, false, part != nullptr || limit != 0x7FFFFFFF, limit, 0);
}

int32_t binary_mold(const Cell* value, uint32_t buffer, bool only, bool, bool flat, const Cell* part, int32_t limit,
                    int32_t indent) {
    return emit_molded(value, buffer, only, flat, part != nullptr || limit != 0x7FFFFFFF, limit, indent);
}

int32_t binary_compare(const Cell* a, const Cell* b, int32_t op) {
    if (type_of(b) != TYPE_BINARY) return -2;
    return compare_bytes(a, b, op, false);
}

// ---- to ----

void put_be(std::string& out, uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; i--) out.push_back(char(uint8_t(v >> (8 * i))));
}

void binary_to(Cell* result, Cell*, Cell* spec, uint32_t) {
    std::string bytes;
    uint32_t t = type_of(spec);
    switch (t) {
        case TYPE_BLOCK: case TYPE_PAREN: case TYPE_HASH: case TYPE_CHAR: case TYPE_TUPLE:
            value_to_bytes(bytes, spec, -1, false, false);
            break;
        case TYPE_INTEGER: put_be(bytes, uint32_t(int_value(spec)), 4); break;
        case TYPE_FLOAT: case TYPE_PERCENT: {
            double d = float_value(spec);
            uint64_t bits;
            std::memcpy(&bits, &d, 8);
            put_be(bytes, bits, 8);
            break;
        }
        case TYPE_ISSUE: {
            // The issue's text read as base 16.
            uint32_t node = symbol::spelling_string(word_symbol(spec));
            const SeriesBuf* b = buf(node);
            Cell* out = stack::push();
            set_none(out);
            if (!decode(16, b->data(), b->length(), b->unit(), out)) error::raise(error::ERR_SCRIPT_INVALID_DATA, spec);
            *result = *out; return;
        }
        case TYPE_BITSET:
            bytes.assign(reinterpret_cast<const char*>(bitset::data_start(spec)), bitset::byte_length(spec));
            break;
        case TYPE_BINARY: {
            Cell* out = stack::push();
            from_memory(out, head_address(spec), length(spec));
            *result = *out; return;
        }
        case TYPE_IMAGE: *result = *image::get_pixel_data(spec, 2); return;   // 4 bytes a pixel, as stored
        default:
            if (!is_text_type(t)) raise_bad_to_arg(spec);
            bytes = text_bytes(spec);
            break;
    }
    *result = *push_from_memory(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// ---- append, insert, change ----

// Fails with internal/no-memory when a size leaves what a series can hold.
void check_size(uint64_t size) {
    if (size > MAX_BYTES) memory::raise_no_memory();
}

// Replaces remove bytes at offset at by dup copies of the bytes, moving the rest.
void splice_bytes(uint32_t node, uint32_t at, uint32_t remove, const std::string& bytes, uint32_t dup) {
    uint64_t total = uint64_t(bytes.size()) * dup;
    uint32_t old = buf(node)->tail;
    uint64_t size = uint64_t(old) - remove + total;
    check_size(total);
    check_size(size);
    SeriesBuf* b = buf(node);
    if (size > b->size) b = memory::grow(node, size_t(std::max<uint64_t>(size, std::min<uint64_t>(uint64_t(b->size) * 2, MAX_BYTES))));
    uint8_t* d = b->data();
    if (total != remove) std::memmove(d + at + total, d + at + remove, old - at - remove);
    uint8_t* p = d + at;
    if (!bytes.empty()) {
        std::memcpy(p, bytes.data(), bytes.size());
        if (dup > 1) series::repeat_fill(p, uint32_t(bytes.size()), dup);
    }
    b->tail = uint32_t(size);
}

void binary_insert(Cell* series, Cell* value, int32_t part, bool only, int32_t dup, bool append) {
    // The insertion point, read again after the owner's handler ran: the tail for append,
    // else the head (which may be the tail).
    auto insertion_point = [&] {
        uint32_t tail = buf(series_node(series))->tail;
        return append ? tail : head_index(series);
    };
    string::tell_owner(series, append ? Change::APPEND : Change::INSERT, value, int32_t(insertion_point()), part);
    std::string bytes;
    // A block's /part counts values (bytes with /only); a negative part means all of them.
    value_to_bytes(bytes, value, part, only, false);
    uint32_t times = dup < 1 ? 1 : uint32_t(dup);
    uint32_t at = insertion_point();
    uint64_t total = uint64_t(bytes.size()) * times;
    if (total) splice_bytes(series_node(series), at, 0, bytes, times);
    string::tell_owner(series, append ? Change::APPENDED : Change::INSERTED, value, int32_t(at), int32_t(total));
    if (append) set_series_head(series, 0);
    else set_series_head(series, int32_t(std::min<uint64_t>(at + total, buf(series_node(series))->tail)));
}

void binary_change(Cell* series, Cell* value, int32_t part, bool, int32_t dup) {
    string::tell_owner(series, Change::CHANGE, value, int32_t(head_index(series)), part);
    std::string bytes;
    value_to_bytes(bytes, value, -1, false, true);
    uint32_t node = series_node(series);
    uint32_t at = head_index(series);
    uint32_t avail = buf(node)->tail - at;
    uint32_t times = dup < 1 ? 1 : uint32_t(dup);
    uint64_t total = uint64_t(bytes.size()) * times;
    uint64_t replaced = part >= 0 ? uint64_t(part) : total;
    if (replaced > avail) replaced = avail;
    splice_bytes(node, at, uint32_t(replaced), bytes, times);
    string::tell_owner(series, Change::CHANGED, value, int32_t(at), int32_t(total));
    set_series_head(series, int32_t(std::min<uint64_t>(at + total, buf(node)->tail)));
}

// ---- trim ----

// The bytes a /with value names: a char! or integer! one byte, a text its code points below
// 256, a binary its bytes.
void removal_set(const Cell* with, bool set[256]) {
    std::fill(set, set + 256, false);
    if (!with) {
        set[0] = true;
        return;
    }
    uint32_t t = type_of(with);
    if (t == TYPE_CHAR) {
        if (char_value(with) < 256) set[char_value(with)] = true;
    } else if (t == TYPE_INTEGER) {
        if (int_value(with) >= 0 && int_value(with) < 256) set[int_value(with)] = true;
    } else if (t == TYPE_BINARY) {
        const uint8_t* p = head_address(with);
        for (uint32_t i = 0; i < length(with); i++) set[p[i]] = true;
    } else if (is_text_type(t)) {
        const SeriesBuf* b = buf(series_node(with));
        for (uint32_t i = string::head_index(with); i < b->length(); i++) {
            uint32_t c = string::char_at(b, i);
            if (c < 256) set[c] = true;
        }
    } else {
        error::raise(error::ERR_SCRIPT_INVALID_ARG, with);
    }
}

void binary_trim(Cell* series, bool head, bool tail, bool auto_, bool lines, bool all, Cell* with) {
    bool removal = all || with;
    if (!removal && (auto_ || lines)) error::raise(error::ERR_INTERNAL_NOT_DONE);
    bool set[256];
    if (removal) removal_set(with, set);
    string::tell_owner(series, Change::TRIM, nullptr, int32_t(head_index(series)), int32_t(length(series)));
    uint32_t node = series_node(series);
    uint32_t h = head_index(series);
    SeriesBuf* b = buf(node);
    uint8_t* d = b->data();
    uint32_t end = b->tail;
    uint32_t w = h;
    if (removal) {
        for (uint32_t r = h; r < end; r++)
            if (!set[d[r]]) d[w++] = d[r];
    } else {
        uint32_t lo = h, hi = end;
        if (head || !tail)
            while (lo < hi && d[lo] == 0) lo++;
        if (tail || !head)
            while (hi > lo && d[hi - 1] == 0) hi--;
        std::memmove(d + h, d + lo, hi - lo);
        w = h + (hi - lo);
    }
    b->tail = w;
    string::tell_owner(series, Change::TRIMMED, nullptr, int32_t(h), int32_t(w - h));
}

// ---- bitwise ----

enum class Bitwise { AND, OR, XOR };

void bitwise(Bitwise op) {
    Cell* a = stack::arg(0);
    Cell* b = stack::arg(1);
    if (type_of(b) != TYPE_BINARY) error::raise(error::ERR_SCRIPT_INVALID_ARG, b);
    uint32_t la = length(a), lb = length(b);
    uint32_t n = std::max(la, lb), common = std::min(la, lb);
    uint32_t node = memory::new_series(n ? n : 16, 1);
    uint8_t* out = buf(node)->data();
    const uint8_t* pa = head_address(a);
    const uint8_t* pb = head_address(b);
    for (uint32_t i = 0; i < common; i++) {
        switch (op) {
            case Bitwise::AND: out[i] = pa[i] & pb[i]; break;
            case Bitwise::OR: out[i] = pa[i] | pb[i]; break;
            case Bitwise::XOR: out[i] = pa[i] ^ pb[i]; break;
        }
    }
    const uint8_t* longer = la > lb ? pa : pb;
    if (op == Bitwise::AND) std::memset(out + common, 0, n - common);
    else std::memcpy(out + common, longer + common, n - common);
    buf(node)->tail = n;
    Cell r;
    set_series(&r, TYPE_BINARY, node);
    stack::set_result(&r);
}

void binary_and() { bitwise(Bitwise::AND); }
void binary_or() { bitwise(Bitwise::OR); }
void binary_xor() { bitwise(Bitwise::XOR); }

void binary_complement(Cell* value) {
    uint32_t h = head_index(value);
    SeriesBuf* b = buf(series_node(value));
    for (uint32_t i = h; i < b->tail; i++) b->data()[i] = uint8_t(~b->data()[i]);
}

}  // namespace

}  // namespace zel::binary

namespace zel::datatypes {

void register_binary() {
    using namespace zel::binary;
    constexpr auto I = actions::INHERIT;
    actions::TypeSpec spec{TYPE_BINARY, {}};
    auto set = [&](auto action, auto fn) { actions::put(spec, action, fn); };
    for (int a : std::initializer_list<int>{ACT_MAKE, ACT_RANDOM, ACT_REFLECT, ACT_EVAL_PATH, ACT_AT, ACT_BACK, ACT_CLEAR, ACT_COPY, ACT_FIND,
                  ACT_HEAD, ACT_HEAD_Q, ACT_INDEX_Q, ACT_LENGTH_Q, ACT_MOVE, ACT_NEXT, ACT_PICK, ACT_POKE, ACT_REMOVE,
                  ACT_REVERSE, ACT_SELECT, ACT_SORT, ACT_SKIP, ACT_SWAP, ACT_TAIL, ACT_TAIL_Q, ACT_TAKE, ACT_MODIFY})
        set(a, I);
    set(ACT_TO, &binary_to);
    set(ACT_FORM, &binary_form);
    set(ACT_MOLD, &binary_mold);
    set(ACT_COMPARE, &binary_compare);
    set(ACT_AND_T, &binary_and);
    set(ACT_OR_T, &binary_or);
    set(ACT_XOR_T, &binary_xor);
    set(ACT_COMPLEMENT, &binary_complement);
    set(ACT_APPEND, &binary_insert);
    set(ACT_INSERT, &binary_insert);
    set(ACT_CHANGE, &binary_change);
    set(ACT_TRIM, &binary_trim);
    actions::register_type(spec);
}

}  // namespace zel::datatypes
