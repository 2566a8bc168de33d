// string!'s search and text comparison: find and select (also for binary!, which inherits
// them), the comparison of texts and symbols, the matching helpers of parse, and the set
// operations of the set natives.
//
// Nothing here evaluates Zel code; forming a needle may allocate, which never collects.
#include <emmintrin.h>

#include <vector>

#include "core/error.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/word.h"
#include "datatypes/series/string.h"
#include "datatypes/series/string_internal.h"

namespace zel::string {

using memory::buf;
using namespace actions;

namespace {

enum NeedleKind { NEEDLE_CHAR, NEEDLE_RUN, NEEDLE_BITSET, NEEDLE_NEVER };

struct Needle {
    NeedleKind kind;
    uint32_t cp = 0;
    Run run{0, 0, 0};
    const Cell* bitset = nullptr;
    uint32_t length() const { return kind == NEEDLE_RUN ? run.count : 1; }
};

Needle needle_of(const Cell* series, const Cell* value, bool folding) {
    uint32_t st = type_of(series), vt = type_of(value);
    Needle n{NEEDLE_RUN};
    if (vt == TYPE_CHAR) {
        n.kind = NEEDLE_CHAR;
        n.cp = folding ? fold(char_value(value)) : char_value(value);
    } else if (vt == TYPE_BITSET) {
        n.kind = NEEDLE_BITSET;
        n.bitset = value;
    } else if (is_plain_text(vt)) {
        n.run = run_of_string(value);
    } else if (vt == TYPE_BINARY) {
        if (st != TYPE_BINARY) error::raise(error::ERR_SCRIPT_INVALID_ARG, value);
        n.run = run_of_string(value);
    } else if (is_any_word_type(vt)) {
        n.run = run_of_word(value);
    } else if (st == TYPE_BINARY && vt == TYPE_INTEGER) {
        int32_t v = int_value(value);
        n.kind = v < 0 || v > 255 ? NEEDLE_NEVER : NEEDLE_CHAR;
        n.cp = uint32_t(v);
    } else {
        uint32_t t = new_node(16);
        form_into(value, t);
        n.run = Run{t, 0, buf(t)->length()};
    }
    return n;
}

bool matches_at(uint32_t node, uint32_t p, const Needle& n, bool folding) {
    const SeriesBuf* b = buf(node);
    switch (n.kind) {
        case NEEDLE_CHAR: {
            uint32_t c = char_at(b, p);
            return (folding ? fold(c) : c) == n.cp;
        }
        case NEEDLE_BITSET: return bitset_has(n.bitset, char_at(b, p));
        case NEEDLE_NEVER: return false;
        case NEEDLE_RUN: break;
    }
    const SeriesBuf* s = buf(n.run.node);
    for (uint32_t k = 0; k < n.run.count; k++) {
        uint32_t a = char_at(b, p + k), c = char_at(s, n.run.from + k);
        if (a != c && (!folding || fold(a) != fold(c))) return false;
    }
    return true;
}

// Whether the haystack units after position at match the needle's code points after its
// first (want holds them read, and folded when folding, once per search).
template <typename Unit>
bool rest_matches(const Unit* hay, int64_t at, const uint32_t* want, int64_t len, bool folding) {
    for (int64_t k = 1; k < len; k++) {
        uint32_t c = hay[at + k];
        if ((folding ? fold(c) : c) != want[k]) return false;
    }
    return true;
}

// The forward search of a text needle in the units of the haystack: a candidate is tried only
// when its first code point matches.
template <typename Unit>
int64_t scan_run(const Unit* hay, int64_t from, int64_t high, int64_t skip, const uint32_t* want,
                 int64_t len, bool folding) {
    for (int64_t p = from; p + len <= high; p += skip) {
        uint32_t c = hay[p];
        if ((folding ? fold(c) : c) == want[0] && rest_matches(hay, p, want, len, folding)) return p;
    }
    return -1;
}

// The byte values (at most two) that equal code point w, folded when folding. Returns their
// count, 3 when more than two bytes do.
int bytes_for(uint32_t w, bool folding, uint8_t out[2]) {
    if (!folding) {
        if (w > 0xFF) return 0;
        out[0] = uint8_t(w);
        return 1;
    }
    // For each folded form of a byte (all below 0x400), the bytes that fold to it.
    struct Inverse {
        uint8_t count[0x400] = {};
        uint8_t bytes[0x400][3] = {};
        Inverse() {
            for (uint32_t v = 0; v < 256; v++) {
                uint32_t f = fold(v);
                if (count[f] < 3) bytes[f][count[f]] = uint8_t(v);
                count[f]++;
            }
        }
    };
    static const Inverse inverse;
    if (w >= 0x400) return 0;
    int n = inverse.count[w];
    if (n > 2) return 3;
    for (int i = 0; i < n; i++) out[i] = inverse.bytes[w][i];
    return n;
}

// scan_run for 8-bit text read one position at a time: 16 positions at once are tested for
// the needle's first code point and, for longer needles, its last one (each as the bytes
// that equal it, folded when folding), and only the candidates are compared in full. Returns
// -2 when a code point matches more than two byte values (the caller then scans position by
// position).
int64_t scan_bytes(const uint8_t* hay, int64_t from, int64_t high, const uint32_t* want, int64_t len, bool folding) {
    uint8_t first[2], final[2];
    int nf = bytes_for(want[0], folding, first), nl = bytes_for(want[len - 1], folding, final);
    if (nf == 0 || nl == 0) return -1;
    if (nf > 2 || nl > 2) return -2;
    if (nf == 1) first[1] = first[0];
    if (nl == 1) final[1] = final[0];
    const __m128i a = _mm_set1_epi8(char(first[0])), b = _mm_set1_epi8(char(first[1]));
    const __m128i c = _mm_set1_epi8(char(final[0])), d = _mm_set1_epi8(char(final[1]));
    int64_t last = high - len;   // the last position a match may start at
    int64_t p = from;
    for (; p + 16 <= last + 1; p += 16) {
        __m128i head = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hay + p));
        __m128i tail = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hay + p + len - 1));
        __m128i at_head = _mm_or_si128(_mm_cmpeq_epi8(head, a), _mm_cmpeq_epi8(head, b));
        __m128i at_tail = _mm_or_si128(_mm_cmpeq_epi8(tail, c), _mm_cmpeq_epi8(tail, d));
        uint32_t mask = uint32_t(_mm_movemask_epi8(_mm_and_si128(at_head, at_tail)));
        while (mask) {
            int64_t at = p + __builtin_ctz(mask);
            if (rest_matches(hay, at, want, len, folding)) return at;
            mask &= mask - 1;
        }
    }
    for (; p <= last; p++) {
        if ((hay[p] == first[0] || hay[p] == first[1]) && rest_matches(hay, p, want, len, folding)) return p;
    }
    return -1;
}

