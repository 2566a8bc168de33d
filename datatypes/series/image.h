// image!: a rectangle of 32-bit pixels that behaves as a series of pixels in row-major order,
// and the image layer under it.
//
// Cell: word 1 the head index (a pixel offset from the top-left pixel), word 2 the node of
// the image buffer (0 for an image without pixels: width or height 0), word 3 the size word
// (size_word_of): height in the high 16 bits, width in the low 16 bits.
//
// Pixel: the 32-bit word 0xAARRGGBB stored little-endian (bytes B, G, R, A in memory), the
// layout of Qt's QImage::Format_ARGB32 on this machine; A is opacity, 255 fully opaque.
//
// Image buffer (the image record): a byte series that starts with eight 32-bit fields and
// holds the pixels right after them, 4 × width bytes a row with no padding:
//   0 flags (PIXELS_WRITTEN, DRAWN ...), 1 draw source (reserved for the GUI backend),
//   2 pixel bitmap (reserved), 3 size word, 4 externals-table index (kind "image"),
//   5 cached device bitmap (reserved), 6-7 unused.
// The pixels live in the series, so the collector frees them and counts them towards its
// budget; the externals record carries the operating-system objects the GUI backend may
// attach later and is released when the collector finds the buffer unreachable.
//
// Codecs (PNG, JPEG, BMP, GIF and TIFF decoding; PNG, JPEG, BMP and TIFF encoding) run in Qt,
// which is loaded from a module of its own on first use (image_qt.h): a process that never
// decodes or encodes an image never loads Qt. GIF encoding is our own (image_gif.cpp).
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/cell.h"
#include "core/memory.h"

namespace zel::image {

constexpr uint32_t RECORD_BYTES = 32;
constexpr uint32_t MAX_SIDE = 65535;
// Largest pixel store a buffer may hold (a series buffer's size is a 32-bit count).
constexpr uint64_t MAX_PIXEL_BYTES = 0x7FFF0000ull;

// Record flags.
constexpr uint32_t PIXELS_CURRENT = 0x01;
constexpr uint32_t PIXELS_WRITTEN = 0x02;

// Container codes of the encoder.
enum Container : int32_t { BMP = 0, PNG = 1, GIF = 2, JPEG = 3, TIFF = 4 };

// ---- cells ----
inline uint32_t size_word_of(const Cell* c) { return series_extra(c); }
inline void set_size_word(Cell* c, uint32_t w) { set_series_extra(c, w); }
inline uint32_t width_of(const Cell* c) { return size_word_of(c) & 0xFFFF; }
inline uint32_t height_of(const Cell* c) { return size_word_of(c) >> 16; }
inline uint32_t size_word(uint32_t w, uint32_t h) { return (h << 16) | (w & 0xFFFF); }
inline uint64_t pixel_count(const Cell* c) { return uint64_t(width_of(c)) * height_of(c); }

// ---- buffers (the image platform layer) ----
inline uint32_t* record_fields(uint32_t node) { return reinterpret_cast<uint32_t*>(memory::buf(node)->data()); }
inline uint32_t* buffer_pixels(uint32_t node) {
    return reinterpret_cast<uint32_t*>(memory::buf(node)->data() + RECORD_BYTES);
}
inline uint32_t buffer_width(uint32_t node) { return record_fields(node)[3] & 0xFFFF; }
inline uint32_t buffer_height(uint32_t node) { return record_fields(node)[3] >> 16; }

// A new buffer of w × h pixels (both at least 1) whose pixels are left as they come; raises
// internal/no-memory when the pixels cannot be held. Registered in the externals table.
uint32_t new_buffer(uint32_t w, uint32_t h);
// `image/make-bitmap`: a new buffer filled from a colour tuple, or from rgb and alpha
// binaries (either may be null: missing bytes give white and opaque); 0 when w or h is 0.
uint32_t make_bitmap(uint32_t w, uint32_t h, const Cell* rgb, const Cell* alpha, const Cell* colour);
// A new buffer holding a copy of w × h packed pixels.
uint32_t from_pixels(uint32_t w, uint32_t h, const uint32_t* pixels);
// `image/decode-memory`: a buffer decoded from PNG, JPEG, BMP, GIF or TIFF bytes (recognised
// by their signature), or 0 when the bytes are not such an image or do not decode.
uint32_t decode_memory(const uint8_t* bytes, size_t n);
// `image/load-file-buffer`: a buffer read from an image file (native path), or 0.
uint32_t load_file_buffer(const char* path);
// `image/encode`: out becomes a binary! with the image encoded in the container. Raises
// access/bad-media when the encoder fails. An unknown container prints "Cannot find image
// encoder" and leaves out unchanged; an empty image gives an empty binary.
void encode(const Cell* img, Cell* out, int32_t container);
// `image/resize`: a new buffer scaled to w × h (both at least 1) by nearest neighbour.
uint32_t resize(const Cell* img, uint32_t w, uint32_t h);
// `image/flip-vertical`: a new buffer holding the rows in reverse order.
uint32_t flip_vertical(uint32_t node);
// `image/copy-whole` and `image/copy-region`: out becomes an image! (head 0) over a new buffer.
void copy_whole(const Cell* img, Cell* out);
void copy_region(const Cell* img, Cell* out, uint32_t x, uint32_t y, uint32_t w, uint32_t h);

// Pixel access: the pixel store of the image's buffer (null for an image without one). A
// write lock marks the pixels as written. Valid until the next allocation that may move
// buffers or the next evaluation.
uint32_t* lock_pixels(const Cell* img, bool write);
inline void unlock_pixels(const Cell*) {}
uint32_t get_pixel(uint32_t node, uint32_t offset);
void set_pixel(uint32_t node, uint32_t offset, uint32_t pixel);

// `image/known-signature?`: the bytes start with a PNG, JPEG, BMP, GIF or TIFF signature.
// Returns the container code, or -1.
int32_t signature_of(const uint8_t* bytes, size_t n);

// The collector's hook for every reachable image buffer (marks its externals record).
void collect_hook(uint32_t node);

// ---- the datatype ----
// `image/init-cell`: an image! with head 0 over the buffer (0: no buffer, size w × h kept).
void init_cell(Cell* c, uint32_t node, uint32_t w = 0, uint32_t h = 0);
// `image/get-pixel-data`: a new binary! pushed on the value stack (mode 0 alpha, 1 rgb, 2 argb).
Cell* get_pixel_data(const Cell* img, int32_t mode);
// `image/set-pixel-data`: sets the pixels from a binary!, tuple! or integer!.
void set_pixel_data(const Cell* img, const Cell* value, int32_t mode);
// `image/decode-binary`: an image pushed on the value stack, or the shared none! value for an
// unknown signature; access/bad-media when the bytes do not decode.
Cell* decode_binary(const Cell* bin);
// `image/load-file`: the image read from the file into out; access/cannot-open on failure.
void load_file(Cell* out, const Cell* file);
// `image/decode-as`: a binary! or a file! decoded into an image pushed on the value stack.
Cell* decode_as(const Cell* data);
// `image/encode-as`: a binary! with the encoded image (target none!: a new value-stack cell).
Cell* encode_as(const Cell* img, Cell* target, int32_t container);
// `image/push-resized`: a nearest-neighbour scaled copy pushed on the value stack.
Cell* push_resized(const Cell* img, uint32_t w, uint32_t h);
// `image/pixel-tuple`: the pixel at an absolute offset as r.g.b.t, none at the end.
void pixel_tuple(Cell* out, const Cell* img, uint32_t offset);

}  // namespace zel::image

