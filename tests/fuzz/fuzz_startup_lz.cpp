// Feeds arbitrary bytes to the start-up LZ decoder. Corrupt blocks give null; crashes,
// hangs, reads outside the block and sanitizer reports are faults.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "io/startup_lz.h"

using namespace zel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint8_t* in = static_cast<uint8_t*>(std::malloc(size ? size : 1));
    std::memcpy(in, data, size);
    size_t n = 0;
    uint8_t* out = startup_lz::decompress(in, size, &n);
    if (out) startup_lz::free(out);
    std::free(in);
    return 0;
}
