// The hash! and map! kinds of the hash-table engine: sizing and growth, chains of equal
// values, aligned lookups, deletion, dropping, renumbering and moving ranges, duplication,
// the map's word-key rule and resumable search, and the value hash itself.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "core/actions.h"
#include "core/hashtable.h"
#include "startup/runtime.h"
#include "core/stack.h"
#include "core/word.h"
#include "core/block.h"
#include "datatypes/series/hash.h"
#include "datatypes/series/map.h"
#include "datatypes/series/string.h"
#include "test_support.h"

using namespace zel;
using hashtable::Record;

namespace {

class HashIndexTest : public test::RuntimeTest {
protected:
    void SetUp() override { saved_top = stack::top; }
    void TearDown() override { stack::top = saved_top; }
    Cell* saved_top = nullptr;

    static Cell integer(int32_t v) {
        Cell c;
        set_integer(&c, v);
        return c;
    }
    static Cell word(const char* s, uint32_t t = TYPE_WORD) {
        Cell c;
        word::make_global(&c, t, s);
        return c;
    }
    static Cell text(const char* s) {
        Cell c;
        string::from_utf8(&c, s);
        return c;
    }
    // A block node of the integers given.
    static uint32_t ints(const std::vector<int32_t>& values) {
        uint32_t node = block::new_node(int64_t(values.size()));
        for (int32_t v : values) {
            Cell c = integer(v);
            block::append(node, &c);
        }
        return node;
    }
    static int32_t find(uint32_t table, int32_t v, int32_t start = 0, int32_t skip = 1, bool backward = false) {
        Cell c = integer(v);
        return hashtable::lookup(table, &c, start, skip, actions::OP_EQUAL, backward);
    }
    // Every position of the block answers a lookup from itself.
    static void expect_positions(uint32_t table) {
        uint32_t node = hashtable::record(table)->values;
        uint32_t n = memory::buf(node)->length();
        for (uint32_t p = 0; p < n; p++) {
            Cell c = memory::buf(node)->cells()[p];
            EXPECT_EQ(hashtable::lookup(table, &c, int32_t(p), 1, actions::OP_STRICT_EQUAL, false), int32_t(p)) << p;
        }
    }
};

TEST_F(HashIndexTest, SizingFollowsTheLoadFactor) {
    uint32_t t = hashtable::create(3, ints({}), hashtable::KIND_HASH);
    EXPECT_EQ(hashtable::record(t)->buckets, 8u);
    EXPECT_EQ(hashtable::record(t)->upper, 6u);
    EXPECT_EQ(hashtable::record(hashtable::create(3, 0, hashtable::KIND_MAP))->buckets, 8u);
    // The seventh distinct value grows the table before it is placed.
    uint32_t node = hashtable::record(t)->values;
    for (int32_t v = 0; v < 7; v++) {
        Cell c = integer(v * 10);
        block::append(node, &c);
        hashtable::insert_position(t, uint32_t(v));
        if (v < 6) {
            EXPECT_EQ(hashtable::record(t)->buckets, 8u) << v;
        }
    }
    EXPECT_GT(hashtable::record(t)->buckets, 8u);
    EXPECT_EQ(hashtable::record(t)->count, 7u);
    for (int32_t v = 0; v < 7; v++) EXPECT_EQ(find(t, v * 10), v);
}

TEST_F(HashIndexTest, EqualValuesShareOneBucketThroughAChain) {
    uint32_t t = hashtable::create(8, ints({5, 7, 5, 5, 7}), hashtable::KIND_HASH);
    EXPECT_EQ(hashtable::record(t)->count, 2u);   // two groups
    EXPECT_EQ(find(t, 5), 0);
    EXPECT_EQ(find(t, 5, 1), 2);
    EXPECT_EQ(find(t, 5, 1, 2), 3);               // only an even distance from 1
    EXPECT_EQ(find(t, 7, 0, 2), 4);               // 1 is an odd distance from 0, 4 an even one
    EXPECT_EQ(find(t, 7, 0, 3), -1);
    EXPECT_EQ(find(t, 5, 4, 1, true), 3);         // backward: the highest at or before the start
    EXPECT_EQ(find(t, 5, 4, 2, true), 2);
    EXPECT_EQ(find(t, 5, -1, 1, true), -1);
    EXPECT_EQ(find(t, 9), -1);
    // Deleting from a chain keeps the group; emptying it frees the bucket.
    hashtable::delete_position(t, 0);
    EXPECT_EQ(find(t, 5), 2);
    hashtable::delete_position(t, 2);
    hashtable::delete_position(t, 3);
    EXPECT_EQ(find(t, 5), -1);
    EXPECT_EQ(hashtable::record(t)->count, 1u);
    hashtable::delete_position(t, 3);             // twice: nothing happens
    EXPECT_EQ(hashtable::record(t)->count, 1u);
    EXPECT_EQ(find(t, 7, 0), 1);
}

TEST_F(HashIndexTest, LookupsCompareUnderTheirOp) {
    uint32_t node = block::new_node(4);
    for (Cell c : {word("abc"), word("ABC"), text("x"), text("X")}) block::append(node, &c);
    uint32_t t = hashtable::create(4, node, hashtable::KIND_HASH);
    Cell upper = word("ABC"), x = text("X");
    EXPECT_EQ(hashtable::lookup(t, &upper, 0, 1, actions::OP_EQUAL, false), 0);
    EXPECT_EQ(hashtable::lookup(t, &upper, 0, 1, actions::OP_STRICT_EQUAL, false), 1);
    EXPECT_EQ(hashtable::lookup(t, &x, 0, 1, actions::OP_EQUAL, false), 2);
    EXPECT_EQ(hashtable::lookup(t, &x, 0, 1, actions::OP_STRICT_EQUAL, false), 3);
    Cell set = word("abc", TYPE_SET_WORD);
    EXPECT_EQ(hashtable::lookup(t, &set, 0, 1, actions::OP_EQUAL, false), -1);   // another datatype
}

TEST_F(HashIndexTest, DroppingRangesAndEmptying) {
    uint32_t t = hashtable::create(8, ints({1, 2, 3, 4, 1}), hashtable::KIND_HASH);
    hashtable::drop_range(t, 1, 2);
    EXPECT_EQ(find(t, 2), -1);
    EXPECT_EQ(find(t, 4), 3);
    EXPECT_FALSE(hashtable::is_indexed(t, 1));
    hashtable::drop_from(t, 3);
    EXPECT_EQ(hashtable::indexed_length(t), 3u);
    EXPECT_EQ(find(t, 1, 1), -1);
    hashtable::sync(t);                           // indexes 3 and 4 again (1 and 2 stay out)
    EXPECT_EQ(find(t, 1, 1), 4);
    EXPECT_EQ(find(t, 2), -1);
    hashtable::empty(t);
    EXPECT_EQ(hashtable::record(t)->count, 0u);
    EXPECT_EQ(find(t, 1), -1);
    hashtable::rebuild(t);
    expect_positions(t);
}

// Index a block, change it, renumber, and compare with the block.
TEST_F(HashIndexTest, RenumberingFollowsInsertionsAndRemovals) {
    std::mt19937 rng(4);
    for (int round = 0; round < 200; round++) {
        std::vector<int32_t> values;
        int n = int(rng() % 30);
        for (int i = 0; i < n; i++) values.push_back(int32_t(rng() % 6));
        uint32_t node = ints(values);
        uint32_t t = hashtable::create(uint32_t(n), node, hashtable::KIND_HASH);
        uint32_t pos = n ? uint32_t(rng() % uint32_t(n + 1)) : 0;
        if (rng() % 2) {
            uint32_t k = 1 + rng() % 3;
            std::vector<Cell> add;
            for (uint32_t i = 0; i < k; i++) add.push_back(integer(int32_t(rng() % 6)));
            block::insert_cells(node, pos, add.data(), k);
            ASSERT_EQ(hashtable::renumber_range(t, int32_t(k), pos, uint32_t(n) - pos, true), 0);
            for (uint32_t p = pos; p < pos + k; p++) hashtable::insert_position(t, p);
        } else if (pos < uint32_t(n)) {
            uint32_t k = std::min<uint32_t>(1 + rng() % 3, uint32_t(n) - pos);
            hashtable::drop_range(t, pos, k);
            SeriesBuf* b = memory::buf(node);
            std::memmove(b->cells() + pos, b->cells() + pos + k, (n - pos - k) * sizeof(Cell));
            b->tail -= k * sizeof(Cell);
            ASSERT_EQ(hashtable::renumber_range(t, -int32_t(k), pos + k, uint32_t(n) - pos - k, true), 0);
        }
        EXPECT_EQ(hashtable::indexed_length(t), memory::buf(node)->length());
        expect_positions(t);
        if (HasFailure()) return;
    }
}

TEST_F(HashIndexTest, RenumberingRefusesLongRanges) {
    std::vector<int32_t> values(30005, 1);
    uint32_t t = hashtable::create(8, ints(values), hashtable::KIND_HASH);
    EXPECT_EQ(hashtable::renumber_range(t, 1, 0, 30001, true), 1);
    EXPECT_EQ(hashtable::indexed_length(t), 30005u);
    EXPECT_EQ(find(t, 1, 30004), 30004);
    EXPECT_EQ(hashtable::renumber_range(t, 1, 4, 30000, true), 0);
}

TEST_F(HashIndexTest, MovingARangeFollowsABlockMove) {
    std::mt19937 rng(8);
    for (int round = 0; round < 200; round++) {
        int n = 2 + int(rng() % 20);
        std::vector<int32_t> values;
        for (int i = 0; i < n; i++) values.push_back(int32_t(rng() % 5));
        uint32_t node = ints(values);
        uint32_t t = hashtable::create(uint32_t(n), node, hashtable::KIND_HASH);
        uint32_t count = 1 + rng() % uint32_t(n - 1);
        uint32_t first = rng() % uint32_t(n - count + 1);
        uint32_t target = rng() % uint32_t(n - count + 1);
        // The block move: count cells from first now start at target.
        std::vector<int32_t> moved(values.begin() + first, values.begin() + first + count);
        values.erase(values.begin() + first, values.begin() + first + count);
        values.insert(values.begin() + target, moved.begin(), moved.end());
        for (int i = 0; i < n; i++) memory::buf(node)->cells()[i] = integer(values[size_t(i)]);
        hashtable::move_range(t, target, first, count);
        expect_positions(t);
        if (HasFailure()) return;
    }
}

TEST_F(HashIndexTest, DuplicatesShareNothing) {
    uint32_t node = ints({1, 2, 1});
    uint32_t t = hashtable::create(4, node, hashtable::KIND_HASH);
    uint32_t copy_node = memory::duplicate_series(node);
    uint32_t c = hashtable::duplicate(t, copy_node);
    EXPECT_EQ(hashtable::record(c)->values, copy_node);
    hashtable::delete_position(t, 0);
    hashtable::delete_position(t, 2);
    EXPECT_EQ(find(t, 1), -1);
    EXPECT_EQ(find(c, 1), 0);
    EXPECT_EQ(find(c, 1, 1), 2);
    expect_positions(c);
}

TEST_F(HashIndexTest, MapKeysOfTheWordFamilyAreFoundAsSetWords) {
    uint32_t node = block::new_node(8);
    for (Cell c : {word("k", TYPE_SET_WORD), integer(1), text("a"), integer(2), text("A"), integer(3)})
        block::append(node, &c);
    uint32_t t = hashtable::create(4, node, hashtable::KIND_MAP);
    for (uint32_t p = 0; p < 6; p += 2) hashtable::map_insert(t, p);
    EXPECT_EQ(hashtable::record(t)->count, 3u);
    for (uint32_t type : {TYPE_WORD, TYPE_LIT_WORD, TYPE_GET_WORD, TYPE_SET_WORD}) {
        Cell k = word("K", type);
        EXPECT_EQ(hashtable::map_find(t, &k, actions::OP_EQUAL), 0) << type;
        EXPECT_EQ(hashtable::map_find(t, &k, actions::OP_STRICT_EQUAL), -1) << type;
    }
    Cell refinement = word("k", TYPE_REFINEMENT);
    EXPECT_EQ(hashtable::map_find(t, &refinement, actions::OP_EQUAL), -1);
    // The resumable search meets both spellings of "a".
    Cell a = text("a");
    hashtable::Cursor cursor;
    std::vector<int32_t> seen;
    for (int32_t p; (p = hashtable::map_find_next(t, &a, actions::OP_EQUAL, cursor)) >= 0;) seen.push_back(p);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<int32_t>{2, 4}));
    EXPECT_EQ(hashtable::map_find_next(t, &a, actions::OP_EQUAL, cursor), -1);
    // Growing keeps every key.
    for (int32_t i = 0; i < 100; i++) {
        uint32_t at = memory::buf(node)->length();
        Cell k = integer(i), v = integer(-i);
        block::append(node, &k);
        block::append(node, &v);
        hashtable::map_insert(t, at);
    }
    for (int32_t i = 0; i < 100; i++) {
        Cell k = integer(i);
        EXPECT_EQ(hashtable::map_find(t, &k, actions::OP_EQUAL), 6 + 2 * i);
    }
}

