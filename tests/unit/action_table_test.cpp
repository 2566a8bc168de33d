// The action table generated from actions.def: registrations are checked against each
// action's signature at compile time, and refinement positions have names.
#include <gtest/gtest.h>

#include "core/actions.h"
#include "startup/runtime.h"
#include "core/spec_check.h"
#include "natives/natives.h"
#include "test_support.h"

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

TEST(SpecCheck, RefinementWordsFromTheCxxNames) {
    using V = std::vector<std::string>;
    EXPECT_EQ(spec_check::refinement_words("(to, even, half_down, case_)"), (V{"to", "even", "half-down", "case"}));
    EXPECT_EQ(spec_check::refinement_words("()"), V{});
    EXPECT_EQ(spec_check::refinement_words(""), V{});
}

TEST(SpecCheck, TheLibraryAgreesWithTheDefFiles) {
    runtime::init_for_tests();
    EXPECT_EQ(spec_check::check(TYPE_ACTION, spec_check::actions()), "");
    EXPECT_EQ(spec_check::check(TYPE_NATIVE, natives::expected_specs()), "");
}

// Each way a spec can drift from its list is reported, naming the word.
TEST(SpecCheck, DetectsAMismatch) {
    runtime::init_for_tests();
    test::eval_source(
        "probe-action: make action! [[series value /part range /only /case] 31]"
        " probe-native: make native! [[value /all] 4]"
        " probe-other: 7");
    struct Case {
        uint32_t type;
        spec_check::Expected e;
        const char* fragment;  // in the message, "" when they agree
    };
    const Case cases[] = {
        {TYPE_ACTION, {"probe-action", 31, "(part, only, case_)"}, ""},
        {TYPE_ACTION, {"probe-action", 31, "(part, case_, only)"}, "refinements are /part /only /case"},
        {TYPE_ACTION, {"probe-action", 31, "(part, only)"}, "the C++ list has /part /only"},
        {TYPE_ACTION, {"probe-action", 31, "(part, only, case_, same)"}, "refinements"},
        {TYPE_ACTION, {"probe-action", 32, "(part, only, case_)"}, "slot 31"},
        {TYPE_NATIVE, {"probe-native", 4, "(all)"}, ""},
        {TYPE_NATIVE, {"probe-native", 4, ""}, "the C++ list has none"},
        {TYPE_NATIVE, {"probe-action", 31, "(part, only, case_)"}, "does not hold a native!"},
        {TYPE_NATIVE, {"probe-other", 7, ""}, "does not hold"},
        {TYPE_NATIVE, {"probe-unset-word", 7, ""}, "does not hold"},
    };
    for (const auto& c : cases) {
        std::string m = spec_check::compare(c.type, c.e);
        if (!*c.fragment) {
            EXPECT_EQ(m, "") << c.e.word;
            continue;
        }
        EXPECT_NE(m.find(c.fragment), std::string::npos) << m;
        EXPECT_EQ(m.rfind(c.e.word, 0), 0u) << m;
    }
    EXPECT_NE(spec_check::check(TYPE_ACTION, {{"probe-action", 31, "(part)"}, {"probe-action", 31, "(part, only, case_)"}}),
              "");
}

}  // namespace
