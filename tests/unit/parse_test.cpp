// The parse engine's own stacks: every call releases its entries however it ends (a result, an
// error, a stopping callback, an unwinding from a paren or from the callback), nested calls
// leave the outer call's entries as they were, and the walk survives a collection that moves
// the input, the rules and the collected block under it.
#include "natives/parse.h"

#include "tests/unit/test_support.h"

namespace zel::test {
namespace {

class ParseStacks : public StackTest {};

TEST_F(ParseStacks, EveryWayOutReleasesTheCallsEntries) {
    const char* cases[] = {
        "parse \"abc\" [\"a\" some [\"b\" | \"c\"]]",
        "parse [a [b]] ['a into ['b]]",
        "parse \"ab\" [collect [keep skip keep skip]]",
        "parse \"a\" [\"a\" (1 / 0)]",                        // an error from a paren
        "parse \"a\" [into [\"a\"]]",                          // an error from the engine
        "r: [\"a\" r] s: copy \"\" loop 4000 [append s \"a\"] parse s r",   // the stack limit
        "loop 1 [parse \"a\" [[[(break)]]]]",                  // break through parse
        "f: does [parse \"a\" [some [(return 1)]]] f",         // return through parse
        "catch [parse [a] [into ['a] | (throw 1)]]",
        "parse/trace \"ab\" [\"a\" \"b\"] func [e m r i s] [e <> 'match]",   // a stopping callback
        "loop 1 [parse/trace \"ab\" [\"a\"] func [e m r i s] [break]]",     // break from the callback
        "parse \"ab\" [\"a\" (parse \"x\" [[\"x\"]]) \"b\"]",  // nested calls
    };
    for (const char* src : cases) {
        eval_source(src);
        EXPECT_EQ(parse::rule_stack_cells(), 0u) << src;
        EXPECT_EQ(parse::series_stack_cells(), 0u) << src;
    }
}

TEST_F(ParseStacks, ANestedCallLeavesTheOuterLevelsAsTheyWere) {
    // The paren runs inside three open levels; the inner call's levels go above a mark and
    // are gone when the outer walk goes on.
    Cell r = eval_source(
        "inner: none "
        "parse \"ab\" [[\"a\" [(inner: parse \"xy\" [some [\"x\" | \"y\"]]) \"b\"]]] inner");
    EXPECT_EQ(molded(&r), "true");
    EXPECT_EQ(parse::rule_stack_cells(), 0u);
}

TEST_F(ParseStacks, TheWalkSurvivesCollectionsAtEveryParen) {
    // The paren allocates enough to ask for collections, which move the input, the rules and
    // the collect block; the walk re-derives everything from nodes and indexes.
    Cell r = eval_source(
        "s: copy \"\" loop 300 [append s \"ab1\"] "
        "n: 0 out: parse s [collect [any [keep some #\"a\" (loop 20 [copy \"garbage\" n: n + 1]) "
        "| keep copy x some \"b\" (recycle) | skip]]] "
        "reduce [length? out n first out last out]");
    EXPECT_EQ(molded(&r), "[600 6000 #\"a\" \"b\"]");
}

}  // namespace
}  // namespace zel::test
