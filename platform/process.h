// Process start: signals, the native stack and the processor-fault reporter.
#pragma once

namespace zel::platform {

// Ignores SIGPIPE, gives the main thread a large native stack (the interpreter's recursion
// guard is armed below its end), and reports processor faults as run-time errors.
void start_process();

// Arms the interpreter's native stack guard below the caller's frame, from the stack limit in
// force (start-up calls it, so that embedders and tests are guarded too).
void arm_stack_guard();

}  // namespace zel::platform
