// Feeds arbitrary bytes to the start-up LZ decoder and holds its result to a plain reference
// decoder below (a bit at a time, a byte at a time): both give null, or both give the same
// bytes. Crashes, hangs, reads outside the block and sanitizer reports are faults too.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "io/startup_lz.h"

using namespace zel;

namespace {

struct RefBits {
    const uint8_t* p;
    const uint8_t* end;
    size_t bit = 0;   // bits taken from p
    bool take(int n, uint32_t* v) {
        uint32_t r = 0;
        for (int i = 0; i < n; i++, bit++) {
            if (p + bit / 8 >= end) return false;
            r |= uint32_t((p[bit / 8] >> (bit % 8)) & 1) << i;
        }
        *v = r;
        return true;
    }
};

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

bool reference(const uint8_t* block, size_t len, std::vector<uint8_t>* out) {
    if (len < 8) return false;
    size_t payload = le32(block), size = le32(block + 4);
    if (payload > len - 8 || size > payload * 1032 + 64) return false;
    const uint8_t* p = block + 8;
    const uint8_t* end = p + payload;
    while (p < end) {
        if (end - p < 4) return false;
        uint32_t n = le32(p);
        p += 4;
        if (n < 1 || n > startup_lz::MAX_CHUNK || n > size - out->size()) return false;
        RefBits bits{p, end};
        size_t base = out->size();
        while (out->size() - base < n) {
            uint32_t flag, v;
            if (!bits.take(1, &flag)) return false;
            if (!flag) {
                if (!bits.take(8, &v)) return false;
                out->push_back(uint8_t(v));
                continue;
            }
            static const int range_bits[6] = {2, 2, 2, 3, 5, 9};
            static const uint32_t range_base[6] = {0, 4, 8, 12, 20, 52};
            int r = 0;
            while (r < 5) {
                if (!bits.take(1, &flag)) return false;
                if (flag) break;
                r++;
            }
            if (!bits.take(range_bits[r], &v)) return false;
            uint32_t length = range_base[r] + v + 3, k, dist;
            if (!bits.take(4, &k)) return false;
            if (k == 0) {
                if (!bits.take(3, &dist)) return false;
            } else {
                if (!bits.take(int(k + 2), &v)) return false;
                dist = k + 2 + v;
            }
            size_t pos = out->size() - base;
            if (dist + 1 > pos || length > n - pos) return false;
            for (uint32_t i = 0; i < length; i++) out->push_back((*out)[out->size() - dist - 1]);
        }
        p += (bits.bit + 7) / 8;
    }
    return p == end;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint8_t* in = static_cast<uint8_t*>(std::malloc(size ? size : 1));
    std::memcpy(in, data, size);
    size_t n = 0;
    uint8_t* out = startup_lz::decompress(in, size, &n);
    std::vector<uint8_t> expected;
    bool ok = reference(in, size, &expected);
    if (ok != (out != nullptr)) std::abort();
    if (out && (n != expected.size() || (n && std::memcmp(out, expected.data(), n) != 0))) std::abort();
    if (out) startup_lz::free(out);
    std::free(in);
    return 0;
}
