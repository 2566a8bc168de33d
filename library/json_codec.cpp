// JSON string escapes decoded in place (the JSON decoder's `unescape`).
#include "library/json_codec.h"

#include <vector>

#include "core/error.h"
#include "core/hex_digit.h"
#include "core/memory.h"
#include "core/routines.h"
#include "core/text.h"

namespace zel::library {

namespace {

// The four hex digits after a "\u" whose u is at index i, or -1 when one is missing or bad.
int32_t hex4(const std::vector<uint32_t>& s, size_t i) {
    if (i + 4 >= s.size()) return -1;
    int32_t v = 0;
    for (size_t k = 1; k <= 4; k++) {
        int d = hex_digit_value(s[i + k]);
        if (d < 0) return -1;
        v = v * 16 + d;
    }
    return v;
}

// unescape: rewrites the string from its index with every escape decoded and cuts the tail:
// \" \\ \/ give themselves, \b \f \n \r \t their control characters, \uXXXX the code point (a
// high surrogate must be followed by an escaped low one; the pair gives one character). The
// buffer widens when a decoded character needs it. A bad escape raises invalid-data with the
// string, which is then left as it was.
void unescape(Cell* args) {
    Cell* str = &args[0];
    uint32_t node = series_node(str);
    uint32_t from = string::head_index(str);
    uint32_t to = string::total_length(str);
    std::vector<uint32_t> in;
    in.reserve(to - from);
    const SeriesBuf* b = memory::buf(node);
    for (uint32_t i = from; i < to; i++) in.push_back(string::char_at(b, i));

    std::vector<uint32_t> out;
    out.reserve(in.size());
    for (size_t i = 0; i < in.size(); i++) {
        uint32_t c = in[i];
        if (c != '\\') {
            out.push_back(c);
            continue;
        }
        if (++i >= in.size()) error::raise(error::ERR_SCRIPT_INVALID_DATA, str);
        switch (in[i]) {
            case '"': case '\\': case '/': out.push_back(in[i]); break;
            case 'b': out.push_back(8); break;
            case 'f': out.push_back(12); break;
            case 'n': out.push_back(10); break;
            case 'r': out.push_back(13); break;
            case 't': out.push_back(9); break;
            case 'u': {
                int32_t v = hex4(in, i);
                if (v < 0) error::raise(error::ERR_SCRIPT_INVALID_DATA, str);
                i += 4;
                if (v >= 0xD800 && v <= 0xDBFF) {
                    // The second half: a backslash, u and four digits of a low surrogate.
                    int32_t lo = -1;
                    if (i + 2 < in.size() && in[i + 1] == '\\' && in[i + 2] == 'u') lo = hex4(in, i + 2);
                    if (lo < 0xDC00 || lo > 0xDFFF) error::raise(error::ERR_SCRIPT_INVALID_DATA, str);
                    i += 6;
                    v = 0x10000 + (v - 0xD800) * 1024 + (lo - 0xDC00);
                }
                out.push_back(uint32_t(v));
                break;
            }
            default: error::raise(error::ERR_SCRIPT_INVALID_DATA, str);
        }
    }
    string::truncate(node, from);
    for (uint32_t c : out) string::append_char(node, c, true);
}

}  // namespace

void define_json_routines() {
    routines::define("json-unescape", "str [string!] return: [string!]", unescape);
}

}  // namespace zel::library
