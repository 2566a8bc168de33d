// Memory manager, collector, hash tables and symbols.
#include <gtest/gtest.h>

#include <cstring>

#include "core/collector.h"
#include "core/context.h"
#include "core/hashtable.h"
#include "core/memory.h"
#include "core/memory_frames.h"
#include "startup/runtime.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/block.h"
#include "datatypes/series/string.h"
#include "test_support.h"

using namespace zel;

namespace {

using Runtime = test::RuntimeTest;

using MemoryTest = Runtime;
using CollectorTest = Runtime;
using HashTableTest = Runtime;
using SymbolTest = Runtime;

TEST_F(MemoryTest, DataAreasAreRoundedToSixteenBytes) {
    struct Case { size_t bytes; uint32_t size; } cases[] = {{0, 16}, {1, 16}, {16, 16}, {17, 32}, {100, 112}};
    for (const Case& c : cases) {
        uint32_t node = memory::new_series(c.bytes, 1);
        EXPECT_EQ(memory::buf(node)->size, c.size) << c.bytes;
        EXPECT_EQ(memory::buf(node)->tail, 0u);
    }
}

TEST_F(MemoryTest, GrowDoublesAndKeepsTheContents) {
    uint32_t node = memory::new_series(16, 1);
    SeriesBuf* b = memory::buf(node);
    std::memcpy(b->data(), "0123456789", 10);
    b->tail = 10;
    SeriesBuf* g = memory::grow(node, 0);
    EXPECT_EQ(g->size, 32u);
    EXPECT_EQ(g->tail, 10u);
    EXPECT_EQ(memory::buf(node), g);
    EXPECT_EQ(std::memcmp(g->data(), "0123456789", 10), 0);
}

TEST_F(MemoryTest, AppendingToAFullBlockDoublesItAndTheNewCellIsUnset) {
    uint32_t node = memory::new_cell_series(1);
    Cell v;
    set_integer(&v, 7);
    block::append(node, &v);
    Cell* c = memory::append_cell(node);
    EXPECT_EQ(type_of(c), uint32_t(TYPE_UNSET));
    EXPECT_EQ(memory::buf(node)->length(), 2u);
    EXPECT_GE(memory::buf(node)->size, 32u);
    EXPECT_EQ(int_value(&memory::buf(node)->cells()[0]), 7);
}

TEST_F(MemoryTest, BigBufferThresholdIsTwoMegabytes) {
    // 2,097,120 data bytes fit a frame; one more byte rounds up to a buffer of its own.
    uint32_t small = memory::new_series(2097120, 1);
    uint32_t big = memory::new_series(2097121, 1);
    EXPECT_EQ(memory::buf(small)->flags & F_BIG, 0u);
    EXPECT_NE(memory::buf(big)->flags & F_BIG, 0u);
}

TEST_F(CollectorTest, CompactionMovesRootedSeriesAndKeepsTheirContents) {
    // Garbage first, then a rooted string: compaction slides the string down.
    for (int i = 0; i < 1000; i++) memory::new_series(256, 1);
    Cell s;
    string::from_utf8(&s, "kept across the collection");
    collector::RootGuard keep(&s);
    SeriesBuf* before = memory::buf(series_node(&s));
    collector::run_cycle();
    SeriesBuf* after = memory::buf(series_node(&s));
    EXPECT_NE(before, after) << "the rooted buffer should have moved";
    EXPECT_EQ(string::to_utf8(&s), "kept across the collection");
}

TEST_F(CollectorTest, UnderStressEveryRootedBufferMovesAtEveryCycle) {
    // No garbage in front: a slide would leave these in place; the stress mode moves them
    // anyway, a small buffer and a big one, cycle after cycle, with the heap verifier on.
    bool saved_stress = collector::state.stress, saved_verify = collector::state.verify;
    collector::state.stress = collector::state.verify = true;
    collector::run_cycle();
    Cell small, big;
    string::from_utf8(&small, "small and rooted");
    collector::RootGuard keep_small(&small);
    set_series(&big, TYPE_BINARY, memory::new_series(3u << 20, 1));
    collector::RootGuard keep_big(&big);
    SeriesBuf* b = memory::buf(series_node(&big));
    std::memset(b->data(), 0x5A, 3u << 20);
    b->tail = 3u << 20;
    for (int cycle = 0; cycle < 3; cycle++) {
        SeriesBuf* small_before = memory::buf(series_node(&small));
        SeriesBuf* big_before = memory::buf(series_node(&big));
        collector::run_cycle();
        EXPECT_NE(small_before, memory::buf(series_node(&small))) << "cycle " << cycle;
        EXPECT_NE(big_before, memory::buf(series_node(&big))) << "cycle " << cycle;
        EXPECT_EQ(string::to_utf8(&small), "small and rooted");
        SeriesBuf* moved = memory::buf(series_node(&big));
        ASSERT_EQ(moved->tail, 3u << 20);
        EXPECT_EQ(moved->data()[0], 0x5A);
        EXPECT_EQ(moved->data()[(3u << 20) - 1], 0x5A);
    }
    collector::state.stress = saved_stress;
    collector::state.verify = saved_verify;
}

TEST_F(CollectorTest, UnreachableSeriesAreReclaimed) {
    collector::run_cycle();
    uint32_t nodes_before = memory::nodes_in_use();
    for (int i = 0; i < 5000; i++) memory::new_series(64, 1);
    EXPECT_GE(memory::nodes_in_use(), nodes_before + 5000);
    collector::run_cycle();
    EXPECT_LE(memory::nodes_in_use(), nodes_before + 10);
}

TEST_F(CollectorTest, MoreDeadNodesThanTheReleaseQueueHoldsAreAllReclaimed) {
    // The queue holds 20,000 nodes and is flushed when full: every dead node still returns,
    // and a second round reuses them instead of taking more memory.
    collector::run_cycle();
    uint32_t nodes_before = memory::nodes_in_use();
    for (int i = 0; i < 50000; i++) memory::new_series(16, 1);
    collector::run_cycle();
    EXPECT_LE(memory::nodes_in_use(), nodes_before + 10);
    size_t reserved = memory::total_reserved();
    for (int i = 0; i < 50000; i++) memory::new_series(16, 1);
    collector::run_cycle();
    EXPECT_LE(memory::nodes_in_use(), nodes_before + 10);
    // Under stress each cycle copies into another frame and keeps the one it left: the
    // footprint may differ by those frames.
    size_t slack = collector::state.stress ? 2 * memory::FRAME_SIZE_CAP + memory::INITIAL_FRAME_SIZE : 0;
    EXPECT_LE(memory::total_reserved(), reserved + slack);
}

TEST_F(CollectorTest, NestedBlocksReachableFromARootSurvive) {
    Cell outer;
    block::init_cell(&outer, 4);
    collector::RootGuard keep(&outer);
    uint32_t inner_node = block::new_node(4);
    Cell inner;
    set_series(&inner, TYPE_BLOCK, inner_node);
    Cell n;
    set_integer(&n, 42);
    block::append(inner_node, &n);
    block::append(series_node(&outer), &inner);
    for (int i = 0; i < 100; i++) memory::new_series(1024, 1);
    collector::run_cycle();
    collector::run_cycle();
    const Cell* got = block::head(block::head(&outer));
    EXPECT_EQ(int_value(got), 42);
}

TEST_F(CollectorTest, GarbageHeavyWorkReturnsToABoundedFootprint) {
    collector::run_cycle();
    size_t base = memory::total_reserved();
    for (int round = 0; round < 20; round++) {
        for (int i = 0; i < 2000; i++) memory::new_series(4096, 1);
        collector::run_cycle();
    }
    EXPECT_LT(memory::total_reserved(), base + (16u << 20));
}

// A released big buffer stays a spare until the next cycle (a big buffer made meanwhile takes
// it), then goes back to the system.
TEST_F(CollectorTest, BigBuffersAreReusedThenReturnedToTheSystem) {
    collector::run_cycle();
    collector::run_cycle();
    size_t base = memory::total_reserved();
    memory::new_series(8u << 20, 1);
    EXPECT_GE(memory::total_reserved(), base + (8u << 20));
    collector::run_cycle();
    size_t with_spare = memory::total_reserved();
    uint32_t again = memory::new_series(6u << 20, 1);
    if (!collector::state.stress) {
        EXPECT_EQ(memory::total_reserved(), with_spare);   // no spares under stress
    }
    EXPECT_GE(memory::buf(again)->size, 6u << 20);
    collector::run_cycle();
    collector::run_cycle();
    EXPECT_LT(memory::total_reserved(), base + (1u << 20));
    memory::new_series(8u << 20, 1);
    collector::run_cycle();
    collector::run_cycle();
    EXPECT_LT(memory::total_reserved(), base + (1u << 20));
}

// Series frames a collection empties stay spare until the next cycle (frames made meanwhile
// take them without asking the system), then go back to the system.
TEST_F(CollectorTest, EmptiedSeriesFramesAreReusedThenReturnedToTheSystem) {
    collector::run_cycle();
    collector::run_cycle();
    size_t base = memory::total_reserved();
    // About 12 MB in small buffers: several frames, all garbage after the cycle.
    for (int i = 0; i < 3000; i++) memory::new_series(4000, 1);
    size_t filled = memory::total_reserved();
    EXPECT_GE(filled, base + (8u << 20));
    collector::run_cycle();
    size_t with_spares = memory::total_reserved();
    for (int i = 0; i < 3000; i++) memory::new_series(4000, 1);
    if (!collector::state.stress) {
        EXPECT_EQ(memory::total_reserved(), with_spares);   // no spares under stress
    }
    collector::run_cycle();
    collector::run_cycle();
    // The garbage's frames went back; the live data, moved by the cycles, may sit in frames
    // laid out otherwise than before, up to one frame more.
    EXPECT_LT(memory::total_reserved(), base + (4u << 20) + memory::FRAME_SIZE_CAP);
}

uint32_t live_node_frames() {
    uint32_t n = 0;
    for (uint32_t f = 0; f < memory::frames.node_frame_count; f++)
        if (memory::frames.node_frames[f].live) n++;
    return n;
}

// A node frame the collection empties stays for the next cycle's nodes, and goes back to the
// system after a cycle in which none of its nodes was taken.
TEST_F(CollectorTest, EmptiedNodeFramesAreReusedThenReturnedToTheSystem) {
    collector::run_cycle();
    collector::run_cycle();
    uint32_t before = live_node_frames();
    uint32_t free_nodes = before * memory::NODES_PER_FRAME - memory::nodes_in_use();
    // More nodes than the live frames have free: new node frames are made, then emptied by the
    // collection.
    uint32_t many = free_nodes + 3 * memory::NODES_PER_FRAME;
    for (uint32_t i = 0; i < many; i++) memory::new_series(16, 1);
    uint32_t filled = live_node_frames();
    EXPECT_GE(filled, before + 2);
    collector::run_cycle();
    EXPECT_EQ(live_node_frames(), filled);
    for (uint32_t i = 0; i < many; i++) memory::new_series(16, 1);
    EXPECT_EQ(live_node_frames(), filled);   // the same frames serve again
    collector::run_cycle();
    collector::run_cycle();
    EXPECT_LE(live_node_frames(), before + 1);
}

namespace {
Cell external_root_cell;
void mark_external() { collector::mark_cell(&external_root_cell); }
}  // namespace

TEST_F(CollectorTest, ExternalRootsAreHonoured) {
    string::from_utf8(&external_root_cell, "held by an external root");
    collector::add_external_root(mark_external);
    for (int i = 0; i < 100; i++) memory::new_series(1024, 1);
    collector::run_cycle();
    EXPECT_EQ(string::to_utf8(&external_root_cell), "held by an external root");
    collector::remove_external_root(mark_external);
    collector::run_cycle();   // a removed root leaves an empty entry that is skipped
}

TEST_F(HashTableTest, WordListsFindByExactOrCanonicalSymbol) {
    uint32_t ctx = context::allocate(3, false, true, context::KIND_OBJECT);
    uint32_t foo = symbol::intern("foo");
    uint32_t FOO = symbol::intern("FOO");
    for (int i = 0; i < 20; i++) context::add_word(ctx, symbol::intern("w" + std::to_string(i)));
    int32_t i = context::add_word(ctx, foo);
    EXPECT_EQ(context::index_of(ctx, foo, false), i);
    EXPECT_EQ(context::index_of(ctx, FOO, false), -1);
    EXPECT_EQ(context::index_of(ctx, FOO, true), i);
    for (int k = 0; k < 20; k++) EXPECT_EQ(context::index_of(ctx, symbol::intern("w" + std::to_string(k)), false), k);
}

TEST_F(HashTableTest, TableForThreeEntriesHasEightBuckets) {
    uint32_t t = hashtable::create(3, 0, hashtable::KIND_SYMBOLS);
    EXPECT_EQ(hashtable::record(t)->buckets, 8u);
    EXPECT_EQ(hashtable::record(t)->upper, 6u);
}

TEST_F(HashTableTest, MurmurMatchesKnownValues) {
    EXPECT_EQ(hashtable::murmur3("", 0), 0u);
    EXPECT_EQ(hashtable::murmur3("hello", 5), 0x248bfa47u);
}

TEST_F(SymbolTest, CaseVariantsAliasTheFirstSpelling) {
    uint32_t a = symbol::intern("symtest-foo");
    uint32_t b = symbol::intern("Symtest-Foo");
    uint32_t c = symbol::intern("SYMTEST-FOO");
    EXPECT_NE(a, b);
    EXPECT_EQ(symbol::alias_of(a), -1);
    EXPECT_EQ(symbol::canonical(b), a);
    EXPECT_EQ(symbol::canonical(c), a);
    EXPECT_EQ(symbol::intern("Symtest-Foo"), b);
}

TEST_F(SymbolTest, NonAsciiLettersAreNotFolded) {
    uint32_t lower = symbol::intern("caf\xC3\xA9");
    uint32_t upper = symbol::intern("caf\xC3\x89");
    EXPECT_NE(symbol::canonical(lower), symbol::canonical(upper));
}

TEST_F(SymbolTest, SpellingEndsWithAnUncountedNul) {
    uint32_t s = symbol::intern("nul-ended");
    EXPECT_EQ(symbol::spelling(s).size(), 9u);
    EXPECT_EQ(symbol::spelling(s).data()[9], '\0');
}

TEST_F(SymbolTest, TheTableGrowsPastItsFirstSize) {
    uint32_t first = symbol::intern("grow-0");
    for (int i = 1; i < 20000; i++) symbol::intern("grow-" + std::to_string(i));
    EXPECT_EQ(symbol::intern("grow-0"), first);
    EXPECT_EQ(symbol::spelling(symbol::intern("grow-19999")), "grow-19999");
}

}  // namespace
