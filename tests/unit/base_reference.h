// A plain reference for the base-2, 16 and 64 text decoders, written straight from their rules
// and kept slow and simple, for the unit tests and the debase fuzz harness to compare with:
// white space (bases 2 and 16: every code up to 0x20; base 64: BS, TAB, LF, FF, CR, space,
// apostrophe) is skipped, ";" starts a comment to the next line feed, a code point above 127
// or any other character fails; a final group must be whole (base 64: two or three digits
// read as padded, "=" ends the data and only padding, white space and comments follow).
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zel::test {

inline std::optional<std::string> reference_decode(int base, const std::vector<uint32_t>& text) {
    auto digit = [&](uint32_t c) -> int {
        if (base == 2) return c == '0' ? 0 : c == '1' ? 1 : -1;
        if (base == 16) {
            if (c >= '0' && c <= '9') return int(c - '0');
            if (c >= 'A' && c <= 'F') return int(c - 'A' + 10);
            if (c >= 'a' && c <= 'f') return int(c - 'a' + 10);
            return -1;
        }
        static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        size_t at = c < 128 ? alphabet.find(char(c)) : std::string::npos;
        return at == std::string::npos ? -1 : int(at);
    };
    auto space = [&](uint32_t c) {
        if (base != 64) return c <= 0x20;
        return c == 8 || c == 9 || c == 10 || c == 12 || c == 13 || c == 32 || c == 39;
    };
    const int bits = base == 2 ? 1 : base == 16 ? 4 : 6;
    std::vector<int> digits;
    bool padded = false;
    int pads = 0;
    for (size_t i = 0; i < text.size(); i++) {
        uint32_t c = text[i];
        if (c == ';') {
            while (i + 1 < text.size() && text[i + 1] != '\n') i++;
            continue;
        }
        if (space(c)) continue;
        if (base == 64 && c == '=') {
            int pending = int(digits.size() % 4);
            if (!padded && pending < 2) return std::nullopt;
            if (padded && pending + pads + 1 > 4) return std::nullopt;
            padded = true;
            pads++;
            continue;
        }
        if (padded) return std::nullopt;
        int d = digit(c);
        if (d < 0) return std::nullopt;
        digits.push_back(d);
    }
    // Bits into bytes; a final base-64 group of two or three digits drops its spare bits.
    size_t per_group = base == 64 ? 4 : 8 / size_t(bits);
    size_t rest = digits.size() % per_group;
    if (base == 64 ? rest == 1 : rest != 0) return std::nullopt;
    std::string out;
    uint64_t acc = 0;
    int have = 0;
    for (int d : digits) {
        acc = (acc << bits) | uint64_t(d);
        have += bits;
        if (have >= 8) {
            out.push_back(char(uint8_t(acc >> (have - 8))));
            have -= 8;
        }
    }
    return out;
}

}  // namespace zel::test
