// Registers every datatype: the units named in core/types.def, each once and after the units
// of its types' parents; start-up stops when a unit registers other types than types.def says.
#pragma once

namespace zel::types {
void register_all();
}
