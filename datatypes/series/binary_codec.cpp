// The base-2, base-16, base-58 and base-64 encoders and decoders of binary! (behind enbase,
// debase and to binary! of an issue!).
//
// Decoders read text of any string unit. They skip white space and ";" comments (to the next
// line feed) and fail on anything else that is not a digit of the base, on a code point above
// 127, and on an incomplete final group (an odd count of hex digits, bits that do not make a
// byte, a single leftover base-64 digit). Base 64 decodes an unpadded final group of two or
// three digits as if padded; after "=" only padding, white space and comments may follow.
// Nothing here allocates but the result series, and nothing evaluates Zel code.
#include <cstring>
#include <vector>

#include "core/memory.h"
#include "datatypes/series/binary.h"

namespace zel::binary {

using memory::buf;

namespace {

constexpr char B64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char B58[] = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";
constexpr char HEX[] = "0123456789ABCDEF";

// Decode-table marks beside the digit values.
constexpr uint8_t SPACE = 0x40;    // skipped
constexpr uint8_t INVALID = 0x80;  // fails the decoding
constexpr uint8_t PAD = 0x81;      // "=" in base 64
constexpr uint8_t COMMENT = 0x82;  // ";" starts a comment to the next line feed

struct Tables {
    uint8_t b64[256], b58[256], b16[256], b2[256];
    uint16_t b64_pairs[4096];   // two base-64 characters for each 12 bits
    uint16_t hex_pairs[256];    // two hex digits for each byte
    Tables() {
        for (int i = 0; i < 256; i++) b64[i] = b58[i] = b16[i] = b2[i] = INVALID;
        for (uint8_t c : {8, 9, 10, 12, 13, 32, 39}) b64[c] = b58[c] = SPACE;
        for (int c = 0; c <= 0x20; c++) b16[c] = b2[c] = SPACE;
        for (int i = 0; i < 64; i++) b64[uint8_t(B64[i])] = uint8_t(i);
        for (int i = 0; i < 58; i++) b58[uint8_t(B58[i])] = uint8_t(i);
        for (int i = 0; i < 16; i++) b16[uint8_t(HEX[i])] = uint8_t(i);
        for (int i = 10; i < 16; i++) b16[uint8_t("abcdef"[i - 10])] = uint8_t(i);
        b2['0'] = 0;
        b2['1'] = 1;
        b64['='] = PAD;
        b64[';'] = b58[';'] = b16[';'] = b2[';'] = COMMENT;
        for (int i = 0; i < 4096; i++) {
            char pair[2] = {B64[i >> 6], B64[i & 63]};
            std::memcpy(&b64_pairs[i], pair, 2);
        }
        for (int i = 0; i < 256; i++) {
            char pair[2] = {HEX[i >> 4], HEX[i & 15]};
            std::memcpy(&hex_pairs[i], pair, 2);
        }
    }
};

const Tables& tables() {
    static const Tables t;
    return t;
}

// The decode-table entry of a code point: above 127 always invalid.
template <typename Unit>
inline uint8_t lookup(const uint8_t* table, Unit c) {
    return c < 128 ? table[uint8_t(c)] : INVALID;
}

// Skips a comment: returns the index of the line feed that ends it (or count).
template <typename Unit>
size_t skip_comment(const Unit* t, size_t i, size_t count) {
    while (i < count && t[i] != '\n') i++;
    return i;
}

// A new byte buffer of room for cap bytes (16 at least).
uint32_t new_bytes(size_t cap) { return memory::new_series(cap ? cap : 16, 1); }

void finish(Cell* out, uint32_t node, size_t n) {
    buf(node)->tail = uint32_t(n);
    set_series(out, TYPE_BINARY, node);
}

// Bases 2 and 16: digits of bits each, a byte every 8 / bits digits.
template <typename Unit>
bool decode_bits(const Unit* t, size_t count, const uint8_t* table, uint32_t bits, Cell* out) {
    const uint32_t per_byte = 8 / bits;
    if (count / per_byte > 0x7FFFFFF0u) memory::raise_no_memory();
    uint32_t node = new_bytes(count / per_byte);
    uint8_t* d = buf(node)->data();
    size_t n = 0;
    uint32_t acc = 0, digits = 0;
    for (size_t i = 0; i < count; i++) {
        uint8_t v = lookup(table, t[i]);
        if (v < SPACE) {
            acc = (acc << bits) | v;
            if (++digits == per_byte) {
                d[n++] = uint8_t(acc);
                acc = digits = 0;
            }
        } else if (v == SPACE) {
            continue;
        } else if (v == COMMENT) {
            i = skip_comment(t, i, count);
        } else {
            return false;
        }
    }
    if (digits) return false;
    finish(out, node, n);
    return true;
}

// Base 64, with a fast path for runs of four plain digits.
template <typename Unit>
bool decode64(const Unit* t, size_t count, Cell* out) {
    const uint8_t* table = tables().b64;
    size_t cap = count / 4 * 3 + 3;
    if (cap > 0x7FFFFFF0u) memory::raise_no_memory();
    uint32_t node = new_bytes(cap);
    uint8_t* d = buf(node)->data();
    size_t n = 0, i = 0;
    uint32_t acc = 0, digits = 0;
    while (i < count) {
        if (digits == 0) {
            // Whole groups of four digits, no white space, while they last.
            while (i + 4 <= count) {
                Unit c0 = t[i], c1 = t[i + 1], c2 = t[i + 2], c3 = t[i + 3];
                if (sizeof(Unit) > 1 && (c0 | c1 | c2 | c3) >= 128) break;
                uint32_t v0 = table[uint8_t(c0)], v1 = table[uint8_t(c1)], v2 = table[uint8_t(c2)],
                         v3 = table[uint8_t(c3)];
                if ((v0 | v1 | v2 | v3) & 0xC0) break;
                uint32_t w = (v0 << 18) | (v1 << 12) | (v2 << 6) | v3;
                d[n] = uint8_t(w >> 16);
                d[n + 1] = uint8_t(w >> 8);
                d[n + 2] = uint8_t(w);
                n += 3;
                i += 4;
            }
            if (i >= count) break;
        }
        uint8_t v = lookup(table, t[i]);
        if (v < SPACE) {
            acc = (acc << 6) | v;
            if (++digits == 4) {
                d[n++] = uint8_t(acc >> 16);
                d[n++] = uint8_t(acc >> 8);
                d[n++] = uint8_t(acc);
                acc = digits = 0;
            }
        } else if (v == SPACE) {
        } else if (v == COMMENT) {
            i = skip_comment(t, i, count);
        } else if (v == PAD) {
            // "=" ends the data: it completes a group of two or three digits, and only more
            // padding (up to a whole group), white space and comments may follow.
            if (digits < 2) return false;
            uint32_t pads = 1;
            for (i++; i < count; i++) {
                uint8_t w = lookup(table, t[i]);
                if (w == PAD && digits + pads < 4) pads++;
                else if (w == SPACE) continue;
                else if (w == COMMENT) i = skip_comment(t, i, count);
                else return false;
            }
            break;
        } else {
            return false;
        }
        i++;
    }
    if (digits == 1) return false;
    if (digits >= 2) {
        acc <<= 6 * (4 - digits);
        d[n++] = uint8_t(acc >> 16);
        if (digits == 3) d[n++] = uint8_t(acc >> 8);
    }
    finish(out, node, n);
    return true;
}

// Base 58: the digits form a big number, converted to bytes by repeated multiplication.
template <typename Unit>
bool decode58(const Unit* t, size_t count, Cell* out) {
    const uint8_t* table = tables().b58;
    std::vector<uint8_t> digits;
    digits.reserve(count);
    for (size_t i = 0; i < count; i++) {
        uint8_t v = lookup(table, t[i]);
        if (v < SPACE) digits.push_back(v);
        else if (v == SPACE) continue;
        else if (v == COMMENT) i = skip_comment(t, i, count);
        else return false;
    }
    size_t zeros = 0;
    while (zeros < digits.size() && digits[zeros] == 0) zeros++;
    // The number in 32-bit limbs, least significant first; up to five digits at a time
    // multiply it by 58^k (58^5 < 2^32, so a limb times it plus a carry fits 64 bits).
    std::vector<uint32_t> limbs;
    limbs.reserve(digits.size() / 5 + 2);
    for (size_t k = zeros; k < digits.size();) {
        uint64_t mult = 1, add = 0;
        for (int j = 0; j < 5 && k < digits.size(); j++, k++) {
            mult *= 58;
            add = add * 58 + digits[k];
        }
        uint64_t carry = add;
        for (uint32_t& limb : limbs) {
            uint64_t t = uint64_t(limb) * mult + carry;
            limb = uint32_t(t);
            carry = t >> 32;
        }
        if (carry) limbs.push_back(uint32_t(carry));
    }
    std::vector<uint8_t> num;   // big-endian, without leading zeros
    num.reserve(limbs.size() * 4);
    for (size_t k = limbs.size(); k-- > 0;)
        for (int b = 3; b >= 0; b--) {
            uint8_t byte = uint8_t(limbs[k] >> (8 * b));
            if (byte || !num.empty()) num.push_back(byte);
        }
    size_t n = zeros + num.size();
    if (n > 0x7FFFFFF0u) memory::raise_no_memory();
    uint32_t node = new_bytes(n);
    uint8_t* d = buf(node)->data();
    std::memset(d, 0, zeros);
    if (!num.empty()) std::memcpy(d + zeros, num.data(), num.size());
    finish(out, node, n);
    return true;
}

template <typename Unit>
bool decode_units(int base, const Unit* t, size_t count, Cell* out) {
    switch (base) {
        case 2: return decode_bits(t, count, tables().b2, 1, out);
        case 16: return decode_bits(t, count, tables().b16, 4, out);
        case 58: return decode58(t, count, out);
        default: return decode64(t, count, out);
    }
}

char* encode64(char* out, const uint8_t* p, size_t n) {
    const uint16_t* pairs = tables().b64_pairs;
    size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        uint32_t w = (uint32_t(p[i]) << 16) | (uint32_t(p[i + 1]) << 8) | p[i + 2];
        std::memcpy(out, &pairs[w >> 12], 2);
        std::memcpy(out + 2, &pairs[w & 0xFFF], 2);
        out += 4;
    }
    if (n - i == 1) {
        uint32_t w = uint32_t(p[i]) << 16;
        *out++ = B64[w >> 18];
        *out++ = B64[(w >> 12) & 63];
        *out++ = '=';
        *out++ = '=';
    } else if (n - i == 2) {
        uint32_t w = (uint32_t(p[i]) << 16) | (uint32_t(p[i + 1]) << 8);
        *out++ = B64[w >> 18];
        *out++ = B64[(w >> 12) & 63];
        *out++ = B64[(w >> 6) & 63];
        *out++ = '=';
    }
    return out;
}

char* encode58(char* out, const uint8_t* p, size_t n) {
    size_t zeros = 0;
    while (zeros < n && p[zeros] == 0) zeros++;
    // The number in limbs of five base-58 digits (values below 58^5), least significant
    // first; up to four bytes at a time multiply it by 256^k.
    constexpr uint64_t LIMB = 58ull * 58 * 58 * 58 * 58;
    std::vector<uint32_t> limbs;
    limbs.reserve((n - zeros) * 138 / 500 + 2);
    for (size_t k = zeros; k < n;) {
        uint64_t mult = 1, add = 0;
        for (int j = 0; j < 4 && k < n; j++, k++) {
            mult <<= 8;
            add = (add << 8) | p[k];
        }
        uint64_t carry = add;
        for (uint32_t& limb : limbs) {
            uint64_t t = uint64_t(limb) * mult + carry;
            limb = uint32_t(t % LIMB);
            carry = t / LIMB;
        }
        while (carry) {
            limbs.push_back(uint32_t(carry % LIMB));
            carry /= LIMB;
        }
    }
    // Digits, most significant first, without leading zeros.
    std::vector<uint8_t> digits;
    digits.reserve(limbs.size() * 5);
    for (size_t k = limbs.size(); k-- > 0;) {
        uint8_t five[5];
        uint32_t v = limbs[k];
        for (int j = 4; j >= 0; j--) {
            five[j] = uint8_t(v % 58);
            v /= 58;
        }
        for (uint8_t dgt : five)
            if (dgt || !digits.empty()) digits.push_back(dgt);
    }
    std::memset(out, '1', zeros);
    out += zeros;
    for (uint8_t dgt : digits) *out++ = B58[dgt];
    return out;
}

}  // namespace

