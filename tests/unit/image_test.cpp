// The image layer and image geometry: codec round trips, hostile and damaged files, the
// collector's hold on image buffers, the warp, the crop, the bilinear resize, YUY2 and the
// transform onto corner points.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "core/collector.h"
#include "core/externals.h"
#include "datatypes/scalar/pair.h"
#include "datatypes/scalar/point.h"
#include "datatypes/series/image.h"
#include "datatypes/series/image_encoders.h"
#include "test_support.h"

using namespace zel;

namespace {

using Pixels = std::vector<uint32_t>;

class ImageTest : public test::StackTest {};

Pixels random_pixels(uint32_t n, uint32_t seed, bool opaque) {
    std::mt19937 rng(seed);
    Pixels p(n);
    for (auto& v : p) v = opaque ? (rng() | 0xFF000000u) : rng();
    return p;
}

// An image cell over a copy of the pixels, kept on the value stack.
Cell* push_image(uint32_t w, uint32_t h, const Pixels& px) {
    Cell* c = stack::push();
    image::init_cell(c, image::from_pixels(w, h, px.data()));
    return c;
}

std::vector<uint8_t> encoded(const Cell* img, int32_t container) {
    Cell* out = stack::push_none();
    image::encode(img, out, container);
    EXPECT_EQ(type_of(out), TYPE_BINARY);
    SeriesBuf* b = memory::buf(series_node(out));
    return std::vector<uint8_t>(b->data(), b->data() + b->tail);
}

// The decoded pixels, or an empty vector when the bytes do not decode.
Pixels decoded(const std::vector<uint8_t>& bytes, uint32_t* w = nullptr, uint32_t* h = nullptr) {
    uint32_t node = image::decode_memory(bytes.data(), bytes.size());
    if (!node) return {};
    uint32_t bw = image::buffer_width(node), bh = image::buffer_height(node);
    if (w) *w = bw;
    if (h) *h = bh;
    const uint32_t* p = image::buffer_pixels(node);
    return Pixels(p, p + size_t(bw) * bh);
}

void put_be32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++) b[at + size_t(i)] = uint8_t(v >> (24 - 8 * i));
}

TEST_F(ImageTest, LosslessContainersRoundTripExactly) {
    const uint32_t w = 97, h = 61;
    Pixels opaque = random_pixels(w * h, 1, true), translucent = random_pixels(w * h, 2, false);
    struct Case { int32_t container; const Pixels* px; };
    for (Case c : {Case{image::PNG, &opaque}, Case{image::PNG, &translucent}, Case{image::BMP, &opaque},
                   Case{image::BMP, &translucent}, Case{image::TIFF, &opaque}}) {
        SCOPED_TRACE(c.container);
        Cell* img = push_image(w, h, *c.px);
        uint32_t dw = 0, dh = 0;
        Pixels back = decoded(encoded(img, c.container), &dw, &dh);
        EXPECT_EQ(dw, w);
        EXPECT_EQ(dh, h);
        EXPECT_TRUE(back == *c.px);
    }
}

TEST_F(ImageTest, TiffKeepsAlphaAndOpaqueColoursExactly) {
    Pixels px = random_pixels(40 * 30, 3, false);
    for (size_t i = 0; i < px.size(); i += 3) px[i] |= 0xFF000000u;
    Pixels back = decoded(encoded(push_image(40, 30, px), image::TIFF));
    ASSERT_EQ(back.size(), px.size());
    for (size_t i = 0; i < px.size(); i++) {
        EXPECT_EQ(back[i] >> 24, px[i] >> 24) << i;
        if ((px[i] >> 24) == 255) {
            EXPECT_EQ(back[i], px[i]) << i;
        }
    }
}