TEST_F(HashIndexTest, MapsBuildFromCellsAndTakePairs) {
    // a 1 "s" 2 A 3 a 4: the word a (and its case variant A, a different key when built
    // strictly) keeps its first place and takes the later value.
    std::vector<Cell> cells = {word("a"), integer(1), text("s"), integer(2), word("A"), integer(3), word("a"), integer(4)};
    set_new_line(&cells[1], true);
    Cell m;
    map::from_cells(&m, cells.data(), uint32_t(cells.size()));
    EXPECT_EQ(type_of(&m), TYPE_MAP);
    EXPECT_EQ(map::count(&m), 3u);
    const Cell* kv = memory::buf(series_node(&m))->cells();
    EXPECT_EQ(kv[0].header, uint32_t(TYPE_SET_WORD));
    EXPECT_EQ(int_value(&kv[1]), 4);
    EXPECT_FALSE(has_new_line(&kv[1]));
    EXPECT_NE(series_node(&kv[2]), series_node(&cells[2]));   // text keys are copies
    // extend's pairs: found keys (case-insensitively) take the new value, new keys go last.
    uint32_t pairs = block::new_node(6);
    for (Cell c : {text("S"), integer(7), word("S"), integer(8), integer(5), integer(6)}) block::append(pairs, &c);
    Cell pb;
    set_series(&pb, TYPE_BLOCK, pairs);
    map::put_pairs(&m, &pb, false);
    EXPECT_EQ(map::count(&m), 5u);   // the word S and 5 are new keys; the string "S" is "s"
    kv = memory::buf(series_node(&m))->cells();
    EXPECT_EQ(int_value(&kv[3]), 7);
    Cell key = word("s"), five = integer(5);
    EXPECT_EQ(hashtable::map_find(map::table_node(&m), &key, actions::OP_EQUAL), 6);
    EXPECT_EQ(hashtable::map_find(map::table_node(&m), &five, actions::OP_EQUAL), 8);
    Cell odd;
    set_series(&odd, TYPE_BLOCK, ints({1, 2, 3}));
    stack::Saved saved;
    bool raised = false;
    try {
        map::put_pairs(&m, &odd, false);
    } catch (stack::Unwind&) {
        raised = true;
        stack::pending = stack::LEVEL_NONE;
        saved.restore();
    }
    EXPECT_TRUE(raised);
    EXPECT_EQ(map::count(&m), 5u);
}

