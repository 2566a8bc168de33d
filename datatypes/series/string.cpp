// string! action handlers: make, to, form, mold, compare, append/insert, change, find, select,
// eval-path, swap, take and trim; and the text comparison, matching and set operations that
// words, parse and the set natives use. file!, url!, tag!, email! and ref! inherit most of
// them, binary! inherits find, select, swap and take, so several handlers know those types.
//
// The handlers evaluate no Zel code of their own; only the owner notification may (once
// ownership tracking runs change handlers), and the modifying handlers notify before they
// read any position or gather any text. Buffers otherwise move only when they grow: every
// SeriesBuf* is re-derived after a call that may grow one.
#include <cstring>
#include <array>
#include <vector>

#include <emmintrin.h>

#include "core/actions.h"
#include "core/error.h"
#include "core/runtime_words.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/word.h"
#include "datatypes/datatypes.h"
#include "datatypes/series/case_map.h"
#include "datatypes/series/series.h"
#include "datatypes/series/string.h"

namespace zel::string {

using memory::buf;
using namespace actions;

namespace {

// ---- small helpers ----

bool is_plain_text(uint32_t t) {
    return t == TYPE_STRING || t == TYPE_FILE || t == TYPE_URL || t == TYPE_EMAIL || t == TYPE_REF;
}

[[noreturn]] void invalid_refine(SymId word, const Cell* value) { series::raise_invalid_refine(word, value); }

using series::Change;

// Tells the owner of an owned series about a change (nothing for a series without owner).
void tell_owner(const Cell* s, Change c, const Cell* value = nullptr, int32_t index = -1, int32_t part = -1) {
    series::notify_owner(s, c, value, index, part);
}

// A string value's text viewed as a run of code points of a buffer.
struct Run {
    uint32_t node;
    uint32_t from;
    uint32_t count;
};

Run run_of_string(const Cell* str) {
    uint32_t h = head_index(str);
    return Run{series_node(str), h, total_length(str) - h};
}

// A word's name as a run over the symbol's cached spelling string (read only).
Run run_of_word(const Cell* w) {
    uint32_t node = symbol::spelling_string(word_symbol(w));
    return Run{node, 0, buf(node)->length()};
}

// Forms the values of an any-block from its head into node, without separators. A budget
// (>= 0) limits the code points added: the text that overshoots it is cut back.
void append_formed_values(uint32_t node, const Cell* block, int64_t budget) {
    uint32_t start = buf(node)->length();
    uint32_t bnode = series_node(block);
    int32_t h = series_head(block);
    for (uint32_t i = h < 0 ? 0 : uint32_t(h); i < buf(bnode)->length(); i++) {
        Cell v = buf(bnode)->cells()[i];
        if (budget >= 0) {
            int64_t used = int64_t(buf(node)->length()) - start;
            if (used >= budget) break;
            form_into(&v, node, int32_t(budget - used));
        } else {
            form_into(&v, node);
        }
    }
    if (budget >= 0) truncate(node, uint32_t(start + budget));
}

// The text a value contributes to append, insert and change (part: code points, -1 for all).
Run text_of(const Cell* value, int64_t part) {
    uint32_t t = type_of(value);
    Run r;
    if (is_plain_text(t)) {
        r = run_of_string(value);
    } else if (t == TYPE_CHAR) {
        r = Run{new_node(4), 0, 1};
        append_char(r.node, char_value(value));
    } else if (t == TYPE_TAG) {
        Run inner = run_of_string(value);
        uint32_t n = new_node(size_t(inner.count) + 2, 1);
        widen(n, buf(inner.node)->unit());
        append_char(n, '<');
        append_range(n, inner.node, inner.from, inner.from + inner.count);
        append_char(n, '>');
        r = Run{n, 0, buf(n)->length()};
    } else if (t == TYPE_BLOCK || t == TYPE_PAREN || t == TYPE_HASH) {
        uint32_t n = new_node(16);
        append_formed_values(n, value, part);
        return Run{n, 0, buf(n)->length()};
    } else {
        uint32_t n = new_node(16);
        form_into(value, n, part >= 0 && part < 0x7FFFFFFF ? int32_t(part) : -1);
        r = Run{n, 0, buf(n)->length()};
    }
    if (part >= 0 && part < r.count) r.count = uint32_t(part);
    return r;
}

// ---- make, to, form, mold ----

Cell* string_to(Cell* proto, Cell* spec, uint32_t type);

Cell* string_make(Cell* proto, Cell* spec, uint32_t type) {
    uint32_t st = type_of(spec);
    if (st == TYPE_INTEGER || st == TYPE_FLOAT) {
        int32_t n = make::spec_to_size(spec);
        if (n < 0) error::raise(error::ERR_SCRIPT_OUT_OF_RANGE, spec);
        Cell* out = stack::push();
        init_cell(out, size_t(n), type);
        return out;
    }
    if (type == TYPE_BINARY) {
        Cell dt;
        set_datatype(&dt, TYPE_BINARY);
        if (st == TYPE_MONEY) error::raise(error::ERR_SCRIPT_BAD_MAKE_ARG, &dt, spec);
        auto conv = reinterpret_cast<MakeFn>(handler_of(TYPE_BINARY, ACT_TO));
        if (!conv || conv == &string_to) error::raise(error::ERR_SCRIPT_BAD_MAKE_ARG, &dt, spec);
        return conv(proto, spec, type);
    }
    return string_to(proto, spec, type);
}

// The UTF-8 bytes of a binary! from its head, decoded into a new string node.
uint32_t decode_binary(const Cell* bin) {
    const SeriesBuf* b = buf(series_node(bin));
    int32_t h = series_head(bin);
    uint32_t from = h < 0 ? 0 : (uint32_t(h) > b->tail ? b->tail : uint32_t(h));
    std::string bytes(reinterpret_cast<const char*>(b->data()) + from, b->tail - from);
    int32_t remaining = 0;
    uint32_t node = decode_utf8(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), 0, &remaining, false);
    if (remaining > 0) {
        // A sequence cut short by the end: name the bytes that were left undecoded.
        uint32_t left = memory::new_series(size_t(remaining), 1);
        SeriesBuf* lb = buf(left);
        std::memcpy(lb->data(), bytes.data() + bytes.size() - size_t(remaining), size_t(remaining));
        lb->tail = uint32_t(remaining);
        Cell arg;
        set_series(&arg, TYPE_BINARY, left);
        error::raise(error::ERR_ACCESS_INVALID_UTF8, &arg);
    }
    return node;
}

Cell* string_to(Cell* proto, Cell* spec, uint32_t type) {
    uint32_t st = type_of(spec);
    Cell* out = stack::push();
    if (is_text_type(st)) {
        Run r = run_of_string(spec);
        set_series(out, type, memory::copy_range(r.node, r.from, r.count));
    } else if (st == TYPE_BINARY) {
        set_series(out, type, decode_binary(spec));
    } else if (st == TYPE_BLOCK || st == TYPE_PAREN || st == TYPE_HASH) {
        init_cell(out, 16, type);
        append_formed_values(series_node(out), spec, -1);
    } else if (st == TYPE_NONE) {
        Cell dt;
        set_datatype(&dt, type);
        error::raise(error::ERR_SCRIPT_BAD_TO_ARG, &dt, spec);
    } else {
        init_cell(out, 16, type);
        // A refinement keeps its slash everywhere but in a plain string.
        if (st == TYPE_REFINEMENT && type != TYPE_STRING) mold_into(spec, series_node(out));
        else form_into(spec, series_node(out));
    }
    retype(out, type);
    return out;
}

int32_t string_form(const Cell* value, uint32_t buffer, const Cell* part, int32_t limit) {
    Run r = run_of_string(value);
    uint32_t n = r.count;
    if (limit < 0) n = 0;
    else if (uint32_t(limit) < n) n = uint32_t(limit);
    append_range(buffer, r.node, r.from, r.from + n);
    int64_t left = int64_t(limit) - r.count;
    return left < INT32_MIN ? INT32_MIN : int32_t(left);
}

// Which "{" of code points [head, end) find their matching "}" before end, in one pass:
// with depth(k) the count of "{" minus "}" before offset k, the brace at offset i is matched
// when the depth later falls back to depth(i), that is when the lowest depth after it is at
// most depth(i). Returns one flag per offset (set only for matched braces).
std::vector<bool> matched_braces(uint32_t node, uint32_t head, uint32_t end) {
    uint32_t n = end - head;
    std::vector<int32_t> depth(size_t(n) + 1, 0);
    const SeriesBuf* b = buf(node);
    for (uint32_t k = 0; k < n; k++) {
        uint32_t c = char_at(b, head + k);
        depth[k + 1] = depth[k] + (c == '{' ? 1 : c == '}' ? -1 : 0);
    }
    std::vector<bool> matched(n, false);
    int32_t lowest = depth[n];
    for (uint32_t k = n; k-- > 0;) {
        if (char_at(b, head + k) == '{') matched[k] = lowest <= depth[k];
        if (depth[k] < lowest) lowest = depth[k];
    }
    return matched;
}

int32_t string_mold(const Cell* value, uint32_t out, bool only, bool all, bool flat, const Cell* part,
                    int32_t limit, int32_t indent) {
    Run r = run_of_string(value);
    uint32_t node = r.node, head = r.from;
    uint32_t end = head + r.count;
    if (limit < 0) end = head;
    else if (uint32_t(limit) < r.count) end = head + uint32_t(limit);

    uint32_t quotes = 0, lines = 0;
    for (uint32_t i = head; i < end; i++) {
        uint32_t c = char_at(buf(node), i);
        if (c == '"') quotes++;
        else if (c == '\n') lines++;
    }
    bool braces = lines >= 3 || quotes > 0 || r.count >= 50;
    append_char(out, braces ? '{' : '"');
    int32_t depth = 0;
    bool balanced = true;
    std::vector<bool> matched;
    if (braces) matched = matched_braces(node, head, end);
    for (uint32_t i = head; i < end; i++) {
        uint32_t c = char_at(buf(node), i);
        if (!braces) {
            append_escaped(out, c, ESCAPE_STRING, all);
            continue;
        }
        switch (c) {
            case '{':
                if (balanced && !matched[i - head]) balanced = false;
                if (balanced) depth++;
                else append_char(out, '^');
                append_char(out, c);
                break;
            case '}':
                if (depth < 1) append_char(out, '^');
                else depth--;
                append_char(out, c);
                break;
            case '"': append_char(out, c); break;
            case '^': append_ascii(out, "^^"); break;
            default: append_escaped(out, c, ESCAPE_STRING, all); break;
        }
    }
    append_char(out, braces ? '}' : '"');
    int64_t left = int64_t(limit) - (end - head) - 2;
    return left < INT32_MIN ? INT32_MIN : int32_t(left);
}

// ---- compare ----

int32_t string_compare(const Cell* a, const Cell* b, int32_t op) {
    if (type_of(a) != type_of(b)) {
        // Different text types are only ever equal or not.
        if (!is_text_type(type_of(b)) || (op != OP_EQUAL && op != OP_NOT_EQUAL)) return -2;
    }
    return compare_text(a, b, op, false);
}

// ---- append, insert, change ----

// The owner hears of a change before the text is gathered: its handler may run Zel code
// and change either series, so positions are read after it.
void string_insert(Cell* series, Cell* value, int32_t part, bool only, int32_t dup, bool append) {
    uint32_t node = series_node(series);
    Change before = append ? Change::APPEND : Change::INSERT;
    tell_owner(series, before, value, int32_t(append ? total_length(series) : head_index(series)), part);
    Run r = text_of(value, part);
    uint32_t at = append ? total_length(series) : head_index(series);
    uint32_t times = dup < 1 ? 1 : uint32_t(dup);
    splice(node, at, 0, r.node, r.from, r.count, times);
    uint64_t past = uint64_t(at) + uint64_t(r.count) * times;
    tell_owner(series, append ? Change::APPENDED : Change::INSERTED, value, int32_t(at), int32_t(past - at));
    if (append) {
        series->d1 = 0;
    } else {
        uint32_t total = buf(node)->length();
        series->d1 = uint32_t(past > total ? total : past);
    }
}

void string_change(Cell* series, Cell* value, int32_t part, bool only, int32_t dup) {
    uint32_t node = series_node(series);
    tell_owner(series, Change::CHANGE, value, int32_t(head_index(series)), part);
    uint32_t total = buf(node)->length();
    uint32_t at = head_index(series);
    Run r = text_of(value, -1);
    uint32_t times = dup < 1 ? 1 : uint32_t(dup);
    uint64_t inserted = uint64_t(r.count) * times;
    uint64_t left = total - at;
    uint64_t replaced = part >= 0 ? uint64_t(part) : inserted;
    if (replaced > left) replaced = left;
    splice(node, at, uint32_t(replaced), r.node, r.from, r.count, times);
    tell_owner(series, Change::CHANGED, value, int32_t(at), int32_t(inserted));
    series->d1 = uint32_t(at + inserted);
}

// ---- find and select ----

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

// scan_run for 8-bit text read one position at a time: 16 positions at once are tested for
// the needle's first code point (both bytes that fold to it when folding), and only the
// candidates are compared in full. Returns -2 when the first code point matches more than
// two byte values (the caller then scans position by position).
int64_t scan_bytes(const uint8_t* hay, int64_t from, int64_t high, const uint32_t* want, int64_t len, bool folding) {
    // fold() of every byte value, made once.
    static const auto folded = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t v = 0; v < 256; v++) t[v] = fold(v);
        return t;
    }();
    int first[2] = {-1, -1};
    int found = 0;
    for (uint32_t v = 0; v < 256; v++) {
        if ((folding ? folded[v] : v) != want[0]) continue;
        if (found == 2) return -2;
        first[found++] = int(v);
    }
    if (found == 0) return -1;
    if (found == 1) first[1] = first[0];
    const __m128i a = _mm_set1_epi8(char(first[0])), b = _mm_set1_epi8(char(first[1]));
    int64_t last = high - len;   // the last position a match may start at
    int64_t p = from;
    for (; p + 16 <= last + 1; p += 16) {
        __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hay + p));
        uint32_t mask = uint32_t(_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(chunk, a), _mm_cmpeq_epi8(chunk, b))));
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
        for (int64_t p = head - skip; p >= low; p -= skip)
            if (p + len <= total && matches_at(node, uint32_t(p), n, folding)) return p;
        return -1;
    }
    int64_t high = total;
    if (part >= 0 && head + part < high) high = head + part;
    if (a.match) return head + len <= high && matches_at(node, uint32_t(head), n, folding) ? head : -1;
    if (a.last) {
        if (head + len > high) return -1;
        for (int64_t p = head + ((high - len - head) / skip) * skip; p >= head; p -= skip)
            if (matches_at(node, uint32_t(p), n, folding)) return p;
        return -1;
    }
    if (n.kind == NEEDLE_RUN) return search_run_forward(buf(node), head, high, skip, n.run, folding);
    for (int64_t p = head; p + len <= high; p += skip)
        if (matches_at(node, uint32_t(p), n, folding)) return p;
    return -1;
}