int64_t search_run_forward(const SeriesBuf* b, int64_t from, int64_t high, int64_t skip, const Run& run, bool folding) {
    int64_t len = run.count;
    uint32_t small[64];
    std::vector<uint32_t> large;
    uint32_t* want = small;
    if (len > 64) {
        large.resize(size_t(len));
        want = large.data();
    }
    const SeriesBuf* s = buf(run.node);
    for (int64_t k = 0; k < len; k++) {
        uint32_t c = char_at(s, uint32_t(run.from + k));
        want[k] = folding ? fold(c) : c;
    }
    if (b->unit() == 1 && skip == 1 && high - from >= 64) {
        int64_t p = scan_bytes(b->data(), from, high, want, len, folding);
        if (p != -2) return p;
    }
    switch (b->unit()) {
        case 1: return scan_run(b->data(), from, high, skip, want, len, folding);
        case 2: return scan_run(reinterpret_cast<const uint16_t*>(b->data()), from, high, skip, want, len, folding);
        default: return scan_run(reinterpret_cast<const uint32_t*>(b->data()), from, high, skip, want, len, folding);
    }
}

// Searches as find (select: false) does; returns the position of the match or -1, and the
// needle's length in *needle_len.
int64_t search(const FindArgs& a, uint32_t* needle_len) {
    Cell* series = a.series;
    uint32_t node = series_node(series);
    int64_t total = buf(node)->length();
    int64_t head = series_head(series);
    if (head < 0) head = 0;
    if (total == 0 || (head >= total && !a.reverse)) return -1;
    if (head > total) head = total;
    if (a.any || a.with) error::raise(error::ERR_INTERNAL_NOT_DONE);
    int64_t skip = 1;
    if (a.skip) {
        if (type_of(a.skip) != TYPE_INTEGER) invalid_refine(SYM_SKIP, a.skip);
        skip = int_value(a.skip);
        if (skip < 1) error::raise(error::ERR_SCRIPT_OUT_OF_RANGE, a.skip);
    }
    int64_t part = -1;
    if (a.part) {
        if (type_of(a.part) == TYPE_INTEGER) part = int_value(a.part);
        else if (type_of(a.part) == type_of(series) && series_node(a.part) == node) part = int64_t(series_head(a.part)) - head;
        else invalid_refine(SYM_PART, a.part);
        if (part < 1) return -1;
    }
    bool folding = is_text_type(type_of(series)) && !a.case_sensitive && !a.same;
    Needle n = needle_of(series, a.value, folding);
    int64_t len = n.length();
    *needle_len = uint32_t(len);
    if (len == 0) return -1;

    if (a.reverse) {
        if (a.match) return -1;
        int64_t low = part >= 0 ? head - part : 0;
        if (low < 0) low = 0;
        // The searched range ends at the head: a run must lie wholly before it.
        for (int64_t p = head - 1; p >= low; p -= skip)
            if (p + len <= head && matches_at(node, uint32_t(p), n, folding)) return p;
        return -1;
    }
    int64_t high = total;
    if (part >= 0 && head + part < high) high = head + part;
    if (a.match) return head + len <= high && matches_at(node, uint32_t(head), n, folding) ? head : -1;
    if (a.last) {
        // From the last code point of the range down to the head, every skip code points;
        // a run is tested where it fits before the end of the range.
        if (head + len > high) return -1;
        for (int64_t p = high - 1; p >= head; p -= skip)
            if (p + len <= high && matches_at(node, uint32_t(p), n, folding)) return p;
        return -1;
    }
    if (n.kind == NEEDLE_RUN) return search_run_forward(buf(node), head, high, skip, n.run, folding);
    for (int64_t p = head; p + len <= high; p += skip)
        if (matches_at(node, uint32_t(p), n, folding)) return p;
    return -1;
}

}  // namespace

