// string! storage: units, widening, code point access, UTF-8 conversion, escapes.
#include <algorithm>
#include <cstring>

#include "core/error.h"
#include "datatypes/series/string.h"
#include "datatypes/series/utf8.h"

namespace zel::string {

using memory::buf;

uint32_t new_node(size_t bytes, uint32_t unit) {
    if (bytes == 0) bytes = 16;
    return memory::new_series(bytes / unit + (bytes % unit ? 1 : 0), unit);
}

void init_cell(Cell* c, size_t bytes, uint32_t t) { set_series(c, t, new_node(bytes), 0, 0); }

void init_cell_unit(Cell* c, size_t bytes, uint32_t unit, uint32_t t) {
    set_series(c, t, new_node(bytes, unit), 0, 0);
}

int32_t length(const Cell* str) {
    const SeriesBuf* b = buf(series_node(str));
    int32_t n = int32_t(b->length()) - series_head(str);
    return n < 0 ? 0 : n;
}

void widen(uint32_t node, uint32_t unit) {
    SeriesBuf* b = buf(node);
    uint32_t old = b->unit();
    if (unit <= old) return;
    uint32_t n = b->length();
    size_t need = size_t(n) * unit + unit;
    if (b->size < need) b = memory::grow(node, need);
    // Rewrite from the tail backwards so the widened units never overwrite unread ones.
    uint8_t* d = b->data();
    for (uint32_t i = n; i-- > 0;) {
        uint32_t cp = old == 1 ? d[i] : reinterpret_cast<uint16_t*>(d)[i];
        if (unit == 2) reinterpret_cast<uint16_t*>(d)[i] = uint16_t(cp);
        else reinterpret_cast<uint32_t*>(d)[i] = cp;
    }
    b->flags = (b->flags & ~F_UNIT_MASK) | unit;
    b->tail = n * unit;
}

static uint32_t unit_for(uint32_t cp, bool decode_rule) {
    if (cp <= (decode_rule ? 0xFFu : 0x7Fu)) return 1;
    return cp <= 0xFFFF ? 2 : 4;
}

static void put_unit(SeriesBuf* b, uint32_t index, uint32_t cp) {
    switch (b->unit()) {
        case 1: b->data()[index] = uint8_t(cp); break;
        case 2: reinterpret_cast<uint16_t*>(b->data())[index] = uint16_t(cp); break;
        default: reinterpret_cast<uint32_t*>(b->data())[index] = cp; break;
    }
}

void append_char(uint32_t node, uint32_t cp, bool decode_rule) {
    SeriesBuf* b = buf(node);
    uint32_t unit = b->unit();
    // A 1-byte buffer takes 0x80-0xFF only under the decode rule.
    uint32_t want = unit_for(cp, decode_rule || unit > 1);
    if (want > unit) {
        widen(node, want);
        b = buf(node);
    }
    b = memory::ensure_room(node, b->unit());
    put_unit(b, b->length(), cp);
    b->tail += b->unit();
}

void write_char(uint32_t node, uint32_t index, uint32_t cp) {
    SeriesBuf* b = buf(node);
    if (unit_for(cp, true) > b->unit()) widen(node, unit_for(cp, true));
    put_unit(buf(node), index, cp);
}

void append_ascii(uint32_t node, std::string_view text) {
    SeriesBuf* b = buf(node);
    if (b->unit() == 1) {
        b = memory::ensure_room(node, text.size());
        std::memcpy(b->tail_ptr(), text.data(), text.size());
        b->tail += uint32_t(text.size());
        return;
    }
    for (char ch : text) append_char(node, uint8_t(ch));
}

void append_utf8(uint32_t node, std::string_view text) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(text.data());
    size_t n = text.size(), i = 0;
    while (i < n) {
        // Runs of ASCII go in one copy when the buffer is 1-byte.
        size_t j = i;
        while (j < n && p[j] < 0x80) j++;
        if (j > i) {
            append_ascii(node, std::string_view(text.data() + i, j - i));
            i = j;
            continue;
        }
        size_t len;
        uint32_t cp = utf8::decode(p + i, n - i, len);
        append_char(node, cp == utf8::INVALID ? 0xFFFD : cp, true);
        i += len;
    }
}

uint32_t node_from_utf8(const char* text, size_t len) {
    uint32_t node = new_node(len);
    append_utf8(node, std::string_view(text, len));
    return node;
}

