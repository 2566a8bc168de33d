// The process-local clipboard (see clipboard.h).
#include "io/clipboard.h"

#include "core/actions.h"
#include "core/collector.h"
#include "core/error.h"

namespace zel::clipboard {

namespace {

// The clipboard's content (none when empty), a registered root.
Cell content;
bool registered = false;

Cell* slot() {
    if (!registered) {
        set_none(&content);
        collector::register_static_cell(&content);
        registered = true;
    }
    return &content;
}

// A copy of a series value through its copy action (from its head).
void copy_value(Cell* out, const Cell* v) {
    Cell source = *v;
    set_none(out);
    actions::get<actions::CopyFn>(type_of(&source), ACT_COPY)(out, &source, nullptr, false, nullptr);
}

}  // namespace

void read(Cell* out) {
    const Cell* c = slot();
    if (type_of(c) == TYPE_NONE) return set_none(out);
    copy_value(out, c);
}

bool write(const Cell* value) {
    uint32_t t = type_of(value);
    if (t == TYPE_NONE) {
        set_none(slot());
        return true;
    }
    if (t != TYPE_STRING && t != TYPE_BLOCK && t != TYPE_IMAGE) error::raise(error::ERR_SCRIPT_INVALID_ARG, value);
    Cell copy;
    copy_value(&copy, value);
    *slot() = copy;
    return true;
}

}  // namespace zel::clipboard
