// Process start: signals, the native stack and the processor-fault reporter.
#pragma once
#include <cstddef>

namespace zel::platform {

// Ignores SIGPIPE, gives the main thread a large native stack (the interpreter's recursion
// guard is armed below its end), and reports processor faults as run-time errors.
void start_process();

// The bytes of native stack the interpreter may use below the caller's frame: the stack limit
// in force (at most the large stack start_process asks for), less a margin in which raising
// and reporting stack-overflow fits. Start-up arms the interpreter's guard with it, so that
// embedders and tests are guarded too.
size_t native_stack_budget();

}  // namespace zel::platform
