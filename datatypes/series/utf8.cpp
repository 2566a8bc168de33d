// Strict UTF-8 decoding and encoding.
#include "datatypes/series/utf8.h"

namespace zel::utf8 {

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

void encode(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | ((cp >> 18) & 0x07));
        out += char(0x80 | ((cp >> 12) & 0x3F));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

}  // namespace zel::utf8
