// string! storage: units, widening, code point access, UTF-8 conversion, escapes.
#include <cstring>

#include "datatypes/series/string.h"
#include "datatypes/series/utf8.h"

namespace zel::string {

using memory::buf;

uint32_t new_node(size_t bytes, uint32_t unit) {
    if (bytes == 0) bytes = 16;
    return memory::new_series(bytes / unit + (bytes % unit ? 1 : 0), unit);
}

void init_cell(Cell* c, size_t bytes, uint32_t t) { set_series(c, t, new_node(bytes), 0, 0); }

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

}  // namespace zel::string