Cell* string_find(const FindArgs& a) {
    uint32_t len = 0;
    int64_t p = search(a, &len);
    Cell* out = stack::push();
    if (p < 0) {
        set_none(out);
        return out;
    }
    *out = *a.series;
    out->d1 = uint32_t(a.tail ? p + len : p);
    return out;
}

// The element at index of a series, as select returns it.
void element_at(Cell* out, const Cell* series, uint32_t index) {
    uint32_t cp = char_at(buf(series_node(series)), index);
    if (type_of(series) == TYPE_BINARY) set_integer(out, int32_t(cp));
    else set_char(out, cp);
}

Cell* string_select(const FindArgs& a) {
    uint32_t len = 0;
    int64_t p = search(a, &len);
    Cell* out = stack::push();
    int64_t next = p + len;
    if (p < 0 || next >= int64_t(total_length(a.series))) set_none(out);
    else element_at(out, a.series, uint32_t(next));
    return out;
}

// ---- eval-path ----

Cell* string_eval_path(Cell* parent, Cell* element, Cell* value, const PathStep& step) {
    uint32_t et = type_of(element), pt = type_of(parent);
    if (et == TYPE_INTEGER) {
        if (!value) return get<PickFn>(pt, ACT_PICK)(parent, int_value(element), element);
        get<PokeFn>(pt, ACT_POKE)(parent, int_value(element), value, element);
        return value;
    }
    if (et == TYPE_WORD) error::raise(error::ERR_SCRIPT_INVALID_PATH, step.path ? step.path : element, element);
    FindArgs fa{parent, element, nullptr, false, step.case_sensitive, false, false, nullptr, nullptr,
                false, false, false, false};
    if (!value) return string_select(fa);
    Cell* found = string_find(fa);
    if (type_of(found) == TYPE_NONE)
        error::raise(error::ERR_SCRIPT_BAD_PATH_SET, step.path ? step.path : element, element);
    Cell index;
    set_integer(&index, 2);
    get<PokeFn>(pt, ACT_POKE)(found, 2, value, &index);
    return value;
}

