// The build-time encoder of the start-up LZ format (io/startup_lz.h): greedy matches over
// hash chains, one independent chunk per 1 MB of input. The runtime never encodes in this
// format; the tests do (the boot image is written uncompressed).
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zel::startup_lz_encoder {

class BitSink {
public:
    explicit BitSink(std::vector<uint8_t>& out) : out_(out) {}
    void put(uint32_t v, int n) {
        for (int k = 0; k < n; k++) {
            if (used_ == 8) {
                out_.push_back(0);
                used_ = 0;
            }
            out_.back() |= uint8_t(((v >> k) & 1) << used_++);
        }
    }

private:
    std::vector<uint8_t>& out_;
    int used_ = 8;
};

inline void put_length(BitSink& s, uint32_t l) {   // l = match length - 3, 0..563
    if (l < 4) { s.put(1, 1); s.put(l, 2); }
    else if (l < 8) { s.put(2, 2); s.put(l - 4, 2); }
    else if (l < 12) { s.put(4, 3); s.put(l - 8, 2); }
    else if (l < 20) { s.put(8, 4); s.put(l - 12, 3); }
    else if (l < 52) { s.put(16, 5); s.put(l - 20, 5); }
    else { s.put(0, 5); s.put(l - 52, 9); }
}

// The distance field of d = distance - 1: 3 bits below 8, else the smallest k with d - k
// below 2^k. False when d is too far for the format.
inline bool distance_k(uint32_t d, int* k) {
    if (d < 8) { *k = 2; return true; }
    for (int j = 3; j <= 17; j++)
        if (d - uint32_t(j) < (1u << j)) { *k = j; return true; }
    return false;
}

inline void put_distance(BitSink& s, uint32_t d) {
    int k = 2;
    distance_k(d, &k);
    s.put(uint32_t(k - 2), 4);
    if (k == 2) s.put(d, 3);
    else s.put(d - uint32_t(k), k);
}

inline void put_le32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++) out[at + i] = uint8_t(v >> (8 * i));
}

inline std::vector<uint8_t> encode(const uint8_t* data, size_t n) {
    constexpr size_t CHUNK = 1048576, MAX_LEN = 566, HASH = 1 << 16;
    constexpr int CHAIN = 48;
    std::vector<uint8_t> out(8, 0);
    std::vector<int32_t> head(HASH), prev(CHUNK);
    for (size_t start = 0; start < n; start += CHUNK) {
        const size_t len = n - start < CHUNK ? n - start : CHUNK;
        const uint8_t* c = data + start;
        size_t at = out.size();
        out.resize(at + 4);
        put_le32(out, at, uint32_t(len));
        std::fill(head.begin(), head.end(), -1);
        BitSink bits(out);
        auto hash = [&](size_t i) { return ((uint32_t(c[i]) << 16 | uint32_t(c[i + 1]) << 8 | c[i + 2]) * 2654435761u) >> 16; };
        auto insert = [&](size_t i) {
            if (i + 2 >= len) return;
            uint32_t h = hash(i);
            prev[i] = head[h];
            head[h] = int32_t(i);
        };
        size_t i = 0;
        while (i < len) {
            size_t best = 0, best_d = 0;
            if (i + 2 < len) {
                int32_t cand = head[hash(i)];
                for (int k = 0; cand >= 0 && k < CHAIN; k++, cand = prev[size_t(cand)]) {
                    size_t d = i - size_t(cand) - 1;
                    int kk;
                    if (!distance_k(uint32_t(d), &kk)) break;
                    size_t m = 0, max = len - i < MAX_LEN ? len - i : MAX_LEN;
                    while (m < max && c[size_t(cand) + m] == c[i + m]) m++;
                    if (m > best) { best = m; best_d = d; }
                }
            }
            if (best >= 3) {
                bits.put(1, 1);
                put_length(bits, uint32_t(best - 3));
                put_distance(bits, uint32_t(best_d));
                for (size_t k = 0; k < best; k++) insert(i + k);
                i += best;
            } else {
                bits.put(0, 1);
                bits.put(c[i], 8);
                insert(i);
                i++;
            }
        }
    }
    put_le32(out, 0, uint32_t(out.size() - 8));
    put_le32(out, 4, uint32_t(n));
    return out;
}

}  // namespace zel::startup_lz_encoder
