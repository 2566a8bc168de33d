// image! (see image.h): making, converting, molding, path access, pick and poke, positioning,
// change, copy by region, comparison, and the file and binary entry points of the codecs.
#include "datatypes/series/image.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/actions.h"
#include "core/collector.h"
#include "core/error.h"
#include "core/runtime_words.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/datatypes.h"
#include "datatypes/scalar/pair.h"
#include "datatypes/scalar/tuple.h"
#include "core/cycle_stack.h"
#include "datatypes/series/series.h"
#include "datatypes/series/string.h"

namespace zel::image {

void register_kind();

using memory::buf;
using stack::arg;

namespace {

inline uint32_t count_of(const Cell* img) { return uint32_t(pixel_count(img)); }

// The pixel word of a colour tuple: A = 255 - t (opaque for a three-byte tuple).
uint32_t tuple_pixel(const Cell* t) {
    const uint8_t* b = tuple::bytes(t);
    uint32_t a = tuple::count(t) >= 4 ? 255u - b[3] : 255u;
    return (a << 24) | (uint32_t(b[0]) << 16) | (uint32_t(b[1]) << 8) | b[2];
}

Cell* none_cell() {
    Cell* c = stack::push();
    set_none(c);
    return c;
}

// `image/pixel-index`: the absolute pixel offset an index addresses, clamped to 0..w × h.
// With a flag pointer, an index that leaves the image sets it.
uint32_t pixel_index(const Cell* img, const Cell* index, int32_t fallback, int32_t base, bool* out_of_range) {
    int64_t w = width_of(img), h = height_of(img), count = w * h;
    int64_t p = series_head(img);
    int64_t i;
    if (type_of(index) == TYPE_PAIR) {
        int64_t x = pair::x_of(index), y = pair::y_of(index);
        if (out_of_range) {
            bool outside = base == 1 ? (x < 1 || x > w || y < 1 || y > h) : (x < 0 || x >= w || y < 0 || y >= h);
            if (outside) *out_of_range = true;
        }
        if (base == 1 && y > 0) y--;
        i = y * w + x;
    } else if (type_of(index) == TYPE_INTEGER) {
        i = int_value(index);
    } else {
        i = fallback;
    }
    if (base == 1 && i < 1) base = 0;
    int64_t offset = p + i - base;
    if (offset < 0) {
        offset = 0;
        i = 0;
    } else if (offset >= count) {
        offset = count;
        i = 0;
    }
    if (out_of_range && i == 0) *out_of_range = true;
    return uint32_t(offset);
}

}  // namespace

// ---- cells and pixel data ----

void init_cell(Cell* c, uint32_t node, uint32_t w, uint32_t h) {
    if (node) {
        w = buffer_width(node);
        h = buffer_height(node);
    }
    c->header = TYPE_IMAGE;
    set_series_head(c, 0);
    set_series_node(c, node);
    set_size_word(c, size_word(w, h));
}

void pixel_tuple(Cell* out, const Cell* img, uint32_t offset) {
    if (offset >= count_of(img) || !series_node(img)) {
        set_none(out);
        return;
    }
    uint32_t px = get_pixel(series_node(img), offset);
    uint8_t bytes[4] = {uint8_t(px >> 16), uint8_t(px >> 8), uint8_t(px), uint8_t(255 - (px >> 24))};
    tuple::write_cell(out, bytes, 4);
}

Cell* get_pixel_data(const Cell* img_in, int32_t mode) {
    Cell img = *img_in;
    size_t n = count_of(&img);
    size_t per = mode == 0 ? 1 : mode == 1 ? 3 : 4;
    Cell* out = stack::push();
    uint32_t node = memory::new_series(n * per, 1);
    SeriesBuf* b = buf(node);
    b->tail = uint32_t(n * per);
    set_series(out, TYPE_BINARY, node);
    if (n == 0) return out;
    const uint32_t* px = lock_pixels(&img, false);
    uint8_t* d = b->data();
    if (mode == 2) {
        std::memcpy(d, px, n * 4);
    } else if (mode == 1) {
        for (size_t i = 0; i < n; i++) {
            d[3 * i] = uint8_t(px[i] >> 16);
            d[3 * i + 1] = uint8_t(px[i] >> 8);
            d[3 * i + 2] = uint8_t(px[i]);
        }
    } else {
        for (size_t i = 0; i < n; i++) d[i] = uint8_t(255 - (px[i] >> 24));
    }
    unlock_pixels(&img);
    return out;
}

void set_pixel_data(const Cell* img_in, const Cell* value, int32_t mode) {
    Cell img = *img_in;
    size_t n = count_of(&img);
    uint32_t vt = type_of(value);
    if (vt != TYPE_BINARY && vt != TYPE_TUPLE && vt != TYPE_INTEGER) error::raise(error::ERR_SCRIPT_INVALID_ARG, value);
    if (n > 0) {
        uint32_t* px = lock_pixels(&img, true);
        if (vt == TYPE_BINARY) {
            SeriesBuf* b = buf(series_node(value));
            uint32_t head = series_head(value) < 0 ? 0 : uint32_t(series_head(value));
            size_t len = head < b->tail ? b->tail - head : 0;
            const uint8_t* s = b->data() + head;
            if (mode == 2) {
                std::memcpy(px, s, std::min(len, 4 * n));
            } else if (mode == 1) {
                size_t k = std::min(len / 3, n);
                for (size_t i = 0; i < k; i++)
                    px[i] = (px[i] & 0xFF000000u) | (uint32_t(s[3 * i]) << 16) | (uint32_t(s[3 * i + 1]) << 8) |
                            s[3 * i + 2];
            } else {
                size_t k = std::min(len, n);
                for (size_t i = 0; i < k; i++) px[i] = (px[i] & 0xFFFFFFu) | (uint32_t(255 - s[i]) << 24);
            }
        } else {
            uint32_t v;
            if (vt == TYPE_TUPLE) {
                const uint8_t* t = tuple::bytes(value);
                uint32_t tb = tuple::count(value) >= 4 ? t[3] : 0;
                v = uint32_t(t[0]) | (uint32_t(t[1]) << 8) | (uint32_t(t[2]) << 16) | (tb << 24);
            } else {
                v = uint32_t(int_value(value));
            }
            uint32_t r = v & 0xFF, g = (v >> 8) & 0xFF, bl = (v >> 16) & 0xFF, t = v >> 24;
            if (mode == 2) {
                uint32_t word = ((255 - t) << 24) | (r << 16) | (g << 8) | bl;
                std::fill(px, px + n, word);
            } else if (mode == 1) {
                uint32_t rgb = (r << 16) | (g << 8) | bl;
                for (size_t i = 0; i < n; i++) px[i] = (px[i] & 0xFF000000u) | rgb;
            } else {
                uint32_t a = (255 - r) << 24;
                for (size_t i = 0; i < n; i++) px[i] = (px[i] & 0xFFFFFFu) | a;
            }
        }
        unlock_pixels(&img);
    }
    series::notify_owner(&img, series::Change::POKE, value, series_head(&img), 0);
}

// ---- codecs ----

Cell* decode_binary(const Cell* bin) {
    SeriesBuf* b = buf(series_node(bin));
    uint32_t head = series_head(bin) < 0 ? 0 : uint32_t(series_head(bin));
    size_t n = head < b->tail ? b->tail - head : 0;
    if (signature_of(b->data() + head, n) < 0) return none_cell();
    uint32_t node = decode_memory(buf(series_node(bin))->data() + head, n);
    if (!node) error::raise(error::ERR_ACCESS_BAD_MEDIA);
    Cell* out = stack::push();
    init_cell(out, node);
    return out;
}

void load_file(Cell* out, const Cell* file) {
    set_unset(out);
    std::string path = string::to_utf8(file);
    uint32_t node = path.find('\0') == std::string::npos ? load_file_buffer(path.c_str()) : 0;
    if (!node) error::raise(error::ERR_ACCESS_CANNOT_OPEN, file);
    init_cell(out, node);
}

Cell* decode_as(const Cell* data) {
    if (type_of(data) == TYPE_BINARY) return decode_binary(data);
    if (!is_text_type(type_of(data))) error::raise(error::ERR_SCRIPT_INVALID_ARG, data);
    Cell file = *data;
    Cell* out = stack::push();
    load_file(out, &file);
    return out;
}

Cell* encode_as(const Cell* img_in, Cell* target, int32_t container) {
    Cell img = *img_in;
    if (width_of(&img) == 0 || height_of(&img) == 0) error::raise(error::ERR_ACCESS_BAD_MEDIA);
    if (!target || type_of(target) == TYPE_NONE) target = stack::push_none();
    encode(&img, target, container);
    return target;
}

Cell* push_resized(const Cell* img_in, uint32_t w, uint32_t h) {
    Cell img = *img_in;
    Cell* out = stack::push();
    init_cell(out, w && h ? resize(&img, w, h) : 0);
    return out;
}

// ---- actions ----

namespace {

void make_sized(Cell* out, int32_t w, int32_t h, const Cell* size, const Cell* fill, const Cell* alpha) {
    if (w < 0) w = 0;
    if (h < 0) h = 0;
    if (uint32_t(w) > MAX_SIDE || uint32_t(h) > MAX_SIDE) error::raise(error::ERR_SCRIPT_OUT_OF_RANGE, size);
    const Cell* rgb = fill && type_of(fill) == TYPE_BINARY ? fill : nullptr;
    const Cell* colour = fill && type_of(fill) == TYPE_TUPLE ? fill : nullptr;
    uint32_t node = make_bitmap(uint32_t(w), uint32_t(h), rgb, alpha, colour);
    init_cell(out, node, uint32_t(w), uint32_t(h));
}

void copy_image(Cell* out, Cell* value, Cell* part, bool, Cell*);

void to(Cell* out, Cell*, Cell* spec, uint32_t) {
    if (type_of(spec) == TYPE_IMAGE) {
        copy_image(out, spec, nullptr, false, nullptr);
        return;
    }
    // A face's capture needs the GUI backend, which this build does not hold.
    Cell dt;
    set_datatype(&dt, TYPE_IMAGE);
    error::raise(error::ERR_SCRIPT_BAD_TO_ARG, &dt, spec);
}

void make(Cell* result, Cell* proto, Cell* spec, uint32_t type) {
    uint32_t st = type_of(spec);
    if (st == TYPE_PAIR) {
        Cell* out = stack::push();
        make_sized(out, pair::x_of(spec), pair::y_of(spec), spec, nullptr, nullptr);
        *result = *out; return;
    }
    if (st != TYPE_BLOCK) { to(result, proto, spec, type); return; }
    int32_t n = series::count_to_tail(spec);
    if (n == 0) {
        if (type_of(proto) == TYPE_IMAGE) {
            copy_image(result, proto, nullptr, false, nullptr);
            return;
        }
        error::raise(error::ERR_SCRIPT_INVALID_ARG, spec);
    }
    const Cell* values = buf(series_node(spec))->cells() + series_head(spec);
    Cell size = values[0];
    if (type_of(&size) != TYPE_PAIR) error::raise(error::ERR_SCRIPT_INVALID_ARG, &size);
    Cell fill, alpha;
    set_none(&fill);
    set_none(&alpha);
    if (n >= 2) {
        fill = values[1];
        if (type_of(&fill) != TYPE_BINARY && type_of(&fill) != TYPE_TUPLE) error::raise(error::ERR_SCRIPT_INVALID_ARG, &fill);
    }
    if (n >= 3) {
        alpha = values[2];
        if (type_of(&alpha) != TYPE_BINARY) error::raise(error::ERR_SCRIPT_INVALID_ARG, &alpha);
    }
    Cell* out = stack::push();
    make_sized(out, pair::x_of(&size), pair::y_of(&size), &size, n >= 2 ? &fill : nullptr, n >= 3 ? &alpha : nullptr);
    *result = *out;
}

// `image/mold-text`.
int32_t mold_text(const Cell* img_in, uint32_t b, bool only, bool flat, const Cell* part, int32_t limit,
                  int32_t indent) {
    Cell img = *img_in;
    auto put = [&](const char* s) {
        size_t n = std::strlen(s);
        string::append_ascii(b, s);
        limit -= int32_t(n);
    };
    auto line = [&](int32_t level) {
        put("\n");
        limit = cycle::emit_indent(b, level, limit);
    };
    if (!only) put("make image! [");
    put((std::to_string(width_of(&img)) + "x" + std::to_string(height_of(&img))).c_str());
    uint32_t count = count_of(&img);
    if (!series_node(&img) || count == 0) {
        put(" #{}");
        if (!only) put("]");
        return limit;
    }
    uint32_t head = series_head(&img) < 0 ? 0 : std::min<uint32_t>(uint32_t(series_head(&img)), count);
    uint32_t shown = count - head;
    const uint32_t* px = lock_pixels(&img, false);
    static const char HEX[] = "0123456789ABCDEF";
    put(" ");
    put("#{");
    if (!flat && shown >= 8) line(indent);
    bool transparent = false;
    for (uint32_t i = head, k = 1; i < count; i++, k++) {
        uint32_t p = px[i];
        char digits[7];
        for (int d = 0; d < 6; d++) digits[d] = HEX[(p >> (20 - 4 * d)) & 0xF];
        digits[6] = 0;
        put(digits);
        if ((p >> 24) != 255) transparent = true;
        if (!flat && k % 10 == 0) line(indent);
        if (part && limit <= 0) return limit;
    }
    if (!flat && shown >= 8 && shown % 10 != 0) line(indent - 1);
    put("}");
    if (transparent) {
        put(" ");
        put("#{");
        line(indent);
        for (uint32_t i = head, k = 1; i < count; i++, k++) {
            uint32_t t = 255 - (px[i] >> 24);
            char digits[3] = {HEX[t >> 4], HEX[t & 0xF], 0};
            put(digits);
            if (!flat && k % 10 == 0) line(indent);
            if (part && limit <= 0) return limit;
        }
        line(indent - 1);
        put("}");
    }
    unlock_pixels(&img);
    if (!only) put("]");
    return limit;
}

int32_t form(const Cell* value, uint32_t buffer, const Cell* part, int32_t limit) {
    return mold_text(value, buffer, false, false, part, limit, 0);
}

int32_t mold(const Cell* value, uint32_t buffer, bool only, bool, bool flat, const Cell* part, int32_t limit,
             int32_t indent) {
    return mold_text(value, buffer, only, flat, part, limit, indent + 1);
}

void pick(Cell* out, Cell* img, int32_t index, Cell* index_cell) {
    bool outside = false;
    uint32_t offset = pixel_index(img, index_cell, index, 1, &outside);
    if (outside) set_none(out);
    else pixel_tuple(out, img, offset);
}

void poke(Cell* out, Cell* img_in, int32_t index, Cell* value, Cell* index_cell) {
    Cell img = *img_in;
    bool outside = false;
    uint32_t offset = pixel_index(&img, index_cell, index, 1, &outside);
    if (outside || !series_node(&img)) error::raise(error::ERR_SCRIPT_OUT_OF_RANGE, index_cell);
    if (type_of(value) != TYPE_TUPLE) error::raise(error::ERR_SCRIPT_INVALID_ARG, value);
    set_pixel(series_node(&img), offset, tuple_pixel(value));
    Cell v = *value;
    series::notify_owner(&img, series::Change::POKE, &v, int32_t(offset), 1);
    *out = *value;
}

void eval_path(Cell* result, Cell* parent, Cell* element, Cell* value, const actions::PathStep& step) {
    uint32_t et = type_of(element);
    if (et == TYPE_INTEGER || et == TYPE_PAIR) {
        int32_t i = et == TYPE_INTEGER ? int_value(element) : 0;
        if (!value) { pick(result, parent, i, element); return; }
        poke(result, parent, i, value, element); return;
    }
    const Cell* path = step.path ? step.path : element;
    if (et == TYPE_WORD) {
        uint32_t s = word_symbol(element);
        if (symbol::same_canonical(s, sym(SYM_SIZE))) {
            if (value) error::raise(error::ERR_SCRIPT_INVALID_PATH, path, element);
            Cell* out = stack::push();
            pair::write_cell(out, int32_t(width_of(parent)), int32_t(height_of(parent)));
            *result = *out; return;
        }
        int32_t mode = symbol::same_canonical(s, sym(SYM_ARGB))    ? 2
                       : symbol::same_canonical(s, sym(SYM_RGB))   ? 1
                       : symbol::same_canonical(s, sym(SYM_ALPHA)) ? 0
                                                                    : -1;
        if (mode >= 0) {
            if (!value) { *result = *get_pixel_data(parent, mode); return; }
            set_pixel_data(parent, value, mode);
            *result = *value; return;
        }
    }
    error::raise(error::ERR_SCRIPT_INVALID_PATH, path, element);
}

void at_or_skip(int32_t base) {
    Cell* img = arg(0);
    Cell* n = arg(1);
    if (type_of(n) != TYPE_INTEGER && type_of(n) != TYPE_PAIR) error::raise(error::ERR_SCRIPT_INVALID_ARG, n);
    set_series_head(img, int32_t(pixel_index(img, n, 0, base, nullptr)));
    stack::keep_result_slot();
}
void at() { at_or_skip(1); }
void skip() { at_or_skip(0); }

void next() {
    Cell* img = arg(0);
    int64_t h = series_head(img) < 0 ? 0 : series_head(img);
    if (h + 1 <= int64_t(count_of(img))) set_series_head(img, int32_t(h + 1));
    stack::keep_result_slot();
}

void tail() {
    set_series_head(arg(0), int32_t(count_of(arg(0))));
    stack::keep_result_slot();
}

void is_tail() {
    bool r = series_head(arg(0)) >= int32_t(count_of(arg(0)));
    set_logic(stack::base, r);
    stack::keep_result_slot();
}

int32_t length(const Cell* img) { return int32_t(count_of(img)); }

void change(Cell* img, Cell* value, int32_t part, bool, int32_t dup) {
    if (part >= 0 || dup != 1) error::raise(error::ERR_INTERNAL_NOT_DONE);
    uint32_t vt = type_of(value);
    if (vt != TYPE_TUPLE && vt != TYPE_IMAGE) error::raise_type(error::ERR_SCRIPT_INVALID_TYPE, vt);
    Cell v = *value;
    int64_t head = series_head(img) < 0 ? 0 : series_head(img);
    // At or past the tail there is no pixel to change.
    if (head >= int64_t(count_of(img)) || !series_node(img)) return;
    if (vt == TYPE_TUPLE) {
        series::notify_owner(img, series::Change::CHANGE, &v, int32_t(head), 1);
        set_pixel(series_node(img), uint32_t(head), tuple_pixel(&v));
        set_series_head(img, int32_t(head + 1));
        series::notify_owner(img, series::Change::CHANGED, &v, int32_t(head), 1);
        return;
    }
    uint32_t w = width_of(img), h = height_of(img);
    uint32_t x0 = uint32_t(head % w), y0 = uint32_t(head / w);
    uint32_t sw = width_of(&v), sh = height_of(&v);
    uint32_t cols = std::min(sw, w - x0), rows = std::min(sh, h - y0);
    if (!series_node(&v)) rows = 0;
    series::notify_owner(img, series::Change::CHANGE, &v, int32_t(head), int32_t(cols * rows));
    if (rows > 0 && cols > 0) {
        // The source is read whole first: it may be the target itself.
        std::vector<uint32_t> source(lock_pixels(&v, false), lock_pixels(&v, false) + size_t(sw) * sh);
        uint32_t* px = lock_pixels(img, true);
        for (uint32_t r = 0; r < rows; r++)
            std::memcpy(px + size_t(y0 + r) * w + x0, source.data() + size_t(r) * sw, size_t(cols) * 4);
        unlock_pixels(img);
        set_series_head(img, int32_t((y0 + rows - 1) * w + std::min(x0 + sw, w)));
    }
    series::notify_owner(img, series::Change::CHANGED, &v, int32_t(head), int32_t(cols * rows));
}

void copy_image(Cell* out, Cell* value, Cell* part, bool, Cell*) {
    Cell img = *value;
    int64_t w = width_of(&img), h = height_of(&img), count = w * h;
    if (w == 0 || h == 0 || !series_node(&img)) {
        init_cell(out, 0);
        return;
    }
    int64_t head = std::clamp<int64_t>(series_head(&img), 0, count);
    int64_t x0 = head % w, y0 = head / w;
    int64_t rx = x0, ry = y0, rw = 0, rh = 0;
    if (!part) {
        if (head == 0) {
            copy_whole(&img, out);
            return;
        }
        rw = w - x0;
        rh = h - y0;
    } else if (type_of(part) == TYPE_PAIR) {
        int64_t px = pair::x_of(part), py = pair::y_of(part);
        if (px >= 1 && py >= 1 && head < count) {
            rw = std::min(px, w - x0);
            rh = std::min(py, h - y0);
        } else if (px < 0 && py < 0 && head > 0) {
            int64_t cx = x0 == 0 ? w : x0;
            if (-px > cx) {
                rw = cx;
                rx = 0;
            } else {
                rw = -px;
                rx = cx + px;
            }
            int64_t cy = y0 < h ? y0 + 1 : y0;
            if (-py > cy) {
                rh = cy;
                ry = 0;
            } else {
                rh = -py;
                ry = cy + py;
            }
        }
    } else if (type_of(part) == TYPE_IMAGE) {
        if (series_node(part) != series_node(&img)) series::raise_invalid_refine(SYM_PART, part);
        int64_t other = std::clamp<int64_t>(series_head(part), 0, count);
        int64_t lo = std::min(head, other), hi = std::max(head, other);
        rx = lo % w;
        ry = lo / w;
        rw = hi % w - rx;
        rh = hi / w - ry;
    } else if (type_of(part) == TYPE_INTEGER) {
        error::raise(error::ERR_INTERNAL_NOT_DONE);
    } else {
        series::raise_invalid_refine(SYM_PART, part);
    }
    if (rw < 1 || rh < 1 || rx < 0 || ry < 0 || rx >= w || ry >= h) {
        init_cell(out, 0);
        return;
    }
    copy_region(&img, out, uint32_t(rx), uint32_t(ry), uint32_t(rw), uint32_t(rh));
}

int32_t compare(const Cell* a, const Cell* b, int32_t op) {
    if (type_of(b) != TYPE_IMAGE) return -2;
    bool same = series_node(a) == series_node(b) && series_head(a) == series_head(b);
    if (op == actions::OP_SAME) return same ? 0 : -1;
    if (same && (op == actions::OP_EQUAL || op == actions::OP_NOT_EQUAL || op == actions::OP_STRICT_EQUAL)) return 0;
    switch (op) {
        case actions::OP_EQUAL: case actions::OP_NOT_EQUAL: case actions::OP_STRICT_EQUAL:
        case actions::OP_SORT: case actions::OP_CASE_SORT: case actions::OP_FIND: {
            uint64_t ca = pixel_count(a), cb = pixel_count(b);
            if (ca != cb) return ca < cb ? -1 : 1;
            if (ca == 0 || !series_node(a) || !series_node(b)) return 0;
            int r = std::memcmp(lock_pixels(a, false), lock_pixels(b, false), size_t(ca) * 4);
            return r < 0 ? -1 : r > 0 ? 1 : 0;
        }
        default:
            return -2;
    }
}

}  // namespace

}  // namespace zel::image