// ---- swap, take ----

void string_swap(Cell* a, Cell* b) {
    uint32_t bt = type_of(b);
    if (!is_text_type(bt) && bt != TYPE_BINARY) error::raise(error::ERR_SCRIPT_INVALID_ARG, b);
    if (length(a) < 1 || length(b) < 1) return;
    // A binary holds bytes: a wider code point cannot go there (checked before any change).
    Cell bad;
    uint32_t ca = char_at_index(a, head_index(a)), cb = char_at_index(b, head_index(b));
    if (type_of(a) == TYPE_BINARY && cb > 0xFF) { set_char(&bad, cb); error::raise(error::ERR_SCRIPT_INVALID_ARG, &bad); }
    if (bt == TYPE_BINARY && ca > 0xFF) { set_char(&bad, ca); error::raise(error::ERR_SCRIPT_INVALID_ARG, &bad); }
    tell_owner(a, Change::SWAP, nullptr, int32_t(head_index(a)), 1);
    tell_owner(b, Change::SWAP, nullptr, int32_t(head_index(b)), 1);
    if (length(a) < 1 || length(b) < 1) return;
    uint32_t ha = head_index(a), hb = head_index(b);
    ca = char_at_index(a, ha);
    cb = char_at_index(b, hb);
    if ((type_of(a) == TYPE_BINARY && cb > 0xFF) || (bt == TYPE_BINARY && ca > 0xFF)) return;
    write_char(series_node(a), ha, cb);
    write_char(series_node(b), hb, ca);
    tell_owner(a, Change::SWAPED, nullptr, int32_t(ha), 1);
    tell_owner(b, Change::SWAPED, nullptr, int32_t(hb), 1);
}

