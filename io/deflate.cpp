// The deflate compressor: one call over the whole input, hash chains with a one-step lazy
// match search, and for every block of up to 16,384 symbols the cheapest of a stored, a
// fixed-code and a dynamic-code block.
#include <algorithm>
#include <cstring>
#include <new>

#include "io/compress.h"
#include "io/deflate_huffman.h"
#include "io/deflate_tables.h"
#include "platform/os_memory.h"

namespace zel::compress {

namespace {

using namespace tables;

constexpr int WINDOW = 32768;
constexpr int SYMBOL_BUFFER = 16384;
constexpr int LITLEN_SYMBOLS = 286;
constexpr int DIST_SYMBOLS = 30;
constexpr int CL_SYMBOLS = 19;
constexpr int NICE_LENGTH = 128;   // a match this long ends the search
constexpr int LAZY_LIMIT = 15;     // no search when the previous match is longer
constexpr int GOOD_LENGTH = 8;     // from here the chain is searched a quarter as far
constexpr int MAX_CHAIN = 128;
constexpr int TOO_FAR = 4096;      // a 3-byte match further back is not worth its bits

// The work area of one call, zero-filled pages from the system. Positions in head and chain
// count from 1, so that 0 means no candidate.
struct Work {
    int32_t head[WINDOW];
    int32_t chain[WINDOW];
    uint32_t symbols[SYMBOL_BUFFER];   // a literal byte, or distance * 256 + (length - 3)
    uint32_t freq[LITLEN_SYMBOLS + DIST_SYMBOLS + CL_SYMBOLS];
    uint8_t litlen_len[288], dist_len[32], cl_len[CL_SYMBOLS];
    uint16_t litlen_code[288], dist_code[32], cl_code[CL_SYMBOLS];
};

uint32_t* litlen_freq(Work& w) { return w.freq; }
uint32_t* dist_freq(Work& w) { return w.freq + LITLEN_SYMBOLS; }
uint32_t* cl_freq(Work& w) { return w.freq + LITLEN_SYMBOLS + DIST_SYMBOLS; }

// Length (3..258) to length code index (0..28), distance to distance code, built once.
struct CodeMaps {
    uint8_t length_code[256];   // by length - 3
    uint8_t dist_code[512];     // by distance - 1 below 256, else 256 + ((distance - 1) >> 7)
    uint8_t fixed_len[288];
    uint16_t fixed_code[288];
    uint16_t fixed_dist_code[32];
    CodeMaps() {
        for (int c = 0; c < 29; c++) {
            int first = LENGTH_BASE[c] - 3, last = c == 28 ? 255 : LENGTH_BASE[c + 1] - 4;
            if (c == 27) last = 254;   // 258 has a code of its own
            for (int l = first; l <= last; l++) length_code[l] = uint8_t(c);
        }
        for (int c = 0; c < 30; c++) {
            int first = DIST_BASE[c] - 1, last = c == 29 ? 32767 : DIST_BASE[c + 1] - 2;
            for (int d = first; d <= last; d++) {
                if (d < 256) dist_code[d] = uint8_t(c);
                else dist_code[256 + (d >> 7)] = uint8_t(c);
            }
        }
        for (int s = 0; s < 288; s++) fixed_len[s] = fixed_length(s);
        canonical_codes(fixed_len, 288, fixed_code);
        uint8_t five[32];
        std::fill(five, five + 32, uint8_t(5));
        canonical_codes(five, 32, fixed_dist_code);
    }
    int dist_index(uint32_t d) const { return d <= 256 ? dist_code[d - 1] : dist_code[256 + ((d - 1) >> 7)]; }
};

const CodeMaps& maps() {
    static const CodeMaps m;
    return m;
}

// Bits go out least significant first. Bytes past the end are counted, not stored, so the
// needed size is known at the end without a check per symbol.
class BitWriter {
public:
    BitWriter(uint8_t* out, size_t capacity) : out_(out), cap_(capacity) {}
    void put(uint32_t bits, int n) {
        buf_ |= uint64_t(bits) << count_;
        count_ += n;
        if (count_ >= 32) {
            store4(uint32_t(buf_));
            buf_ >>= 32;
            count_ -= 32;
        }
    }
    // Zero bits up to the byte boundary, then every whole byte out.
    void align() {
        count_ = (count_ + 7) & ~7;
        while (count_ > 0) {
            store1(uint8_t(buf_));
            buf_ >>= 8;
            count_ -= 8;
        }
        buf_ = 0;
        count_ = 0;
    }
    void bytes(const uint8_t* p, size_t n) {   // only when aligned
        if (pos_ + n <= cap_) std::memcpy(out_ + pos_, p, n);
        pos_ += n;
    }
    int pending_bits() const { return count_; }
    size_t size() const { return pos_ + size_t((count_ + 7) / 8); }

private:
    void store4(uint32_t v) {
        if (pos_ + 4 <= cap_) {
            std::memcpy(out_ + pos_, &v, 4);   // little-endian host
            pos_ += 4;
        } else {
            for (int k = 0; k < 4; k++) store1(uint8_t(v >> (8 * k)));
        }
    }
    void store1(uint8_t b) {
        if (pos_ < cap_) out_[pos_] = b;
        pos_++;
    }
    uint8_t* out_;
    size_t cap_;
    size_t pos_ = 0;
    uint64_t buf_ = 0;
    int count_ = 0;
};

// Walks a code-length array as runs (RFC 1951 symbols 16, 17, 18) and hands every code
// symbol and its repeat count to emit(symbol, extra bits value).
template <typename Emit>
void scan_code_lengths(const uint8_t* lengths, int n, Emit&& emit) {
    int prev = -1, next = lengths[0], count = 0;
    int max_count = next ? 7 : 138, min_count = next ? 4 : 3;
    for (int i = 0; i < n; i++) {
        int cur = next;
        next = i + 1 < n ? lengths[i + 1] : -1;
        if (++count < max_count && cur == next) continue;
        if (count < min_count) {
            for (int k = 0; k < count; k++) emit(cur, 0);
        } else if (cur != 0) {
            if (cur != prev) {
                emit(cur, 0);
                count--;
            }
            emit(16, count - 3);
        } else if (count <= 10) {
            emit(17, count - 3);
        } else {
            emit(18, count - 11);
        }
        count = 0;
        prev = cur;
        if (next == 0) max_count = 138, min_count = 3;
        else if (cur == next) max_count = 6, min_count = 3;
        else max_count = 7, min_count = 4;
    }
}

constexpr int CL_EXTRA_BITS[19] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 3, 7};

class Compressor {
public:
    Compressor(Work& w, const uint8_t* in, size_t n, BitWriter& out) : w_(w), in_(in), n_(n), out_(out) {}

