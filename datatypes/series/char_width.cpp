// Display widths (see char_width.h).
#include "datatypes/series/char_width.h"

#include <algorithm>
#include <iterator>

namespace zel::char_width {

namespace {
#include "datatypes/series/char_width_tables.inc"

template <size_t N>
bool in(uint32_t cp, const uint32_t (&table)[N][2]) {
    return in_ranges(cp, table, N);
}
}  // namespace

bool in_ranges(uint32_t cp, const uint32_t (*ranges)[2], size_t count) {
    if (count == 0 || cp < ranges[0][0] || cp > ranges[count - 1][1]) return false;
    // The first range that ends at or after cp is the only one that can hold it.
    const uint32_t(*r)[2] = std::lower_bound(ranges, ranges + count, cp,
                                             [](const uint32_t(&range)[2], uint32_t v) { return range[1] < v; });
    return r != ranges + count && (*r)[0] <= cp;
}

int of(uint32_t cp) {
    if (cp == 0) return 0;
    if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) return 1;
    if (in(cp, ZERO_WIDTH)) return 0;
    if (in(cp, DOUBLE_WIDTH)) return 2;
    return 1;
}

int of_cjk(uint32_t cp) { return in(cp, AMBIGUOUS_WIDTH) ? 2 : of(cp); }

}  // namespace zel::char_width
