// Feeds arbitrary bytes to the Zelbin reader (user dialect), as plain, compact and
// compressed data alike (the header's flags byte chooses). Damaged data raises a language
// error; crashes, hangs, reads outside the data and sanitizer reports are faults. A value
// that decodes is encoded again in both modes, which must not fail.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/memory.h"
#include "core/stack.h"
#include "core/block.h"
#include "fuzz_support.h"
#include "io/zelbin.h"

using namespace zel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::init_runtime();
    // A copy of exactly the input's size, so that a read past its end is caught.
    uint8_t* in = static_cast<uint8_t*>(std::malloc(size ? size : 1));
    std::memcpy(in, data, size);
    fuzz::run_guarded([&] {
        Cell* arg = stack::push_none();
        Cell* dest = stack::push();
        block::init_cell(dest, 8);
        zelbin::decode(in, size, series_node(dest), arg);
        Cell* out = stack::push_none();
        zelbin::encode(out, dest, true);
        zelbin::encode(out, dest, false);
    });
    std::free(in);
    return 0;
}
