// The externals table (records with kinds and release callbacks, used and free lists, the
// collector's sweep) and the resource slots block (a collector root of parked values).
#include <gtest/gtest.h>

#include <vector>

#include "core/collector.h"
#include "core/externals.h"
#include "core/memory.h"
#include "startup/runtime.h"
#include "core/block.h"
#include "test_support.h"

using namespace zel;

namespace {

// Release callbacks record what they were given.
std::vector<void*> released;
void record_release(void* p) { released.push_back(p); }

void* ptr(uintptr_t n) { return reinterpret_cast<void*>(n); }

// The used list, walked from its head.
std::vector<int32_t> used_list(const externals::Table& t) {
    std::vector<int32_t> out;
    for (int32_t i = t.used_head(); i != externals::END; i = t.record(i).next) {
        out.push_back(i);
        if (out.size() > t.capacity()) break;   // a cycle would never end
    }
    return out;
}

// The free list's length, walked from its head.
size_t free_length(const externals::Table& t) {
    size_t n = 0;
    for (int32_t i = t.free_head(); i != externals::END; i = t.record(i).next) {
        if (++n > t.capacity()) break;
    }
    return n;
}

class ExternalsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        kind = externals::register_kind("test-resource", record_release);
        silent = externals::register_kind("test-silent", nullptr);
    }
    void SetUp() override { released.clear(); }

    static uint32_t kind, silent;
    externals::Table table;
};

uint32_t ExternalsTest::kind = 0;
uint32_t ExternalsTest::silent = 0;

TEST_F(ExternalsTest, KindsAreNumberedFromOneInRegistrationOrder) {
    EXPECT_GE(kind, 1u);
    EXPECT_EQ(silent, kind + 1);
    EXPECT_STREQ(externals::kind_name(kind), "test-resource");
    EXPECT_STREQ(externals::kind_name(0), "");
}

TEST_F(ExternalsTest, AFreshTableIsOneFreeRunInIndexOrder) {
    EXPECT_EQ(table.capacity(), externals::INITIAL_RECORDS);
    EXPECT_EQ(table.used_head(), externals::END);
    EXPECT_EQ(table.free_head(), 0);
    for (int32_t i = 0; i < 5; i++) EXPECT_EQ(table.record(i).next, i + 1);
    EXPECT_EQ(table.record(int32_t(externals::INITIAL_RECORDS) - 1).next, externals::END);
    EXPECT_EQ(table.record(3).flags, externals::FREE_FLAGS);
}

TEST_F(ExternalsTest, AddedRecordsGoToTheHeadOfTheUsedList) {
    int32_t a = table.add_record(ptr(0x10), kind);
    int32_t b = table.add_record(ptr(0x20), kind);
    EXPECT_EQ(a, 0);
    EXPECT_EQ(b, 1);
    EXPECT_EQ(used_list(table), (std::vector<int32_t>{1, 0}));
    EXPECT_EQ(table.pointer(a), ptr(0x10));
    EXPECT_EQ(table.kind(b), kind);
    EXPECT_EQ(table.used_count(), 2u);
}

TEST_F(ExternalsTest, TheThousandthAddDoublesTheTableAndKeepsTheUsedList) {
    for (uint32_t i = 0; i < 999; i++) table.add_record(ptr(i + 1), kind);
    EXPECT_EQ(table.capacity(), 1000u);
    int32_t last = table.add_record(ptr(1000), kind);
    EXPECT_EQ(table.capacity(), 2000u);
    EXPECT_EQ(last, 999);
    std::vector<int32_t> used = used_list(table);
    ASSERT_EQ(used.size(), 1000u);
    for (size_t k = 0; k < used.size(); k++) EXPECT_EQ(used[k], int32_t(999 - k));
    EXPECT_EQ(free_length(table), 1000u);
    EXPECT_EQ(table.free_head(), 1000);
    // The new records are handed out in index order.
    EXPECT_EQ(table.add_record(ptr(1001), kind), 1000);
    EXPECT_EQ(table.add_record(ptr(1002), kind), 1001);
    EXPECT_TRUE(released.empty());
}

TEST_F(ExternalsTest, ReplacingReleasesTheOldPointerOnlyWhenItChanges) {
    int32_t r = table.add_record(ptr(0x10), kind);
    table.replace_pointer(r, ptr(0x10));
    EXPECT_TRUE(released.empty());
    table.replace_pointer(r, ptr(0x30));
    EXPECT_EQ(released, (std::vector<void*>{ptr(0x10)}));
    EXPECT_EQ(table.pointer(r), ptr(0x30));
}

TEST_F(ExternalsTest, FreeingUnlinksAndReusesTheRecord) {
    int32_t a = table.add_record(ptr(1), kind);
    int32_t b = table.add_record(ptr(2), kind);
    int32_t c = table.add_record(ptr(3), kind);
    table.free_record(b, true);
    EXPECT_EQ(released, (std::vector<void*>{ptr(2)}));
    EXPECT_EQ(used_list(table), (std::vector<int32_t>{c, a}));
    EXPECT_EQ(table.record(b).flags, externals::FREE_FLAGS);
    EXPECT_EQ(table.free_head(), b);
    table.free_record(c, false);   // without release
    EXPECT_EQ(released.size(), 1u);
    EXPECT_EQ(used_list(table), (std::vector<int32_t>{a}));
    EXPECT_EQ(table.add_record(ptr(4), kind), c);   // the last freed is the next handed out
    // Indexes that are not in use are ignored.
    table.free_record(b, true);
    table.free_record(-1, true);
    table.free_record(5000, true);
    table.replace_pointer(b, ptr(9));
    EXPECT_FALSE(table.mark_record(b));
    EXPECT_EQ(released.size(), 1u);
}

