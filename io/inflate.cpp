// The deflate decoder. Symbols are decoded through two-level lookup tables (a root table
// indexed by the next bits, and sub-tables for the longer codes); the result is the same as
// a search of the canonical code. Every bit is read from inside the input, every byte is
// written inside the output (or only counted, once it no longer fits), and running out of
// input before the final block has ended is bad data.
#include <algorithm>
#include <cstring>
#include <memory>

#include "io/compress.h"
#include "io/inflate_internal.h"
#include "io/deflate_tables.h"

namespace zel::compress {

namespace {

using namespace tables;

// A table entry: bits 0-7 the bits to drop, 8-11 the kind, 12-15 the extra bits of a length
// or distance (the sub-table's index bits for a link), 16-31 the value (literal byte, base
// length or distance, or the sub-table's offset).
enum Kind : uint32_t { LITERAL = 0, LENGTH = 1, END = 2, LINK = 3, BAD = 4, DIST = 5 };
constexpr uint32_t entry(Kind k, uint32_t value, uint32_t extra, uint32_t bits) {
    return value << 16 | extra << 12 | uint32_t(k) << 8 | bits;
}
inline uint32_t e_bits(uint32_t e) { return e & 0xFF; }
inline Kind e_kind(uint32_t e) { return Kind((e >> 8) & 0xF); }
inline uint32_t e_extra(uint32_t e) { return (e >> 12) & 0xF; }
inline uint32_t e_value(uint32_t e) { return e >> 16; }

constexpr int LIT_ROOT = 10, DIST_ROOT = 8, CL_ROOT = 7;
// Room for the root table and the largest set of sub-tables n codes can need: at most one
// sub-table per code, each at most 2^(15 - root) entries.
constexpr int LIT_TABLE = (1 << LIT_ROOT) + 288 * (1 << (15 - LIT_ROOT));
constexpr int DIST_TABLE = (1 << DIST_ROOT) + 32 * (1 << (15 - DIST_ROOT));

uint32_t litlen_entry(int sym) {
    if (sym < 256) return entry(LITERAL, uint32_t(sym), 0, 0);
    if (sym == 256) return entry(END, 0, 0, 0);
    if (sym < 286) return entry(LENGTH, LENGTH_BASE[sym - 257], LENGTH_EXTRA[sym - 257], 0);
    return entry(BAD, 0, 0, 0);
}
uint32_t dist_entry(int sym) {
    if (sym < 30) return entry(DIST, DIST_BASE[sym], DIST_EXTRA[sym], 0);
    return entry(BAD, 0, 0, 0);
}
uint32_t plain_entry(int sym) { return entry(LITERAL, uint32_t(sym), 0, 0); }

uint32_t reverse_bits(uint32_t code, int len) {
    uint32_t r = 0;
    for (int b = 0; b < len; b++) r |= ((code >> b) & 1) << (len - 1 - b);
    return r;
}

// Builds the decode table of n code lengths. False for an over-subscribed code; an
// incomplete one is accepted, its unused bit patterns decode as BAD.
bool build_table(uint32_t* table, int root, const uint8_t* lens, int n, uint32_t (*make)(int)) {
    int count[16] = {};
    for (int s = 0; s < n; s++) count[lens[s]]++;
    count[0] = 0;
    int left = 1;
    for (int len = 1; len <= 15; len++) {
        left = (left << 1) - count[len];
        if (left < 0) return false;
    }
    uint32_t next[16];
    uint32_t code = 0;
    for (int len = 1; len <= 15; len++) {
        code = (code + uint32_t(count[len - 1])) << 1;
        next[len] = code;
    }
    const uint32_t root_size = 1u << root, root_mask = root_size - 1;
    for (uint32_t i = 0; i < root_size; i++) table[i] = entry(BAD, 0, 0, 0);
    // The longest code under every root prefix sizes its sub-table.
    uint8_t longest[1 << LIT_ROOT] = {};
    uint32_t codes[288];
    for (int s = 0; s < n; s++) {
        if (!lens[s]) continue;
        codes[s] = reverse_bits(next[lens[s]]++, lens[s]);
        if (lens[s] > root) {
            uint8_t& l = longest[codes[s] & root_mask];
            if (lens[s] > l) l = lens[s];
        }
    }
    uint32_t used = root_size;
    for (int s = 0; s < n; s++) {
        int len = lens[s];
        if (!len) continue;
        uint32_t e = make(s), rev = codes[s];
        if (len <= root) {
            for (uint32_t i = rev; i < root_size; i += 1u << len) table[i] = e | uint32_t(len);
            continue;
        }
        uint32_t prefix = rev & root_mask;
        int sub_bits = longest[prefix] - root;
        if (e_kind(table[prefix]) != LINK) {
            table[prefix] = entry(LINK, used, uint32_t(sub_bits), uint32_t(root));
            for (uint32_t i = 0; i < (1u << sub_bits); i++) table[used + i] = entry(BAD, 0, 0, 0);
            used += 1u << sub_bits;
        }
        uint32_t base = e_value(table[prefix]);
        for (uint32_t i = rev >> root; i < (1u << sub_bits); i += 1u << (len - root))
            table[base + i] = e | uint32_t(len - root);
    }
    return true;
}

struct FixedTables {
    uint32_t lit[LIT_TABLE];
    uint32_t dist[DIST_TABLE];
    FixedTables() {
        uint8_t lens[288];
        for (int s = 0; s < 288; s++) lens[s] = fixed_length(s);
        build_table(lit, LIT_ROOT, lens, 288, litlen_entry);
        for (int s = 0; s < 32; s++) lens[s] = 5;
        build_table(dist, DIST_ROOT, lens, 32, dist_entry);
    }
};

const FixedTables& fixed_tables() {
    static const FixedTables t;
    return t;
}

class Inflater {
public:
    Inflater(GrowableOutput& out, const uint8_t* in, size_t n) : out_(out), p_(in), end_(in + n) {}
    int run();
    size_t produced() const { return pos_; }
    // Input bytes taken, the whole bytes still held in the bit buffer given back.
    size_t consumed(const uint8_t* start) const { return size_t(p_ - start) - size_t(count_ / 8); }

private:
    // ---- bits ----
    void refill() {
        while (count_ <= 56 && p_ < end_) {
            bits_ |= uint64_t(*p_++) << count_;
            count_ += 8;
        }
    }
    // At least 56 bits, when 8 input bytes remain. The bits above count_ are then the low bits
    // of the byte at p_, which the next refill adds again at the same place.
    void refill_fast() {
        uint64_t v;
        std::memcpy(&v, p_, 8);
        bits_ |= v << count_;
        p_ += (63 - count_) >> 3;
        count_ |= 56;
    }
    // n bits (n <= 32), false when the input has run out.
    bool take(int n, uint32_t* v) {
        if (count_ < n) {
            refill();
            if (count_ < n) return false;
        }
        *v = uint32_t(bits_ & ((uint64_t(1) << n) - 1));
        bits_ >>= n;
        count_ -= n;
        return true;
    }
    // One symbol's table entry, its bits dropped; BAD when the input has run out.
    uint32_t decode(const uint32_t* table, int root) {
        if (count_ < 15) refill();
        uint32_t e = table[bits_ & ((1u << root) - 1)];
        if (e_kind(e) == LINK) {
            uint32_t sub = table[e_value(e) + ((bits_ >> root) & ((1u << e_extra(e)) - 1))];
            if (int(e_bits(sub)) + root > count_) return entry(BAD, 0, 0, 0);
            bits_ >>= root;
            count_ -= root;
            e = sub;
        }
        if (int(e_bits(e)) > count_ || e_kind(e) == BAD) return entry(BAD, 0, 0, 0);
        bits_ >>= e_bits(e);
        count_ -= int(e_bits(e));
        return e;
    }

