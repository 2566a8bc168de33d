// The value of one hexadecimal digit, shared by every reader of hex text (the lexer's
// escapes, url percent escapes, JSON \u escapes).
#pragma once
#include <cstdint>

namespace zel {

// 0-15 for 0-9, A-F and a-f; -1 for anything else.
inline int hex_digit_value(uint32_t c) {
    if (c >= '0' && c <= '9') return int(c - '0');
    if (c >= 'A' && c <= 'F') return int(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return int(c - 'a' + 10);
    return -1;
}

}  // namespace zel