TEST_F(ExternalsTest, SweepReleasesEveryUnmarkedRecordAndClearsTheMarks) {
    int32_t a = table.add_record(ptr(1), kind);
    int32_t b = table.add_record(ptr(2), kind);
    int32_t c = table.add_record(ptr(3), silent);
    int32_t d = table.add_record(ptr(4), kind);
    EXPECT_TRUE(table.mark_record(b));
    EXPECT_FALSE(table.mark_record(b));            // already marked
    EXPECT_TRUE(table.mark_record(d, ptr(40)));     // a pointer given with the mark replaces
    table.sweep();
    EXPECT_EQ(released, (std::vector<void*>{ptr(1)}));   // c's kind has no callback
    EXPECT_EQ(used_list(table), (std::vector<int32_t>{d, b}));
    EXPECT_FALSE(table.in_use(a));
    EXPECT_FALSE(table.in_use(c));
    EXPECT_EQ(table.pointer(d), ptr(40));
    EXPECT_EQ(table.record(b).flags & externals::MARK, 0u);
    // A sweep with nothing marked releases everything and leaves the used list empty.
    released.clear();
    table.sweep();
    EXPECT_EQ(released.size(), 2u);
    EXPECT_EQ(table.used_head(), externals::END);
    EXPECT_EQ(table.used_count(), 0u);
    EXPECT_EQ(free_length(table), size_t(table.capacity()));
}

TEST_F(ExternalsTest, ForEachOfKindVisitsUsedRecordsNewestFirst) {
    table.add_record(ptr(1), kind);
    table.add_record(ptr(2), silent);
    table.add_record(ptr(3), kind);
    std::vector<void*> seen;
    table.for_each_of_kind(kind, [&](void* p) { seen.push_back(p); });
    EXPECT_EQ(seen, (std::vector<void*>{ptr(3), ptr(1)}));
}

TEST_F(ExternalsTest, KindZeroReleasesNothing) {
    int32_t r = table.add_record(ptr(7), 0);
    table.free_record(r, true);
    table.add_record(ptr(8), 0);
    table.sweep();
    EXPECT_TRUE(released.empty());
}

TEST_F(ExternalsTest, TheCollectorSweepsTheRuntimeTable) {
    runtime::init_for_tests();
    int32_t r = externals::add_record(ptr(0x77), kind);
    collector::run_cycle();   // nothing marks the record
    EXPECT_EQ(released, (std::vector<void*>{ptr(0x77)}));
    EXPECT_FALSE(externals::table().in_use(r));
}

// ---- resource slots ----

using ResourceSlotsTest = test::RuntimeTest;

TEST_F(ResourceSlotsTest, TheHundredAndFirstStoreDoublesTheBlock) {
    resource_slots::Block slots;
    collector::RootGuard keep(slots.cell());
    slots.init();
    EXPECT_EQ(slots.capacity(), 100u);
    EXPECT_EQ(memory::buf(series_node(slots.cell()))->length(), 100u);
    for (int32_t i = 1; i <= 100; i++) {
        Cell v;
        set_integer(&v, i * 10);
        ASSERT_EQ(slots.store(&v), uint32_t(i));
    }
    EXPECT_EQ(slots.free_head(), -1);
    Cell v;
    set_integer(&v, 1010);
    EXPECT_EQ(slots.store(&v), 101u);
    EXPECT_EQ(slots.capacity(), 200u);
    EXPECT_EQ(memory::buf(series_node(slots.cell()))->length(), 200u);   // the tail covers all
    EXPECT_EQ(slots.free_head(), 101);
    // The new cells form a free run; the old values are intact.
    EXPECT_EQ(int_value(&memory::buf(series_node(slots.cell()))->cells()[150]), 151);
    EXPECT_EQ(int_value(&memory::buf(series_node(slots.cell()))->cells()[199]), -1);
    EXPECT_EQ(int_value(slots.at(1)), 10);
    EXPECT_EQ(int_value(slots.at(100)), 1000);
    EXPECT_EQ(int_value(slots.at(101)), 1010);
}

TEST_F(ResourceSlotsTest, FreedSlotsAreReusedAndBadNumbersIgnored) {
    resource_slots::Block slots;
    collector::RootGuard keep(slots.cell());
    slots.init();
    Cell v;
    set_integer(&v, 1);
    uint32_t a = slots.store(&v);
    uint32_t b = slots.store(&v);
    EXPECT_EQ(a, 1u);
    EXPECT_EQ(b, 2u);
    slots.free(0);      // slot 0 is nothing
    slots.free(500);    // beyond the block
    EXPECT_EQ(slots.store(&v), 3u);
    slots.free(a);
    EXPECT_EQ(slots.at(a), nullptr);
    int32_t head = slots.free_head();
    slots.free(a);      // already free: the free list is not corrupted
    EXPECT_EQ(slots.free_head(), head);
    EXPECT_EQ(slots.store(&v), a);   // the freed slot is the next one handed out
    EXPECT_EQ(slots.store(&v), 4u);
}

TEST_F(ResourceSlotsTest, ParkedValuesSurviveCollections) {
    Cell block;
    block::init_cell(&block, 4);
    memory::append_cell(series_node(&block));
    set_integer(&memory::buf(series_node(&block))->cells()[0], 42);
    uint32_t n = resource_slots::store(&block);
    set_none(&block);
    collector::run_cycle();
    collector::run_cycle();
    Cell* kept = resource_slots::at(n);
    ASSERT_NE(kept, nullptr);
    ASSERT_EQ(type_of(kept), uint32_t(TYPE_BLOCK));
    EXPECT_EQ(int_value(&memory::buf(series_node(kept))->cells()[0]), 42);
    resource_slots::free(n);
}

}  // namespace
