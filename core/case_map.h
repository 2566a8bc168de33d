// Case mapping: upper- and lower-case forms of code points over the whole Unicode range.
// Code points up to 0xFFFF map through two direct tables of 65,536 entries (one load each);
// the few cased code points above 0xFFFF map through short sorted pair tables. The tables
// hold the one-to-one (simple) mappings, so a mapping never changes the length of a text.
//
// Every case-insensitive comparison of text folds both sides through upper_char.
#pragma once
#include <cstdint>

#include "core/cell.h"

namespace zel::case_map {

enum Direction : int { LOWER = 0, UPPER = 1 };

// Fills the direct tables (done on first use; calling it again does nothing).
void build_tables();

// The mapped code point, or cp itself when it has no mapping (`case-map/map-char`).
uint32_t map_char(uint32_t cp, int direction);
inline uint32_t upper_char(uint32_t cp) {
    if (cp < 0x80) return cp - 'a' < 26u ? cp - 32 : cp;   // ASCII without the tables
    return map_char(cp, UPPER);
}
inline uint32_t lower_char(uint32_t cp) {
    if (cp < 0x80) return cp - 'A' < 26u ? cp + 32 : cp;
    return map_char(cp, LOWER);
}
// The upper-case form when it differs from cp, else the lower-case form.
uint32_t toggle_char(uint32_t cp);

// uppercase / lowercase of a value in place (`case-map/change-case`): a char! is mapped; a
// text series is mapped from its head for the /part count (part: integer!, or a position in
// the same buffer; nullptr for all), widening the buffer when a mapped code point needs it.
// Raises script/invalid-refine-arg for any other part value.
void change_case(Cell* value, const Cell* part, int direction);

}  // namespace zel::case_map
