// The registration functions of the datatype units, one per unit named in core/types.def,
// and the start-up step that calls them.
#pragma once

namespace zel::datatypes {

// register_<unit> registers every type whose unit column names <unit>, parents first within
// the unit (register_name_only: the types that register their name alone).
#define ZEL_TYPE(id, name, cname, parent, layout, unit, typesets) void register_##unit();
#include "core/types.def"
#undef ZEL_TYPE

// Calls every unit once, each after the units of its types' parents, then checks that every
// type of types.def was registered by its own unit. A mismatch stops start-up with a message.
void register_all();

}  // namespace zel::datatypes