Cell* string_take(Cell* series, Cell* part, bool deep, bool last) {
    Cell* r = series::take(series, part, deep, last);
    if (part || type_of(r) != type_of(series)) return r;
    // A single taken element is returned as itself.
    if (length(r) != 1) return r;
    Cell* out = stack::push();
    element_at(out, r, head_index(r));
    return out;
}

// ---- trim ----

bool in_unicode_space(uint32_t c) {
    return c == 0x85 || c == 0xA0 || c == 0x1680 || c == 0x180E || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
           c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}
// Whitespace that trim drops at the edges.
bool edge_space(uint32_t c) { return (c >= 1 && c <= 32) || in_unicode_space(c); }
// Whitespace that trim drops around inner line breaks.
bool inner_space(uint32_t c) { return c == ' ' || c == '\t' || in_unicode_space(c); }

std::vector<uint32_t> read_chars(const Cell* str) {
    Run r = run_of_string(str);
    std::vector<uint32_t> v(r.count);
    const SeriesBuf* b = buf(r.node);
    for (uint32_t i = 0; i < r.count; i++) v[i] = char_at(b, r.from + i);
    return v;
}

// Writes the trimmed code points back from the head (they never outnumber the old ones).
void write_chars(const Cell* str, const std::vector<uint32_t>& v) {
    uint32_t node = series_node(str), h = head_index(str);
    SeriesBuf* b = buf(node);
    uint32_t unit = b->unit();
    for (size_t i = 0; i < v.size(); i++) {
        uint32_t at = h + uint32_t(i);
        switch (unit) {
            case 1: b->data()[at] = uint8_t(v[i]); break;
            case 2: reinterpret_cast<uint16_t*>(b->data())[at] = uint16_t(v[i]); break;
            default: reinterpret_cast<uint32_t*>(b->data())[at] = v[i]; break;
        }
    }
    b->tail = (h + uint32_t(v.size())) * unit;
}

