// The datatype table of core/types.def and what is derived from it: the registry, the
// library's typesets, the collector's layout-driven marking and the heap verifier.
#include <gtest/gtest.h>

#include <string>

#include "core/actions.h"
#include "core/callable.h"
#include "core/collector.h"
#include "core/context.h"
#include "core/memory.h"
#include "core/memory_frames.h"
#include "core/types.h"
#include "core/typeset_bits.h"
#include "test_support.h"

using namespace zel;

namespace {

using TypesTest = test::RuntimeTest;

bool node_live(uint32_t node) {
    uintptr_t v = reinterpret_cast<uintptr_t>(memory::node_table[node]);
    return v != 0 && !memory::node_is_free_link(v);
}

TEST_F(TypesTest, EveryTypeOfTheTableIsRegisteredUnderItsName) {
    for (uint32_t t = 1; t <= TYPE_MAX; t++) {
        ASSERT_TRUE(actions::is_registered(t)) << types::info(t).name;
        EXPECT_STREQ(actions::type_name(t), types::info(t).name);
    }
    EXPECT_EQ(actions::highest_type(), uint32_t(TYPE_MAX));
}

TEST_F(TypesTest, AChildTakesItsParentsHandlersWhereItInherits) {
    // file! inherits append from url!, which inherits it from string!.
    EXPECT_EQ(types::info(TYPE_FILE).parent, uint32_t(TYPE_URL));
    EXPECT_EQ(actions::handler_of(TYPE_FILE, ACT_APPEND), actions::handler_of(TYPE_STRING, ACT_APPEND));
    // A name-only type supports nothing.
    EXPECT_EQ(actions::handler_of(TYPE_EVENT, ACT_MOLD), nullptr);
}

// The type groups the C++ code tests by are the typesets of types.def.
TEST_F(TypesTest, TypeGroupPredicatesAgreeWithTheTypesets) {
    struct Case { const char* name; bool (*in_group)(uint32_t); uint32_t set; } cases[] = {
        {"all-word!", is_any_word_type, types::TYPESET_ALL_WORD},
        {"any-path!", is_any_path_type, types::TYPESET_ANY_PATH},
        {"any-block!", is_any_block_type, types::TYPESET_ANY_BLOCK},
        {"any-string!", is_text_type, types::TYPESET_ANY_STRING},
        {"series!", is_series_type, types::TYPESET_SERIES},
        {"any-function!", is_any_function_type, types::TYPESET_ANY_FUNCTION},
        {"number!", is_number_type, types::TYPESET_NUMBER},
    };
    for (const Case& c : cases)
        for (uint32_t t = 1; t <= TYPE_MAX; t++)
            EXPECT_EQ(c.in_group(t), types::in_typeset(c.set, t)) << c.name << " " << types::info(t).name;
}

TEST_F(TypesTest, TheLibraryTypesetsHoldTheirTableMembers) {
    for (uint32_t set = 0; set < types::TYPESET_COUNT; set++) {
        Cell ts = test::eval_source(types::typeset_names[set]);
        ASSERT_EQ(type_of(&ts), uint32_t(TYPE_TYPESET)) << types::typeset_names[set];
        for (uint32_t t = 1; t < 96; t++)
            EXPECT_EQ(typeset_bits::has(&ts, t), t <= TYPE_MAX && types::in_typeset(set, t))
                << types::typeset_names[set] << " " << t;
    }
    // A few members spelled out, as the library documents them.
    struct Case { const char* source; bool in; } cases[] = {
        {"find any-word! set-word!", true},   {"find any-word! refinement!", false},
        {"find all-word! issue!", true},      {"find scalar! money!", true},
        {"find series! image!", true},        {"find series! map!", false},
        {"find default! unset!", false},      {"find any-type! unset!", true},
        {"find any-object! port!", true},     {"find immediate! string!", false},
    };
    for (const Case& c : cases) {
        Cell v = test::eval_source(c.source);
        EXPECT_EQ(!is_falsy(&v), c.in) << c.source;
    }
}

// A value rooted for one collection holding a fresh node in one data word: the node survives
// when the layout says that word holds one (and the header bits agree). The verifier is off
// here: the other words are left 0.
TEST_F(TypesTest, TheCollectorFollowsEachLayoutKindAndItsConditions) {
    struct Case { const char* what; uint32_t header; int word; bool cells; bool kept; } cases[] = {
        {"block! d2", TYPE_BLOCK, 2, true, true},
        {"block! d3 holds nothing", TYPE_BLOCK, 3, true, false},
        {"string! d2", TYPE_STRING, 2, false, true},
        {"string! d3 (optional)", TYPE_STRING, 3, false, true},
        {"binary! d3 holds nothing", TYPE_BINARY, 3, false, false},
        {"symbol! d3", TYPE_SYMBOL, 3, false, true},
        {"object! d1", TYPE_OBJECT, 1, true, true},
        {"port! d3 (optional)", TYPE_PORT, 3, true, true},
        {"hash! d2", TYPE_HASH, 2, true, true},
        {"word! bound", TYPE_WORD, 1, true, true},
        {"refinement! in an arguments cache", TYPE_REFINEMENT | callable::CACHE_REFINEMENT, 1, true, false},
        {"context! values", TYPE_CONTEXT, 2, true, true},
        {"context! values on the stack", TYPE_CONTEXT | context::ON_STACK, 2, true, false},
        {"op! of a function", TYPE_OP | (TYPE_FUNCTION << callable::OP_SOURCE_SHIFT), 1, true, true},
        {"op! of an action", TYPE_OP | (TYPE_ACTION << callable::OP_SOURCE_SHIFT), 1, true, false},
        {"native! d1 holds its slot", TYPE_NATIVE, 1, true, false},
        {"integer! holds nothing", TYPE_INTEGER, 2, true, false},
    };
    bool verify = collector::state.verify;
    collector::state.verify = false;
    for (const Case& c : cases) {
        uint32_t node = c.cells ? memory::new_cell_series(2) : memory::new_series(8, 1);
        collector::RootedCell keep;
        *keep = Cell{c.header, c.word == 1 ? node : 0, c.word == 2 ? node : 0, c.word == 3 ? node : 0};
        collector::run_cycle();
        EXPECT_EQ(node_live(node), c.kept) << c.what;
    }
    collector::state.verify = verify;
}

// The verifier checks each node-holding word against the layout: a value whose word names a
// buffer of the wrong kind, or no node where one is required, stops the process.
TEST_F(TypesTest, TheHeapVerifierRejectsAWordThatContradictsTheLayout) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Case { const char* what; uint32_t type; bool cells_node; bool zero; const char* message; } cases[] = {
        {"block! naming bytes", TYPE_BLOCK, false, false, "a block! value's d2 names a buffer that holds no cells"},
        {"string! naming cells", TYPE_STRING, true, false, "a string! value's d2 names a buffer of cells"},
        {"block! without node", TYPE_BLOCK, false, true, "a block! value's d2 holds no node"},
    };
    for (const Case& c : cases) {
        auto collect = [&c] {
            collector::state.verify = true;
            uint32_t node = c.zero ? 0 : c.cells_node ? memory::new_cell_series(1) : memory::new_series(8, 1);
            collector::RootedCell keep;
            *keep = Cell{c.type, 0, node, 0};
            collector::run_cycle();
        };
        EXPECT_DEATH(collect(), c.message) << c.what;
    }
}

}  // namespace
