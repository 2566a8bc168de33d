// Start-up: builds the runtime in its fixed order, then evaluates the library source.
#pragma once
#include <string>
#include <vector>

namespace zel::runtime {

// Everything up to and including the library. Exits with status 1 when the library cannot be
// loaded (a start-up failure).
void init(const std::vector<std::string>& args);

// The same, for unit tests (no command line; safe to call more than once).
void init_for_tests();

// True once start-up finished.
bool ready();

}  // namespace zel::runtime