std::vector<uint32_t> removal_set(const Cell* with) {
    if (!with) return {'\t', '\n', '\r', ' '};
    switch (type_of(with)) {
        case TYPE_CHAR: return {char_value(with)};
        case TYPE_INTEGER: return {uint32_t(int_value(with))};
        case TYPE_BINARY:
        default:
            if (is_text_type(type_of(with)) || type_of(with) == TYPE_BINARY) return read_chars(with);
            error::raise(error::ERR_SCRIPT_INVALID_ARG, with);
    }
}

std::vector<uint32_t> trim_default(const std::vector<uint32_t>& v, bool head, bool tail) {
    size_t lo = 0, hi = v.size();
    if (!(tail && !head))
        while (lo < hi && edge_space(v[lo])) lo++;
    bool trailing_lf = false;
    if (!(head && !tail)) {
        while (hi > lo && edge_space(v[hi - 1])) {
            if (v[hi - 1] == '\n') trailing_lf = true;
            hi--;
        }
    }
    if (head || tail) return std::vector<uint32_t>(v.begin() + long(lo), v.begin() + long(hi));
    std::vector<uint32_t> out;
    for (size_t i = lo; i < hi; i++) {
        uint32_t c = v[i];
        if (c == '\n') {
            while (!out.empty() && inner_space(out.back())) out.pop_back();
            out.push_back(c);
            while (i + 1 < hi && inner_space(v[i + 1])) i++;
        } else {
            out.push_back(c);
        }
    }
    if (trailing_lf) out.push_back('\n');
    return out;
}

