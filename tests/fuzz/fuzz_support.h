// Shared by the fuzz harnesses: start the runtime once, run one input as a catch site of
// every language error and unwinding, and collect now and then so memory stays bounded.
#pragma once
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

// Runs fn with every error and non-local exit stopped here; the stacks are put back after.
template <typename Fn>
void run_guarded(Fn&& fn) {
    stack::capture(fn);
    static unsigned runs = 0;
    if (++runs % 64 == 0) collector::run_cycle();
}

}  // namespace zel::fuzz
