// Feeds arbitrary text to the base decoders behind debase (bases 2, 16, 58, 64), held in string
// units of one, two or four bytes. Bases 2, 16 and 64 must agree with the plain reference
// decoder (both fail, or both give the same bytes); whatever decodes in any base must encode
// and decode back to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "../unit/base_reference.h"
#include "core/stack.h"
#include "datatypes/series/binary.h"
#include "fuzz_support.h"

using namespace zel;

namespace {

std::string bytes_of(const Cell* bin) {
    return std::string(reinterpret_cast<const char*>(binary::head_address(bin)), binary::length(bin));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::init_runtime();
    // The first byte picks the base and the unit; the rest is the text, read in that unit.
    uint8_t mode;
    if (!fuzz::take_mode(data, size, mode)) return 0;
    static const int bases[] = {2, 16, 58, 64};
    int base = bases[mode % 4];
    uint32_t unit = (mode >> 2) % 3 == 0 ? 1 : (mode >> 2) % 3 == 1 ? 2 : 4;
    size_t count = size / unit;
    std::vector<uint8_t> text(data, data + count * unit);
    std::vector<uint32_t> cps(count);
    for (size_t i = 0; i < count; i++) {
        uint32_t c = 0;
        std::memcpy(&c, text.data() + i * unit, unit);
        cps[i] = c;
    }
    fuzz::run_guarded([&] {
        Cell* out = stack::push_none();
        bool ok = binary::decode(base, text.data(), count, unit, out);
        if (base != 58) {
            auto want = test::reference_decode(base, cps);
            if (ok != want.has_value()) std::abort();
            if (ok && bytes_of(out) != *want) std::abort();
        }
        if (!ok) return;
        std::string bytes = bytes_of(out);
        std::string encoded(binary::encoded_size(base, bytes.size()), '\0');
        char* end = binary::encode(base, encoded.data(), reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        Cell* again = stack::push_none();
        if (!binary::decode(base, encoded.data(), size_t(end - encoded.data()), 1, again)) std::abort();
        if (bytes_of(again) != bytes) std::abort();
    });
    return 0;
}