void string_find(Cell* out, const FindArgs& a) {
    uint32_t len = 0;
    int64_t p = search(a, &len);
    if (p < 0) {
        set_none(out);
        return;
    }
    *out = *a.series;
    set_series_head(out, int32_t(a.tail ? p + len : p));
}

// select: the element just past the matched text (the needle's own length, also for a
// needle formed from another value), none when the match ends at the tail.
void string_select(Cell* out, const FindArgs& a) {
    uint32_t len = 0;
    int64_t p = search(a, &len);
    int64_t next = p + len;
    if (p < 0 || next >= int64_t(total_length(a.series))) set_none(out);
    else series::element_value(out, a.series, uint32_t(next));
}

// ---- text comparison and matching ----

int32_t compare_text(const Cell* a, const Cell* b, int32_t op, bool match) {
    bool same = !is_any_word_type(type_of(a)) && !is_any_word_type(type_of(b)) &&
                series_node(a) == series_node(b) && series_head(a) == series_head(b);
    bool equality = op == OP_EQUAL || op == OP_NOT_EQUAL || op == OP_STRICT_EQUAL || op == OP_FIND ||
                    op == OP_STRICT_LIT || op == OP_EQUAL_LIT;
    if (op == OP_SAME) return same ? 0 : -1;
    if (same && equality && !match) return 0;
    Run ra = text_run(a), rb = text_run(b);
    uint32_t n;
    if (match) {
        if (rb.count == 0) return op == OP_FIND ? 1 : 0;
        if (ra.count < rb.count) return 1;
        n = rb.count;
    } else {
        if (ra.count != rb.count && equality) return 1;
        if (ra.count == 0 && rb.count == 0) return 0;
        n = ra.count < rb.count ? ra.count : rb.count;
    }
    bool folding = !(op == OP_STRICT_EQUAL || op == OP_CASE_SORT || op == OP_STRICT_LIT);
    const SeriesBuf* ba = buf(ra.node);
    const SeriesBuf* bb = buf(rb.node);
    for (uint32_t i = 0; i < n; i++) {
        uint32_t ca = char_at(ba, ra.from + i), cb = char_at(bb, rb.from + i);
        if (ca == cb) continue;
        if (folding) {
            ca = fold(ca);
            cb = fold(cb);
            if (ca == cb) continue;
        }
        return ca > cb ? 1 : -1;
    }
    if (match) return 0;
    return ra.count > rb.count ? 1 : (ra.count < rb.count ? -1 : 0);
}

