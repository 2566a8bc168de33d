// The BMP encoder (see image_encoders.h).
#include <cstring>

#include "datatypes/series/image_encoders.h"

namespace zel::bmp {

namespace {

constexpr uint32_t FILE_HEADER = 14;
constexpr uint32_t INFO_HEADER = 108;   // BITMAPV4HEADER

void put16(uint8_t*& p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p += 2;
}
void put32(uint8_t*& p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = uint8_t(v >> (8 * i));
    p += 4;
}

}  // namespace

std::vector<uint8_t> encode(const uint32_t* pixels, uint32_t w, uint32_t h) {
    uint64_t image_bytes = uint64_t(w) * h * 4;
    std::vector<uint8_t> out(FILE_HEADER + INFO_HEADER + image_bytes, 0);
    uint8_t* p = out.data();
    *p++ = 'B';
    *p++ = 'M';
    put32(p, uint32_t(out.size()));
    put32(p, 0);
    put32(p, FILE_HEADER + INFO_HEADER);
    put32(p, INFO_HEADER);
    put32(p, w);
    put32(p, h);                 // positive: rows bottom-up
    put16(p, 1);                 // planes
    put16(p, 32);                // bits a pixel
    put32(p, 3);                 // BI_BITFIELDS
    put32(p, uint32_t(image_bytes));
    put32(p, 2835);              // 72 dpi
    put32(p, 2835);
    put32(p, 0);                 // colours used
    put32(p, 0);                 // important colours
    put32(p, 0x00FF0000);        // red mask
    put32(p, 0x0000FF00);        // green
    put32(p, 0x000000FF);        // blue
    put32(p, 0xFF000000);        // alpha
    put32(p, 0x73524742);        // colour space "sRGB"; end points and gammas stay 0
    p = out.data() + FILE_HEADER + INFO_HEADER;
    for (uint32_t y = 0; y < h; y++) {
        const uint32_t* row = pixels + size_t(h - 1 - y) * w;
        for (uint32_t x = 0; x < w; x++) put32(p, row[x]);
    }
    return out;
}

}  // namespace zel::bmp
