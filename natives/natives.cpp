// The natives table (see natives.h).
#include "natives/natives.h"

#include "core/error.h"
#include "natives/native_units.h"

namespace zel::natives {

// The slots the core names itself (core/native_table.h) are the slots natives.def gives.
constexpr bool same_slot(CoreSlot core, Slot slot) { return int(core) == int(slot); }
static_assert(same_slot(CORE_SLOT_IF, SLOT_if_) && same_slot(CORE_SLOT_UNLESS, SLOT_unless) &&
              same_slot(CORE_SLOT_EITHER, SLOT_either));
static_assert(same_slot(CORE_SLOT_EQUAL, SLOT_equal_q) && same_slot(CORE_SLOT_NOT_EQUAL, SLOT_not_equal_q) &&
              same_slot(CORE_SLOT_LESSER, SLOT_lesser_q) && same_slot(CORE_SLOT_GREATER, SLOT_greater_q) &&
              same_slot(CORE_SLOT_LESSER_OR_EQUAL, SLOT_lesser_or_equal_q) &&
              same_slot(CORE_SLOT_GREATER_OR_EQUAL, SLOT_greater_or_equal_q));
static_assert(same_slot(CORE_SLOT_COMPOSE, SLOT_compose));
static_assert(same_slot(CORE_SLOT_RETURN, SLOT_return_));

namespace {
// Slots whose native is not built yet report themselves as not done.
void not_done(bool, const int32_t*) { error::raise(error::ERR_INTERNAL_NOT_DONE); }
}  // namespace

void set(int slot, NativeFn fn) { table[slot] = fn; }

void init() {
    for (int i = 0; i <= SLOT_COUNT; i++) table[i] = not_done;
    register_control();
    register_loops();
    register_functions();
    register_compare();
    register_unwind();
    register_output();
    register_set_ops();
    register_time();
    register_math();
    register_conversions();
    register_checksum();
    register_os();
    register_compression();
    register_case();
    register_lexer();
    register_encodings();
    register_parse();
}

std::vector<spec_check::Expected> expected_specs() {
    return {
#define ZEL_STRINGIFY(...) #__VA_ARGS__
#define ZEL_NATIVE(n, word, fn, ...) {word, n, ZEL_STRINGIFY(__VA_ARGS__)},
#include "natives/natives.def"
#undef ZEL_NATIVE
#undef ZEL_STRINGIFY
    };
}

}  // namespace zel::natives