bool bitset_has(const Cell* bitset, uint32_t cp) {
    const SeriesBuf* b = buf(series_node(bitset));
    uint32_t byte = cp >> 3;
    if (byte >= b->tail) return (b->flags & F_BITSET_COMPLEMENT) != 0;
    return (b->data()[byte] & (0x80u >> (cp & 7))) != 0;
}

bool head_in_bitset(const Cell* str, const Cell* bitset) {
    if (length(str) < 1) return false;
    return bitset_has(bitset, char_at_index(str, head_index(str)));
}

bool match_at(const Cell* str, const Cell* value, bool case_sensitive) {
    Run r = text_of(value, -1);
    Needle n{NEEDLE_RUN};
    n.run = r;
    uint32_t h = head_index(str);
    if (uint64_t(h) + r.count > total_length(str)) return false;
    return matches_at(series_node(str), h, n, !case_sensitive);
}

bool contains_char(const Cell* str, uint32_t cp, int32_t step, bool case_sensitive) {
    const SeriesBuf* b = buf(series_node(str));
    uint32_t n = b->length();
    uint32_t want = case_sensitive ? cp : fold(cp);
    if (step < 1) step = 1;
    for (uint64_t i = head_index(str); i < n; i += uint32_t(step)) {
        uint32_t c = char_at(b, uint32_t(i));
        if ((case_sensitive ? c : fold(c)) == want) return true;
    }
    return false;
}

void set_operation(Cell* out, bool case_sensitive, int32_t skip, int32_t op, const Cell* a, const Cell* b) {
    if (skip < 1) {
        Cell s;
        set_integer(&s, skip);
        invalid_refine(SYM_SKIP, &s);
    }
    uint32_t room = uint32_t(length(a)) + (op == 9 ? uint32_t(length(b)) : 0);
    init_cell(out, room ? room : 16, type_of(a));
    uint32_t result = series_node(out);
    // Walks one series record by record, keeping those whose first code point passes.
    auto walk = [&](const Cell* from, const Cell* other, bool want_in_other, bool test_other) {
        Run r = run_of_string(from);
        for (uint32_t i = 0; i < r.count; i += uint32_t(skip)) {
            uint32_t c = char_at(buf(r.node), r.from + i);
            if (test_other && contains_char(other, c, skip, case_sensitive) != want_in_other) continue;
            if (contains_char(out, c, skip, case_sensitive)) continue;
            uint32_t end = i + uint32_t(skip) > r.count ? r.count : i + uint32_t(skip);
            append_range(result, r.node, r.from + i, r.from + end);
        }
    };
    switch (op) {
        case 8: walk(a, b, false, false); break;
        case 9: walk(a, b, false, false); walk(b, a, false, false); break;
        case 10: walk(a, b, true, true); break;
        case 11: walk(a, b, false, true); break;
        case 12: walk(a, b, false, true); walk(b, a, false, true); break;
        default: error::raise(error::ERR_INTERNAL_NOT_DONE);
    }
}

}  // namespace zel::string
