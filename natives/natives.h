// The natives table: 120 slots of native code, slots 1-107 filled at start-up in the fixed
// order of natives.def (native! values and saved data name natives by slot number).
//
// Every native has one shape: a check flag (true asks the native to check its argument types
// itself; the interpreter passes false, having checked them while gathering) and one integer
// per refinement of its spec: -1 when unused, else the index from the arguments base where the
// refinement's arguments start. Arguments are at stack::arg(0), arg(1) ...; the result goes in
// arg(0), the result slot.
#pragma once
#include <cstdint>

namespace zel::natives {

using NativeFn = void (*)(bool check, const int32_t* refs);

constexpr int SLOT_COUNT = 120;
extern NativeFn table[SLOT_COUNT + 1];

enum Slot {
#define ZEL_NATIVE(n, word, fn) SLOT_##fn = n,
#include "natives/natives.def"
#undef ZEL_NATIVE
};

void init();

// True for an argument whose type the native checks itself, raising an error more precise
// than expect-arg (compose's value: script/expect-val). Its entry in the arguments cache
// accepts every datatype, so that the interpreter passes any value on.
inline bool checks_own_argument(int slot, int32_t n) { return slot == SLOT_compose && n == 0; }

}  // namespace zel::natives