void from_utf8(Cell* out, std::string_view text, uint32_t t) {
    uint32_t node = node_from_utf8(text.data(), text.size());
    set_series(out, t, node, 0, 0);
}

std::string node_to_utf8(uint32_t node, uint32_t from) {
    const SeriesBuf* b = buf(node);
    uint32_t n = b->length();
    std::string out;
    out.reserve(n > from ? n - from : 0);
    for (uint32_t i = from; i < n; i++) utf8::encode(out, char_at(b, i));
    return out;
}

std::string to_utf8(const Cell* str) {
    int32_t head = series_head(str);
    return node_to_utf8(series_node(str), head < 0 ? 0 : uint32_t(head));
}

void append_range(uint32_t node, uint32_t src_node, uint32_t from, uint32_t to) {
    if (to <= from) return;
    uint32_t src_unit = buf(src_node)->unit();
    if (src_unit > buf(node)->unit()) widen(node, src_unit);
    SeriesBuf* b = memory::ensure_room(node, size_t(to - from) * buf(node)->unit());
    const SeriesBuf* s = buf(src_node);
    uint32_t at = b->length();
    if (s->unit() == b->unit()) {
        std::memcpy(b->data() + size_t(at) * b->unit(), s->data() + size_t(from) * s->unit(),
                    size_t(to - from) * s->unit());
    } else {
        for (uint32_t i = from; i < to; i++) put_unit(b, at + (i - from), char_at(s, i));
    }
    b->tail += (to - from) * b->unit();
}

void truncate(uint32_t node, uint32_t index) {
    SeriesBuf* b = buf(node);
    if (index < b->length()) b->tail = index * b->unit();
}

std::string hex_digits(uint32_t v, bool trim) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s(8, '0');
    for (int i = 7; i >= 0; i--, v >>= 4) s[size_t(i)] = digits[v & 15];
    if (!trim) return s;
    size_t first = s.find_first_not_of('0');
    if (first == std::string::npos) return "00";
    return s.substr(first);
}

void append_escaped(uint32_t node, uint32_t c, int mode, bool all) {
    static const char escapes[] = "@ABCDEFGH-/KLMNOPQRSTUVWXYZ[\\]^_";
    if (c == 0x1E || (c >= 0x80 && c <= 0x9F) || (all && c > 0x7F)) {
        append_ascii(node, "^(");
        append_ascii(node, hex_digits(c, true));
        append_ascii(node, ")");
        return;
    }
    if (mode == ESCAPE_STRING) {
        if (c < 0x20) {
            append_char(node, '^');
            append_char(node, uint8_t(escapes[c]));
            return;
        }
        if (c == 0x22) { append_ascii(node, "^\""); return; }
        if (c == 0x5E) { append_ascii(node, "^^"); return; }
        if (c == 0x7F) { append_ascii(node, "^~"); return; }
    }
    append_char(node, c);
}

// ---- more storage operations ----

int32_t find_char(const Cell* str, uint32_t cp) {
    const SeriesBuf* b = buf(series_node(str));
    uint32_t h = head_index(str), n = b->length();
    for (uint32_t i = h; i < n; i++)
        if (char_at(b, i) == cp) return int32_t(i - h);
    return -1;
}

// Buffers never exceed what a 32-bit size can describe; the allocator refuses more.
static void check_size(uint64_t bytes) {
    if (bytes > 0x7FFFFFF0u) memory::raise_no_memory();
}

void put_char(uint32_t node, uint32_t index, uint32_t cp) {
    uint32_t want = unit_for(cp, true);
    if (want > buf(node)->unit()) widen(node, want);
    SeriesBuf* b = buf(node);
    uint32_t unit = b->unit();
    uint64_t need = (uint64_t(index) + 1) * unit;
    check_size(need);
    if (need > b->size) b = memory::grow(node, size_t(need));
    uint32_t len = b->length();
    if (index >= len) {
        std::memset(b->data() + size_t(len) * unit, 0, size_t(index - len) * unit);
        b->tail = (index + 1) * unit;
    }
    put_unit(b, index, cp);
}

void insert_char(uint32_t node, uint32_t index, uint32_t cp) {
    uint32_t want = unit_for(cp, true);
    if (want > buf(node)->unit()) widen(node, want);
    SeriesBuf* b = memory::ensure_room(node, buf(node)->unit());
    uint32_t unit = b->unit(), len = b->length();
    if (index > len) index = len;
    std::memmove(b->data() + size_t(index + 1) * unit, b->data() + size_t(index) * unit, size_t(len - index) * unit);
    put_unit(b, index, cp);
    b->tail += unit;
}

