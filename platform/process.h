// Process start: signals, the native stack and the processor-fault reporter.
#pragma once

namespace zel::platform {

// Ignores SIGPIPE, gives the main thread a large native stack (the interpreter's recursion
// guard is armed below its end), and reports processor faults as run-time errors.
void start_process();

}  // namespace zel::platform
