// routine! values backed by C++ functions from one registry. A routine's code receives the
// argument cells (the first argument is the result slot) and writes its result there.
#pragma once
#include <cstdint>
#include <string_view>

#include "core/cell.h"

namespace zel::routines {

using RoutineFn = void (*)(Cell* args);

// Reads source text into a new block (the lexer's load, set by start-up: the core does not
// include the lexer). May raise a syntax error.
using SpecLoader = void (*)(Cell* out_block, std::string_view text);
void set_spec_loader(SpecLoader load);

// Defines a routine in the global context: spec is the text of its spec block (read with the
// spec loader, which must be set).
void define(std::string_view name, std::string_view spec, RoutineFn fn);
// Defines a routine over a spec block already made (it becomes the routine's own: give each
// routine a block of its own) and writes the routine into out. A model routine whose spec
// has the same arguments lends its arguments cache, which is never changed once built: a
// family of routines of one spec then costs no spec reading each.
void define(std::string_view name, const Cell* spec_block, RoutineFn fn, Cell* out, const Cell* model = nullptr);
// The code of a routine value.
RoutineFn code(const Cell* routine);

}  // namespace zel::routines
