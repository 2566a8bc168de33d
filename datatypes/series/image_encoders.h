// The image layer's own encoders: GIF (Qt writes none) and BMP (Qt's BMP writer drops alpha).
#pragma once
#include <cstdint>
#include <vector>

namespace zel::gif {

// A GIF89a file of one frame holding w × h pixels 0xAARRGGBB. Pixels with alpha below 128
// become the transparent index; the others keep their colour exactly when the image holds at
// most 256 colours (255 with transparency), else they are mapped to a palette made by median
// cut over 15-bit colour buckets (no dithering). The pixels are LZW-compressed.
std::vector<uint8_t> encode(const uint32_t* pixels, uint32_t w, uint32_t h);

}  // namespace zel::gif

namespace zel::bmp {

// A BMP file (BITMAPV4HEADER, 32 bits a pixel, bit fields with an alpha mask, rows bottom-up)
// holding w × h pixels 0xAARRGGBB exactly.
std::vector<uint8_t> encode(const uint32_t* pixels, uint32_t w, uint32_t h);

}  // namespace zel::bmp
