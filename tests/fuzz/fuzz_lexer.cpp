// Feeds arbitrary bytes to the lexer: as UTF-8 text loading values, as a scan that only
// classifies tokens, and as a single value. Syntax errors are expected; crashes, hangs and
// sanitizer reports are not.
#include <cstddef>
#include <cstdint>

#include "core/runtime.h"
#include "core/stack.h"
#include "fuzz_support.h"
#include "io/lexer.h"

using namespace zel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::init_runtime();
    if (size == 0) return 0;
    // The first byte picks the mode; the rest is the text.
    uint8_t mode = data[0] % 3;
    data++;
    size--;
    fuzz::run_guarded([&] {
        lexer::Options opt;
        if (mode == 1) opt.load = false;
        if (mode == 2) opt.one_value = true;
        size_t stop = 0;
        Cell* result = stack::push_none();
        lexer::transcode(result, data, size, opt, &stop);
    });
    return 0;
}
