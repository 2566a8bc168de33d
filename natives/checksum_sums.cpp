// CRC-32 and Adler-32.
#include "natives/checksum_sums.h"

namespace zel::checksum {

namespace {

// The reflected CRC-32 table, built on first use: entry n is n shifted right 8 times, each
// time XORed with the polynomial when the bit shifted out was 1.
const uint32_t* crc32_table() {
    static uint32_t table[256];
    static bool built = false;
    if (!built) {
        for (uint32_t n = 0; n < 256; n++) {
            uint32_t c = n;
            for (int k = 0; k < 8; k++) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[n] = c;
        }
        built = true;
    }
    return table;
}

}  // namespace

uint32_t crc32(const uint8_t* bytes, size_t n) {
    const uint32_t* table = crc32_table();
    uint32_t r = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; i++) r = table[(r ^ bytes[i]) & 0xFF] ^ (r >> 8);
    return ~r;
}

// The modulo is taken once per chunk of at most 3854 bytes, small enough that b cannot pass
// 2^31 in between; sixteen bytes are summed per loop step.
uint32_t adler32(const uint8_t* bytes, size_t n) {
    constexpr uint32_t MOD = 65521;
    constexpr size_t CHUNK = 3854;
    uint32_t a = 1, b = 0;
    while (n > 0) {
        size_t k = n < CHUNK ? n : CHUNK;
        n -= k;
        while (k >= 16) {
            for (int i = 0; i < 16; i++) {
                a += bytes[i];
                b += a;
            }
            bytes += 16;
            k -= 16;
        }
        while (k-- > 0) {
            a += *bytes++;
            b += a;
        }
        a %= MOD;
        b %= MOD;
    }
    return (b << 16) | a;
}

}  // namespace zel::checksum