TEST_F(ImageTest, GifIsExactWithinItsPalette) {
    // 255 opaque colours and transparent pixels: one palette entry each.
    const uint32_t w = 64, h = 40;
    Pixels px(w * h);
    std::mt19937 rng(4);
    Pixels colours(255);
    for (auto& c : colours) c = rng() | 0xFF000000u;
    for (size_t i = 0; i < px.size(); i++) px[i] = (rng() % 7 == 0) ? 0x00000000u : colours[rng() % 255];
    EXPECT_TRUE(decoded(encoded(push_image(w, h, px), image::GIF)) == px);
    // One colour, one pixel: the smallest code size.
    Pixels one = {0xFF123456u};
    EXPECT_TRUE(decoded(encoded(push_image(1, 1, one), image::GIF)) == one);
    // A long run fills the 4096-code table several times.
    Pixels stripes(300 * 200);
    for (size_t i = 0; i < stripes.size(); i++) stripes[i] = colours[(i / 3 + i * i) % 200];
    EXPECT_TRUE(decoded(encoded(push_image(300, 200, stripes), image::GIF)) == stripes);
}

TEST_F(ImageTest, GifQuantisesManyColoursCloseToTheOriginal) {
    // A smooth gradient of about 65,000 colours.
    const uint32_t w = 256, h = 256;
    Pixels px(w * h);
    for (uint32_t y = 0; y < h; y++)
        for (uint32_t x = 0; x < w; x++) px[y * w + x] = 0xFF000000u | x << 16 | y << 8 | ((x + y) / 2);
    Pixels back = decoded(encoded(push_image(w, h, px), image::GIF));
    ASSERT_EQ(back.size(), px.size());
    double total = 0;
    for (size_t i = 0; i < px.size(); i++)
        for (int s = 0; s < 24; s += 8) total += std::abs(int((px[i] >> s) & 0xFF) - int((back[i] >> s) & 0xFF));
    EXPECT_LT(total / (px.size() * 3.0), 12.0);
}

TEST_F(ImageTest, JpegRoundTripsWithinItsStatedError) {
    // JPEG at quality 90 on a smooth image: mean error per channel below 2, none above 24.
    const uint32_t w = 120, h = 80;
    Pixels px(w * h);
    for (uint32_t y = 0; y < h; y++)
        for (uint32_t x = 0; x < w; x++) px[y * w + x] = 0xFF000000u | (x * 2) << 16 | (y * 3) << 8 | (x + y);
    Pixels back = decoded(encoded(push_image(w, h, px), image::JPEG));
    ASSERT_EQ(back.size(), px.size());
    double total = 0;
    int worst = 0;
    for (size_t i = 0; i < px.size(); i++) {
        EXPECT_EQ(back[i] >> 24, 255u);
        for (int s = 0; s < 24; s += 8) {
            int d = std::abs(int((px[i] >> s) & 0xFF) - int((back[i] >> s) & 0xFF));
            total += d;
            worst = std::max(worst, d);
        }
    }
    EXPECT_LT(total / (px.size() * 3.0), 2.0);
    EXPECT_LE(worst, 24);
}

