// Start-up: builds the runtime in its fixed order, then decodes the boot image and evaluates
// the library code it holds.
#pragma once
#include <string>
#include <vector>

namespace zel::runtime {

// Everything up to and including the library. Exits with status 1 when the library cannot be
// loaded (a start-up failure).
void init(const std::vector<std::string>& args);

// The same, for unit tests (no command line; safe to call more than once).
void init_for_tests();

// The runtime without the library (for the build tool that writes the boot image).
void init_core();

// True once start-up finished.
bool ready();

}  // namespace zel::runtime
