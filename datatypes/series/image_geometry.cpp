// Image geometry (see image.h): vectors, the quadrilateral and its inside test, the crop, the
// bilinear warp onto a quadrilateral and the resize built on it, YUY2 conversion, and the
// transform of an image! onto one to four corner points.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "core/stack.h"
#include "datatypes/scalar/pair.h"
#include "datatypes/scalar/point.h"
#include "datatypes/series/image.h"
#include "datatypes/series/series.h"

namespace zel::geometry {

namespace {

constexpr float FLOAT_MAX = 3.4028235e38f;
constexpr double PI_12 = 3.14159265359;

struct Point { float x, y; };

// A corner from a pair! (integers) or, for any other type, a point2D! (32-bit floats).
Point point_of(const Cell* c) {
    if (type_of(c) == TYPE_PAIR) return {float(pair::x_of(c)), float(pair::y_of(c))};
    return {point::component(c, 0), point::component(c, 1)};
}

// |cross(P - A, E)| for a unit edge direction E.
double edge_distance(float px, float py, float ax, float ay, const Vec2& e) {
    Vec2 d;
    from_points(d, ax, ay, px, py);
    double c = cross(d, e);
    return c < 0 ? 0 - c : c;
}

// `image/begin-pixel-write` and `image/end-pixel-write`.
uint32_t* begin_pixel_write(const Cell* img) { return image::lock_pixels(img, true); }
void end_pixel_write(const Cell* img, bool notify) {
    image::unlock_pixels(img);
    if (notify) series::notify_owner(img, series::Change::POKE, img, -1, -1);
}

}  // namespace

double length(const Vec2& v) { return std::sqrt(v.x * v.x + v.y * v.y); }

void normalize(Vec2& v) {
    double l = length(v);
    v.x /= l;
    v.y /= l;
}

void set(Vec2& v, float x, float y) {
    v.x = x;
    v.y = y;
}

void from_points(Vec2& v, float ax, float ay, float bx, float by) {
    v.x = double(bx) - double(ax);
    v.y = double(by) - double(ay);
}

double cross(const Vec2& a, const Vec2& b) { return a.x * b.y - a.y * b.x; }
double dot(const Vec2& a, const Vec2& b) { return a.x * b.x + a.y * b.y; }

void rotate(Vec2& v, int32_t degrees) {
    double theta = double(degrees) * PI_12 / 180;
    double c = std::cos(theta), s = std::sin(theta);
    double x = v.x * c - v.y * s, y = v.x * s + v.y * c;
    v.x = x;
    v.y = y;
}

bool is_negative_side(float px, float py, float ax, float ay, float bx, float by) {
    Vec2 p, b;
    from_points(p, ax, ay, px, py);
    from_points(b, ax, ay, bx, by);
    return cross(p, b) < 0;
}

bool is_positive_side(float px, float py, float ax, float ay, float bx, float by) {
    Vec2 p, b;
    from_points(p, ax, ay, px, py);
    from_points(b, ax, ay, bx, by);
    return cross(p, b) > 0;
}

double line_distance(float px, float py, float ax, float ay, float bx, float by) {
    Vec2 d, e;
    from_points(d, ax, ay, bx, by);
    from_points(e, ax, ay, px, py);
    normalize(d);
    double c = cross(e, d);
    return c < 0 ? 0 - c : c;
}

void mirror_x(WarpQuad& q, float a) {
    q.x0 = 2 * a - q.x0;
    q.x1 = 2 * a - q.x1;
    q.x2 = 2 * a - q.x2;
    q.x3 = 2 * a - q.x3;
}

void mirror_y(WarpQuad& q, float b) {
    q.y0 = 2 * b - q.y0;
    q.y1 = 2 * b - q.y1;
    q.y2 = 2 * b - q.y2;
    q.y3 = 2 * b - q.y3;
}

bool contains(const WarpQuad& q, float px, float py) {
    const float xs[4] = {q.x0, q.x1, q.x2, q.x3}, ys[4] = {q.y0, q.y1, q.y2, q.y3};
    for (int k = 0; k < 4; k++) {
        int n = (k + 1) & 3;
        if (is_positive_side(px, py, xs[k], ys[k], xs[n], ys[n])) return false;
    }
    return true;
}

bool crop_pixels(const uint32_t* src, int32_t sw, int32_t sh, int32_t x, int32_t y, int32_t w, int32_t h,
                 uint32_t* dst) {
    if (x < 0 || y < 0 || x >= sw || y >= sh) return false;
    int64_t row = int64_t(x) + w > sw ? sw - x : w;
    if (int64_t(y) + h > sh) h = sh - y;
    if (row <= 0 || h <= 0) return true;
    const uint32_t* s = src + size_t(y) * size_t(sw) + size_t(x);
    for (int32_t r = 0; r < h; r++) {
        std::memcpy(dst, s, size_t(row) * 4);
        dst += row;
        s += sw;
    }
    return true;
}

uint32_t* warp_to_quad(const uint32_t* src, int32_t sw, int32_t sh, const WarpQuad& q, int32_t* ox, int32_t* oy,
                       int32_t* ow, int32_t* oh) {
    if (sw < 1 || sh < 1) return nullptr;
    const float xs[4] = {q.x0, q.x1, q.x2, q.x3}, ys[4] = {q.y0, q.y1, q.y2, q.y3};
    float min_x = FLOAT_MAX, min_y = FLOAT_MAX, max_x = -FLOAT_MAX, max_y = -FLOAT_MAX;
    for (int k = 0; k < 4; k++) {
        // A corner that is not a finite number gives no box.
        if (!std::isfinite(xs[k]) || !std::isfinite(ys[k])) return nullptr;
        if (xs[k] < min_x) min_x = xs[k];
        if (ys[k] < min_y) min_y = ys[k];
        if (xs[k] > max_x) max_x = xs[k];
        if (ys[k] > max_y) max_y = ys[k];
    }
    float span_x = max_x - min_x, span_y = max_y - min_y;
    const float LIMIT = 2147483520.0f;   // the largest float below 2^31
    if (!(std::fabs(min_x) <= LIMIT && std::fabs(min_y) <= LIMIT && span_x <= LIMIT && span_y <= LIMIT))
        return nullptr;
    int32_t bx = int32_t(min_x), by = int32_t(min_y), bw = int32_t(span_x), bh = int32_t(span_y);
    *ox = bx;
    *oy = by;
    *ow = bw;
    *oh = bh;
    // No pixels below one a side; no box beyond what an image can hold.
    if (bw < 1 || bh < 1 || uint32_t(bw) > image::MAX_SIDE || uint32_t(bh) > image::MAX_SIDE ||
        uint64_t(bw) * uint64_t(bh) * 4 > image::MAX_PIXEL_BYTES)
        return nullptr;
    Vec2 e[4];
    for (int k = 0; k < 4; k++) {
        int n = (k + 1) & 3;
        from_points(e[k], xs[k], ys[k], xs[n], ys[n]);
        // A zero-length edge has no direction: no warp.
        if (length(e[k]) == 0) return nullptr;
        normalize(e[k]);
    }
    auto* out = static_cast<uint32_t*>(std::calloc(size_t(bw) * size_t(bh), 4));
    if (!out) memory::raise_no_memory();
    for (int32_t j = 0; j < bh; j++) {
        for (int32_t i = 0; i < bw; i++) {
            float px = float(bx + i), py = float(by + j);
            if (!contains(q, px, py)) continue;
            double to0 = edge_distance(px, py, xs[0], ys[0], e[0]);
            double to1 = edge_distance(px, py, xs[1], ys[1], e[1]);
            double to2 = edge_distance(px, py, xs[2], ys[2], e[2]);
            double to3 = edge_distance(px, py, xs[3], ys[3], e[3]);
            float sx = float(to3 / (to1 + to3) * sw), sy = float(to0 / (to0 + to2) * sh);
            // Positions truncating outside the source (NaN included) leave the pixel 0.
            if (!(sx > -1.0f) || !(sy > -1.0f) || !(sx < float(sw)) || !(sy < float(sh))) continue;
            int32_t ix = int32_t(sx), iy = int32_t(sy);
            if (ix >= sw || iy >= sh) continue;
            int32_t ix1 = ix == sw - 1 ? ix : ix + 1, iy1 = iy == sh - 1 ? iy : iy + 1;
            float fx = sx - float(ix), fy = sy - float(iy);
            if (fx < 0) fx = 0;
            if (fy < 0) fy = 0;
            float w00 = (1 - fx) * (1 - fy), w10 = fx * (1 - fy), w01 = (1 - fx) * fy, w11 = fx * fy;
            const auto* p00 = reinterpret_cast<const uint8_t*>(src + size_t(iy) * sw + ix);
            const auto* p10 = reinterpret_cast<const uint8_t*>(src + size_t(iy) * sw + ix1);
            const auto* p01 = reinterpret_cast<const uint8_t*>(src + size_t(iy1) * sw + ix);
            const auto* p11 = reinterpret_cast<const uint8_t*>(src + size_t(iy1) * sw + ix1);
            uint8_t* d = reinterpret_cast<uint8_t*>(out + size_t(j) * bw + i);
            for (int b = 0; b < 4; b++) {
                float sum = w00 * float(p00[b]);
                sum = sum + w10 * float(p10[b]);
                sum = sum + w01 * float(p01[b]);
                sum = sum + w11 * float(p11[b]);
                d[b] = sum >= 255.0f ? 255 : sum <= 0.0f ? 0 : uint8_t(sum);
            }
        }
    }
    return out;
}

uint32_t* resize_bilinear(const uint32_t* src, int32_t sw, int32_t sh, int32_t nw, int32_t nh) {
    float w = float(nw), h = float(nh);
    WarpQuad q{0, 0, w, 0, w, h, 0, h};
    int32_t ox, oy, ow, oh;
    uint32_t* out = warp_to_quad(src, sw, sh, q, &ox, &oy, &ow, &oh);
    if (!out) return nullptr;
    if (ow != nw || oh != nh) {
        std::free(out);
        return nullptr;
    }
    return out;
}

void yuy2_to_rgb(int32_t width, int32_t rows, const uint8_t* in, uint32_t* out) {
    auto clamp = [](int32_t v) { return uint32_t(v < 0 ? 0 : v > 255 ? 255 : v); };
    for (int32_t r = 0; r < rows; r++) {
        for (int32_t j = 0; j < width; j += 2) {
            int32_t y0 = in[0], u = int32_t(in[1]) - 128, y1 = in[2], v = int32_t(in[3]) - 128;
            int32_t rv = (v * 91881) >> 16, gv = (v * 46792) >> 16, gu = (u * 21889) >> 16, bu = (u * 116129) >> 16;
            for (int32_t y : {y0, y1}) {
                *out++ = 0xFF000000u | clamp(y + bu) << 16 | clamp(y - gv - gu) << 8 | clamp(y + rv);
            }
            in += 4;
        }
    }
}

void transform(const Cell* img_in, Cell* out, const Cell* crop, const Cell* first, const Cell* last, int32_t* ox,
               int32_t* oy, int32_t* ow, int32_t* oh) {
    Cell img = *img_in;
    int32_t W = int32_t(image::width_of(&img)), H = int32_t(image::height_of(&img));
    set_none(out);
    if (W < 1 || H < 1 || !series_node(&img)) return;
    Point v0 = first ? point_of(first) : Point{0, 0};
    int32_t cx = 0, cy = 0, cw = W, ch = H;
    if (crop) {
        cx = pair::x_of(&crop[0]);
        cy = pair::y_of(&crop[0]);
        cw = pair::x_of(&crop[1]);
        ch = pair::y_of(&crop[1]);
        // A crop must start inside the source and keep a pixel after clamping.
        if (cx < 0 || cy < 0 || cx >= W || cy >= H) return;
        if (int64_t(cx) + cw > W) cw = W - cx;
        if (int64_t(cy) + ch > H) ch = H - cy;
        if (cw < 1 || ch < 1) return;
    }
    WarpQuad q;
    ptrdiff_t span = first && last ? last - first : 0;
    if (span == 0) {
        q = {v0.x, v0.y, v0.x + float(cw), v0.y, v0.x + float(cw), v0.y + float(ch), v0.x, v0.y + float(ch)};
    } else if (span == 1) {
        Point p = point_of(first + 1);
        q = {v0.x, v0.y, p.x, v0.y, p.x, p.y, v0.x, p.y};
    } else if (span == 2) {
        Point v1 = point_of(first + 1), v3 = point_of(first + 2);
        double x2 = double(v0.x) + (double(v1.x) - v0.x) + (double(v3.x) - v0.x);
        double y2 = double(v0.y) + (double(v1.y) - v0.y) + (double(v3.y) - v0.y);
        q = {v0.x, v0.y, v1.x, v1.y, float(x2), float(y2), v3.x, v3.y};
    } else if (span == 3) {
        Point v1 = point_of(first + 1), v3 = point_of(first + 2), v2 = point_of(first + 3);
        q = {v0.x, v0.y, v1.x, v1.y, v2.x, v2.y, v3.x, v3.y};
    } else {
        return;
    }
    bool flip_x = false, flip_y = false;
    if (q.x0 > q.x1) {
        mirror_x(q, q.x0);
        flip_x = true;
    }
    if (q.y1 > q.y2) {
        mirror_y(q, q.y0);
        flip_y = true;
    }
    uint32_t* px = begin_pixel_write(&img);
    uint32_t* warped;
    if (crop) {
        auto* part = static_cast<uint32_t*>(std::malloc(size_t(cw) * size_t(ch) * 4));
        if (!part) memory::raise_no_memory();
        crop_pixels(px, W, H, cx, cy, cw, ch, part);
        warped = warp_to_quad(part, cw, ch, q, ox, oy, ow, oh);
        std::free(part);
    } else {
        warped = warp_to_quad(px, W, H, q, ox, oy, ow, oh);
    }
    end_pixel_write(&img, false);
    if (!warped) return;
    uint32_t node;
    try {
        node = image::new_buffer(uint32_t(*ow), uint32_t(*oh));
    } catch (...) {
        std::free(warped);
        throw;
    }
    image::init_cell(out, node);
    std::memcpy(begin_pixel_write(out), warped, size_t(*ow) * size_t(*oh) * 4);
    std::free(warped);
    Cell result = *out;
    end_pixel_write(&result, true);
    if (flip_x) *ow = -*ow;
    if (flip_y) *oh = -*oh;
}

}  // namespace zel::geometry
