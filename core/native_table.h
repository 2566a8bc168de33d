// The natives table as the core sees it: 120 slots of native code, called by slot number (a
// native! value holds its slot). The core owns the table and calls through it; the natives
// unit fills it at start-up (natives::init, natives/natives.cpp), so the core never includes
// the natives themselves.
//
// Slot numbers are fixed (saved data names natives by slot). The few natives the evaluator
// treats specially are named below by their slot; natives/natives.cpp holds these numbers to
// natives.def at compile time.
#pragma once
#include <cstdint>

namespace zel::natives {

// A table entry: the check flag (true asks for the argument type check; the interpreter
// passes false, having checked while gathering), then the refinement positions.
using NativeFn = void (*)(bool check, const int32_t* refs);

constexpr int SLOT_COUNT = 120;
// Filled by natives::init; slots without a native raise internal/not-done.
extern NativeFn table[SLOT_COUNT + 1];

// The natives the evaluator runs in place (if, unless, either) or computes inline for two
// numbers (the comparison ops), and compose, whose value argument is checked by the native.
enum CoreSlot : uint32_t {
    CORE_SLOT_IF = 1,
    CORE_SLOT_UNLESS = 2,
    CORE_SLOT_EITHER = 3,
    CORE_SLOT_EQUAL = 25,
    CORE_SLOT_NOT_EQUAL = 26,
    CORE_SLOT_LESSER = 28,
    CORE_SLOT_GREATER = 29,
    CORE_SLOT_LESSER_OR_EQUAL = 30,
    CORE_SLOT_GREATER_OR_EQUAL = 31,
    CORE_SLOT_COMPOSE = 36,
    CORE_SLOT_RETURN = 80,
};

// True for an argument whose type the native checks itself, raising an error more precise
// than expect-arg (compose's value: script/expect-val). Its entry in the arguments cache
// accepts every datatype, so that the interpreter passes any value on.
inline bool checks_own_argument(int slot, int32_t n) { return slot == CORE_SLOT_COMPOSE && n == 0; }

}  // namespace zel::natives
