// Feeds arbitrary bytes to the deflate decoder as raw deflate, zlib and gzip data, into a
// fixed buffer (overflow counted) and into a growing one. Bad data gives a result code;
// crashes, hangs, reads outside the input and sanitizer reports are faults. A decode that
// succeeds must give the same bytes both ways.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "io/compress.h"

using namespace zel;

namespace {

uint8_t* grow(void* owner, size_t produced, size_t need, size_t* capacity) {
    auto* v = static_cast<std::vector<uint8_t>*>(owner);
    if (need > (size_t(64) << 20)) return nullptr;
    v->resize(std::max(need, v->size() * 2));
    *capacity = v->size();
    return v->data();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The first byte picks the framing and the fixed buffer's size.
    uint8_t mode;
    if (!fuzz::take_mode(data, size, mode)) return 0;
    const auto framing = compress::Framing(mode % 3);
    const size_t cap = size_t(mode >> 2) * 97;
    // A copy of exactly the input's size, so that a read past its end is caught.
    uint8_t* in = static_cast<uint8_t*>(std::malloc(size ? size : 1));
    std::memcpy(in, data, size);

    std::vector<uint8_t> fixed(cap);
    size_t len = cap;
    int r1;
    switch (framing) {
        case compress::Framing::DEFLATE: r1 = compress::inflate(fixed.data(), &len, in, size); break;
        case compress::Framing::ZLIB: r1 = compress::zlib_decode(fixed.data(), &len, in, size); break;
        default: r1 = compress::gzip_decode(fixed.data(), &len, in, size); break;
    }

    std::vector<uint8_t> grown(16);
    compress::GrowableOutput out;
    out.data = grown.data();
    out.capacity = grown.size();
    out.grow = grow;
    out.owner = &grown;
    size_t produced = 0;
    int r2 = compress::decode(framing, out, &produced, in, size);
    if (r1 == compress::OK && (r2 != compress::OK || produced != len || (len && std::memcmp(fixed.data(), out.data, len) != 0)))
        std::abort();
    std::free(in);
    return 0;
}
