// The mold cycle stack.
#include "core/cycle_stack.h"

#include "core/error.h"
#include "core/text.h"

namespace zel::cycle {

namespace {
uint32_t entries[MAX_DEPTH];
uint32_t top = 0;
}  // namespace

void push(uint32_t node) {
    entries[top++] = node;
    if (top == MAX_DEPTH) {
        top = 0;
        error::raise(error::ERR_INTERNAL_TOO_DEEP);
    }
}

void pop() {
    if (top > 0) top--;
}

bool contains(uint32_t node) {
    for (uint32_t i = 0; i < top; i++)
        if (entries[i] == node) return true;
    return false;
}

void reset() { top = 0; }

bool emit_marker(const Cell* value, uint32_t buffer, int32_t& budget, bool mold) {
    uint32_t t = type_of(value);
    // Only nestable values can be on the stack; other cells carry no node to compare.
    bool object = (t == TYPE_OBJECT || t == TYPE_ERROR);
    if (!object && !is_any_block_type(t) && t != TYPE_MAP) return false;
    uint32_t node = object ? object_ctx(value) : series_node(value);
    if (!contains(node)) return false;
    const char* marker = "...";
    if (mold) {
        switch (t) {
            case TYPE_BLOCK: case TYPE_HASH: marker = "[...]"; break;
            case TYPE_PAREN: marker = "(...)"; break;
            case TYPE_MAP: marker = "#[...]"; break;
            case TYPE_OBJECT: case TYPE_ERROR: marker = "make object! [...]"; break;
            default: break;
        }
    }
    std::string_view text(marker);
    string::append_ascii(buffer, text);
    budget -= int32_t(text.size());
    return true;
}

int32_t emit_indent(uint32_t buffer, int32_t level, int32_t budget) {
    for (int32_t l = 0; l < level; l++) string::append_ascii(buffer, "    ");
    return level > 0 ? budget - 4 * level : budget;
}
uint32_t depth() { return top; }
void restore(uint32_t depth) {
    if (depth < top) top = depth;
}

}  // namespace zel::cycle
