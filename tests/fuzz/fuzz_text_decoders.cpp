// Feeds arbitrary bytes to the text decoders: strict UTF-8 into a new or an existing string
// (with and without CR translation) or in place, UTF-16LE and code page 1251. Invalid input
// must raise its error and nothing else; what decodes must encode back to the same UTF-8
// (less a byte order mark and a cut sequence at the end), and decoding in place must give
// what decoding into a new buffer gives.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/stack.h"
#include "datatypes/series/string.h"
#include "datatypes/series/unicode.h"
#include "fuzz_support.h"

using namespace zel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::init_runtime();
    if (size == 0) return 0;
    // The first byte picks the decoder and its options; the rest is the text.
    uint8_t mode = data[0];
    data++;
    size--;
    fuzz::run_guarded([&] {
        Cell* out = stack::push_none();
        switch (mode % 4) {
            case 0: {
                bool cr = (mode >> 2) % 2;
                int32_t in_left = -1, want_left = -1;
                uint32_t in_node = 0, want_node = 0;
                bool in_raised = stack::capture([&] {
                    uint32_t node = memory::new_series(size ? size : 1, 1);
                    if (size) std::memcpy(memory::buf(node)->data(), data, size);
                    in_node = string::decode_utf8_in_place(node, size, &in_left, cr);
                }) != stack::LEVEL_NONE;
                bool want_raised = stack::capture([&] {
                    want_node = string::decode_utf8(data, size, 0, &want_left, cr);
                }) != stack::LEVEL_NONE;
                if (in_raised != want_raised) std::abort();
                if (!want_raised) {
                    const SeriesBuf* a = memory::buf(in_node);
                    const SeriesBuf* b = memory::buf(want_node);
                    if (a->unit() != b->unit() || a->length() != b->length() || in_left != want_left) std::abort();
                    for (uint32_t i = 0; i < a->length(); i++)
                        if (string::char_at(a, i) != string::char_at(b, i)) std::abort();
                }
                int32_t remaining = -1;
                uint32_t node = string::decode_utf8(data, size, 0, &remaining, false);
                set_series(out, TYPE_STRING, node);
                // Everything decoded encodes back to the input.
                int64_t len = -1;
                const char* back = string::to_utf8_text(out, len);
                size_t skipped = size >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF ? 3 : 0;
                size_t decoded = size - (remaining > 0 ? size_t(remaining) : 0) - skipped;
                if (size_t(len) != decoded || std::memcmp(back, data + skipped, decoded) != 0) std::abort();
                break;
            }
            case 1: {
                // Into an existing string of another unit, with CR translation.
                string::init_cell_unit(out, 8, (mode >> 2) % 2 ? 4 : 2);
                string::decode_utf8(data, size, series_node(out), nullptr, true);
                break;
            }
            case 2: {
                uint32_t node = string::decode_utf16le(data, size / 2, 0, (mode >> 2) % 2);
                set_series(out, TYPE_STRING, node);
                int64_t count = -1;
                unicode::to_wide_text_part(out, count, false);
                break;
            }
            default:
                set_series(out, TYPE_STRING, unicode::decode_cp1251(data, size, 0, true));
                break;
        }
    });
    return 0;
}
