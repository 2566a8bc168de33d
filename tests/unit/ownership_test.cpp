// The entry kinds of the hash tables (pointer-keyed tables with their own entries) and the
// ownership tracking built on them: recording and dropping walks, the owner lookup, the
// notification's refusals, and the owners table across collections.
#include <gtest/gtest.h>

#include <random>
#include <string_view>
#include <unordered_map>

#include "core/actions.h"
#include "core/collector.h"
#include "core/context.h"
#include "core/hashtable.h"
#include "core/interpreter.h"
#include "core/memory.h"
#include "core/object.h"
#include "core/ownership.h"
#include "startup/runtime.h"
#include "core/runtime_words.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/word.h"
#include "core/block.h"
#include "io/lexer.h"
#include "test_support.h"

using namespace zel;

namespace {

class Runtime : public test::RuntimeTest {
protected:
    // Evaluates source; returns the last value (the test fails on an error).
    static Cell eval(std::string_view src) {
        bool raised = false;
        Cell result = test::eval_source(src, &raised);
        if (raised) {
            ADD_FAILURE() << "error evaluating " << src;
            set_none(&result);
        }
        return result;
    }

    static Cell global(const char* name) {
        Cell* v = word::global_value(name);
        Cell c;
        if (v) c = *v; else set_none(&c);
        return c;
    }

    static Cell word_named(const char* name) {
        Cell w;
        word::make_global(&w, TYPE_WORD, std::string_view(name));
        return w;
    }