    // ---- output ----
    // Room for k more bytes, growing the output when it can; false once only counting.
    bool room(size_t k) {
        if (counting_) return false;
        if (pos_ + k <= out_.capacity) return true;
        if (out_.grow) {
            size_t cap = 0;
            uint8_t* d = out_.grow(out_.owner, pos_, pos_ + k, &cap);
            if (d && cap >= pos_ + k) {
                out_.data = d;
                out_.capacity = cap;
                return true;
            }
        }
        counting_ = true;
        return false;
    }

    // Stores what still fits of len bytes from src (the output has just overflowed).
    void store_clipped(const uint8_t* src, size_t len) {
        if (pos_ < out_.capacity) {
            size_t fit = std::min(len, out_.capacity - pos_);
            for (size_t i = 0; i < fit; i++) out_.data[pos_ + i] = src[i];
        }
    }

    int stored_block();
    int dynamic_tables();
    int codes(const uint32_t* lit, const uint32_t* dist);

    GrowableOutput& out_;
    const uint8_t* p_;
    const uint8_t* end_;
    uint64_t bits_ = 0;
    int count_ = 0;
    size_t pos_ = 0;
    bool counting_ = false;
    uint32_t lit_[LIT_TABLE];
    uint32_t dist_[DIST_TABLE];
};

int Inflater::run() {
    for (;;) {
        uint32_t header;
        if (!take(3, &header)) return BAD_DATA;
        int r;
        switch (header >> 1) {
            case 0: r = stored_block(); break;
            case 1: r = codes(fixed_tables().lit, fixed_tables().dist); break;
            case 2:
                r = dynamic_tables();
                if (r == OK) r = codes(lit_, dist_);
                break;
            default: return BAD_BLOCK_TYPE;
        }
        if (r != OK) return r;
        if (header & 1) return counting_ ? TOO_SMALL : OK;
    }
}

int Inflater::stored_block() {
    // Drop the bits to the byte boundary and give the whole bytes still held back.
    bits_ >>= count_ & 7;
    count_ &= ~7;
    p_ -= count_ / 8;
    bits_ = 0;
    count_ = 0;
    if (end_ - p_ < 4) return BAD_DATA;
    uint32_t len = uint32_t(p_[0]) | uint32_t(p_[1]) << 8;
    uint32_t nlen = uint32_t(p_[2]) | uint32_t(p_[3]) << 8;
    p_ += 4;
    if (nlen != (~len & 0xFFFF)) return BAD_DATA;
    if (size_t(end_ - p_) < len) return STORED_PAST_INPUT;
    if (len == 0) return OK;
    if (room(len)) std::memcpy(out_.data + pos_, p_, len);
    else store_clipped(p_, len);
    pos_ += len;
    p_ += len;
    return OK;
}

int Inflater::dynamic_tables() {
    uint32_t hlit, hdist, hclen;
    if (!take(5, &hlit) || !take(5, &hdist) || !take(4, &hclen)) return BAD_DATA;
    hlit += 257;
    hdist += 1;
    hclen += 4;
    if (hlit > 286 || hdist > 30) return BAD_DATA;
    uint8_t cl_lens[19] = {};
    for (uint32_t k = 0; k < hclen; k++) {
        uint32_t v;
        if (!take(3, &v)) return BAD_DATA;
        cl_lens[CODE_LENGTH_ORDER[k]] = uint8_t(v);
    }
    uint32_t cl_table[1 << CL_ROOT];
    if (!build_table(cl_table, CL_ROOT, cl_lens, 19, plain_entry)) return BAD_DATA;
    uint8_t lens[286 + 30];
    const uint32_t total = hlit + hdist;
    for (uint32_t i = 0; i < total;) {
        uint32_t e = decode(cl_table, CL_ROOT);
        if (e_kind(e) == BAD) return BAD_DATA;
        uint32_t sym = e_value(e);
        if (sym < 16) {
            lens[i++] = uint8_t(sym);
            continue;
        }
        uint32_t repeat, value = 0;
        if (sym == 16) {
            if (i == 0 || !take(2, &repeat)) return BAD_DATA;
            value = lens[i - 1];
            repeat += 3;
        } else if (sym == 17) {
            if (!take(3, &repeat)) return BAD_DATA;
            repeat += 3;
        } else {
            if (!take(7, &repeat)) return BAD_DATA;
            repeat += 11;
        }
        if (repeat > total - i) return BAD_DATA;
        std::memset(lens + i, int(value), repeat);
        i += repeat;
    }
    if (!build_table(lit_, LIT_ROOT, lens, int(hlit), litlen_entry)) return BAD_DATA;
    if (!build_table(dist_, DIST_ROOT, lens + hlit, int(hdist), dist_entry)) return BAD_DATA;
    return OK;
}

// Copies a match of len bytes from dist back; the output has room for len + 8 bytes.
inline void copy_match(uint8_t* dst, size_t dist, size_t len) {
    const uint8_t* src = dst - dist;
    if (dist >= 8) {
        uint8_t* stop = dst + len;
        do {
            std::memcpy(dst, src, 8);
            dst += 8;
            src += 8;
        } while (dst < stop);
    } else if (dist == 1) {
        std::memset(dst, *src, len);
    } else {
        for (size_t k = 0; k < len; k++) dst[k] = src[k];
    }
}

int Inflater::codes(const uint32_t* lit, const uint32_t* dist) {
    constexpr uint32_t LIT_MASK = (1u << LIT_ROOT) - 1, DIST_MASK = (1u << DIST_ROOT) - 1;
    for (;;) {
        // The fast path: 56 bits cover the longest length and distance with their extra
        // bits, and the output has room for a whole match and the copy's overrun.
        while (end_ - p_ >= 8 && !counting_ && out_.capacity - pos_ >= 258 + 8) {
            refill_fast();
            uint32_t e = lit[bits_ & LIT_MASK];
            if (e_kind(e) == LINK) {
                bits_ >>= LIT_ROOT;
                count_ -= LIT_ROOT;
                e = lit[e_value(e) + (bits_ & ((1u << e_extra(e)) - 1))];
            }
            bits_ >>= e_bits(e);
            count_ -= int(e_bits(e));
            Kind k = e_kind(e);
            if (k == LITERAL) {
                out_.data[pos_++] = uint8_t(e_value(e));
                continue;
            }
            if (k == END) return OK;
            if (k != LENGTH) return BAD_DATA;
            uint32_t n = e_extra(e);
            uint32_t len = e_value(e) + uint32_t(bits_ & ((1u << n) - 1));
            bits_ >>= n;
            count_ -= int(n);
            e = dist[bits_ & DIST_MASK];
            if (e_kind(e) == LINK) {
                bits_ >>= DIST_ROOT;
                count_ -= DIST_ROOT;
                e = dist[e_value(e) + (bits_ & ((1u << e_extra(e)) - 1))];
            }
            bits_ >>= e_bits(e);
            count_ -= int(e_bits(e));
            if (e_kind(e) != DIST) return BAD_DATA;
            n = e_extra(e);
            uint32_t d = e_value(e) + uint32_t(bits_ & ((1u << n) - 1));
            bits_ >>= n;
            count_ -= int(n);
            if (d > pos_) return BAD_DISTANCE;
            copy_match(out_.data + pos_, d, len);
            pos_ += len;
        }
        // One symbol with every check: near the end of the input or of the output.
        uint32_t e = decode(lit, LIT_ROOT);
        Kind k = e_kind(e);
        if (k == LITERAL) {
            if (room(1)) out_.data[pos_] = uint8_t(e_value(e));
            pos_++;
            continue;
        }
        if (k == END) return OK;
        if (k != LENGTH) return BAD_DATA;
        uint32_t extra;
        if (!take(int(e_extra(e)), &extra)) return BAD_DATA;
        uint32_t len = e_value(e) + extra;
        e = decode(dist, DIST_ROOT);
        if (e_kind(e) != DIST) return BAD_DATA;
        if (!take(int(e_extra(e)), &extra)) return BAD_DATA;
        uint32_t d = e_value(e) + extra;
        if (d > pos_) return BAD_DISTANCE;
        if (room(len)) {
            uint8_t* dst = out_.data + pos_;
            const uint8_t* src = dst - d;
            for (uint32_t i = 0; i < len; i++) dst[i] = src[i];
        } else if (pos_ < out_.capacity) {
            store_clipped(out_.data + pos_ - d, len);
        }
        pos_ += len;
    }
}

}  // namespace

int inflate_into(GrowableOutput& out, size_t* produced, const uint8_t* in, size_t in_len, size_t* consumed) {
    // The decoder's tables are too large for the stack; the output's grow may raise.
    auto d = std::make_unique<Inflater>(out, in, in_len);
    int r = d->run();
    *produced = d->produced();
    if (consumed) *consumed = d->consumed(in);
    return r;
}

int inflate(uint8_t* out, size_t* len, const uint8_t* in, size_t in_len) {
    GrowableOutput o;
    o.data = out;
    o.capacity = out ? *len : 0;
    return inflate_into(o, len, in, in_len, nullptr);
}

}  // namespace zel::compress