void remove_chars(uint32_t node, uint32_t index, uint32_t n) {
    SeriesBuf* b = buf(node);
    uint32_t unit = b->unit(), len = b->length();
    if (index >= len || n == 0) return;
    if (n > len - index) n = len - index;
    std::memmove(b->data() + size_t(index) * unit, b->data() + size_t(index + n) * unit,
                 size_t(len - index - n) * unit);
    b->tail -= n * unit;
}

void empty_reset(Cell* str) {
    SeriesBuf* b = buf(series_node(str));
    b->flags = (b->flags & ~F_UNIT_MASK) | 1;
    b->tail = 0;
    set_series_head(str, 0);
}

namespace {

// Copies n code points from src (unit su) to dst (unit du); the ranges do not overlap.
void copy_units(uint8_t* dst, uint32_t du, const uint8_t* src, uint32_t su, uint32_t n) {
    if (su == du) {
        std::memcpy(dst, src, size_t(n) * du);
        return;
    }
    auto convert = [n](auto* d, const auto* s) {
        for (uint32_t i = 0; i < n; i++) d[i] = s[i];
    };
    auto from = [&](auto* d) {
        switch (su) {
            case 1: convert(d, src); break;
            case 2: convert(d, reinterpret_cast<const uint16_t*>(src)); break;
            default: convert(d, reinterpret_cast<const uint32_t*>(src)); break;
        }
    };
    switch (du) {
        case 1: from(dst); break;
        case 2: from(reinterpret_cast<uint16_t*>(dst)); break;
        default: from(reinterpret_cast<uint32_t*>(dst)); break;
    }
}

// Replaces `remove` code points at `at` by a gap of `inserted` code points in a buffer of at
// least `unit`, widening and growing it as needed (to twice its size when it must grow), and
// sets the new tail. Returns the buffer; the gap's content is left to the caller.
SeriesBuf* open_gap(uint32_t node, uint32_t at, uint32_t remove, uint64_t inserted, uint32_t unit) {
    uint32_t len = buf(node)->length();
    uint64_t new_len = uint64_t(len) - remove + inserted;
    check_size(new_len * unit);
    if (unit > buf(node)->unit()) widen(node, unit);
    SeriesBuf* b = buf(node);
    size_t need = size_t(new_len * unit);
    if (need > b->size) {
        size_t doubled = size_t(b->size) * 2;
        b = memory::grow(node, need > doubled || doubled > 0x7FFFFFF0u ? need : doubled);
    }
    uint8_t* d = b->data();
    uint32_t rest = len - at - remove;
    if (rest && inserted != remove)
        std::memmove(d + (size_t(at) + size_t(inserted)) * unit, d + size_t(at + remove) * unit, size_t(rest) * unit);
    b->tail = uint32_t(new_len * unit);
    return b;
}

// Repeats the first run of `filled` bytes at dst until `total` bytes are written, doubling
// the copied stretch each step.
void repeat_run(uint8_t* dst, size_t filled, size_t total) {
    while (filled < total) {
        size_t n = filled < total - filled ? filled : total - filled;
        std::memcpy(dst + filled, dst, n);
        filled += n;
    }
}

}  // namespace

namespace {

// splice with a source inside the target itself, copied in place: no temporary. When the
// string does not grow, the source is moved to its place before the rest moves down (the
// rest may hold part of the source); when it grows, the rest moves up first and the source is
// read where the gap left it: the part before the replaced stretch's end stays, the part
// after it moved by the change in length.
void splice_within(uint32_t node, uint32_t at, uint32_t remove, uint32_t from, uint32_t count, uint32_t dup) {
    uint32_t len = buf(node)->length(), unit = buf(node)->unit();
    uint64_t inserted = uint64_t(count) * dup;
    if (inserted <= remove) {
        SeriesBuf* b = buf(node);
        uint8_t* d = b->data();
        std::memmove(d + size_t(at) * unit, d + size_t(from) * unit, size_t(count) * unit);
        repeat_run(d + size_t(at) * unit, size_t(count) * unit, size_t(inserted) * unit);
        std::memmove(d + size_t(at + inserted) * unit, d + size_t(at + remove) * unit,
                     size_t(len - at - remove) * unit);
        b->tail = uint32_t((uint64_t(len) - remove + inserted) * unit);
        return;
    }
    SeriesBuf* b = open_gap(node, at, remove, inserted, unit);
    uint8_t* d = b->data();
    uint32_t stays_end = std::min(from + count, at + remove);
    uint32_t staying = stays_end > from ? stays_end - from : 0;
    uint64_t moved_from = uint64_t(std::max(from, at + remove)) - remove + inserted;
    std::memmove(d + size_t(at) * unit, d + size_t(from) * unit, size_t(staying) * unit);
    std::memmove(d + size_t(at + staying) * unit, d + size_t(moved_from) * unit, size_t(count - staying) * unit);
    repeat_run(d + size_t(at) * unit, size_t(count) * unit, size_t(inserted) * unit);
}

}  // namespace

