// The natives table: 120 slots of native code (core/native_table.h, owned by the core), slots
// 1-107 filled at start-up in the fixed order of natives.def (native! values and saved data
// name natives by slot number).
//
// Every table entry has one shape: a check flag (true asks for the argument type check; the
// interpreter passes false, having checked them while gathering) and one integer per
// refinement of the native's spec: -1 when unused, else the index from the arguments base
// where the refinement's arguments start. A native's body gets only the refinements and sits
// behind the wrapper `checked`, which makes the check for all of them. Arguments are at
// stack::arg(0), arg(1) ...; the result goes in arg(0), the result slot.
#pragma once
#include <cstdint>
#include <vector>

#include "core/native_table.h"
#include "core/spec_check.h"

namespace zel::natives {

// A native's code: it gets only the refinement positions, its arguments being checked.
using NativeBody = void (*)(const int32_t* refs);

enum Slot {
#define ZEL_NATIVE(n, word, fn, ...) SLOT_##fn = n,
#include "natives/natives.def"
#undef ZEL_NATIVE
};

// The positions of each native's refinements in its refs, by name: ref::find_all::... .
// `names` is the list as written in natives.def ("(part, deep)"; "" or "()" for none).
namespace ref {
#define ZEL_REFINEMENTS(...) __VA_ARGS__
#define ZEL_STRINGIFY(...) #__VA_ARGS__
#define ZEL_NATIVE(n, word, fn, ...)                                  \
    namespace fn {                                                    \
    enum : int { __VA_OPT__(ZEL_REFINEMENTS __VA_ARGS__) };           \
    inline constexpr const char* names = ZEL_STRINGIFY(__VA_ARGS__);  \
    }
#include "natives/natives.def"
#undef ZEL_NATIVE
#undef ZEL_STRINGIFY
#undef ZEL_REFINEMENTS
}  // namespace ref

void init();

// The check flag's type check: every argument of the call (mandatory ones, and the arguments
// of used refinements) must be in the typeset of its spec entry, else script/expect-arg with
// the native's word, the value's datatype and the spec word. Does nothing when the native's
// word no longer holds the native of that slot.
void check_arguments(int slot, const int32_t* refs);

// The table entry of every native: the argument check, made here for all of them when the
// caller asks for it (the interpreter does not: it checked while gathering), then the body.
template <int Slot, NativeBody Body>
void checked(bool check, const int32_t* refs) {
    if (check) [[unlikely]]
        check_arguments(Slot, refs);
    Body(refs);
}

// Whether the last text of print or prin ended with a line end (print: yes, prin: no).
bool last_line_feed();

// Every native's word, slot and refinements as natives.def lists them (the start-up check).
std::vector<spec_check::Expected> expected_specs();

}  // namespace zel::natives
