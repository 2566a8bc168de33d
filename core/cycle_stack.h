// The mold cycle stack: the nodes of the nestable values (blocks, parens, paths, maps,
// objects) that a recursive walk (mold, form, compare, copy/deep, binding, ownership) is
// inside, so that a value containing itself is recognised and runaway nesting stops with an
// orderly error. Holds at most 999 entries.
#pragma once
#include <cstdint>

#include "core/cell.h"

namespace zel::cycle {

// Walks that nest this deep raise internal too-deep (the stack's capacity).
constexpr uint32_t MAX_DEPTH = 1000;

// Pushes a node; a full stack is emptied and raises internal too-deep.
void push(uint32_t node);
void pop();
bool contains(uint32_t node);
void reset();
uint32_t depth();
void restore(uint32_t depth);

// When the value's node (an object's context) is on the stack, appends its cycle marker
// to the string buffer: with mold, "[...]" for block! and hash!, "(...)" for paren!, "#[...]"
// for map!, "make object! [...]" for object!, "..." for the path types; without mold (form)
// always "...". Lowers the budget by the marker's length and returns true; otherwise emits
// nothing and returns false (`mold/emit-cycle-marker`).
bool emit_marker(const Cell* value, uint32_t buffer, int32_t& budget, bool mold);

// Appends four spaces per indentation level; returns the budget lowered by 4 x level
// (`mold/emit-indent`).
int32_t emit_indent(uint32_t buffer, int32_t level, int32_t budget);

// Pushes on construction, pops on destruction (also when an error unwinds through).
class Scope {
public:
    explicit Scope(uint32_t node) { push(node); }
    ~Scope() { pop(); }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
};

}  // namespace zel::cycle