// ---- image geometry ----
namespace zel::geometry {

struct Vec2 { double x, y; };
// Corners V0 top-left, V1 top-right, V2 bottom-right, V3 bottom-left (clockwise, y down).
struct WarpQuad { float x0, y0, x1, y1, x2, y2, x3, y3; };

double length(const Vec2& v);
void normalize(Vec2& v);
void set(Vec2& v, float x, float y);
void from_points(Vec2& v, float ax, float ay, float bx, float by);
double cross(const Vec2& a, const Vec2& b);
double dot(const Vec2& a, const Vec2& b);
void rotate(Vec2& v, int32_t degrees);
bool is_negative_side(float px, float py, float ax, float ay, float bx, float by);
bool is_positive_side(float px, float py, float ax, float ay, float bx, float by);
double line_distance(float px, float py, float ax, float ay, float bx, float by);
void mirror_x(WarpQuad& q, float a);
void mirror_y(WarpQuad& q, float b);
bool contains(const WarpQuad& q, float px, float py);

// `image/crop-pixels`: copies the rectangle (clipped to the source) into a packed destination
// of at least w × h pixels; false when (x, y) lies outside the source.
bool crop_pixels(const uint32_t* src, int32_t sw, int32_t sh, int32_t x, int32_t y, int32_t w, int32_t h,
                 uint32_t* dst);
// `image/warp-to-quad`: a new buffer (malloc, the caller frees) of the quad's bounding box with
// the source sampled bilinearly; null for an empty source or a box that cannot be held (a
// zero-length edge, below one pixel, above 65535 a side). The box goes to the out values.
uint32_t* warp_to_quad(const uint32_t* src, int32_t sw, int32_t sh, const WarpQuad& q, int32_t* ox, int32_t* oy,
                       int32_t* ow, int32_t* oh);
// `image/resize-bilinear`: a new buffer of nw × nh pixels, or null.
uint32_t* resize_bilinear(const uint32_t* src, int32_t sw, int32_t sh, int32_t nw, int32_t nh);
// `image/yuy2-to-rgb`: a YUY2 frame to 32-bit pixels (bytes R, G, B, 255 in memory).
void yuy2_to_rgb(int32_t width, int32_t rows, const uint8_t* yuy2, uint32_t* out);
// `image/transform`: out becomes the image warped onto the quadrilateral of one to four
// corner cells (first..last, a contiguous run; null first: the origin), cropped first when
// crop (two pair! cells: offset, size) is given; none! when no image can be made. The out
// values receive the placement (a negative size: drawn mirrored).
void transform(const Cell* img, Cell* out, const Cell* crop, const Cell* first, const Cell* last, int32_t* ox,
               int32_t* oy, int32_t* ow, int32_t* oh);

}  // namespace zel::geometry
