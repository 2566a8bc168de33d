// Display width of code points in columns (0, 1 or 2), from the East Asian width classes and
// the combining characters of the Unicode version the system targets. Offered as an
// operation; the runtime itself never measures text.
#pragma once
#include <cstddef>
#include <cstdint>

namespace zel::char_width {

// Whether one of the sorted (first, last) ranges holds cp (`char-width/in-ranges?`).
bool in_ranges(uint32_t cp, const uint32_t (*ranges)[2], size_t count);
// 0 for NUL and combining characters, 2 for wide ones, else 1 (`char-width/of`).
int of(uint32_t cp);
// As `of`, but 2 for the characters of ambiguous width, as CJK terminals show them
// (`char-width/of-cjk`).
int of_cjk(uint32_t cp);

}  // namespace zel::char_width
