// The image platform layer: image buffers and their externals records, pixel access, making
// buffers from sizes, colours, pixels and encoded bytes, encoding, scaling, flipping and
// clipping (see image.h).
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/error.h"
#include "core/externals.h"
#include "datatypes/series/image.h"
#include "datatypes/series/image_encoders.h"
#include "datatypes/series/image_qt.h"
#include "datatypes/scalar/tuple.h"
#include "platform/files.h"

namespace zel::image {

using memory::buf;

namespace {

uint32_t external_kind = 0;

// The release callback of the kind "image": the record holds no object of its own until the
// GUI backend attaches one (its cached device bitmap), which it frees through its own hook.
void release_buffer_objects(void*) {}

uint32_t kind() {
    if (!external_kind) external_kind = externals::register_kind("image", release_buffer_objects);
    return external_kind;
}

const char* format_name(int32_t container) {
    switch (container) {
        case BMP: return "bmp";
        case PNG: return "png";
        case GIF: return "gif";
        case JPEG: return "jpeg";
        case TIFF: return "tiff";
        default: return nullptr;
    }
}

// A binary! of n bytes copied from data into out.
void binary_from(Cell* out, const uint8_t* data, size_t n) {
    if (n > 0x7FFFFFF0u) memory::raise_no_memory();
    uint32_t node = memory::new_series(n, 1);
    SeriesBuf* b = buf(node);
    if (n) std::memcpy(b->data(), data, n);
    b->tail = uint32_t(n);
    set_series(out, TYPE_BINARY, node);
}

// The bytes of a binary from its head to its tail; count is 0 (and the result null) when the
// head is at or past the tail.
const uint8_t* bytes_from_head(const Cell* binary, size_t& count) {
    SeriesBuf* b = buf(series_node(binary));
    uint32_t head = series_head(binary) < 0 ? 0 : uint32_t(series_head(binary));
    count = head < b->tail ? b->tail - head : 0;
    return count ? b->data() + head : nullptr;
}

}  // namespace

void register_kind() { kind(); }

uint32_t new_buffer(uint32_t w, uint32_t h) {
    uint64_t bytes = uint64_t(w) * h * 4;
    if (w == 0 || h == 0 || w > MAX_SIDE || h > MAX_SIDE || bytes > MAX_PIXEL_BYTES) memory::raise_no_memory();
    uint32_t node = memory::new_series(RECORD_BYTES + size_t(bytes), 1);
    SeriesBuf* b = buf(node);
    b->tail = RECORD_BYTES + uint32_t(bytes);
    uint32_t* f = record_fields(node);
    std::memset(f, 0, RECORD_BYTES);
    f[0] = PIXELS_CURRENT;
    f[3] = size_word(w, h);
    f[4] = uint32_t(externals::add_record(nullptr, kind()));
    return node;
}

uint32_t make_bitmap(uint32_t w, uint32_t h, const Cell* rgb, const Cell* alpha, const Cell* colour) {
    if (w == 0 || h == 0) return 0;
    uint32_t node = new_buffer(w, h);
    uint32_t* px = buffer_pixels(node);
    size_t n = size_t(w) * h;
    if (colour) {
        const uint8_t* t = tuple::bytes(colour);
        uint32_t a = tuple::count(colour) >= 4 ? 255u - t[3] : 255u;
        uint32_t word = (a << 24) | (uint32_t(t[0]) << 16) | (uint32_t(t[1]) << 8) | t[2];
        for (size_t i = 0; i < n; i++) px[i] = word;
        return node;
    }
    size_t triples = 0, alphas = 0;
    const uint8_t* rgb_bytes = rgb ? bytes_from_head(rgb, triples) : nullptr;
    triples /= 3;
    const uint8_t* alpha_bytes = alpha ? bytes_from_head(alpha, alphas) : nullptr;
    for (size_t i = 0; i < n; i++) {
        uint32_t r = 255, g = 255, bl = 255, a = 255;
        if (i < triples) {
            r = rgb_bytes[3 * i];
            g = rgb_bytes[3 * i + 1];
            bl = rgb_bytes[3 * i + 2];
        }
        if (i < alphas) a = 255u - alpha_bytes[i];
        px[i] = (a << 24) | (r << 16) | (g << 8) | bl;
    }
    return node;
}

uint32_t from_pixels(uint32_t w, uint32_t h, const uint32_t* pixels) {
    uint32_t node = new_buffer(w, h);
    std::memcpy(buffer_pixels(node), pixels, size_t(w) * h * 4);
    return node;
}

int32_t signature_of(const uint8_t* p, size_t n) {
    if (n >= 4 && p[0] == 0x89 && p[1] == 'P' && p[2] == 'N' && p[3] == 'G') return PNG;
    if (n >= 3 && p[0] == 0xFF && p[1] == 0xD8 && p[2] == 0xFF) return JPEG;
    if (n >= 2 && p[0] == 'B' && p[1] == 'M') return BMP;
    if (n >= 6 && p[0] == 'G' && p[1] == 'I' && p[2] == 'F' && p[3] == '8' && (p[4] == '7' || p[4] == '9') &&
        p[5] == 'a')
        return GIF;
    if (n >= 4 && ((p[0] == 'I' && p[1] == 'I' && p[2] == '*' && p[3] == 0) ||
                   (p[0] == 'M' && p[1] == 'M' && p[2] == 0 && p[3] == '*')))
        return TIFF;
    return -1;
}

namespace {

// Whether the chunks of a PNG file stay within its bytes. A chunk that declares more bytes
// than the file holds makes the PNG library read past the end a kilobyte at a time (seconds
// for a few hundred bytes of input), so such a file is refused before it is decoded.
bool png_chunks_fit(const uint8_t* p, size_t n) {
    size_t at = 8;
    while (at + 8 <= n) {
        uint64_t length = uint64_t(p[at]) << 24 | uint32_t(p[at + 1]) << 16 | uint32_t(p[at + 2]) << 8 | p[at + 3];
        if (length + 12 > n - at) return false;
        if (std::memcmp(p + at + 4, "IEND", 4) == 0) return true;
        at += size_t(length) + 12;
    }
    return at == n;
}

}  // namespace

uint32_t decode_memory(const uint8_t* bytes, size_t n) {
    int32_t container = signature_of(bytes, n);
    if (container < 0) return 0;
    if (container == PNG && !png_chunks_fit(bytes, n)) return 0;
    const ZelQtImageApi* qt = image_qt::api();
    if (!qt) return 0;
    int32_t w = 0, h = 0;
    void* decoded = qt->decode(bytes, n, format_name(container), &w, &h);
    if (!decoded) return 0;
    if (w < 1 || h < 1 || uint32_t(w) > MAX_SIDE || uint32_t(h) > MAX_SIDE ||
        uint64_t(w) * uint64_t(h) * 4 > MAX_PIXEL_BYTES) {
        qt->release(decoded);
        return 0;
    }
    uint32_t node;
    try {
        node = new_buffer(uint32_t(w), uint32_t(h));
    } catch (...) {
        qt->release(decoded);
        throw;
    }
    qt->copy_pixels(decoded, buffer_pixels(node));
    qt->release(decoded);
    return node;
}

uint32_t load_file_buffer(const char* path) {
    platform::InputFile file(path);
    if (!file.is_open()) return 0;
    std::vector<uint8_t> bytes;
    uint8_t chunk[65536];
    for (;;) {
        int64_t got = file.read(chunk, sizeof chunk);
        if (got < 0) return 0;
        if (got == 0) break;
        bytes.insert(bytes.end(), chunk, chunk + got);
        if (bytes.size() > 0x7FFFFFF0u) return 0;
    }
    return decode_memory(bytes.data(), bytes.size());
}

void encode(const Cell* img, Cell* out, int32_t container) {
    const char* format = format_name(container);
    if (!format) {
        std::fputs("Cannot find image encoder\n", stderr);
        return;
    }
    uint32_t w = width_of(img), h = height_of(img);
    if (w == 0 || h == 0 || !series_node(img)) {
        binary_from(out, nullptr, 0);
        return;
    }
    const uint32_t* px = lock_pixels(img, false);
    if (container == GIF || container == BMP) {
        std::vector<uint8_t> bytes = container == GIF ? gif::encode(px, w, h) : bmp::encode(px, w, h);
        binary_from(out, bytes.data(), bytes.size());
        return;
    }
    const ZelQtImageApi* qt = image_qt::api();
    if (!qt) error::raise(error::ERR_ACCESS_BAD_MEDIA);
    size_t n = 0;
    uint8_t* bytes = qt->encode(px, int32_t(w), int32_t(h), format, container == JPEG ? 90 : -1, &n);
    if (!bytes) error::raise(error::ERR_ACCESS_BAD_MEDIA);
    try {
        binary_from(out, bytes, n);
    } catch (...) {
        qt->free_bytes(bytes);
        throw;
    }
    qt->free_bytes(bytes);
}

uint32_t resize(const Cell* img, uint32_t w, uint32_t h) {
    uint32_t sw = width_of(img), sh = height_of(img);
    if (!series_node(img) || sw == 0 || sh == 0) return 0;
    uint32_t node = new_buffer(w, h);
    const uint32_t* src = buffer_pixels(series_node(img));
    uint32_t* dst = buffer_pixels(node);
    std::vector<uint32_t> columns(w);
    for (uint32_t x = 0; x < w; x++) columns[x] = uint32_t(uint64_t(x) * sw / w);
    for (uint32_t y = 0; y < h; y++) {
        const uint32_t* row = src + size_t(uint64_t(y) * sh / h) * sw;
        uint32_t* out = dst + size_t(y) * w;
        for (uint32_t x = 0; x < w; x++) out[x] = row[columns[x]];
    }
    return node;
}

uint32_t flip_vertical(uint32_t node) {
    uint32_t w = buffer_width(node), h = buffer_height(node);
    uint32_t flipped = new_buffer(w, h);
    const uint32_t* src = buffer_pixels(node);
    uint32_t* dst = buffer_pixels(flipped);
    for (uint32_t y = 0; y < h; y++) std::memcpy(dst + size_t(y) * w, src + size_t(h - 1 - y) * w, size_t(w) * 4);
    return flipped;
}

void copy_whole(const Cell* img, Cell* out) {
    copy_region(img, out, 0, 0, width_of(img), height_of(img));
}

void copy_region(const Cell* img, Cell* out, uint32_t x, uint32_t y, uint32_t w, uint32_t h) {
    uint32_t sw = width_of(img), sh = height_of(img);
    uint32_t src_node = series_node(img);
    if (!src_node || x >= sw || y >= sh || w == 0 || h == 0) {
        init_cell(out, 0);
        return;
    }
    if (w > sw - x) w = sw - x;
    if (h > sh - y) h = sh - y;
    uint32_t node = new_buffer(w, h);
    const uint32_t* src = buffer_pixels(src_node);
    uint32_t* dst = buffer_pixels(node);
    for (uint32_t row = 0; row < h; row++)
        std::memcpy(dst + size_t(row) * w, src + size_t(y + row) * sw + x, size_t(w) * 4);
    init_cell(out, node);
}

uint32_t* lock_pixels(const Cell* img, bool write) {
    uint32_t node = series_node(img);
    if (!node) return nullptr;
    if (write) record_fields(node)[0] |= PIXELS_WRITTEN;
    return buffer_pixels(node);
}

uint32_t get_pixel(uint32_t node, uint32_t offset) { return buffer_pixels(node)[offset]; }

void set_pixel(uint32_t node, uint32_t offset, uint32_t pixel) {
    record_fields(node)[0] |= PIXELS_WRITTEN;
    buffer_pixels(node)[offset] = pixel;
}

void collect_hook(uint32_t node) {
    SeriesBuf* b = buf(node);
    if (!b || b->tail < RECORD_BYTES) return;
    externals::mark_record(int32_t(record_fields(node)[4]));
}

}  // namespace zel::image
