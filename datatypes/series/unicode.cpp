// Text encodings (see unicode.h).
#include "datatypes/series/unicode.h"

#include <cstring>

#include "core/error.h"
#include "core/memory.h"
#include "datatypes/series/string.h"
#include "datatypes/series/utf8.h"

namespace zel::unicode {

using memory::buf;

namespace {

// Windows code page 1251 for the bytes 0x80-0xFF (0x98, unassigned there, keeps its value).
const uint16_t CP1251[128] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
};

uint32_t span_of(const Cell* str, int64_t limit) { return uint32_t(string::length_limit(str, limit)); }

}  // namespace

uint8_t* scratch_buffer(Cell* str, size_t n) {
    if (n > 0x7FFFFFF0u) memory::raise_no_memory();
    uint32_t node = string::scratch_node(str);
    if (!node) {
        node = memory::new_series(n ? n : 1, 1);
        string::set_scratch_node(str, node);
    } else if (buf(node)->size < n) {
        memory::grow(node, n);
    }
    return buf(node)->data();
}

uint32_t decode_utf8_sequence(const uint8_t* p, size_t& count) {
    size_t len;
    uint32_t cp = utf8::decode(p, count, len);
    if (cp != utf8::INVALID) {
        count = len;
        return cp;
    }
    if (utf8::is_cut(p, count)) {
        count = 0;
        return utf8::INVALID;
    }
    string::raise_invalid_utf8(p, count);
}

size_t encode_utf8_into(const Cell* str, uint8_t* dst, int64_t limit, bool nul) {
    const SeriesBuf* b = buf(series_node(str));
    uint32_t from = string::head_index(str), n = span_of(str, limit);
    uint8_t* out = dst;
    for (uint32_t i = 0; i < n; i++) {
        uint32_t cp = string::char_at(b, from + i);
        if (cp < 0x80) *out++ = uint8_t(cp);
        else out += utf8::encode_char(cp, out);
    }
    if (nul) *out = 0;
    return size_t(out - dst);
}

size_t encode_utf8_bounded(const Cell* str, uint8_t* dst, size_t room, int64_t limit, bool nul) {
    const SeriesBuf* b = buf(series_node(str));
    uint32_t from = string::head_index(str), n = span_of(str, limit > 0 ? limit : -1);
    if (nul) {
        if (room == 0) return 0;
        room--;
    }
    size_t used = 0;
    for (uint32_t i = 0; i < n && used < room; i++)
        used += size_t(utf8::encode_char_bounded(string::char_at(b, from + i), dst + used, int64_t(room - used)));
    if (nul) dst[used] = 0;
    return used;
}

const uint16_t* to_wide_text_part(Cell* str, int64_t& count, bool cr) {
    uint32_t from = string::head_index(str), n = span_of(str, count);
    // Room: one unit each, one more for every LF (its CR) and every pair, and the NUL.
    size_t extra = 0;
    {
        const SeriesBuf* b = buf(series_node(str));
        for (uint32_t i = 0; i < n; i++) {
            uint32_t cp = string::char_at(b, from + i);
            if ((cr && cp == '\n') || cp > 0xFFFF) extra++;
        }
    }
    uint16_t* dst = reinterpret_cast<uint16_t*>(scratch_buffer(str, (size_t(n) + extra + 1) * 2));
    const SeriesBuf* b = buf(series_node(str));
    size_t w = 0;
    for (uint32_t i = 0; i < n; i++) {
        uint32_t cp = string::char_at(b, from + i);
        if (cp > 0x10FFFF) return nullptr;
        if (cr && cp == '\n') dst[w++] = '\r';
        w += size_t(encode_utf16le_char(cp, dst + w));
    }
    dst[w] = 0;
    count = int64_t(w);
    return dst;
}

const uint16_t* to_wide_text(Cell* str) {
    int64_t count = -1;
    return to_wide_text_part(str, count, true);
}

int encode_utf16le_char(uint32_t cp, uint16_t* dst) {
    if (cp < 0x10000) {
        dst[0] = uint16_t(cp);
        return 1;
    }
    dst[0] = uint16_t(((cp - 0x10000) >> 10) | 0xD800);
    dst[1] = uint16_t(((cp - 0x10000) & 0x3FF) | 0xDC00);
    return 2;
}

size_t latin1_to_utf16(const char* text, uint16_t* dst) {
    size_t n = 0;
    for (; text[n]; n++) dst[n] = uint8_t(text[n]);
    dst[n] = 0;
    return n;
}

uint32_t decode_cp1251(const uint8_t* text, size_t n, uint32_t node, bool cr) {
    if (node) {
        SeriesBuf* b = buf(node);
        if (b->capacity() < n) memory::grow(node, n * b->unit());
        buf(node)->tail = 0;
    } else {
        node = memory::new_series(n ? n : 1, 1);
    }
    for (size_t i = 0; i < n; i++) {
        uint32_t cp = text[i] < 0x80 ? text[i] : CP1251[text[i] - 0x80];
        if (cr && cp == '\r') {
            cp = '\n';
            if (i + 1 < n && text[i + 1] == '\n') i++;
        }
        string::append_char(node, cp, true);
    }
    return node;
}

}  // namespace zel::unicode

namespace zel::string {

using memory::buf;

const char* to_utf8_text_lines(Cell* str, int64_t& length, bool cr) {
    int64_t n = length_limit(str, length);
    // Room for the longest form of each unit (a CR LF counts as two bytes) and the NUL.
    uint32_t unit = buf(series_node(str))->unit();
    size_t w = unit == 1 ? 2 : unit == 2 ? 3 : 4;
    uint8_t* dst = unicode::scratch_buffer(str, (size_t(n) + 1) * w);
    const SeriesBuf* b = buf(series_node(str));
    uint32_t from = head_index(str);
    uint8_t* out = dst;
    for (uint32_t i = 0; i < uint32_t(n); i++) {
        uint32_t cp = char_at(b, from + i);
        if (cp < 0x80) {
            if (cr && cp == '\n') *out++ = '\r';
            *out++ = uint8_t(cp);
        } else {
            out += utf8::encode_char(cp, out);
        }
    }
    *out = 0;
    length = out - dst;
    return reinterpret_cast<const char*>(dst);
}

const char* to_utf8_text(Cell* str, int64_t& length) { return to_utf8_text_lines(str, length, false); }

void from_c_buffer(Cell* out, const uint8_t* text, size_t len, int encoding) {
    set_unset(out);
    uint32_t node;
    if (encoding == ENCODING_UTF8) {
        int32_t remaining = 0;
        node = decode_utf8(text, len, 0, &remaining, false);
    } else if (encoding == ENCODING_UTF16LE) {
        node = decode_utf16le(text, len / 2, 0, false);
    } else {
        error::raise(error::ERR_INTERNAL_NOT_DONE);
    }
    set_series(out, TYPE_STRING, node);
}

}  // namespace zel::string