TEST_F(HashIndexTest, ValueHashes) {
    using hashtable::value_hash;
    Cell a = word("Hello"), b = word("hELLO", TYPE_SET_WORD);
    EXPECT_EQ(value_hash(&a), value_hash(&b));
    Cell s1 = text("Straße"), s2 = text("STRAßE");
    EXPECT_EQ(value_hash(&s1), value_hash(&s2));
    EXPECT_NE(value_hash(&s1, true), value_hash(&s2, true));
    Cell z, nz;
    set_float(&z, 0.0);
    set_float(&nz, -0.0);
    EXPECT_EQ(value_hash(&z), value_hash(&nz));
    Cell p1, p2;
    p1.header = p2.header = TYPE_POINT3D;
    float xyz[3] = {1.5f, -2.0f, 0.0f};
    std::memcpy(payload_bytes(&p1), xyz, 12);
    xyz[2] = -0.0f;
    std::memcpy(payload_bytes(&p2), xyz, 12);
    EXPECT_EQ(value_hash(&p1), value_hash(&p2));
    Cell u, n;
    set_unset(&u);
    set_none(&n);
    EXPECT_EQ(value_hash(&u), uint32_t(-2));
    EXPECT_EQ(value_hash(&n), uint32_t(-1));
}

TEST_F(HashIndexTest, KeysMatchFloatsByExactValue) {
    Cell a, b, c, nan1, nan2, i;
    set_float(&a, 0.1 + 0.2);
    set_float(&b, 0.3);
    set_float(&c, -0.0);
    set_float(&nan1, std::nan(""));
    set_float(&nan2, std::nan(""));
    set_integer(&i, 0);
    Cell zero;
    set_float(&zero, 0.0);
    EXPECT_FALSE(hashtable::keys_equal(&a, &b, actions::OP_EQUAL));
    EXPECT_TRUE(hashtable::keys_equal(&c, &zero, actions::OP_EQUAL));
    EXPECT_TRUE(hashtable::keys_equal(&nan1, &nan2, actions::OP_EQUAL));
    EXPECT_FALSE(hashtable::keys_equal(&zero, &i, actions::OP_EQUAL));
}