TEST_F(ImageTest, HostileHeadersAreRefused) {
    Pixels px = random_pixels(4 * 3, 5, true);
    Cell* img = push_image(4, 3, px);
    // PNG: width and height in the header set huge, the header's CRC made right again.
    std::vector<uint8_t> png = encoded(img, image::PNG);
    for (uint32_t size : {100000u, 65536u, 0x7FFFFFFFu, 0u}) {
        std::vector<uint8_t> b = png;
        put_be32(b, 16, size);
        put_be32(b, 20, 50000);
        put_be32(b, 29, uint32_t(crc32(0, b.data() + 12, 17)));
        EXPECT_TRUE(decoded(b).empty()) << size;
    }
    // PNG: a chunk after the image data that declares far more bytes than the file holds.
    {
        std::vector<uint8_t> b(png.begin(), png.end() - 12);   // without IEND
        const uint8_t chunk[] = {0x7F, 0xFF, 0xFF, 0x00, 't', 'E', 'X', 't', 'a', 0, 'b'};
        b.insert(b.end(), chunk, chunk + sizeof chunk);
        EXPECT_TRUE(decoded(b).empty());
    }
    // BMP: a huge width and height.
    std::vector<uint8_t> bmp = encoded(img, image::BMP);
    for (uint32_t size : {100000u, 0x40000000u, 0xFFFFFFFFu}) {
        std::vector<uint8_t> b = bmp;
        std::memcpy(&b[18], &size, 4);
        std::memcpy(&b[22], &size, 4);
        EXPECT_TRUE(decoded(b).empty()) << size;
    }
    // GIF: a huge logical screen and frame.
    std::vector<uint8_t> gif = encoded(img, image::GIF);
    {
        std::vector<uint8_t> b = gif;
        b[6] = b[7] = b[8] = b[9] = 0xFF;
        Pixels back = decoded(b);
        EXPECT_TRUE(back.empty() || back.size() <= 65535u * 65535u);
    }
    // TIFF: the image width tag's value set huge (each entry of the first directory).
    std::vector<uint8_t> tiff = encoded(img, image::TIFF);
    ASSERT_GE(tiff.size(), 8u);
    uint32_t ifd;
    std::memcpy(&ifd, &tiff[4], 4);
    if (ifd + 2 <= tiff.size()) {
        uint16_t entries;
        std::memcpy(&entries, &tiff[ifd], 2);
        for (uint16_t k = 0; k < entries && ifd + 2 + 12u * (k + 1) <= tiff.size(); k++) {
            size_t at = ifd + 2 + 12u * k;
            uint16_t tag;
            std::memcpy(&tag, &tiff[at], 2);
            if (tag != 256 && tag != 257) continue;
            std::vector<uint8_t> b = tiff;
            uint16_t long_type = 4;
            uint32_t huge = 3000000;
            std::memcpy(&b[at + 2], &long_type, 2);
            std::memcpy(&b[at + 8], &huge, 4);
            EXPECT_TRUE(decoded(b).empty()) << tag;
        }
    }
}

TEST_F(ImageTest, DamagedFilesNeverCrash) {
    Pixels px = random_pixels(9 * 7, 6, false);
    Cell* img = push_image(9, 7, px);
    std::mt19937 rng(7);
    for (int32_t container : {image::PNG, image::BMP, image::GIF, image::JPEG, image::TIFF}) {
        SCOPED_TRACE(container);
        std::vector<uint8_t> good = encoded(img, container);
        // Every truncation: an error or an image of the declared size, never a crash.
        for (size_t n = 0; n < good.size(); n += (good.size() > 400 ? 7 : 1)) {
            std::vector<uint8_t> b(good.begin(), good.begin() + long(n));
            uint32_t w = 0, h = 0;
            Pixels back = decoded(b, &w, &h);
            if (!back.empty()) {
                EXPECT_EQ(back.size(), size_t(w) * h);
            }
        }
        // Random byte changes after the signature.
        for (int k = 0; k < 300; k++) {
            std::vector<uint8_t> b = good;
            for (int j = 0; j < 4; j++) b[8 + rng() % (b.size() - 8)] = uint8_t(rng());
            decoded(b);
        }
    }
}

TEST_F(ImageTest, SignaturesAreRecognisedExactly) {
    struct Case { std::vector<uint8_t> bytes; int32_t container; };
    const Case cases[] = {
        {{0x89, 'P', 'N', 'G'}, image::PNG},   {{0x89, 'P', 'N'}, -1},
        {{0xFF, 0xD8, 0xFF}, image::JPEG},     {{0xFF, 0xD8}, -1},
        {{'B', 'M'}, image::BMP},              {{'B'}, -1},
        {{'G', 'I', 'F', '8', '7', 'a'}, image::GIF}, {{'G', 'I', 'F', '8', '9', 'a'}, image::GIF},
        {{'G', 'I', 'F', '8', '8', 'a'}, -1},  {{'G', 'I', 'F', '8', '9'}, -1},
        {{'I', 'I', '*', 0}, image::TIFF},     {{'M', 'M', 0, '*'}, image::TIFF},
        {{'I', 'I', 0, '*'}, -1},              {{}, -1},
    };
    for (const Case& c : cases) EXPECT_EQ(image::signature_of(c.bytes.data(), c.bytes.size()), c.container);
}

