// The start-up LZ decoder. The encoder is a build tool (tools/startup_lz_encoder.h).
#include "io/startup_lz.h"

#include <bit>
#include <cstdlib>
#include <cstring>

namespace zel::startup_lz {

namespace {

uint32_t read_le32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

// Bits least significant first from [p, end); reading past end fails. Whole bytes wait in a
// 64-bit register so that a field costs a shift and a mask, not a step per bit; while eight
// bytes remain, a refill loads them in one read.
class Bits {
public:
    Bits(const uint8_t* p, const uint8_t* end) : p_(p), end_(end) {}
    // Makes at least n bits (n <= 56) wait in the register; false when the stream ends first.
    bool fill(int n) {
        if (count_ >= n) return true;
        if (end_ - p_ >= 8) {
            uint64_t word;
            std::memcpy(&word, p_, 8);
            acc_ |= le64(word) << count_;
            p_ += (63 - count_) >> 3;
            count_ |= 56;
            return true;
        }
        while (count_ <= 56 && p_ != end_) {
            acc_ |= uint64_t(*p_++) << count_;
            count_ += 8;
        }
        return count_ >= n;
    }
    // The next n bits, without taking them; fill(n) came first.
    uint32_t peek(int n) const { return uint32_t(acc_ & ((uint64_t(1) << n) - 1)); }
    void drop(int n) {
        acc_ >>= n;
        count_ -= n;
    }
    bool take(int n, uint32_t* v) {
        if (!fill(n)) return false;
        *v = peek(n);
        drop(n);
        return true;
    }
    // The next chunk starts at the byte after the last one a field took bits from.
    const uint8_t* next_byte() const { return p_ - count_ / 8; }

private:
    static uint64_t le64(uint64_t v) {
        if constexpr (std::endian::native == std::endian::big) return __builtin_bswap64(v);
        return v;
    }
    const uint8_t* p_;
    const uint8_t* end_;
    uint64_t acc_ = 0;
    int count_ = 0;
};

// The longest token: a flag, a match length (5 flags and 9 bits) and a distance (4 bits and
// 17). The shortest: a literal, a flag and 8 bits (a match takes at least 11).
constexpr int LONGEST_TOKEN = 1 + 14 + 21;
constexpr int SHORTEST_TOKEN = 9;

// The match length field: a unary prefix picks the range, then a few bits within it.
bool read_length(Bits& bits, uint32_t* len) {
    static const struct { int bits; uint32_t base; } ranges[6] = {{2, 0}, {2, 4}, {2, 8}, {3, 12}, {5, 20}, {9, 52}};
    for (int r = 0; r < 5; r++) {
        uint32_t flag;
        if (!bits.take(1, &flag)) return false;
        if (flag) {
            uint32_t v;
            if (!bits.take(ranges[r].bits, &v)) return false;
            *len = ranges[r].base + v;
            return true;
        }
    }
    uint32_t v;
    if (!bits.take(9, &v)) return false;
    *len = 52 + v;
    return true;
}

bool read_distance(Bits& bits, uint32_t* dist) {
    uint32_t k;
    if (!bits.take(4, &k)) return false;
    k += 2;
    uint32_t v;
    if (k == 2) return bits.take(3, dist);
    if (!bits.take(int(k), &v)) return false;
    *dist = k + v;
    return true;
}

// Decodes one chunk's n bytes into out, which has 8 bytes of room past them; returns the byte
// after its stream, or nullptr.
const uint8_t* decode_chunk(const uint8_t* p, const uint8_t* end, uint8_t* out, uint32_t n) {
    Bits bits(p, end);
    uint32_t pos = 0;
    while (pos < n) {
        // A literal is a 0 flag and its byte: one look at 9 bits. Every token is at least
        // that long, so a stream that cannot give 9 bits is cut short either way.
        if (!bits.fill(SHORTEST_TOKEN)) return nullptr;
        uint32_t head = bits.peek(SHORTEST_TOKEN);
        if (!(head & 1)) {
            bits.drop(SHORTEST_TOKEN);
            out[pos++] = uint8_t(head >> 1);
            continue;
        }
        bits.drop(1);
        uint32_t len, dist;
        bits.fill(LONGEST_TOKEN - 1);
        if (!read_length(bits, &len) || !read_distance(bits, &dist)) return nullptr;
        len += 3;
        if (dist + 1 > pos || len > n - pos) return nullptr;
        uint8_t* dst = out + pos;
        const uint8_t* src = dst - dist - 1;
        if (dist + 1 >= 8) {
            // Eight bytes at a time: a source at least 8 back is never one of the bytes the
            // same step writes; the last step may write up to 7 bytes past the match, into
            // bytes a later token writes or the room after the chunk.
            for (uint32_t k = 0; k < len; k += 8) std::memcpy(dst + k, src + k, 8);
        } else {
            for (uint32_t k = 0; k < len; k++) dst[k] = src[k];
        }
        pos += len;
    }
    return bits.next_byte();
}

}  // namespace

uint8_t* decompress(const uint8_t* block, size_t block_len, size_t* out_size) {
    if (block_len < 8) return nullptr;
    const size_t payload = read_le32(block), size = read_le32(block + 4);
    // Sizes in the block are checked against the block itself before anything is allocated:
    // no chunk stream makes more than 566 bytes of 22 bits, far below 1032 bytes a byte.
    if (payload > block_len - 8 || size > payload * 1032 + 64) return nullptr;
    uint8_t* out = static_cast<uint8_t*>(std::malloc(size + 8));
    if (!out) return nullptr;
    const uint8_t* p = block + 8;
    const uint8_t* end = p + payload;
    size_t produced = 0;
    while (p && p < end) {
        uint32_t n = end - p < 4 ? 0 : read_le32(p);
        // A chunk size out of range fails the block, even as its last four bytes.
        if (n < 1 || n > MAX_CHUNK || n > size - produced) p = nullptr;
        else p = decode_chunk(p + 4, end, out + produced, n);
        if (p) produced += n;
    }
    if (p != end) {
        std::free(out);
        return nullptr;
    }
    if (out_size) *out_size = produced;
    return out;
}

void free(uint8_t* buffer) { std::free(buffer); }

}  // namespace zel::startup_lz
