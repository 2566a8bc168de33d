// Shared by the fuzz harnesses: start the runtime once, run one input as a catch site of
// every language error and unwinding, and collect now and then so memory stays bounded.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "core/collector.h"
#include "startup/runtime.h"
#include "core/stack.h"

namespace zel::fuzz {

inline void init_runtime() {
    static bool done = false;
    if (done) return;
    done = true;
    runtime::init_for_tests();
}

// Splits off the input's first byte, which picks the harness's entry and options, leaving the
// rest as the input proper. False (nothing to run) when no byte is left for the mode, or
// fewer than min_rest bytes after it.
inline bool take_mode(const uint8_t*& data, size_t& size, uint8_t& mode, size_t min_rest = 0) {
    if (size < 1 + min_rest) return false;
    mode = data[0];
    data++;
    size--;
    return true;
}

// Runs fn with every error and non-local exit stopped here; the stacks are put back after.
template <typename Fn>
void run_guarded(Fn&& fn) {
    stack::capture(fn);
    static unsigned runs = 0;
    if (++runs % 64 == 0) collector::run_cycle();
}

}  // namespace zel::fuzz
