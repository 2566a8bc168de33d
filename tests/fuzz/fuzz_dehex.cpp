// Feeds arbitrary text to percent-decoding (dehex, and the decoding of url parts): it must
// never fail, and percent-encoding any text in either mode must decode back to that text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/stack.h"
#include "datatypes/series/string.h"
#include "datatypes/series/url.h"
#include "fuzz_support.h"

using namespace zel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::init_runtime();
    uint8_t first;
    if (!fuzz::take_mode(data, size, first)) return 0;
    int mode = first % 2 ? url::MODE_UNRESERVED : url::MODE_FILE;
    std::string text(reinterpret_cast<const char*>(data), size);
    fuzz::run_guarded([&] {
        Cell* source = stack::push();
        string::from_utf8(source, text);   // invalid sequences become U+FFFD
        Cell* decoded = stack::push();
        string::init_cell(decoded, 16);
        url::percent_decode(source, series_node(decoded));
        Cell* encoded = stack::push();
        string::init_cell(encoded, 16);
        url::percent_encode(source, series_node(encoded), mode);
        Cell* back = stack::push();
        string::init_cell(back, 16);
        url::percent_decode(encoded, series_node(back));
        if (string::to_utf8(back) != string::to_utf8(source)) std::abort();
    });
    return 0;
}