    void run();

private:
    int longest_match(size_t p, uint32_t candidate, int prev_len, uint32_t* dist) const;
    void emit_literal(uint8_t b) {
        w_.symbols[nsyms_++] = b;
        litlen_freq(w_)[b]++;
    }
    void emit_match(uint32_t dist, int len) {
        w_.symbols[nsyms_++] = dist * 256 + uint32_t(len - 3);
        litlen_freq(w_)[257 + maps().length_code[len - 3]]++;
        dist_freq(w_)[maps().dist_index(dist)]++;
    }
    void flush_block(size_t start, size_t end, bool final);
    void write_stored(size_t start, size_t end, bool final);
    void write_symbols(const uint8_t* ll_len, const uint16_t* ll_code, const uint8_t* d_len, const uint16_t* d_code);

    Work& w_;
    const uint8_t* in_;
    size_t n_;
    BitWriter& out_;
    int nsyms_ = 0;
};

inline uint16_t load16(const uint8_t* p) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

// Compares the bytes at a and b, at most max bytes.
inline int match_length(const uint8_t* a, const uint8_t* b, int max) {
    int len = 0;
    while (len + 8 <= max) {
        uint64_t x, y;
        std::memcpy(&x, a + len, 8);
        std::memcpy(&y, b + len, 8);
        if (x != y) return len + (__builtin_ctzll(x ^ y) >> 3);
        len += 8;
    }
    while (len < max && a[len] == b[len]) len++;
    return len;
}

// `compress/longest-match`: follows the chain from candidate (a 1-based position) newest
// first. Returns the best length found above prev_len (2 when none) and its distance.
int Compressor::longest_match(size_t p, uint32_t candidate, int prev_len, uint32_t* dist) const {
    const uint32_t pos1 = uint32_t(p + 1);
    int chain = prev_len >= GOOD_LENGTH ? MAX_CHAIN / 4 : MAX_CHAIN;
    int max_len = int(std::min<size_t>(258, n_ - p));
    int best = prev_len < 2 ? 2 : prev_len;
    int found = 2;
    if (best >= max_len) return 2;
    const uint8_t* here = in_ + p;
    uint32_t limit = pos1 > uint32_t(WINDOW) ? pos1 - WINDOW : 0;
    // The two bytes ending at the best length and the first two, each compared as one load.
    uint16_t end_pair = load16(here + best - 1);
    const uint16_t start_pair = load16(here);
    while (candidate > limit && chain-- > 0) {
        const uint8_t* there = in_ + (candidate - 1);
        if (load16(there + best - 1) == end_pair && load16(there) == start_pair) {
            int len = 2 + match_length(there + 2, here + 2, max_len - 2);
            if (len > best) {
                best = found = len;
                *dist = pos1 - candidate;
                if (len >= NICE_LENGTH || len >= max_len) break;
                end_pair = load16(here + best - 1);
            }
        }
        candidate = uint32_t(w_.chain[candidate & (WINDOW - 1)]);
    }
    return found;
}

void Compressor::run() {
    const size_t n = n_;
    int hash_bits = 8;
    while (hash_bits < 15 && (size_t(1) << hash_bits) < n) hash_bits++;
    const uint32_t mask = (1u << hash_bits) - 1;
    uint32_t hash = n >= 3 ? (uint32_t(in_[0]) << 5) ^ in_[1] : 0;

    int prev_len = 2;
    uint32_t prev_dist = 0;
    bool pending = false;
    size_t skip = 0, block_start = 0, consumed = 0;
    for (size_t p = 0; p < n; p++) {
        const uint32_t pos1 = uint32_t(p + 1);
        uint32_t candidate = 0;
        if (p + 2 < n) {
            hash = ((hash << 5) ^ in_[p + 2]) & mask;
            candidate = uint32_t(w_.head[hash]);
            w_.head[hash] = int32_t(pos1);
            w_.chain[pos1 & (WINDOW - 1)] = int32_t(candidate);
        }
        if (skip > 0) {
            skip--;
            continue;
        }
        int cur_len = 2;
        uint32_t cur_dist = 0;
        if (candidate && pos1 - candidate < uint32_t(WINDOW) && prev_len <= LAZY_LIMIT) {
            cur_len = longest_match(p, candidate, prev_len, &cur_dist);
            if (cur_len == 3 && cur_dist > uint32_t(TOO_FAR)) cur_len = 2;
        }
        if (prev_len >= 3 && prev_len >= cur_len) {
            emit_match(prev_dist, prev_len);
            consumed = p - 1 + size_t(prev_len);
            skip = size_t(prev_len) - 2;
            prev_len = 2;
            pending = false;
        } else {
            if (pending) {
                emit_literal(in_[p - 1]);
                consumed = p;
            }
            pending = true;
            prev_len = cur_len;
            prev_dist = cur_dist;
        }
        if (nsyms_ == SYMBOL_BUFFER) {
            flush_block(block_start, consumed, false);
            block_start = consumed;
        }
    }
    if (pending) emit_literal(in_[n - 1]);
    flush_block(block_start, n, true);
    out_.align();
}

void Compressor::write_stored(size_t start, size_t end, bool final) {
    size_t len = end - start;
    do {
        size_t chunk = std::min<size_t>(len, 65535);
        len -= chunk;
        out_.put((final && len == 0) ? 1 : 0, 3);
        out_.align();
        uint8_t hdr[4] = {uint8_t(chunk), uint8_t(chunk >> 8), uint8_t(~chunk), uint8_t(~chunk >> 8)};
        out_.bytes(hdr, 4);
        out_.bytes(in_ + start, chunk);
        start += chunk;
    } while (len > 0);
}

void Compressor::write_symbols(const uint8_t* ll_len, const uint16_t* ll_code, const uint8_t* d_len,
                               const uint16_t* d_code) {
    const CodeMaps& m = maps();
    for (int i = 0; i < nsyms_; i++) {
        uint32_t s = w_.symbols[i];
        if (s < 256) {
            out_.put(ll_code[s], ll_len[s]);
            continue;
        }
        uint32_t dist = s >> 8;
        int len = int(s & 255) + 3;
        int lc = m.length_code[len - 3];
        out_.put(ll_code[257 + lc], ll_len[257 + lc]);
        if (LENGTH_EXTRA[lc]) out_.put(uint32_t(len - LENGTH_BASE[lc]), LENGTH_EXTRA[lc]);
        int dc = m.dist_index(dist);
        out_.put(d_code[dc], d_len[dc]);
        if (DIST_EXTRA[dc]) out_.put(dist - DIST_BASE[dc], DIST_EXTRA[dc]);
    }
    out_.put(ll_code[256], ll_len[256]);
}

// `compress/flush-block`: writes the symbols gathered for input [start, end) as the cheapest
// block kind, then clears the frequencies.
void Compressor::flush_block(size_t start, size_t end, bool final) {
    uint32_t* lf = litlen_freq(w_);
    uint32_t* df = dist_freq(w_);
    uint32_t* cf = cl_freq(w_);
    lf[256] = 1;
    huffman_lengths(lf, LITLEN_SYMBOLS, 15, w_.litlen_len);
    huffman_lengths(df, DIST_SYMBOLS, 15, w_.dist_len);
    int hlit = LITLEN_SYMBOLS, hdist = DIST_SYMBOLS;
    while (hlit > 257 && !w_.litlen_len[hlit - 1]) hlit--;
    while (hdist > 1 && !w_.dist_len[hdist - 1]) hdist--;
    std::fill(cf, cf + CL_SYMBOLS, 0u);
    auto count = [&](int sym, int) { cf[sym]++; };
    scan_code_lengths(w_.litlen_len, hlit, count);
    scan_code_lengths(w_.dist_len, hdist, count);
    huffman_lengths(cf, CL_SYMBOLS, 7, w_.cl_len);
    int hclen = CL_SYMBOLS;
    while (hclen > 4 && !w_.cl_len[CODE_LENGTH_ORDER[hclen - 1]]) hclen--;

    // Costs in bits of the three block kinds.
    const CodeMaps& m = maps();
    uint64_t extra = 0;
    for (int c = 0; c < 29; c++) extra += uint64_t(lf[257 + c]) * LENGTH_EXTRA[c];
    for (int c = 0; c < 30; c++) extra += uint64_t(df[c]) * DIST_EXTRA[c];
    uint64_t dyn = 17 + 3 * uint64_t(hclen) + extra, fixed = 3 + extra;
    for (int s = 0; s < LITLEN_SYMBOLS; s++) {
        dyn += uint64_t(lf[s]) * w_.litlen_len[s];
        fixed += uint64_t(lf[s]) * m.fixed_len[s];
    }
    for (int c = 0; c < DIST_SYMBOLS; c++) {
        dyn += uint64_t(df[c]) * w_.dist_len[c];
        fixed += uint64_t(df[c]) * 5;
    }
    for (int s = 0; s < CL_SYMBOLS; s++) dyn += uint64_t(cf[s]) * (w_.cl_len[s] + CL_EXTRA_BITS[s]);
    size_t len = end - start;
    uint64_t chunks = len ? (len + 65534) / 65535 : 1;
    int after_header = (out_.pending_bits() + 3) % 8;
    uint64_t stored = 40 * (chunks - 1) + 3 + uint64_t((8 - after_header) % 8) + 32 + 8 * uint64_t(len);

    if (stored <= dyn && stored <= fixed) {
        write_stored(start, end, final);
    } else if (dyn < fixed) {
        canonical_codes(w_.litlen_len, LITLEN_SYMBOLS, w_.litlen_code);
        canonical_codes(w_.dist_len, DIST_SYMBOLS, w_.dist_code);
        canonical_codes(w_.cl_len, CL_SYMBOLS, w_.cl_code);
        out_.put(final ? 5 : 4, 3);   // BFINAL, BTYPE 10
        out_.put(uint32_t(hlit - 257), 5);
        out_.put(uint32_t(hdist - 1), 5);
        out_.put(uint32_t(hclen - 4), 4);
        for (int k = 0; k < hclen; k++) out_.put(w_.cl_len[CODE_LENGTH_ORDER[k]], 3);
        auto send = [&](int sym, int value) {
            out_.put(w_.cl_code[sym], w_.cl_len[sym]);
            if (CL_EXTRA_BITS[sym]) out_.put(uint32_t(value), CL_EXTRA_BITS[sym]);
        };
        scan_code_lengths(w_.litlen_len, hlit, send);
        scan_code_lengths(w_.dist_len, hdist, send);
        write_symbols(w_.litlen_len, w_.litlen_code, w_.dist_len, w_.dist_code);
    } else {
        out_.put(final ? 3 : 2, 3);   // BFINAL, BTYPE 01
        uint8_t five[32];
        std::fill(five, five + 32, uint8_t(5));
        write_symbols(m.fixed_len, m.fixed_code, five, m.fixed_dist_code);
    }
    std::fill(w_.freq, w_.freq + LITLEN_SYMBOLS + DIST_SYMBOLS + CL_SYMBOLS, 0u);
    nsyms_ = 0;
}

}  // namespace

bool deflate(uint8_t* out, size_t* len, const uint8_t* in, size_t in_len) {
    void* pages = platform::allocate_pages(sizeof(Work));
    if (!pages) throw std::bad_alloc();
    Work* w = static_cast<Work*>(pages);
    BitWriter bits(out, *len);
    Compressor(*w, in, in_len, bits).run();
    platform::free_pages(pages, sizeof(Work));
    bool overflow = bits.size() > *len;
    *len = bits.size();
    return overflow;
}

size_t deflate_bound(size_t in_len) {
    // No block costs more than storing it: 5 header bytes per block (a block ends after at
    // most 16,384 symbols, so there are at most in_len / 16,384 + 2 of them) and per 65,535
    // bytes of a stored chunk.
    return in_len + 5 * (in_len / 16384 + in_len / 65535 + 3) + 8;
}

}  // namespace zel::compress