// Inserts far from the tail mark a hash!'s index stale instead of renumbering it; the first
// lookup rebuilds it once (new bucket arrays), later lookups find it in step.
TEST_F(HashIndexTest, HeadInsertsLeaveOneRebuildForTheNextLookup) {
    Cell h = test::eval_source("h: make hash! []  repeat i 200 [append h i]  repeat i 300 [insert h i + 1000]  h");
    uint32_t table = hash::table_node(&h);
    EXPECT_EQ(hashtable::record(table)->stamp, 1u);
    uint32_t keys_before = hashtable::record(table)->keys;
    EXPECT_EQ(hash::synced_table(&h), table);
    EXPECT_EQ(hashtable::record(table)->stamp, 0u);
    uint32_t keys_rebuilt = hashtable::record(table)->keys;
    EXPECT_NE(keys_rebuilt, keys_before);
    hash::synced_table(&h);
    EXPECT_EQ(hashtable::record(table)->keys, keys_rebuilt);
    expect_positions(table);
    EXPECT_EQ(find(table, 1300), 0);
    EXPECT_EQ(find(table, 1), 300);
    // A change near the tail keeps the index in step at once.
    Cell t = test::eval_source("append h 7  remove back tail h  h");
    EXPECT_EQ(hashtable::record(hash::table_node(&t))->stamp, 0u);
    expect_positions(hash::table_node(&t));
}