std::vector<uint32_t> trim_lines(const std::vector<uint32_t>& v) {
    std::vector<uint32_t> out;
    bool gap = false;
    for (uint32_t c : v) {
        if (edge_space(c)) {
            gap = true;
            continue;
        }
        if (gap && !out.empty()) out.push_back(' ');
        gap = false;
        out.push_back(c);
    }
    return out;
}

void string_trim(Cell* series, bool head, bool tail, bool auto_, bool lines, bool all, Cell* with) {
    if (auto_ && !all && !with) error::raise(error::ERR_INTERNAL_NOT_DONE);
    tell_owner(series, Change::TRIM, nullptr, int32_t(head_index(series)), length(series));
    std::vector<uint32_t> v = read_chars(series);
    std::vector<uint32_t> out;
    if (all || with) {
        std::vector<uint32_t> set = removal_set(with);
        for (uint32_t c : v) {
            bool drop = false;
            for (uint32_t s : set) drop = drop || s == c;
            if (!drop) out.push_back(c);
        }
    } else if (auto_) {
        error::raise(error::ERR_INTERNAL_NOT_DONE);
    } else if (lines) {
        out = trim_lines(v);
    } else {
        out = trim_default(v, head, tail);
    }
    write_chars(series, out);
    tell_owner(series, Change::TRIMMED, nullptr, int32_t(head_index(series)), int32_t(out.size()));
}

}  // namespace

// ---- text comparison and matching ----

namespace {
Run text_run(const Cell* v) { return is_any_word_type(type_of(v)) ? run_of_word(v) : run_of_string(v); }
}  // namespace

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

bool tag_delimited(const Cell* str, const Cell* tag) {
    uint32_t h = head_index(str), n = total_length(str);
    uint64_t close = uint64_t(h) + 1 + uint32_t(length(tag));
    return h < n && char_at_index(str, h) == '<' && close < n && char_at_index(str, uint32_t(close)) == '>';
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

namespace zel::datatypes {

void register_string() {
    using namespace zel::string;
    const actions::Handler I = actions::INHERIT;
    actions::TypeSpec spec{TYPE_STRING, TYPE_SERIES, "string!", {}};
    auto set = [&](int action, auto fn) { actions::put(spec, action, fn); };
    set(ACT_MAKE, &string_make);
    set(ACT_RANDOM, I);
    set(ACT_REFLECT, I);
    set(ACT_TO, &string_to);
    set(ACT_FORM, &string_form);
    set(ACT_MOLD, &string_mold);
    set(ACT_EVAL_PATH, &string_eval_path);
    set(ACT_COMPARE, &string_compare);
    set(ACT_APPEND, &string_insert);
    set(ACT_INSERT, &string_insert);
    set(ACT_CHANGE, &string_change);
    set(ACT_FIND, &string_find);
    set(ACT_SELECT, &string_select);
    set(ACT_SWAP, &string_swap);
    set(ACT_TAKE, &string_take);
    set(ACT_TRIM, &string_trim);
    for (int a : {ACT_AT, ACT_BACK, ACT_CLEAR, ACT_COPY, ACT_HEAD, ACT_HEAD_Q, ACT_INDEX_Q, ACT_LENGTH_Q, ACT_MOVE,
                  ACT_NEXT, ACT_PICK, ACT_POKE, ACT_REMOVE, ACT_REVERSE, ACT_SKIP, ACT_TAIL, ACT_TAIL_Q, ACT_MODIFY})
        set(a, I);
    actions::register_type(spec);
}

}  // namespace zel::datatypes