    static uint32_t node(const Cell& c) { return series_node(&c); }
    static bool owned_flag(const Cell& c) { return (memory::buf(series_node(&c))->flags & F_OWNED) != 0; }
};

using EntryTableTest = Runtime;
using OwnershipTest = Runtime;

// ---- entry tables ----

TEST_F(EntryTableTest, SizingFollowsTheLoadFactor) {
    struct Case { uint32_t size, buckets, upper; } cases[] = {
        {3, 8, 6},        // max(3, 4) / 0.77 = 5.19 -> 8 buckets, upper bound 6
        {4, 8, 6},
        {1000, 2048, 1576},
        {0, 8, 6},
    };
    for (const Case& c : cases) {
        uint32_t t = hashtable::create_entries(c.size, 3, hashtable::KIND_ENTRIES);
        const hashtable::Record* r = hashtable::record(t);
        EXPECT_EQ(r->buckets, c.buckets) << c.size;
        EXPECT_EQ(r->upper, c.upper) << c.size;
        EXPECT_EQ(r->aux, 4u * sizeof(Cell)) << c.size;
        EXPECT_EQ(r->kind, uint32_t(hashtable::KIND_ENTRIES));
        EXPECT_EQ(hashtable::entry_cells(t), 4u);
    }
}

TEST_F(EntryTableTest, TheSeventhKeyGrowsATableMadeForThree) {
    uint32_t t = hashtable::create_entries(3, 1, hashtable::KIND_ENTRIES);
    for (uint32_t k = 1; k <= 6; k++) {
        Cell* p = hashtable::insert_pointer(t, k * 1000);
        EXPECT_EQ(type_of(p), uint32_t(TYPE_UNSET));
        set_integer(p, int32_t(k));
    }
    EXPECT_EQ(hashtable::record(t)->buckets, 8u);
    hashtable::insert_pointer(t, 7000)[0] = Cell{TYPE_INTEGER, 0, 7, 0};
    EXPECT_EQ(hashtable::record(t)->buckets, 16u);
    EXPECT_EQ(hashtable::record(t)->count, 7u);
    for (uint32_t k = 1; k <= 7; k++) {
        Cell* p = hashtable::lookup_pointer(t, k * 1000);
        ASSERT_NE(p, nullptr) << k;
        EXPECT_EQ(int_value(p), int32_t(k));
    }
    EXPECT_EQ(hashtable::lookup_pointer(t, 8000), nullptr);
}

TEST_F(EntryTableTest, InsertingAPresentKeyReturnsItsEntry) {
    uint32_t t = hashtable::create_entries(4, 2, hashtable::KIND_ENTRIES);
    Cell* p = hashtable::insert_pointer(t, 42);
    set_integer(&p[0], 1);
    set_integer(&p[1], 2);
    Cell* again = hashtable::insert_pointer(t, 42);
    EXPECT_EQ(again, p);
    EXPECT_EQ(int_value(&again[1]), 2);
    EXPECT_EQ(hashtable::record(t)->count, 1u);
}

TEST_F(EntryTableTest, ADeletedBucketIsReusedWithItsEntry) {
    uint32_t t = hashtable::create_entries(8, 1, hashtable::KIND_ENTRIES);
    Cell* p = hashtable::insert_pointer(t, 5);
    set_integer(p, 55);
    uint32_t tail_before = memory::buf(hashtable::record(t)->values)->tail;
    Cell* gone = hashtable::delete_pointer(t, 5);
    EXPECT_EQ(gone, p);
    EXPECT_EQ(int_value(gone), 55);          // the payload stays readable
    EXPECT_EQ((gone - 1)->header, 0u);        // the key cell is marked deleted
    EXPECT_EQ(hashtable::lookup_pointer(t, 5), nullptr);
    EXPECT_EQ(hashtable::delete_pointer(t, 5), nullptr);
    EXPECT_EQ(hashtable::record(t)->count, 0u);
    // The same key probes the same path: its deleted bucket and entry are reused, fresh.
    Cell* back = hashtable::insert_pointer(t, 5);
    EXPECT_EQ(back, p);
    EXPECT_EQ(type_of(back), uint32_t(TYPE_UNSET));
    EXPECT_EQ(memory::buf(hashtable::record(t)->values)->tail, tail_before);
    EXPECT_EQ(hashtable::record(t)->count, 1u);
}

TEST_F(EntryTableTest, RebuildKeepsOnlyLiveEntries) {
    uint32_t t = hashtable::create_entries(16, 1, hashtable::KIND_ENTRIES);
    for (uint32_t k = 1; k <= 10; k++) set_integer(hashtable::insert_pointer(t, k), int32_t(k * 10));
    for (uint32_t k = 1; k <= 10; k += 2) hashtable::delete_pointer(t, k);
    hashtable::rebuild_entries(t, 8);
    const hashtable::Record* r = hashtable::record(t);
    EXPECT_EQ(r->count, 5u);
    EXPECT_EQ(r->occupied, 5u);
    EXPECT_EQ(r->buckets, 8u);
    EXPECT_EQ(r->upper, 6u);   // trunc(8 x 0.77 + 0.5)
    EXPECT_EQ(memory::buf(r->values)->tail, 5u * 2 * sizeof(Cell));
    for (uint32_t k = 1; k <= 10; k++) {
        Cell* p = hashtable::lookup_pointer(t, k);
        if (k % 2) {
            EXPECT_EQ(p, nullptr) << k;
        } else {
            ASSERT_NE(p, nullptr) << k;
            EXPECT_EQ(int_value(p), int32_t(k * 10));
        }
    }
}

TEST_F(EntryTableTest, DeletionsKeepTheTableFromGrowingWithoutBound) {
    // Inserting and deleting keys over and over reuses deleted buckets or rebuilds at the
    // same size: the bucket count follows the live count, not the history.
    uint32_t t = hashtable::create_entries(4, 1, hashtable::KIND_ENTRIES);
    for (uint32_t k = 1; k <= 5000; k++) {
        hashtable::insert_pointer(t, k);
        hashtable::delete_pointer(t, k);
    }
    EXPECT_EQ(hashtable::record(t)->count, 0u);
    EXPECT_LE(hashtable::record(t)->buckets, 16u);
}

TEST_F(EntryTableTest, AgreesWithAReferenceMapUnderRandomOperations) {
    uint32_t t = hashtable::create_entries(4, 1, hashtable::KIND_ENTRIES);
    std::unordered_map<uint32_t, int32_t> ref;
    std::mt19937 rng(12345);
    for (int step = 0; step < 20000; step++) {
        uint32_t key = 1 + rng() % 700;
        switch (rng() % 3) {
            case 0:
            case 1: {
                int32_t v = int32_t(rng() % 100000);
                set_integer(hashtable::insert_pointer(t, key), v);
                ref[key] = v;
                break;
            }
            default: {
                Cell* p = hashtable::delete_pointer(t, key);
                EXPECT_EQ(p != nullptr, ref.erase(key) == 1) << key;
            }
        }
    }
    EXPECT_EQ(hashtable::record(t)->count, ref.size());
    for (uint32_t key = 1; key <= 700; key++) {
        Cell* p = hashtable::lookup_pointer(t, key);
        auto it = ref.find(key);
        ASSERT_EQ(p != nullptr, it != ref.end()) << key;
        if (p) {
            EXPECT_EQ(int_value(p), it->second);
        }
    }
    size_t visited = 0;
    hashtable::for_each_entry(t, [](Cell*, void* n) { ++*static_cast<size_t*>(n); }, &visited);
    EXPECT_EQ(visited, ref.size());
}

TEST_F(EntryTableTest, SweepDropsTheEntriesItIsToldAreDead) {
    uint32_t t = hashtable::create_entries(16, 2, hashtable::KIND_ENTRIES);
    for (uint32_t k = 1; k <= 12; k++) set_integer(hashtable::insert_pointer(t, k), int32_t(k));
    uint32_t dropped = hashtable::sweep_dead_entries(
        t, [](const Cell* e, void*) { return data_word(e, 0) % 3 == 0; }, nullptr);
    EXPECT_EQ(dropped, 4u);
    EXPECT_EQ(hashtable::record(t)->count, 8u);
    for (uint32_t k = 1; k <= 12; k++) EXPECT_EQ(hashtable::lookup_pointer(t, k) == nullptr, k % 3 == 0) << k;
}

// ---- ownership ----

TEST_F(OwnershipTest, TheOwnersTableIsMadeAtStartUp) {
    const hashtable::Record* r = hashtable::record(ownership::table());
    EXPECT_EQ(r->kind, uint32_t(hashtable::KIND_OWNERS));
    EXPECT_GE(r->buckets, 2048u);
    EXPECT_EQ(hashtable::entry_cells(ownership::table()), 4u);
}

TEST_F(OwnershipTest, RecordingTheSameSeriesForTwoOwnersKeepsTheFirst) {
    collector::RootedCell first, second, series;
    *first = eval("make object! [x: 1]");
    *second = eval("make object! [y: 2]");
    *series = eval("copy [1 2]");
    Cell w1 = word_named("one"), w2 = word_named("two");
    ownership::record_owner_walk(&series, &first, &w1);
    ownership::record_owner_walk(&series, &second, &w2);
    const Cell* entry = ownership::entry_of(node(*series));
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(object_ctx(&entry[1]), object_ctx(&first));
    EXPECT_EQ(word_symbol(&entry[2]), word_symbol(&w1));
    EXPECT_EQ(object_ctx(ownership::owner_of(node(*series))), object_ctx(&first));
    EXPECT_TRUE(owned_flag(*series));
    ownership::drop_owner(&series);
}

TEST_F(OwnershipTest, ABlockThatContainsItselfIsRecordedOnce) {
    collector::RootedCell owner, blk;
    *owner = eval("make object! [x: 1]");
    *blk = eval("b: copy [[1] \"s\"] append/only b b b");
    Cell w = word_named("loop");
    uint32_t before = ownership::entry_count();
    ownership::record_owner_walk(&blk, &owner, &w);
    // the block, the nested block and the string
    EXPECT_EQ(ownership::entry_count(), before + 3);
    ownership::drop_owner(&blk);
    EXPECT_EQ(ownership::entry_count(), before);
    EXPECT_FALSE(owned_flag(*blk));
}

TEST_F(OwnershipTest, DroppingABlockClearsTheBlocksNestedInIt) {
    collector::RootedCell owner, outer, inner, text;
    *owner = eval("make object! [x: 1]");
    *outer = eval("nest: copy/deep [a [b [c]] \"t\"]");
    *inner = eval("nest/2/2");
    *text = eval("nest/3");
    Cell w = word_named("nest");
    uint32_t before = ownership::entry_count();
    ownership::record_owner_walk(&outer, &owner, &w);
    EXPECT_TRUE(owned_flag(*inner));
    EXPECT_TRUE(owned_flag(*text));
    EXPECT_NE(ownership::owner_of(node(*inner)), nullptr);
    ownership::drop_owner(&outer);
    for (Cell* c : {&outer, &inner, &text}) {
        EXPECT_FALSE(owned_flag(*c));
        EXPECT_EQ(ownership::owner_of(series_node(c)), nullptr);
    }
    EXPECT_EQ(ownership::entry_count(), before);
}

TEST_F(OwnershipTest, AnOwnerInsideAnotherOwnerKeepsItsOwnFields) {
    collector::RootedCell inner, outer, items;
    *inner = eval("inner-o: make object! [items: [1] on-deep-change*: func [o w t a n i p] []]");
    *outer = eval("make object! [child: inner-o list: [0] on-deep-change*: func [o w t a n i p] []]");
    *items = eval("inner-o/items");
    EXPECT_TRUE(ctx_owner_flag(context::record(object_ctx(&inner))));
    EXPECT_EQ(object_ctx(ownership::owner_of(node(*items))), object_ctx(&inner));
    // Dropping the enclosing owner's hold on the inner object leaves the inner one alone.
    ownership::drop_owner(&inner);
    EXPECT_EQ(object_ctx(ownership::owner_of(node(*items))), object_ctx(&inner));
    // Recording it for another owner stops at the inner owner too.
    Cell w = word_named("child");
    ownership::record_owner_walk(&inner, &outer, &w);
    EXPECT_EQ(object_ctx(ownership::owner_of(node(*items))), object_ctx(&inner));
}

TEST_F(OwnershipTest, NotifyingCallsNothingWithoutAnOwnerWithHandlers) {
    collector::RootedCell free_block, plain, held;
    *free_block = eval("copy [1]");
    *plain = eval("make object! [x: 1]");
    *held = eval("copy [2]");
    Cell w = word_named("x");
    uint32_t append_sym = symbol::intern("append");
    EXPECT_FALSE(ownership::notify_change(&free_block, append_sym, nullptr, 0, 1));
    ownership::record_owner_walk(&held, &plain, &w);
    EXPECT_TRUE(owned_flag(*held));
    EXPECT_FALSE(ownership::notify_change(&held, append_sym, nullptr, 0, 1));
    Cell integer;
    set_integer(&integer, 1);
    EXPECT_FALSE(ownership::notify_change(&integer, append_sym, nullptr, 0, 1));
    ownership::drop_owner(&held);
}

TEST_F(OwnershipTest, NotifyingCallsTheHandlerWithItsSevenArguments) {
    eval("got: none watcher: make object! [b: [1] on-deep-change*: func [o w t a n i p] [got: reduce [w a :n i p]]]");
    collector::RootedCell b;
    *b = eval("watcher/b");
    Cell nv;
    set_integer(&nv, 9);
    EXPECT_TRUE(ownership::notify_change(&b, symbol::intern("poked"), &nv, 0, 1));
    Cell got = eval("mold got");
    Cell expected = eval("mold [b poked 9 0 1]");
    EXPECT_EQ(actions::compare_raw(&got, &expected, actions::OP_STRICT_EQUAL), 0);
    // Without a new value the handler gets none.
    EXPECT_TRUE(ownership::notify_change(&b, symbol::intern("clear"), nullptr, 0, 1));
    Cell third = eval("got/3");
    EXPECT_EQ(type_of(&third), uint32_t(TYPE_NONE));
}

TEST_F(OwnershipTest, UnreachableSeriesLeaveTheTableAtTheNextCollection) {
    collector::RootedCell owner, kept;
    *owner = eval("make object! [x: 1]");
    *kept = eval("copy [1]");
    Cell w = word_named("x");
    ownership::record_owner_walk(&kept, &owner, &w);
    collector::run_cycle();   // leaves only what earlier tests keep reachable
    uint32_t before = ownership::entry_count();
    // Blocks of the form [1 [2]] made without passing a safe point, then forgotten.
    for (int i = 0; i < 50; i++) {
        Cell temp, inner, one;
        set_integer(&one, 1);
        block::init_cell(&inner, 1);
        block::append(series_node(&inner), &one);
        block::init_cell(&temp, 2);
        block::append(series_node(&temp), &one);
        block::append(series_node(&temp), &inner);
        ownership::record_owner_walk(&temp, &owner, &w);
    }
    EXPECT_EQ(ownership::entry_count(), before + 100);
    collector::run_cycle();
    EXPECT_EQ(ownership::entry_count(), before);
    EXPECT_EQ(object_ctx(ownership::owner_of(node(*kept))), object_ctx(&owner));
    ownership::drop_owner(&kept);
}

TEST_F(OwnershipTest, AReachableSeriesKeepsItsOwnerAliveThroughCollections) {
    // The owner object is referred to by nothing but the owners table.
    eval("orphan-log: copy [] orphan-held: copy [1]"
         " modify orphan-held 'owned reduce [make object! ["
         "   tag: 'orphan"
         "   on-deep-change*: func [o w t a n i p] [append orphan-log a]"
         " ] 'held]");
    for (int i = 0; i < 3; i++) collector::run_cycle();
    eval("append orphan-held 2");
    Cell log = eval("mold orphan-log");
    Cell expected = eval("mold [append appended]");
    EXPECT_EQ(actions::compare_raw(&log, &expected, actions::OP_STRICT_EQUAL), 0);
    // The series, its owner and the word all survived the compactions.
    const Cell* owner = ownership::owner_of(series_node(word::global_value("orphan-held")));
    ASSERT_NE(owner, nullptr);
    EXPECT_EQ(type_of(owner), uint32_t(TYPE_OBJECT));
    Cell tag = eval("select reflect orphan-held 'owned 'tag");
    EXPECT_EQ(word_symbol(&tag), symbol::intern("orphan"));
}

TEST_F(OwnershipTest, ASecondOwnerTakesASeriesOnlyOnceTheFirstLetGo) {
    // A collection keeps the first owner of a reachable series; the second owner takes the
    // series after it was dropped.
    collector::RootedCell a, b, s;
    *a = eval("make object! [x: 1]");
    *b = eval("make object! [y: 1]");
    *s = eval("copy [1]");
    Cell w = word_named("x");
    ownership::record_owner_walk(&s, &a, &w);
    collector::run_cycle();
    ownership::record_owner_walk(&s, &b, &w);
    EXPECT_EQ(object_ctx(ownership::owner_of(node(*s))), object_ctx(&a));
    ownership::drop_owner(&s);
    ownership::record_owner_walk(&s, &b, &w);
    EXPECT_EQ(object_ctx(ownership::owner_of(node(*s))), object_ctx(&b));
    ownership::drop_owner(&s);
}

TEST_F(OwnershipTest, DropOwnerRangeDropsOnlyTheGivenCells) {
    collector::RootedCell owner, blk;
    *owner = eval("make object! [x: 1]");
    *blk = eval("copy/deep [[1] [2] [3] [4]]");
    Cell w = word_named("x");
    ownership::record_owner_walk(&blk, &owner, &w);
    ownership::drop_owner_range(&blk, 1, 2);
    Cell* cells = block::head(&blk);
    EXPECT_TRUE(owned_flag(cells[0]));
    EXPECT_FALSE(owned_flag(cells[1]));
    EXPECT_FALSE(owned_flag(cells[2]));
    EXPECT_TRUE(owned_flag(cells[3]));
    // A range past the tail stops at the tail.
    ownership::drop_owner_range(&blk, 3, 10);
    EXPECT_FALSE(owned_flag(block::head(&blk)[3]));
    ownership::drop_owner(&blk);
}

}  // namespace