TEST_F(ImageTest, ScalingFlippingAndClipping) {
    Pixels px = {1, 2, 3, 4, 5, 6};   // 3 × 2
    Cell* img = push_image(3, 2, px);
    uint32_t big = image::resize(img, 6, 4);
    const uint32_t* b = image::buffer_pixels(big);
    EXPECT_EQ(Pixels(b, b + 24), (Pixels{1, 1, 2, 2, 3, 3, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 4, 4, 5, 5, 6, 6}));
    uint32_t small = image::resize(img, 1, 1);
    EXPECT_EQ(image::buffer_pixels(small)[0], 1u);
    uint32_t flipped = image::flip_vertical(series_node(img));
    const uint32_t* f = image::buffer_pixels(flipped);
    EXPECT_EQ(Pixels(f, f + 6), (Pixels{4, 5, 6, 1, 2, 3}));
    Cell* region = stack::push();
    image::copy_region(img, region, 1, 0, 5, 5);
    EXPECT_EQ(image::width_of(region), 2u);
    EXPECT_EQ(image::height_of(region), 2u);
    const uint32_t* r = image::buffer_pixels(series_node(region));
    EXPECT_EQ(Pixels(r, r + 4), (Pixels{2, 3, 5, 6}));
}

TEST_F(ImageTest, CollectorKeepsReachableBuffersAndReleasesTheOthers) {
    collector::run_cycle();
    uint32_t before = externals::table().used_count();
    Cell* kept = push_image(5, 5, random_pixels(25, 8, true));
    {
        Cell* dropped = stack::push();
        image::init_cell(dropped, image::make_bitmap(7, 7, nullptr, nullptr, nullptr));
        stack::drop(1);
    }
    EXPECT_EQ(externals::table().used_count(), before + 2);
    collector::run_cycle();
    EXPECT_EQ(externals::table().used_count(), before + 1);
    EXPECT_EQ(image::buffer_width(series_node(kept)), 5u);
    EXPECT_EQ(image::get_pixel(series_node(kept), 24), random_pixels(25, 8, true)[24]);
}

// ---- geometry ----

using geometry::WarpQuad;

TEST(ImageGeometry, InsideTestCountsEdgesAndCornersAsInside) {
    WarpQuad q{0, 0, 4, 0, 4, 3, 0, 3};
    struct Case { float x, y; bool inside; };
    for (Case c : {Case{0, 0, true}, Case{4, 3, true}, Case{2, 0, true}, Case{4, 1.5f, true}, Case{2, 1, true},
                   Case{-0.01f, 1, false}, Case{2, 3.01f, false}, Case{5, 5, false}})
        EXPECT_EQ(geometry::contains(q, c.x, c.y), c.inside) << c.x << "," << c.y;
    WarpQuad backwards{0, 0, 0, 3, 4, 3, 4, 0};   // counter-clockwise on a y-down raster
    EXPECT_FALSE(geometry::contains(backwards, 2, 1));
}

TEST(ImageGeometry, VectorsRotateAndMeasure) {
    geometry::Vec2 v{1, 0};
    geometry::rotate(v, 90);
    EXPECT_NEAR(v.x, 0, 1e-9);
    EXPECT_DOUBLE_EQ(v.y, 1);
    geometry::Vec2 u{1, 1};
    geometry::rotate(u, 180);
    EXPECT_NEAR(u.x, -1, 1e-9);
    EXPECT_NEAR(u.y, -1, 1e-9);
    EXPECT_DOUBLE_EQ(geometry::line_distance(3, 5, 0, 0, 10, 0), 5);
    EXPECT_DOUBLE_EQ(geometry::line_distance(3, -5, 0, 0, 10, 0), 5);
    EXPECT_TRUE(geometry::is_negative_side(1, 1, 0, 0, 1, 0));
    EXPECT_TRUE(geometry::is_positive_side(1, -1, 0, 0, 1, 0));
}

TEST(ImageGeometry, WarpOntoTheSourceRectangleReproducesIt) {
    Pixels px = random_pixels(7 * 5, 9, false);
    int32_t x, y, w, h;
    uint32_t* out = geometry::warp_to_quad(px.data(), 7, 5, WarpQuad{0, 0, 7, 0, 7, 5, 0, 5}, &x, &y, &w, &h);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(x, 0);
    EXPECT_EQ(y, 0);
    EXPECT_EQ(w, 7);
    EXPECT_EQ(h, 5);
    EXPECT_TRUE(Pixels(out, out + 35) == px);
    std::free(out);
}

