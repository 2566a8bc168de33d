// Strict UTF-8 decoding and encoding (see utf8.h).
#include "datatypes/series/utf8.h"

#include "core/cell.h"
#include "core/error.h"

namespace zel::utf8 {

namespace {

[[noreturn]] void raise_invalid_char(uint32_t cp) {
    Cell c;
    set_char(&c, cp);
    error::raise(error::ERR_SCRIPT_INVALID_CHAR, &c);
}

// The bytes of cp's encoding, written to out (4 at most); returns the count.
int encode_bytes(uint32_t cp, uint8_t* out) {
    if (cp < 0x80) {
        out[0] = uint8_t(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = uint8_t(0xC0 | (cp >> 6));
        out[1] = uint8_t(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = uint8_t(0xE0 | (cp >> 12));
        out[1] = uint8_t(0x80 | ((cp >> 6) & 0x3F));
        out[2] = uint8_t(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = uint8_t(0xF0 | ((cp >> 18) & 0x07));
    out[1] = uint8_t(0x80 | ((cp >> 12) & 0x3F));
    out[2] = uint8_t(0x80 | ((cp >> 6) & 0x3F));
    out[3] = uint8_t(0x80 | (cp & 0x3F));
    return 4;
}

}  // namespace

uint32_t decode(const uint8_t* p, size_t n, size_t& len) {
    len = 1;
    if (n == 0) return INVALID;
    uint8_t b0 = p[0];
    if (b0 < 0x80) return b0;
    size_t need;
    uint32_t cp, min;
    if (b0 >= 0xC2 && b0 <= 0xDF) { need = 2; cp = b0 & 0x1F; min = 0x80; }
    else if (b0 >= 0xE0 && b0 <= 0xEF) { need = 3; cp = b0 & 0x0F; min = 0x800; }
    else if (b0 >= 0xF0 && b0 <= 0xF4) { need = 4; cp = b0 & 0x07; min = 0x10000; }
    else return INVALID;
    if (n < need) return INVALID;
    for (size_t i = 1; i < need; i++) {
        if ((p[i] & 0xC0) != 0x80) return INVALID;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return INVALID;
    len = need;
    return cp;
}

// True when the bytes from p (n of them, fewer than the lead byte announces) could still
// become a valid sequence: the input was cut, not malformed.
bool is_cut(const uint8_t* p, size_t n) {
    if (n == 0) return false;
    uint8_t b0 = p[0];
    size_t need;
    uint8_t lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) need = 2;
    else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 3;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 4;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return false;
    }
    if (n >= need) return false;
    for (size_t i = 1; i < n; i++) {
        uint8_t c = p[i];
        if (i == 1 ? (c < lo || c > hi) : (c & 0xC0) != 0x80) return false;
    }
    return true;
}

const uint8_t* decode_step(const uint8_t* p, const uint8_t* end, int32_t& cp) {
    size_t len;
    uint32_t c = decode(p, size_t(end - p), len);
    cp = c == INVALID ? -1 : int32_t(c);
    return p + len;
}

size_t count_chars(const uint8_t* p, const uint8_t* end) {
    size_t n = 0;
    while (p < end) {
        int32_t cp;
        p = *p < 0x80 ? p + 1 : decode_step(p, end, cp);
        n++;
    }
    return n;
}

const uint8_t* skip_chars(const uint8_t* p, const uint8_t* end, size_t n) {
    for (; n > 0 && p < end; n--) {
        int32_t cp;
        p = *p < 0x80 ? p + 1 : decode_step(p, end, cp);
    }
    return p;
}

int char_length(uint32_t cp) {
    if (cp > 0x10FFFF) raise_invalid_char(cp);
    return int(encoded_length(cp));
}

void encode(std::string& out, uint32_t cp) {
    uint8_t bytes[4];
    out.append(reinterpret_cast<const char*>(bytes), size_t(encode_bytes(cp, bytes)));
}

int encode_char(uint32_t cp, uint8_t* dst) {
    if (cp > 0x10FFFF) raise_invalid_char(cp);
    return encode_bytes(cp, dst);
}

int encode_char_bounded(uint32_t cp, uint8_t* dst, int64_t room) {
    if (cp > 0x10FFFF) raise_invalid_char(cp);
    uint8_t bytes[4];
    int n = encode_bytes(cp, bytes);
    if (room < n) n = room > 0 ? int(room) : 0;
    for (int i = 0; i < n; i++) dst[i] = bytes[i];
    return n;
}

}  // namespace zel::utf8
