// zlib (RFC 1950) and gzip (RFC 1952) framing around deflate data.
#include <cstring>
#include <initializer_list>

#include "io/compress.h"
#include "io/inflate_internal.h"
#include "natives/checksum_sums.h"

namespace zel::compress {

namespace {

constexpr size_t ZLIB_FRAME = 6;    // 2 header bytes, 4 trailer bytes
constexpr size_t GZIP_HEADER = 10;
constexpr size_t GZIP_FRAME = 18;   // 10 header bytes, 8 trailer bytes

uint32_t read_le32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }
uint32_t read_be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]); }
void write_le32(uint8_t* p, uint32_t v) {
    for (int k = 0; k < 4; k++) p[k] = uint8_t(v >> (8 * k));
}
void write_be32(uint8_t* p, uint32_t v) {
    for (int k = 0; k < 4; k++) p[k] = uint8_t(v >> (24 - 8 * k));
}

// Deflates into out after a header of `header` bytes, leaving `trailer` bytes; returns the
// total framed size, or 0 when the deflate data alone did not fit (then *needed is set).
int encode_framed(uint8_t* out, size_t* len, const uint8_t* in, size_t in_len, size_t header, size_t trailer,
                  size_t* deflated) {
    size_t cap = *len;
    size_t room = cap >= header + trailer ? cap - header : 0;
    size_t n = room;
    bool overflow = deflate(room ? out + header : nullptr, &n, in, in_len);
    *deflated = n;
    *len = n + header + trailer;
    if (overflow || cap < header + trailer || n + trailer > room) return TOO_SMALL;
    return OK;
}

// The gzip member header: its length, or 0 when it is not a valid header.
size_t gzip_header_length(const uint8_t* in, size_t n) {
    if (n < GZIP_FRAME || in[0] != 0x1F || in[1] != 0x8B || in[2] != 8 || (in[3] & 0xE0)) return 0;
    const uint8_t flags = in[3];
    const size_t limit = n - 8;   // header fields never reach into the trailer
    size_t pos = GZIP_HEADER;
    if (flags & 0x04) {   // FEXTRA
        if (limit - pos < 2) return 0;
        size_t xlen = size_t(in[pos]) | size_t(in[pos + 1]) << 8;
        pos += 2;
        if (limit - pos < xlen) return 0;
        pos += xlen;
    }
    for (uint8_t field : {uint8_t(0x08), uint8_t(0x10)}) {   // FNAME, FCOMMENT
        if (!(flags & field)) continue;
        while (pos < limit && in[pos] != 0) pos++;
        if (pos >= limit) return 0;
        pos++;
    }
    if (flags & 0x02) {   // FHCRC
        if (limit - pos < 2) return 0;
        uint32_t crc = checksum::crc32(in, pos) & 0xFFFF;
        if ((uint32_t(in[pos]) | uint32_t(in[pos + 1]) << 8) != crc) return 0;
        pos += 2;
    }
    return pos;
}

bool zlib_header_ok(const uint8_t* in) {
    uint32_t cmf = in[0], flg = in[1];
    return (cmf * 256 + flg) % 31 == 0 && (cmf & 0x0F) == 8 && (cmf >> 4) < 8 && !(flg & 0x20);
}

}  // namespace

int zlib_encode(uint8_t* out, size_t* len, const uint8_t* in, size_t in_len) {
    size_t deflated;
    int r = encode_framed(out, len, in, in_len, 2, 4, &deflated);
    if (r != OK) return r;
    out[0] = 0x78;
    out[1] = 0x01;
    write_be32(out + 2 + deflated, checksum::adler32(in, in_len));
    return OK;
}

int gzip_encode(uint8_t* out, size_t* len, const uint8_t* in, size_t in_len) {
    size_t deflated;
    int r = encode_framed(out, len, in, in_len, GZIP_HEADER, 8, &deflated);
    if (r != OK) return r;
    const uint8_t header[GZIP_HEADER] = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 4, 4};
    std::memcpy(out, header, GZIP_HEADER);
    write_le32(out + GZIP_HEADER + deflated, checksum::crc32(in, in_len));
    write_le32(out + GZIP_HEADER + deflated + 4, uint32_t(in_len));
    return OK;
}

int decode(Framing framing, GrowableOutput& out, size_t* produced, const uint8_t* in, size_t in_len) {
    *produced = 0;
    size_t header = 0, trailer = 0;
    if (framing == Framing::ZLIB) {
        if (in_len < ZLIB_FRAME || !zlib_header_ok(in)) return BAD_DATA;
        header = 2;
        trailer = 4;
    } else if (framing == Framing::GZIP) {
        header = gzip_header_length(in, in_len);
        if (!header) return BAD_DATA;
        trailer = 8;
    }
    const size_t body = in_len - header - trailer;
    size_t consumed = 0;
    int r = inflate_into(out, produced, in + header, body, &consumed);
    if (r != OK || framing == Framing::DEFLATE) return r;
    // The trailer follows the deflate data at once.
    if (consumed != body) return BAD_DATA;
    const uint8_t* t = in + in_len - trailer;
    if (framing == Framing::ZLIB) return read_be32(t) == checksum::adler32(out.data, *produced) ? OK : BAD_DATA;
    if (read_le32(t + 4) != uint32_t(*produced)) return BAD_DATA;
    return read_le32(t) == checksum::crc32(out.data, *produced) ? OK : BAD_DATA;
}

// The buffer forms: bytes past the capacity are counted, so TOO_SMALL comes back with the
// size to retry with.
int zlib_decode(uint8_t* out, size_t* len, const uint8_t* in, size_t in_len) {
    GrowableOutput o;
    o.data = out;
    o.capacity = out ? *len : 0;
    return decode(Framing::ZLIB, o, len, in, in_len);
}

int gzip_decode(uint8_t* out, size_t* len, const uint8_t* in, size_t in_len) {
    // ISIZE, read first, is only a hint: beyond what the data could expand to it is false.
    if (in_len >= GZIP_FRAME && gzip_header_length(in, in_len)) {
        size_t isize = read_le32(in + in_len - 4);
        if (isize > expansion_bound(in_len)) return BAD_DATA;
        if (isize > (out ? *len : 0)) {
            *len = isize;
            return TOO_SMALL;
        }
    }
    GrowableOutput o;
    o.data = out;
    o.capacity = out ? *len : 0;
    return decode(Framing::GZIP, o, len, in, in_len);
}

}  // namespace zel::compress