TEST(ImageGeometry, WarpBoxesAndPixelsOutsideTheQuad) {
    Pixels px(4 * 4, 0xFFFFFFFFu);
    int32_t x, y, w, h;
    // Fractional corners: width trunc(3.4 - 0.5) = 2 from origin 0.
    uint32_t* out = geometry::warp_to_quad(px.data(), 4, 4, WarpQuad{0.5f, 0, 3.4f, 0, 3.4f, 2, 0.5f, 2}, &x, &y, &w, &h);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(x, 0);
    EXPECT_EQ(w, 2);
    EXPECT_EQ(h, 2);
    EXPECT_EQ(out[0], 0u);   // (0, 0) lies left of the quad
    std::free(out);
    // A diamond: the box corners lie outside and stay all-zero.
    out = geometry::warp_to_quad(px.data(), 4, 4, WarpQuad{5, 0, 10, 5, 5, 10, 0, 5}, &x, &y, &w, &h);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out[0], 0u);
    EXPECT_EQ(out[9], 0u);
    EXPECT_EQ(out[5 * 10 + 5], 0xFFFFFFFFu);
    std::free(out);
    // No warp: an empty source, a zero-length edge, no width, a box too large, not a number.
    const WarpQuad none[] = {
        {0, 0, 0, 0, 4, 4, 0, 4},
        {0, 0, 0.5f, 0, 0.5f, 4, 0, 4},
        {0, 0, 70000, 0, 70000, 4, 0, 4},
        {0, 0, 3e38f, 0, 3e38f, 4, 0, 4},
        {0, 0, NAN, 0, 4, 4, 0, 4},
    };
    for (const WarpQuad& q : none) EXPECT_EQ(geometry::warp_to_quad(px.data(), 4, 4, q, &x, &y, &w, &h), nullptr);
    EXPECT_EQ(geometry::warp_to_quad(px.data(), 0, 4, WarpQuad{0, 0, 4, 0, 4, 4, 0, 4}, &x, &y, &w, &h), nullptr);
}

TEST(ImageGeometry, BilinearResize) {
    Pixels one = {0x80402010u};
    uint32_t* out = geometry::resize_bilinear(one.data(), 1, 1, 2, 2);
    ASSERT_NE(out, nullptr);
    EXPECT_TRUE(Pixels(out, out + 4) == Pixels(4, 0x80402010u));
    std::free(out);
    // Two columns 0 and 200 stretched to four: positions 0, 0.5, 1, 1.5.
    Pixels two = {0, 200};
    out = geometry::resize_bilinear(two.data(), 2, 1, 4, 1);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(Pixels(out, out + 4), (Pixels{0, 100, 200, 200}));
    std::free(out);
    EXPECT_EQ(geometry::resize_bilinear(two.data(), 2, 1, 0, 1), nullptr);
}

TEST(ImageGeometry, CropClipsToTheSource) {
    Pixels px = {1, 2, 3, 4, 5, 6, 7, 8, 9};   // 3 × 3
    Pixels dst(4, 0);
    EXPECT_TRUE(geometry::crop_pixels(px.data(), 3, 3, 1, 1, 2, 2, dst.data()));
    EXPECT_EQ(dst, (Pixels{5, 6, 8, 9}));
    Pixels clipped(4, 0);
    EXPECT_TRUE(geometry::crop_pixels(px.data(), 3, 3, 2, 1, 2, 5, clipped.data()));
    EXPECT_EQ(clipped, (Pixels{6, 9, 0, 0}));   // packed at the clipped width
    EXPECT_FALSE(geometry::crop_pixels(px.data(), 3, 3, 3, 0, 1, 1, dst.data()));
    EXPECT_FALSE(geometry::crop_pixels(px.data(), 3, 3, -1, 0, 1, 1, dst.data()));
}