void splice(uint32_t node, uint32_t at, uint32_t remove, uint32_t src_node, uint32_t from, uint32_t count,
            uint32_t dup) {
    SeriesBuf* t = buf(node);
    uint32_t len = t->length();
    if (at > len) at = len;
    if (remove > len - at) remove = len - at;
    if (at == len && dup == 1 && src_node != node) {
        // Appending a run of the same unit that fits: one short copy.
        const SeriesBuf* s = buf(src_node);
        uint32_t unit = t->unit();
        size_t bytes = size_t(count) * unit;
        if (s->unit() == unit && t->tail + bytes <= t->size) {
            uint8_t* dst = t->tail_ptr();
            const uint8_t* from_ptr = s->data() + size_t(from) * unit;
            if (bytes <= 16 && t->tail + 16 <= t->size && size_t(from) * unit + 16 <= s->size) {
                std::memcpy(dst, from_ptr, 16);   // one wide copy; the bytes past the run are slack
            } else if (bytes <= 16) {
                for (size_t i = 0; i < bytes; i++) dst[i] = from_ptr[i];
            } else {
                std::memcpy(dst, from_ptr, bytes);
            }
            t->tail += uint32_t(bytes);
            return;
        }
    }
    if (src_node == node) {
        check_size((uint64_t(len) - remove + uint64_t(count) * dup) * buf(node)->unit());
        splice_within(node, at, remove, from, count, dup);
        return;
    }
    uint64_t inserted = uint64_t(count) * dup;
    uint32_t src_unit = buf(src_node)->unit();
    uint32_t unit = buf(node)->unit() > src_unit ? buf(node)->unit() : src_unit;
    SeriesBuf* b = open_gap(node, at, remove, inserted, unit);
    if (inserted == 0) return;
    uint8_t* dst = b->data() + size_t(at) * unit;
    const SeriesBuf* s = buf(src_node);
    copy_units(dst, unit, s->data() + size_t(from) * s->unit(), s->unit(), count);
    repeat_run(dst, size_t(count) * unit, size_t(inserted) * unit);
}

void splice_char(uint32_t node, uint32_t at, uint32_t remove, uint32_t cp, uint32_t dup) {
    uint32_t len = buf(node)->length();
    if (at > len) at = len;
    if (remove > len - at) remove = len - at;
    uint32_t unit = unit_for(cp, false);
    if (buf(node)->unit() > unit) unit = buf(node)->unit();
    SeriesBuf* b = open_gap(node, at, remove, dup, unit);
    if (dup == 0) return;
    if (unit == 1) {
        std::memset(b->data() + at, int(cp), dup);
        return;
    }
    put_unit(b, at, cp);
    uint8_t* dst = b->data() + size_t(at) * unit;
    repeat_run(dst, unit, size_t(dup) * unit);
}

// ---- UTF-8 ----

[[noreturn]] void raise_invalid_utf8(const uint8_t* p, size_t n) {
    size_t k = n < 4 ? n : 4;
    uint32_t bin = memory::new_series(k ? k : 1, 1);
    SeriesBuf* b = buf(bin);
    std::memcpy(b->data(), p, k);
    b->tail = uint32_t(k);
    Cell arg;
    set_series(&arg, TYPE_BINARY, bin);
    error::raise(error::ERR_ACCESS_INVALID_UTF8, &arg);
}

