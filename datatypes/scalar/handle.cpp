// handle! (see handle.h).
#include "datatypes/scalar/handle.h"

#include <string>

#include "core/actions.h"
#include "core/memory.h"
#include "core/stack.h"
#include "datatypes/datatypes.h"
#include "datatypes/scalar/datatype.h"
#include "datatypes/series/string.h"

namespace zel::handle {

void set_result(uint32_t value, uint32_t subtype) {
    Cell c;
    write_cell(&c, value, subtype);
    stack::set_result(&c);
}

Cell* append_new(uint32_t block_node, uint32_t value, uint32_t subtype) {
    Cell* c = memory::append_cell(block_node);
    write_cell(c, value, subtype);
    return c;
}

Cell* push(uint32_t value, uint32_t subtype) {
    Cell* c = stack::push();
    write_cell(c, value, subtype);
    return c;
}

const char* subtype_name(uint32_t subtype) {
    static const char* const names[] = {"fd", "monitor", "window", "font", "rich-text"};
    return subtype >= FD && subtype <= RICH_TEXT ? names[subtype - 1] : nullptr;
}

namespace {

// The value as 8 upper-case hexadecimal digits and "h".
int32_t form(const Cell* v, uint32_t buffer, const Cell*, int32_t budget) {
    budget = scalar::emit(buffer, string::hex_digits(cell_value(v), false), budget);
    return scalar::emit(buffer, "h", budget);
}

int32_t mold(const Cell* v, uint32_t buffer, bool, bool all, bool, const Cell* part, int32_t budget, int32_t) {
    if (!all) return scalar::emit(buffer, "handle!", budget);
    budget = scalar::emit(buffer, "#[handle! ", budget);
    budget = form(v, buffer, part, budget);
    if (const char* name = subtype_name(subtype_of(v))) {
        budget = scalar::emit(buffer, " ", budget);
        budget = scalar::emit(buffer, name, budget);
    }
    return scalar::emit(buffer, "]", budget);
}

// Handles order by their signed values; every other value is simply unequal.
int32_t compare(const Cell* a, const Cell* b, int32_t) {
    if (type_of(b) != TYPE_HANDLE) return 1;
    int32_t x = int32_t(cell_value(a)), y = int32_t(cell_value(b));
    return (x > y) - (x < y);
}

}  // namespace
}  // namespace zel::handle

namespace zel::datatypes {

void register_handle() {
    // The parent integer! is recorded, but nothing is inherited from it.
    actions::TypeSpec spec{TYPE_HANDLE, {}};
    actions::put(spec, ACT_FORM, &handle::form);
    actions::put(spec, ACT_MOLD, &handle::mold);
    actions::put(spec, ACT_COMPARE, &handle::compare);
    actions::register_type(spec);
}

}  // namespace zel::datatypes