TEST(ImageGeometry, Yuy2ToRgb) {
    struct Case { uint8_t in[4]; uint32_t first, second; };
    const Case cases[] = {
        {{0, 128, 255, 128}, 0xFF000000u, 0xFFFFFFFFu},
        // R = 254, G = 1 (the negative u term rounds down), B = 0 (clamped from -1)
        {{76, 85, 76, 255}, 0xFF0001FEu, 0xFF0001FEu},
    };
    for (const Case& c : cases) {
        uint32_t out[2];
        geometry::yuy2_to_rgb(2, 1, c.in, out);
        EXPECT_EQ(out[0], c.first);
        EXPECT_EQ(out[1], c.second);
    }
    // An odd width takes a whole pair a row.
    uint8_t rows[8] = {10, 128, 20, 128, 30, 128, 40, 128};
    uint32_t out[4];
    geometry::yuy2_to_rgb(1, 2, rows, out);
    EXPECT_EQ(out[2], 0xFF1E1E1Eu);
}

TEST_F(ImageTest, TransformOntoCorners) {
    Pixels px = random_pixels(6 * 4, 10, true);
    Cell* img = push_image(6, 4, px);
    Cell* out = stack::push();
    int32_t x, y, w, h;
    // No corner: the image itself at the origin.
    geometry::transform(img, out, nullptr, nullptr, nullptr, &x, &y, &w, &h);
    ASSERT_EQ(type_of(out), TYPE_IMAGE);
    EXPECT_EQ(image::width_of(out), 6u);
    const uint32_t* p = image::buffer_pixels(series_node(out));
    EXPECT_TRUE(Pixels(p, p + 24) == px);
    // Two corners, the second left of the first: drawn mirrored, a negative width.
    Cell* corners = stack::push();
    pair::write_cell(corners, 10, 2);
    pair::write_cell(stack::push(), 4, 6);
    geometry::transform(img, out, nullptr, corners, corners + 1, &x, &y, &w, &h);
    ASSERT_EQ(type_of(out), TYPE_IMAGE);
    EXPECT_EQ(w, -6);
    EXPECT_EQ(h, 4);
    EXPECT_EQ(x, 10);
    // The same corners as point2D! values (x and y in the first two words).
    point2D::write_cell(corners, 10.0, 2.0);
    point2D::write_cell(corners + 1, 4.0, 6.0);
    geometry::transform(img, out, nullptr, corners, corners + 1, &x, &y, &w, &h);
    ASSERT_EQ(type_of(out), TYPE_IMAGE);
    EXPECT_EQ(w, -6);
    EXPECT_EQ(h, 4);
    EXPECT_EQ(x, 10);
    EXPECT_EQ(y, 2);
    // A crop: offset 2x1, size 10x10 clamped to 4x3.
    Cell* crop = stack::push();
    pair::write_cell(crop, 2, 1);
    pair::write_cell(stack::push(), 10, 10);
    geometry::transform(img, out, crop, nullptr, nullptr, &x, &y, &w, &h);
    ASSERT_EQ(type_of(out), TYPE_IMAGE);
    EXPECT_EQ(w, 4);
    EXPECT_EQ(h, 3);
    EXPECT_EQ(image::buffer_pixels(series_node(out))[0], px[1 * 6 + 2]);
    // None: a crop outside the source, five corners, an empty image.
    pair::write_cell(crop, 6, 0);
    geometry::transform(img, out, crop, nullptr, nullptr, &x, &y, &w, &h);
    EXPECT_EQ(type_of(out), TYPE_NONE);
    Cell* five = stack::push();
    for (int k = 0; k < 4; k++) pair::write_cell(stack::push(), k, k);
    geometry::transform(img, out, nullptr, five, five + 4, &x, &y, &w, &h);
    EXPECT_EQ(type_of(out), TYPE_NONE);
    Cell* empty = stack::push();
    image::init_cell(empty, 0, 0, 5);
    geometry::transform(empty, out, nullptr, nullptr, nullptr, &x, &y, &w, &h);
    EXPECT_EQ(type_of(out), TYPE_NONE);
}

}  // namespace
