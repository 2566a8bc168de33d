// The type-test routines over every type id, including the types language code cannot make
// (symbol!, context!, triple!, handle!, event! ...): each test reads only the value's type.
#include <gtest/gtest.h>

#include <string>

#include "core/routines.h"
#include "core/types.h"
#include "core/typeset_bits.h"
#include "core/word.h"
#include "test_support.h"

using namespace zel;

namespace {

using TypeTestsTest = test::RuntimeTest;

// The answer of the routine name for a value of type t (the value's data words are zero).
bool answer(const char* name, uint32_t t) {
    const Cell* r = word::global_value(name);
    EXPECT_TRUE(r && type_of(r) == TYPE_ROUTINE) << name;
    if (!r || type_of(r) != TYPE_ROUTINE) return false;
    Cell args[2] = {};
    args[0].header = t;
    routines::code(r)(args);
    EXPECT_EQ(type_of(&args[0]), uint32_t(TYPE_LOGIC)) << name;
    return logic_value(&args[0]);
}

TEST_F(TypeTestsTest, ASingleTypeTestIsTrueForItsTypeIdAlone) {
    const struct {
        const char* name;
        uint32_t id;
    } tests[] = {
        {"datatype?", 1},  {"unset?", 2},       {"none?", 3},      {"logic?", 4},     {"block?", 5},
        {"paren?", 6},     {"string?", 7},      {"file?", 8},      {"url?", 9},       {"char?", 10},
        {"integer?", 11},  {"float?", 12},      {"word?", 15},     {"set-word?", 16}, {"lit-word?", 17},
        {"get-word?", 18}, {"refinement?", 19}, {"issue?", 20},    {"native?", 21},   {"action?", 22},
        {"op?", 23},       {"function?", 24},   {"path?", 25},     {"lit-path?", 26}, {"set-path?", 27},
        {"get-path?", 28}, {"routine?", 29},    {"bitset?", 30},   {"object?", 32},   {"typeset?", 33},
        {"error?", 34},    {"vector?", 35},     {"hash?", 36},     {"pair?", 37},     {"percent?", 38},
        {"tuple?", 39},    {"map?", 40},        {"binary?", 41},   {"time?", 43},     {"tag?", 44},
        {"email?", 45},    {"handle?", 46},     {"date?", 47},     {"money?", 49},    {"ref?", 50},
        {"point2D?", 51},  {"point3D?", 52},    {"image?", 53},
    };
    for (const auto& test : tests)
        for (uint32_t t = 1; t <= TYPE_MAX; t++)
            EXPECT_EQ(answer(test.name, t), t == test.id) << test.name << " of type " << t;
}

TEST_F(TypeTestsTest, ATypesetTestFollowsTheMembersOfItsGlobalTypeset) {
    const char* tests[] = {"any-list?", "any-block?", "any-function?", "any-object?", "any-path?",
                           "any-string?", "any-word?", "series?", "number?", "immediate?",
                           "scalar?", "all-word?", "any-point?", "planar?"};
    for (const char* name : tests) {
        std::string set = name;
        set.back() = '!';
        const Cell* ts = word::global_value(set);
        ASSERT_TRUE(ts && type_of(ts) == TYPE_TYPESET) << set;
        for (uint32_t t = 1; t <= TYPE_MAX; t++)
            EXPECT_EQ(answer(name, t), typeset_bits::has(ts, t)) << name << " of type " << t;
    }
}

}  // namespace
