// Registers every datatype with the registry, in the fixed start-up order (parents first).
#pragma once

namespace zel::types {
void register_all();
}
