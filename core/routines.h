// routine! values backed by C++ functions from one registry. A routine's code receives the
// argument cells (the first argument is the result slot) and writes its result there.
#pragma once
#include <cstdint>
#include <string_view>

#include "core/cell.h"

namespace zel::routines {

using RoutineFn = void (*)(Cell* args);

// Defines a routine in the global context: spec is the text of its spec block.
void define(std::string_view name, std::string_view spec, RoutineFn fn);
// The code of a routine value.
RoutineFn code(const Cell* routine);

}  // namespace zel::routines
