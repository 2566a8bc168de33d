// The registration functions of the datatype units, one per unit named in core/types.def
// (startup/type_registry.cpp calls them).
#pragma once

namespace zel::datatypes {

// register_<unit> registers every type whose unit column names <unit>, parents first within
// the unit (register_name_only: the types that register their name alone).
#define ZEL_TYPE(id, name, cname, parent, layout, unit, typesets) void register_##unit();
#include "core/types.def"
#undef ZEL_TYPE

}  // namespace zel::datatypes