namespace {

// The code point whose sequence starts at p[i] (len gets its length), or utf8::INVALID when
// the text ends inside that sequence: remaining then gets the bytes left for the next piece.
// Raises invalid-utf8 for a malformed sequence.
uint32_t decode_at(const uint8_t* p, size_t i, size_t n, size_t& len, int32_t* remaining) {
    uint32_t cp = utf8::decode(p + i, n - i, len);
    if (cp == utf8::INVALID) {
        if (!utf8::is_cut(p + i, n - i)) raise_invalid_utf8(p + i, n - i);
        if (remaining) *remaining = int32_t(n - i);
    }
    return cp;
}

// With cr, a CR (cp) and the LF after it (at p[i]) become one LF.
inline uint32_t fold_cr(uint32_t cp, const uint8_t* p, size_t& i, size_t n, bool cr) {
    if (!cr || cp != 13) return cp;
    if (i < n && p[i] == 10) i++;
    return 10;
}

// The end of the run of ASCII bytes from i (a CR ends it too when cr is set); without cr,
// eight bytes are checked at a time.
size_t ascii_run_end(const uint8_t* p, size_t i, size_t n, bool cr) {
    if (!cr) {
        while (i + 8 <= n) {
            uint64_t w;
            std::memcpy(&w, p + i, 8);
            if (w & 0x8080808080808080ull) break;
            i += 8;
        }
    }
    while (i < n && p[i] < 0x80 && !(cr && p[i] == 13)) i++;
    return i;
}

// Whether the bytes start with a UTF-8 byte order mark.
bool has_bom(const uint8_t* p, size_t n) { return n > 2 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF; }

// Decodes bytes [i, n) of p and appends the code points to node's content (the decoding of
// decode_utf8 without its set-up); returns node.
uint32_t append_utf8(const uint8_t* p, size_t i, size_t n, uint32_t node, int32_t* remaining, bool cr) {
    while (i < n) {
        if (p[i] < 0x80 && buf(node)->unit() == 1) {
            // A run of ASCII goes in one copy.
            size_t j = ascii_run_end(p, i, n, cr);
            if (j > i) {
                SeriesBuf* b = memory::ensure_room(node, j - i);
                std::memcpy(b->tail_ptr(), p + i, j - i);
                b->tail += uint32_t(j - i);
                i = j;
                continue;
            }
        } else if (p[i] < 0x80) {
            // A run of ASCII into a wider buffer: widened unit by unit.
            size_t j = ascii_run_end(p, i, n, cr);
            if (j > i) {
                uint32_t unit = buf(node)->unit();
                SeriesBuf* b = memory::ensure_room(node, (j - i) * unit);
                uint8_t* dst = b->tail_ptr();
                if (unit == 2) {
                    auto* d = reinterpret_cast<uint16_t*>(dst);
                    for (size_t k = i; k < j; k++) *d++ = p[k];
                } else {
                    auto* d = reinterpret_cast<uint32_t*>(dst);
                    for (size_t k = i; k < j; k++) *d++ = p[k];
                }
                b->tail += uint32_t((j - i) * unit);
                i = j;
                continue;
            }
        }
        size_t len;
        uint32_t cp = decode_at(p, i, n, len, remaining);
        if (cp == utf8::INVALID) return node;
        i += len;
        append_char(node, fold_cr(cp, p, i, n, cr), true);
    }
    return node;
}

}  // namespace

uint32_t decode_utf8(const uint8_t* p, size_t n, uint32_t node, int32_t* remaining, bool cr) {
    size_t sizing = n ? n : 1;
    if (node) {
        SeriesBuf* b = buf(node);
        if (b->capacity() < sizing) memory::grow(node, sizing * b->unit());
        buf(node)->tail = 0;
    } else {
        node = memory::new_series(sizing, 1);
    }
    return append_utf8(p, has_bom(p, n) ? 3 : 0, n, node, remaining, cr);
}