size_t encoded_size(int base, size_t n) {
    switch (base) {
        case 2: return n > SIZE_MAX / 8 ? SIZE_MAX : n * 8;
        case 16: return n > SIZE_MAX / 2 ? SIZE_MAX : n * 2;
        case 58: return n > SIZE_MAX / 2 ? SIZE_MAX : n * 2;   // log 256 / log 58 < 1.37
        default: return n / 3 + 1 > SIZE_MAX / 4 ? SIZE_MAX : (n + 2) / 3 * 4;
    }
}

char* encode(int base, char* out, const uint8_t* p, size_t n) {
    switch (base) {
        case 2:
            for (size_t i = 0; i < n; i++)
                for (int b = 7; b >= 0; b--) *out++ = char('0' + ((p[i] >> b) & 1));
            return out;
        case 16: {
            const uint16_t* pairs = tables().hex_pairs;
            for (size_t i = 0; i < n; i++, out += 2) std::memcpy(out, &pairs[p[i]], 2);
            return out;
        }
        case 58: return encode58(out, p, n);
        default: return encode64(out, p, n);
    }
}

bool decode(int base, const void* text, size_t count, uint32_t unit, Cell* out) {
    switch (unit) {
        case 1: return decode_units(base, static_cast<const uint8_t*>(text), count, out);
        case 2: return decode_units(base, static_cast<const uint16_t*>(text), count, out);
        default: return decode_units(base, static_cast<const uint32_t*>(text), count, out);
    }
}

}  // namespace zel::binary
