// block! cell operations, the shared series helpers and the mold cycle stack.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "core/actions.h"
#include "core/error.h"
#include "startup/runtime.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/block.h"
#include "core/block_ops.h"
#include "core/cycle_stack.h"
#include "datatypes/series/series.h"
#include "datatypes/series/string.h"
#include "test_support.h"

using namespace zel;

namespace {

class BlockTest : public test::StackTest {
protected:

    // A block of the integers given, at head 0.
    static Cell ints(std::initializer_list<int32_t> values) {
        Cell b;
        block::init_cell(&b, int64_t(values.size()));
        for (int32_t v : values) {
            Cell i;
            set_integer(&i, v);
            block::append(series_node(&b), &i);
        }
        return b;
    }
    static std::vector<int32_t> contents(const Cell& b) {
        std::vector<int32_t> out;
        for (const Cell* c = block::head(&b); c < block::tail(&b); c++) out.push_back(int_value(c));
        return out;
    }
    static std::string molded(const Cell& v, bool only = false, bool flat = false, int32_t limit = -1) {
        uint32_t node = string::new_node(16);
        actions::mold_into(&v, node, only, false, flat, limit);
        Cell s;
        set_series(&s, TYPE_STRING, node);
        return string::to_utf8(&s);
    }
};

TEST_F(BlockTest, RepeatFillDoublesTheFirstStretch) {
    // A value of 3 units repeated 5 times: copies of 3, 6 and 3 units after the first.
    uint8_t area[15] = {1, 2, 3};
    uint8_t* end = series::repeat_fill(area, 3, 5);
    EXPECT_EQ(end, area + 15);
    for (int i = 0; i < 15; i++) EXPECT_EQ(area[i], i % 3 + 1) << i;
    uint8_t one[4] = {7, 0, 0, 0};
    EXPECT_EQ(series::repeat_fill(one, 1, 1), one + 1);
    EXPECT_EQ(one[1], 0);
}

TEST_F(BlockTest, CountToTailResetsAHeadPastTheTail) {
    Cell b = ints({1, 2, 3});
    Cell at = b;
    set_series_head(&at, 2);
    EXPECT_EQ(series::count_to_tail(&at), 1);
    EXPECT_EQ(series::count_to_tail(&at, true), 3);
    set_series_head(&at, 7);
    EXPECT_EQ(series::count_to_tail(&at), 0);
    EXPECT_EQ(series_head(&at), 3);
    set_series_head(&at, -2);
    EXPECT_EQ(series::count_to_tail(&at), 3);
}

TEST_F(BlockTest, MoveHeadIndexStopsAtTheTail) {
    Cell b = ints({1, 2});
    EXPECT_FALSE(series::move_head_index(&b, 1));
    EXPECT_EQ(series_head(&b), 1);
    EXPECT_TRUE(series::move_head_index(&b, 1));
    EXPECT_EQ(series_head(&b), 2);
    EXPECT_TRUE(series::move_head_index(&b, 1));
    EXPECT_EQ(series_head(&b), 2);
}

TEST_F(BlockTest, PartCountFromIntegersAndPositions) {
    Cell b = ints({1, 2, 3, 4});
    Cell n;
    set_integer(&n, -3);
    EXPECT_EQ(series::part_count(&b, &n), -3);
    Cell later = b;
    set_series_head(&later, 3);
    set_series_head(&b, 1);
    EXPECT_EQ(series::part_count(&b, &later), 2);
    EXPECT_EQ(series::part_count(&later, &b), -2);
    Cell other = ints({1});
    EXPECT_THROW(series::part_count(&b, &other), stack::Unwind);
    stack::pending = stack::LEVEL_NONE;
}

TEST_F(BlockTest, SpecToSizeTruncatesAndChecksTheRange) {
    Cell c;
    set_float(&c, 2.9);
    EXPECT_EQ(make::spec_to_size(&c), 2);
    set_float(&c, -2.5);
    EXPECT_EQ(make::spec_to_size(&c), -2);
    set_integer(&c, 12);
    EXPECT_EQ(make::spec_to_size(&c), 12);
    for (double bad : {1e10, -3e9, std::nan("")}) {
        set_float(&c, bad);
        EXPECT_THROW(make::spec_to_size(&c), stack::Unwind) << bad;
        stack::pending = stack::LEVEL_NONE;
    }
}

TEST_F(BlockTest, AppendAndInsertCellsFromTheSameBuffer) {
    Cell b = ints({1, 2, 3});
    uint32_t node = series_node(&b);
    // The source lies in the buffer that grows: it must be read before the buffer moves.
    for (int round = 0; round < 4; round++) block::append_cells(node, memory::buf(node)->cells(), 3);
    EXPECT_EQ(block::length(&b), 15);
    EXPECT_EQ(contents(b)[14], 3);
    Cell c = ints({1, 2, 3});
    block::insert_cells(series_node(&c), 1, memory::buf(series_node(&c))->cells(), 3);
    EXPECT_EQ(contents(c), (std::vector<int32_t>{1, 1, 2, 3, 2, 3}));
}

TEST_F(BlockTest, CopyNodeStartsAtTheHead) {
    Cell b = ints({5, 6, 7});
    set_series_head(&b, 1);
    Cell c;
    set_series(&c, TYPE_BLOCK, block::copy_node(&b));
    EXPECT_EQ(contents(c), (std::vector<int32_t>{6, 7}));
    set_series_head(&b, 9);   // past the tail: an empty copy
    set_series(&c, TYPE_BLOCK, block::copy_node(&b));
    EXPECT_EQ(block::length(&c), 0);
}

TEST_F(BlockTest, CycleMarkersByType) {
    struct Case { uint32_t type; bool mold; const char* marker; } cases[] = {
        {TYPE_BLOCK, true, "[...]"}, {TYPE_HASH, true, "[...]"}, {TYPE_PAREN, true, "(...)"},
        {TYPE_MAP, true, "#[...]"}, {TYPE_PATH, true, "..."}, {TYPE_SET_PATH, true, "..."},
        {TYPE_BLOCK, false, "..."}, {TYPE_PAREN, false, "..."},
    };
    Cell b = ints({1});
    for (const Case& k : cases) {
        Cell v = b;
        retype(&v, k.type);
        uint32_t out = string::new_node(16);
        int32_t budget = 100;
        EXPECT_FALSE(cycle::emit_marker(&v, out, budget, k.mold));
        EXPECT_EQ(budget, 100);
        cycle::Scope inside(series_node(&v));
        EXPECT_TRUE(cycle::emit_marker(&v, out, budget, k.mold));
        EXPECT_EQ(string::node_to_utf8(out), k.marker);
        EXPECT_EQ(budget, 100 - int32_t(std::string(k.marker).size()));
    }
    uint32_t out = string::new_node(16);
    EXPECT_EQ(cycle::emit_indent(out, 2, 50), 42);
    EXPECT_EQ(string::node_to_utf8(out), "        ");
}

TEST_F(BlockTest, MoldFollowsNewLineFlags) {
    Cell b = ints({1, 2, 3});
    EXPECT_EQ(molded(b), "[1 2 3]");
    Cell* c = memory::buf(series_node(&b))->cells();
    set_new_line(&c[0], true);
    set_new_line(&c[2], true);
    EXPECT_EQ(molded(b), "[\n    1 2\n    3\n]");
    EXPECT_EQ(molded(b, true), "1 2\n3");
    EXPECT_EQ(molded(b, false, true), "[1 2 3]");
    Cell outer;
    block::init_cell(&outer, 2);
    Cell one;
    set_integer(&one, 0);
    set_new_line(&one, true);
    block::append(series_node(&outer), &one);
    block::append(series_node(&outer), &b);
    EXPECT_EQ(molded(outer), "[\n    0 [\n        1 2\n        3\n    ]\n]");
}

TEST_F(BlockTest, MoldMarksASelfContainingBlock) {
    Cell b = ints({1});
    block::append(series_node(&b), &b);
    EXPECT_EQ(molded(b), "[1 [...]]");
    EXPECT_EQ(cycle::depth(), 0u);
    Cell fresh;
    EXPECT_THROW(block_ops::copy_deep(&fresh, &b), stack::Unwind);
    stack::pending = stack::LEVEL_NONE;
    EXPECT_EQ(cycle::depth(), 0u);
}

TEST_F(BlockTest, CopyDeepCopiesNestedBlocks) {
    Cell inner = ints({1});
    Cell outer;
    block::init_cell(&outer, 2);
    block::append(series_node(&outer), &inner);
    block::append(series_node(&outer), &inner);   // shared, but not a cycle
    Cell copy;
    block_ops::copy_deep(&copy, &outer);
    const Cell* c = block::head(&copy);
    EXPECT_NE(series_node(&c[0]), series_node(&inner));
    EXPECT_NE(series_node(&c[1]), series_node(&inner));
    EXPECT_NE(series_node(&c[0]), series_node(&c[1]));
    EXPECT_EQ(contents(c[0]), std::vector<int32_t>{1});
}

TEST_F(BlockTest, FindWordMatchesEveryWordKind) {
    // Built by hand: [x: 1 :y 2 'z 3 w]
    Cell b;
    block::init_cell(&b, 7);
    uint32_t node = series_node(&b);
    const char* names[] = {"x", "y", "z"};
    uint32_t kinds[] = {TYPE_SET_WORD, TYPE_GET_WORD, TYPE_LIT_WORD};
    for (int k = 0; k < 3; k++) {
        Cell w, v;
        set_word(&w, kinds[k], 0, symbol::intern(names[k]), -1);
        set_integer(&v, k + 1);
        block::append(node, &w);
        block::append(node, &v);
    }
    Cell last;
    set_word(&last, TYPE_WORD, 0, symbol::intern("w"), -1);
    block::append(node, &last);
    for (int k = 0; k < 3; k++) {
        Cell* r = block_ops::find_word(&b, symbol::intern(names[k]), false);
        ASSERT_NE(r, nullptr) << names[k];
        EXPECT_EQ(int_value(r), k + 1);
    }
    EXPECT_EQ(block_ops::find_word(&b, symbol::intern("X"), false), block::head(&b) + 1);
    EXPECT_EQ(block_ops::find_word(&b, symbol::intern("X"), true), nullptr);
    EXPECT_EQ(block_ops::find_word(&b, symbol::intern("w"), false), nullptr);   // the last cell
    EXPECT_EQ(block_ops::find_word(&b, symbol::intern("absent"), false), nullptr);
}

TEST_F(BlockTest, CompareByEveryOpCode) {
    using namespace actions;
    Cell a = ints({1, 2}), b = ints({1, 3}), longer = ints({1, 2, 0});
    struct Case { const Cell* x; const Cell* y; int32_t op; bool truth; } cases[] = {
        {&a, &b, OP_EQUAL, false},          {&a, &b, OP_NOT_EQUAL, true},
        {&a, &b, OP_STRICT_EQUAL, false},   {&a, &b, OP_LESSER, true},
        {&a, &b, OP_LESSER_EQUAL, true},    {&a, &b, OP_GREATER, false},
        {&a, &b, OP_GREATER_EQUAL, false},  {&a, &b, OP_SAME, false},
        {&a, &b, OP_FIND, false},           {&a, &longer, OP_LESSER, true},
        {&longer, &a, OP_GREATER, true},    {&a, &longer, OP_EQUAL, false},
        {&a, &a, OP_SAME, true},            {&a, &a, OP_STRICT_EQUAL, true},
    };
    for (const Case& c : cases) EXPECT_EQ(compare(c.x, c.y, c.op), c.truth) << c.op;
    EXPECT_LT(compare_raw(&a, &b, OP_SORT), 0);
    EXPECT_GT(compare_raw(&b, &a, OP_CASE_SORT), 0);
    // A path and a lit-path compare by content only under the lit-matching ops.
    Cell p = a, lp = a;
    retype(&p, TYPE_PATH);
    retype(&lp, TYPE_LIT_PATH);
    EXPECT_EQ(compare_raw(&p, &lp, OP_EQUAL_LIT), 0);
    EXPECT_EQ(compare_raw(&lp, &p, OP_STRICT_LIT), 0);
    EXPECT_EQ(compare_raw(&p, &lp, OP_EQUAL), -2);
    Cell later = a;
    set_series_head(&later, 1);
    EXPECT_EQ(compare_raw(&a, &later, OP_SAME), -1);
    // Two blocks that contain themselves compare equal without recursing for ever.
    Cell x = ints({1}), y = ints({1});
    block::append(series_node(&x), &x);
    block::append(series_node(&y), &y);
    EXPECT_TRUE(compare(&x, &y, OP_EQUAL));
    EXPECT_EQ(cycle::depth(), 0u);
}

}  // namespace
