// The natives table (see native_table.h); natives::init fills it.
#include "core/native_table.h"

namespace zel::natives {

NativeFn table[SLOT_COUNT + 1];

}  // namespace zel::natives