namespace zel::datatypes {

void register_image() {
    using namespace image;
    actions::TypeSpec spec{TYPE_IMAGE, {}};
    auto set = [&](auto action, auto fn) { actions::put(spec, action, fn); };
    auto inherit = [&](int action) { spec.handlers[action - 1] = actions::INHERIT; };
    set(ACT_MAKE, &image::make);
    set(ACT_TO, &to);
    set(ACT_FORM, &form);
    set(ACT_MOLD, &mold);
    set(ACT_EVAL_PATH, &eval_path);
    set(ACT_COMPARE, &compare);
    set(ACT_AT, &at);
    set(ACT_CHANGE, &change);
    set(ACT_COPY, &copy_image);
    set(ACT_LENGTH_Q, &length);
    set(ACT_NEXT, &next);
    set(ACT_PICK, &pick);
    set(ACT_POKE, &poke);
    set(ACT_SKIP, &skip);
    set(ACT_TAIL, &tail);
    set(ACT_TAIL_Q, &is_tail);
    inherit(ACT_BACK);
    inherit(ACT_HEAD);
    inherit(ACT_HEAD_Q);
    inherit(ACT_INDEX_Q);
    inherit(ACT_MODIFY);
    actions::register_type(spec);
    collector::set_image_buffer_marker(&image::collect_hook);
    image::register_kind();
}

}  // namespace zel::datatypes
