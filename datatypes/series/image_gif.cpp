// The GIF encoder (see image_encoders.h).
#include "datatypes/series/image_encoders.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

namespace zel::gif {

namespace {

constexpr uint32_t OPAQUE_THRESHOLD = 128;
constexpr int MAX_CODE = 4095;

struct Palette {
    std::vector<uint32_t> colours;   // 0xRRGGBB
    bool transparent = false;        // the index after the colours is transparent
};

// Exact palette when the opaque colours fit, else a median cut over 15-bit buckets.
Palette build_palette(const uint32_t* px, size_t n, std::vector<uint8_t>& indexes) {
    Palette pal;
    for (size_t i = 0; i < n; i++)
        if ((px[i] >> 24) < OPAQUE_THRESHOLD) {
            pal.transparent = true;
            break;
        }
    size_t room = pal.transparent ? 255 : 256;
    std::unordered_map<uint32_t, uint8_t> exact;
    bool fits = true;
    for (size_t i = 0; i < n && fits; i++) {
        if ((px[i] >> 24) < OPAQUE_THRESHOLD) continue;
        uint32_t c = px[i] & 0xFFFFFF;
        if (exact.count(c)) continue;
        if (exact.size() == room) fits = false;
        else {
            exact.emplace(c, uint8_t(exact.size()));
            pal.colours.push_back(c);
        }
    }
    uint8_t clear = uint8_t(pal.colours.size());
    if (fits) {
        clear = uint8_t(pal.colours.size() < 256 ? pal.colours.size() : 255);
        for (size_t i = 0; i < n; i++)
            indexes[i] = (px[i] >> 24) < OPAQUE_THRESHOLD ? clear : exact[px[i] & 0xFFFFFF];
        return pal;
    }
    // Buckets of 5 bits a channel: count and colour sums.
    auto bucket = [](uint32_t c) { return ((c >> 9) & 0x7C00) | ((c >> 6) & 0x3E0) | ((c >> 3) & 0x1F); };
    std::vector<uint64_t> count(32768, 0), sr(32768, 0), sg(32768, 0), sb(32768, 0);
    for (size_t i = 0; i < n; i++) {
        if ((px[i] >> 24) < OPAQUE_THRESHOLD) continue;
        uint32_t c = px[i], k = bucket(c);
        count[k]++;
        sr[k] += (c >> 16) & 0xFF;
        sg[k] += (c >> 8) & 0xFF;
        sb[k] += c & 0xFF;
    }
    // Median cut over the used buckets: split the box with the widest channel range at the
    // weighted median of that channel until the palette is full.
    std::vector<uint32_t> keys;
    for (uint32_t k = 0; k < 32768; k++)
        if (count[k]) keys.push_back(k);
    auto channel = [](uint32_t k, int c) { return (k >> (10 - 5 * c)) & 31; };
    struct Box { size_t begin, end; };
    std::vector<Box> boxes{{0, keys.size()}};
    auto widest = [&](const Box& b, int& which) {
        uint32_t best = 0;
        which = 0;
        for (int c = 0; c < 3; c++) {
            uint32_t lo = 31, hi = 0;
            for (size_t i = b.begin; i < b.end; i++) {
                lo = std::min(lo, channel(keys[i], c));
                hi = std::max(hi, channel(keys[i], c));
            }
            if (hi - lo > best) {
                best = hi - lo;
                which = c;
            }
        }
        return best;
    };
    while (boxes.size() < room) {
        size_t pick = boxes.size();
        uint32_t pick_range = 0;
        int pick_channel = 0;
        for (size_t b = 0; b < boxes.size(); b++) {
            if (boxes[b].end - boxes[b].begin < 2) continue;
            int c;
            uint32_t r = widest(boxes[b], c);
            if (pick == boxes.size() || r > pick_range) {
                pick = b;
                pick_range = r;
                pick_channel = c;
            }
        }
        if (pick == boxes.size()) break;
        Box box = boxes[pick];
        std::sort(keys.begin() + long(box.begin), keys.begin() + long(box.end), [&](uint32_t a, uint32_t b) {
            return channel(a, pick_channel) < channel(b, pick_channel);
        });
        uint64_t total = 0, run = 0;
        for (size_t i = box.begin; i < box.end; i++) total += count[keys[i]];
        size_t cut = box.begin + 1;
        for (size_t i = box.begin; i < box.end - 1; i++) {
            run += count[keys[i]];
            cut = i + 1;
            if (run * 2 >= total) break;
        }
        boxes[pick] = {box.begin, cut};
        boxes.push_back({cut, box.end});
    }
    pal.colours.clear();
    std::vector<uint8_t> box_of(32768, 0);
    for (size_t b = 0; b < boxes.size(); b++) {
        uint64_t c = 0, r = 0, g = 0, bl = 0;
        for (size_t i = boxes[b].begin; i < boxes[b].end; i++) {
            uint32_t k = keys[i];
            c += count[k];
            r += sr[k];
            g += sg[k];
            bl += sb[k];
            box_of[k] = uint8_t(b);
        }
        pal.colours.push_back(uint32_t((r + c / 2) / c) << 16 | uint32_t((g + c / 2) / c) << 8 |
                              uint32_t((bl + c / 2) / c));
    }
    clear = uint8_t(pal.colours.size());
    for (size_t i = 0; i < n; i++)
        indexes[i] = (px[i] >> 24) < OPAQUE_THRESHOLD ? clear : box_of[bucket(px[i])];
    return pal;
}

// LSB-first code packing into 255-byte data sub-blocks.
class CodeWriter {
public:
    explicit CodeWriter(std::vector<uint8_t>& out) : out_(out) {}
    void put(uint32_t code, int bits) {
        acc_ |= uint64_t(code) << filled_;
        filled_ += bits;
        while (filled_ >= 8) {
            byte(uint8_t(acc_ & 0xFF));
            acc_ >>= 8;
            filled_ -= 8;
        }
    }
    void finish() {
        if (filled_ > 0) byte(uint8_t(acc_ & 0xFF));
        acc_ = 0;
        filled_ = 0;
        flush();
        out_.push_back(0);   // block terminator
    }

private:
    void byte(uint8_t b) {
        block_[block_len_++] = b;
        if (block_len_ == 255) flush();
    }
    void flush() {
        if (!block_len_) return;
        out_.push_back(uint8_t(block_len_));
        out_.insert(out_.end(), block_, block_ + block_len_);
        block_len_ = 0;
    }
    std::vector<uint8_t>& out_;
    uint64_t acc_ = 0;
    int filled_ = 0;
    uint8_t block_[255];
    int block_len_ = 0;
};

// LZW over the indexes with a hashed string table of (prefix code, next index) pairs.
void compress(const std::vector<uint8_t>& indexes, int min_bits, std::vector<uint8_t>& out) {
    const uint32_t clear = 1u << min_bits, end = clear + 1;
    constexpr uint32_t TABLE = 8209;   // prime above twice the codes
    std::vector<int32_t> keys(TABLE), codes(TABLE);
    auto reset = [&] { std::fill(keys.begin(), keys.end(), -1); };
    CodeWriter w(out);
    int bits = min_bits + 1;
    uint32_t last = end;   // the last code assigned
    reset();
    w.put(clear, bits);
    uint32_t prefix = indexes[0];
    for (size_t i = 1; i < indexes.size(); i++) {
        uint32_t c = indexes[i];
        int32_t key = int32_t((prefix << 8) | c);
        uint32_t slot = uint32_t(key) % TABLE;
        bool found = false;
        while (keys[slot] >= 0) {
            if (keys[slot] == key) {
                found = true;
                break;
            }
            slot = slot + 1 == TABLE ? 0 : slot + 1;
        }
        if (found) {
            prefix = uint32_t(codes[slot]);
            continue;
        }
        w.put(prefix, bits);
        keys[slot] = key;
        codes[slot] = int32_t(++last);
        if (last >= (1u << bits) && bits < 12) bits++;
        if (last == MAX_CODE) {
            w.put(clear, bits);
            reset();
            bits = min_bits + 1;
            last = end;
        }
        prefix = c;
    }
    w.put(prefix, bits);
    w.put(end, bits);
    w.finish();
}

void put16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(uint8_t(v & 0xFF));
    out.push_back(uint8_t(v >> 8));
}

}  // namespace

