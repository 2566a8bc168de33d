// Case mapping tables and the case change of values (see case_map.h).
#include "core/case_map.h"

#include <algorithm>
#include <iterator>
#include <memory>

#include "core/error.h"
#include "core/ownership.h"
#include "core/runtime_words.h"
#include "core/word.h"
#include "datatypes/series/string.h"

namespace zel::case_map {

namespace {

#include "datatypes/series/case_map_tables.inc"

// Direct tables for code points up to 0xFFFF: entry = mapped code point, 0 when unmapped.
struct Tables {
    std::unique_ptr<int32_t[]> upper{new int32_t[0x10000]()};
    std::unique_ptr<int32_t[]> lower{new int32_t[0x10000]()};
    Tables() {
        for (const auto& p : UPPER_BMP) upper[p[0]] = int32_t(p[1]);
        for (const auto& p : LOWER_BMP) lower[p[0]] = int32_t(p[1]);
    }
};

const Tables& tables() {
    static const Tables t;
    return t;
}

template <size_t N>
uint32_t map_supplementary(const uint32_t (&pairs)[N][2], uint32_t cp) {
    if (cp < pairs[0][0] || cp > pairs[N - 1][0]) return cp;
    auto it = std::lower_bound(std::begin(pairs), std::end(pairs), cp,
                               [](const uint32_t(&p)[2], uint32_t v) { return p[0] < v; });
    return it != std::end(pairs) && (*it)[0] == cp ? (*it)[1] : cp;
}

}  // namespace

void build_tables() { (void)tables(); }

uint32_t map_char(uint32_t cp, int direction) {
    if (cp <= 0xFFFF) {
        const Tables& t = tables();
        int32_t m = direction == UPPER ? t.upper[cp] : t.lower[cp];
        return m ? uint32_t(m) : cp;
    }
    return direction == UPPER ? map_supplementary(UPPER_SUPPLEMENTARY, cp) : map_supplementary(LOWER_SUPPLEMENTARY, cp);
}

uint32_t toggle_char(uint32_t cp) {
    uint32_t u = upper_char(cp);
    return u != cp ? u : lower_char(cp);
}

void change_case(Cell* value, const Cell* part, int direction) {
    if (type_of(value) == TYPE_CHAR) {
        set_char_value(value, map_char(char_value(value), direction));
        return;
    }
    uint32_t node = series_node(value);
    uint32_t head = string::head_index(value);
    set_series_head(value, int32_t(head));
    int64_t left = int64_t(string::total_length(value)) - head;
    int64_t count = left;
    if (part) {
        uint32_t pt = type_of(part);
        if (pt == TYPE_INTEGER) {
            count = int_value(part);
        } else if (pt == TYPE_FLOAT) {
            double d = float_value(part);
            count = d != d ? 0 : d >= 0x7FFFFFFF ? 0x7FFFFFFF : d <= -0x7FFFFFFF ? -0x7FFFFFFF : int64_t(d);
        } else if (pt == type_of(value) && series_node(part) == node) {
            count = int64_t(series_head(part)) - head;
        } else {
            Cell w;
            word::make_global(&w, TYPE_REFINEMENT, sym(SYM_PART));
            error::raise(error::ERR_SCRIPT_INVALID_REFINE_ARG, &w, part);
        }
        if (count < 0) count = 0;
        if (count > left) count = left;
    }
    for (uint32_t i = head; i < head + uint32_t(count); i++) {
        uint32_t cp = string::char_at(memory::buf(node), i);
        uint32_t m = map_char(cp, direction);
        // A mapped code point too wide for the unit widens the buffer first (write_char).
        if (m != cp) string::write_char(node, i, m);
    }
    // The owner hears of the change once it is done; nothing here reads the buffer after it.
    uint32_t word = sym(direction == UPPER ? SYM_UPPERCASE : SYM_LOWERCASE);
    if (ownership::is_owned(value)) ownership::notify_change(value, word, nullptr, int32_t(head), int32_t(count));
}

}  // namespace zel::case_map
