// triple! (see triple.h).
#include "datatypes/scalar/triple.h"

#include "core/actions.h"
#include "core/memory.h"
#include "core/stack.h"
#include "datatypes/datatypes.h"
#include "datatypes/scalar/datatype.h"
#include "datatypes/scalar/integer.h"

namespace zel::triple {

Cell* append_new(uint32_t block_node, int32_t a, int32_t b, int32_t c) {
    Cell* cell = memory::append_cell(block_node);
    write_cell(cell, a, b, c);
    return cell;
}

Cell* push(int32_t a, int32_t b, int32_t c) {
    Cell* cell = stack::push();
    write_cell(cell, a, b, c);
    return cell;
}

namespace {

// "make triple! [a b c]", for form and mold alike.
int32_t text(const Cell* v, uint32_t buffer, int32_t budget) {
    budget = scalar::emit(buffer, "make triple! [", budget);
    budget = scalar::emit(buffer, integer::to_decimal_text(a_of(v)).view(), budget);
    budget = scalar::emit(buffer, " ", budget);
    budget = scalar::emit(buffer, integer::to_decimal_text(b_of(v)).view(), budget);
    budget = scalar::emit(buffer, " ", budget);
    budget = scalar::emit(buffer, integer::to_decimal_text(c_of(v)).view(), budget);
    return scalar::emit(buffer, "]", budget);
}
int32_t form(const Cell* v, uint32_t buffer, const Cell*, int32_t budget) { return text(v, buffer, budget); }
int32_t mold(const Cell* v, uint32_t buffer, bool, bool, bool, const Cell*, int32_t budget, int32_t) {
    return text(v, buffer, budget);
}

}  // namespace
}  // namespace zel::triple

namespace zel::datatypes {

void register_triple() {
    actions::TypeSpec spec{TYPE_TRIPLE, {}};
    actions::put(spec, ACT_FORM, &triple::form);
    actions::put(spec, ACT_MOLD, &triple::mold);
    actions::register_type(spec);
}

}  // namespace zel::datatypes