std::vector<uint8_t> encode(const uint32_t* pixels, uint32_t w, uint32_t h) {
    size_t n = size_t(w) * h;
    std::vector<uint8_t> indexes(n);
    Palette pal = build_palette(pixels, n, indexes);
    size_t entries = pal.colours.size() + (pal.transparent ? 1 : 0);
    int table_bits = 1;
    while ((size_t(1) << table_bits) < entries) table_bits++;
    int min_bits = table_bits < 2 ? 2 : table_bits;

    std::vector<uint8_t> out;
    out.reserve(n / 2 + 1024);
    const char* magic = "GIF89a";
    out.insert(out.end(), magic, magic + 6);
    put16(out, w);
    put16(out, h);
    out.push_back(uint8_t(0x80 | ((table_bits - 1) << 4) | (table_bits - 1)));   // global table
    out.push_back(0);   // background index
    out.push_back(0);   // aspect ratio
    for (size_t i = 0; i < (size_t(1) << table_bits); i++) {
        uint32_t c = i < pal.colours.size() ? pal.colours[i] : 0;
        out.push_back(uint8_t(c >> 16));
        out.push_back(uint8_t(c >> 8));
        out.push_back(uint8_t(c));
    }
    if (pal.transparent) {
        const uint8_t control[] = {0x21, 0xF9, 0x04, 0x01, 0, 0, uint8_t(pal.colours.size()), 0};
        out.insert(out.end(), control, control + sizeof control);
    }
    out.push_back(0x2C);
    put16(out, 0);
    put16(out, 0);
    put16(out, w);
    put16(out, h);
    out.push_back(0);   // no local table, not interlaced
    out.push_back(uint8_t(min_bits));
    compress(indexes, min_bits, out);
    out.push_back(0x3B);
    return out;
}

}  // namespace zel::gif
