// The action table generated from actions.def: registrations are checked against each
// action's signature at compile time, and refinement positions have names.
#include <gtest/gtest.h>

#include "core/actions.h"

using namespace zel;

namespace {

int32_t mold_shaped(const Cell*, uint32_t, bool, bool, bool, const Cell*, int32_t, int32_t) { return 0; }
void unary_shaped(Cell*) {}

template <typename Tag, typename Fn>
constexpr bool registers(Tag tag, Fn fn) {
    return requires(actions::TypeSpec & spec) { actions::put(spec, tag, fn); };
}

// A handler registers only for an action whose signature it has; INHERIT and nullptr fit all.
static_assert(registers(ACT_MOLD, &mold_shaped));
static_assert(!registers(ACT_MOLD, &unary_shaped));
static_assert(registers(ACT_NEGATE, &unary_shaped));
static_assert(!registers(ACT_NEGATE, &mold_shaped));
static_assert(!registers(ACT_FORM, &mold_shaped));
static_assert(registers(ACT_FORM, actions::INHERIT));
static_assert(registers(ACT_FIND, nullptr));

TEST(ActionTable, PutStoresHandlerInheritAndNothing) {
    actions::TypeSpec spec{};
    actions::put(spec, ACT_MOLD, &mold_shaped);
    actions::put(spec, ACT_NEGATE, actions::INHERIT);
    actions::put(spec, ACT_CLEAR, &unary_shaped);
    actions::put(spec, ACT_CLEAR, nullptr);
    EXPECT_EQ(spec.handlers[ACT_MOLD - 1], reinterpret_cast<actions::Handler>(&mold_shaped));
    EXPECT_EQ(spec.handlers[ACT_NEGATE - 1], actions::INHERIT);
    EXPECT_EQ(spec.handlers[ACT_CLEAR - 1], nullptr);
}

TEST(ActionTable, RefinementPositionsFollowTheSpecOrder) {
    EXPECT_EQ(actions::ref::FIND::part, 0);
    EXPECT_EQ(actions::ref::FIND::match, 10);
    EXPECT_EQ(actions::ref::MOLD::part, 3);
    EXPECT_EQ(actions::ref::WRITE::as, 7);
    EXPECT_STREQ(actions::ref::ROUND::names, "(to, even, down, half_down, floor, ceiling, half_ceiling)");
    EXPECT_STREQ(actions::ref::ADD::names, "()");
}

}  // namespace