// A map keeps each bucket's key hash beside the key's position (one slot a bucket, position
// plus one, 0 when empty): after growth every occupied bucket holds the hash of its key, and
// text keys are found through it.
TEST_F(HashIndexTest, MapBucketsKeepTheirKeysHashes) {
    Cell m = test::eval_source("m: make map! []  repeat i 3000 [put m rejoin [\"k\" i] i]  put m 'w 1  m");
    const Record* r = hashtable::record(map::table_node(&m));
    const uint32_t* slots = reinterpret_cast<const uint32_t*>(memory::buf(r->keys)->data());
    ASSERT_EQ(memory::buf(r->keys)->tail, r->buckets * 8);
    uint32_t occupied = 0;
    for (uint32_t b = 0; b < r->buckets; b++) {
        if (slots[2 * b] == 0) continue;
        occupied++;
        Cell key = memory::buf(r->values)->cells()[slots[2 * b] - 1];
        EXPECT_EQ(slots[2 * b + 1], hashtable::map_key_hash(&key)) << b;
    }
    EXPECT_EQ(occupied, 3001u);
    Cell k = text("K2999");
    EXPECT_EQ(hashtable::map_find(map::table_node(&m), &k, actions::OP_EQUAL), 2 * 2998);
    EXPECT_EQ(hashtable::map_find(map::table_node(&m), &k, actions::OP_STRICT_EQUAL), -1);
    Cell w = word("W");
    EXPECT_EQ(hashtable::map_find(map::table_node(&m), &w, actions::OP_EQUAL), 2 * 3000);
}

}  // namespace