uint32_t decode_utf8_in_place(uint32_t node, size_t n, int32_t* remaining, bool cr) {
    SeriesBuf* b = buf(node);
    uint8_t* p = b->data();
    // Each code point below 0x100 takes one unit, never more than the bytes it came from, so
    // the decoded text is written over the bytes already read: o never passes i.
    size_t i = has_bom(p, n) ? 3 : 0;
    size_t o = 0;
    while (i < n) {
        if (p[i] < 0x80 && !(cr && p[i] == 13)) {
            size_t j = ascii_run_end(p, i, n, cr);
            if (o != i) std::memmove(p + o, p + i, j - i);
            o += j - i;
            i = j;
            continue;
        }
        size_t len;
        uint32_t cp = decode_at(p, i, n, len, remaining);   // the bytes from i on are still as read
        if (cp == utf8::INVALID) break;
        if (cp > 0xFF) {
            // Wider units from here on: the text done so far moves to a new buffer of the
            // wider unit, and the bytes left are decoded after it from where they were read
            // (allocating moves no buffer). The read buffer is left to the collector.
            uint32_t unit = cp > 0xFFFF ? 4 : 2;
            uint32_t wide = memory::new_series(o + (n - i), unit);
            SeriesBuf* w = buf(wide);
            copy_units(w->data(), unit, p, 1, uint32_t(o));
            w->tail = uint32_t(o * unit);
            return append_utf8(p, i, n, wide, remaining, cr);
        }
        i += len;
        p[o++] = uint8_t(fold_cr(cp, p, i, n, cr));
    }
    b->tail = uint32_t(o);
    return node;
}

size_t utf8_size(uint32_t node, uint32_t from, uint32_t to) {
    const SeriesBuf* b = buf(node);
    size_t total = 0;
    for (uint32_t i = from; i < to; i++) {
        uint32_t cp = char_at(b, i);
        if (cp > 0x10FFFF) {
            Cell c;
            set_char(&c, cp);
            error::raise(error::ERR_SCRIPT_INVALID_CHAR, &c);
        }
        total += utf8::encoded_length(cp);
    }
    return total;
}

// ---- UTF-16LE ----

uint32_t decode_utf16le(const uint8_t* bytes, size_t n, uint32_t node, bool cr) {
    auto unit_at = [&](size_t i) { return uint32_t(bytes[2 * i]) | (uint32_t(bytes[2 * i + 1]) << 8); };
    uint32_t unit = 1;
    for (size_t i = 0; i < n; i++) {
        uint8_t hi = bytes[2 * i + 1];
        if (hi >= 0xD8 && hi <= 0xDF) { unit = 4; break; }
        if (hi) unit = 2;
    }
    size_t room = (n ? n : 1) * unit;
    check_size(room);
    if (node) {
        SeriesBuf* b = buf(node);
        if (b->size < room) b = memory::grow(node, room);
        b->flags = (b->flags & ~F_UNIT_MASK) | unit;
        b->tail = 0;
    } else {
        node = memory::new_series(n ? n : 1, unit);
    }
    SeriesBuf* b = buf(node);
    uint32_t count = 0;
    for (size_t i = 0; i < n; i++) {
        uint32_t u = unit_at(i);
        if (cr && u == 13) continue;
        if (u >= 0xD800 && u <= 0xDBFF) {
            uint32_t low = i + 1 < n ? unit_at(i + 1) : 0;
            if (low < 0xDC00 || low > 0xDFFF) {
                size_t k = i + 1 < n ? 4 : 2;
                uint32_t bin = memory::new_series(k, 1);
                std::memcpy(buf(bin)->data(), bytes + 2 * i, k);
                buf(bin)->tail = uint32_t(k);
                Cell arg;
                set_series(&arg, TYPE_BINARY, bin);
                error::raise(error::ERR_SCRIPT_INVALID_DATA, &arg);
            }
            u = 0x10000 + (((u & 0x3FF) << 10) | (low & 0x3FF));
            i++;
        }
        put_unit(b, count++, u);
    }
    b->tail = count * unit;
    return node;
}

std::string to_utf16le(const Cell* str, bool cr) {
    const SeriesBuf* b = buf(series_node(str));
    std::string out;
    auto put = [&](uint32_t u) {
        out += char(u & 0xFF);
        out += char(u >> 8);
    };
    for (uint32_t i = head_index(str); i < b->length(); i++) {
        uint32_t cp = char_at(b, i);
        if (cr && cp == '\n') put('\r');
        if (cp < 0x10000) {
            put(cp);
        } else if (cp <= 0x10FFFF) {
            put(((cp - 0x10000) >> 10) | 0xD800);
            put(((cp - 0x10000) & 0x3FF) | 0xDC00);
        } else {
            Cell c;
            set_char(&c, cp);
            error::raise(error::ERR_SCRIPT_INVALID_CHAR, &c);
        }
    }
    return out;
}

}  // namespace zel::string
