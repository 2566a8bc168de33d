// string!'s trim: whitespace at the edges, around inner line breaks, runs of whitespace made
// one space (/lines), or every code point of a removal set (/all, /with).
//
// The owner hears of the change before the text is read, so what its handler does to the
// string is seen; nothing else here evaluates Zel code.
#include <algorithm>
#include <vector>

#include "core/error.h"
#include "datatypes/series/string.h"
#include "datatypes/series/string_internal.h"

namespace zel::string {

using memory::buf;
using series::Change;

namespace {

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

}  // namespace

void string_trim(Cell* series, bool head, bool tail, bool auto_, bool lines, bool all, Cell* with) {
    bool removal = all || with;
    if (auto_ && !removal) error::raise(error::ERR_INTERNAL_NOT_DONE);
    // The removal set is read (and a bad /with refused) before anything is told or changed.
    std::vector<uint32_t> set;
    if (removal) set = removal_set(with);
    tell_owner(series, Change::TRIM, nullptr, int32_t(head_index(series)), length(series));
    std::vector<uint32_t> v = read_chars(series);
    std::vector<uint32_t> out;
    if (removal) {
        out.reserve(v.size());
        for (uint32_t c : v)
            if (std::find(set.begin(), set.end(), c) == set.end()) out.push_back(c);
    } else if (lines) {
        out = trim_lines(v);
    } else {
        out = trim_default(v, head, tail);
    }
    write_chars(series, out);
    tell_owner(series, Change::TRIMMED, nullptr, int32_t(head_index(series)), int32_t(out.size()));
}

}  // namespace zel::string
