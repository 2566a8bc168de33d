// find, select, sort and the set operations of block! and hash!, compared over many
// generated blocks with straightforward references; a hash!'s index checked against its
// block after random series actions; and the record sorter on its own (record widths,
// stability, inconsistent comparators).
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "core/actions.h"
#include "core/error.h"
#include "core/hashtable.h"
#include "startup/runtime.h"
#include "core/stack.h"
#include "core/word.h"
#include "core/block.h"
#include "core/block_ops.h"
#include "datatypes/series/block_handlers.h"
#include "core/cycle_stack.h"
#include "datatypes/series/hash.h"
#include "datatypes/series/sort.h"
#include "datatypes/series/string.h"
#include "test_support.h"

using namespace zel;

namespace {

using BlockSearchTest = test::StackTest;

// ---- generated values ----

// Small pools, so that equal values, case variants, and values equal across datatypes (1 and
// 1.0) turn up often.
struct Gen {
    std::mt19937 rng;
    explicit Gen(uint32_t seed) : rng(seed) {}

    int pick(int n) { return int(rng() % uint32_t(n)); }

    // Kinds: 6 with blocks, 5 without; 4 gives integers, floats, word-family values and
    // strings, whose sort orders (numbers by value, other datatypes by type id) are total.
    Cell value(bool with_blocks = true, int kinds = 0) {
        Cell c;
        switch (pick(kinds ? kinds : with_blocks ? 6 : 5)) {
            case 0: set_integer(&c, pick(6)); break;
            case 1: {
                static const double floats[] = {0.5, 1.0, 2.0, -0.0, 0.0};
                set_float(&c, floats[pick(5)]);
                break;
            }
            case 2: {
                static const char* const words[] = {"a", "A", "b", "B", "c"};
                word::make_global(&c, pick(4) ? TYPE_WORD : TYPE_SET_WORD, words[pick(5)]);
                break;
            }
            case 3: {
                static const char* const texts[] = {"x", "X", "y"};
                string::from_utf8(&c, texts[pick(3)]);
                break;
            }
            case 4: set_char(&c, "aAb"[pick(3)]); break;
            default: {
                block::init_cell(&c, 1);
                Cell i;
                set_integer(&i, pick(2));
                block::append(series_node(&c), &i);
                break;
            }
        }
        return c;
    }

    Cell block_of(uint32_t n, uint32_t type = TYPE_BLOCK, bool with_blocks = true, int kinds = 0) {
        Cell b;
        block::init_cell(&b, n, TYPE_BLOCK);
        for (uint32_t i = 0; i < n; i++) {
            Cell v = value(with_blocks, kinds);
            block::append(series_node(&b), &v);
        }
        if (type == TYPE_HASH) {
            retype(&b, TYPE_HASH);
            hash::index_cell(&b);
        }
        return b;
    }
};

std::vector<Cell> cells_of(const Cell& b) {
    const SeriesBuf* sb = memory::buf(series_node(&b));
    return std::vector<Cell>(memory::buf(series_node(&b))->cells(), memory::buf(series_node(&b))->cells() + sb->length());
}

// Equality as a block search sees it, and as a hashed lookup sees it (same datatype, floats
// exact).
bool scan_equal(const Cell& x, const Cell& v, int32_t op) {
    Cell a = x, b = v;
    return actions::compare(&a, &b, op);
}
bool table_equal(const Cell& x, const Cell& v, int32_t op) {
    if (type_of(&x) != type_of(&v)) return false;
    if (type_of(&x) == TYPE_FLOAT && op != actions::OP_SAME) return float_value(&x) == float_value(&v);
    return scan_equal(x, v, op);
}

// ---- find / select reference ----

struct Query {
    Cell value;
    int32_t skip = 1;
    int32_t part = -1;   // -1: none
    bool only = false, case_ = false, same = false, last = false, reverse = false, tail = false, match = false;
};

// The position find gives (the series' new head), -1 for none; *width the matched cells.
int64_t reference_find(const std::vector<Cell>& cells, int64_t head, const Query& q, bool hashed, int64_t* width) {
    int64_t len = int64_t(cells.size());
    *width = 1;
    if (len == 0 || (head >= len && !q.reverse)) return -1;
    if (head > len) head = len;
    int64_t limit = len - 1;
    if (q.part >= 0) {
        if (q.part < 1) return -1;
        limit = std::min<int64_t>(head + q.part - 1, len - 1);
    }
    int32_t op = q.same ? actions::OP_SAME : q.case_ ? actions::OP_STRICT_EQUAL : actions::OP_FIND;
    std::vector<Cell> seq;
    bool sequence = !q.only && is_any_block_type(type_of(&q.value));
    if (sequence) {
        seq.assign(block::head(&q.value), block::head(&q.value) + block::length(&q.value));
        if (seq.empty()) return -1;
        *width = int64_t(seq.size());
    }
    bool by_table = hashed && !q.match && !sequence && !(is_any_block_type(type_of(&q.value)) && !q.same);
    auto eq = [&](const Cell& x, const Cell& v) { return by_table ? table_equal(x, v, op) : scan_equal(x, v, op); };
    bool backward = q.reverse || q.last;
    int64_t start = !backward ? head : q.part >= 0 ? limit : q.last ? len - *width : head - *width;
    int64_t bound = backward ? (q.part >= 0 ? limit + 1 : len) : limit + 1;
    auto matches = [&](int64_t p) {
        if (!sequence) return eq(cells[size_t(p)], q.value);
        if (p + int64_t(seq.size()) > bound) return false;
        for (size_t k = 0; k < seq.size(); k++)
            if (!eq(cells[size_t(p) + k], seq[k])) return false;
        return true;
    };
    int64_t found = -1;
    if (q.match) {
        if (start >= 0 && start <= limit && matches(start)) found = start;
    } else if (!backward) {
        for (int64_t p = start; p <= limit && found < 0; p += q.skip)
            if (matches(p)) found = p;
    } else {
        for (int64_t p = std::min(start, len - 1); p >= 0 && found < 0; p -= q.skip)
            if (matches(p)) found = p;
    }
    if (found < 0 || !q.tail) return found;
    return std::min(len, found + (sequence ? *width : backward ? 1 : q.skip));
}

actions::FindArgs args_of(Cell* series, Query& q, Cell* part_cell, Cell* skip_cell) {
    return actions::FindArgs{series, &q.value, q.part >= 0 ? part_cell : nullptr, q.only, q.case_, q.same, false,
                             nullptr, skip_cell, q.last, q.reverse, q.tail, q.match};
}

Query random_query(Gen& g, const std::vector<Cell>& cells) {
    Query q;
    // Mostly values taken from the block (so that they are found), sometimes new ones.
    q.value = !cells.empty() && g.pick(3) ? cells[size_t(g.pick(int(cells.size())))] : g.value();
    q.skip = g.pick(4) ? 1 : 1 + g.pick(3);
    q.part = g.pick(4) ? -1 : g.pick(int(cells.size()) + 2);
    q.only = g.pick(3) == 0;
    q.case_ = g.pick(3) == 0;
    q.same = g.pick(8) == 0;
    q.last = g.pick(5) == 0;
    q.reverse = !q.last && g.pick(5) == 0;
    q.tail = g.pick(4) == 0;
    q.match = g.pick(10) == 0;
    return q;
}

std::string describe(const Query& q, int64_t head) {
    return "value " + test::molded(&q.value) + " head " + std::to_string(head) + " skip " + std::to_string(q.skip) +
           " part " + std::to_string(q.part) + (q.only ? " only" : "") + (q.case_ ? " case" : "") +
           (q.same ? " same" : "") + (q.last ? " last" : "") + (q.reverse ? " reverse" : "") +
           (q.tail ? " tail" : "") + (q.match ? " match" : "");
}

void check_find_and_select(Gen& g, uint32_t type, int rounds) {
    for (int round = 0; round < rounds; round++) {
        Cell b = g.block_of(uint32_t(g.pick(14)), type);
        std::vector<Cell> cells = cells_of(b);
        for (int k = 0; k < 12; k++) {
            Cell* mark = stack::top;
            Query q = random_query(g, cells);
            Cell s = b;
            int64_t head = g.pick(int(cells.size()) + 2);
            set_series_head(&s, int32_t(head));
            Cell part, skip;
            set_integer(&part, q.part);
            set_integer(&skip, q.skip);
            int64_t width;
            int64_t want = reference_find(cells, head, q, type == TYPE_HASH, &width);
            actions::FindArgs a = args_of(&s, q, &part, &skip);
            Cell* r = block::find(a);
            SCOPED_TRACE(describe(q, head));
            if (want < 0) {
                EXPECT_EQ(type_of(r), TYPE_NONE);
            } else {
                ASSERT_EQ(type_of(r), type);
                EXPECT_EQ(series_head(r), want);
            }
            // select: the cell after the match (or after the matched sequence)
            Query qs = q;
            qs.tail = qs.match = false;
            int64_t at = reference_find(cells, head, qs, type == TYPE_HASH, &width);
            actions::FindArgs sa = args_of(&s, qs, &part, &skip);
            Cell* sel = block::select(sa);
            if (at < 0 || at + width >= int64_t(cells.size())) {
                EXPECT_EQ(type_of(sel), TYPE_NONE);
            } else {
                Cell want_cell = cells[size_t(at + width)];
                EXPECT_EQ(std::memcmp(sel, &want_cell, sizeof(Cell)), 0);
            }
            stack::top = mark;
        }
    }
}

TEST_F(BlockSearchTest, FindAndSelectOnBlocksMatchTheReference) {
    Gen g(11);
    check_find_and_select(g, TYPE_BLOCK, 400);
}

TEST_F(BlockSearchTest, FindAndSelectOnHashesMatchTheReference) {
    Gen g(12);
    check_find_and_select(g, TYPE_HASH, 400);
}

// ---- the index of a hash! after series actions ----

// Every cell of the hash! is indexed at its own position: a lookup from a position answers
// that position (the cell equals itself), and nothing lies past the tail.
void expect_index_in_step(const Cell& h) {
    uint32_t table = hash::table_node(&h);
    std::vector<Cell> cells = cells_of(h);
    ASSERT_EQ(hashtable::indexed_length(table), cells.size());
    for (size_t p = 0; p < cells.size(); p++) {
        ASSERT_TRUE(hashtable::is_indexed(table, uint32_t(p))) << p;
        EXPECT_EQ(hashtable::lookup(table, &cells[p], int32_t(p), 1, actions::OP_STRICT_EQUAL, false), int32_t(p)) << p;
    }
}

TEST_F(BlockSearchTest, HashIndexFollowsEverySeriesAction) {
    Gen g(21);
    for (int round = 0; round < 60; round++) {
        Cell h = g.block_of(uint32_t(g.pick(20)), TYPE_HASH, false);
        for (int step = 0; step < 40; step++) {
            Cell* mark = stack::top;
            Cell s = h;
            uint32_t len = memory::buf(series_node(&h))->length();
            set_series_head(&s, g.pick(int(len) + 1));
            Cell v = g.value(false);
            Cell many = g.block_of(uint32_t(1 + g.pick(3)), TYPE_BLOCK, false);
            Cell n;
            set_integer(&n, 1 + g.pick(3));
            int op = g.pick(13);
            SCOPED_TRACE("action " + std::to_string(op));
            switch (op) {
                case 0: actions::get<actions::InsertFn>(TYPE_HASH, ACT_APPEND)(&s, &many, -1, false, 1, true); break;
                case 1: actions::get<actions::InsertFn>(TYPE_HASH, ACT_INSERT)(&s, &many, -1, false, 1 + g.pick(2), false); break;
                case 2: actions::get<actions::InsertFn>(TYPE_HASH, ACT_INSERT)(&s, &v, -1, false, 1, false); break;
                case 3: actions::get<actions::RemoveFn>(TYPE_HASH, ACT_REMOVE)(&s, &n, nullptr); break;
                case 4: actions::get<actions::ChangeFn>(TYPE_HASH, ACT_CHANGE)(&s, &many, g.pick(4), false, 1); break;
                case 5:
                    if (len) actions::get<actions::PokeFn>(TYPE_HASH, ACT_POKE)(&h, 1 + g.pick(int(len)), &v, nullptr);
                    break;
                case 6: actions::get<actions::TakeFn>(TYPE_HASH, ACT_TAKE)(&s, &n, false, g.pick(2) == 0); break;
                case 7: actions::get<actions::ReverseFn>(TYPE_HASH, ACT_REVERSE)(&s, nullptr, nullptr); break;
                case 8: actions::get<actions::SortFn>(TYPE_HASH, ACT_SORT)(&s, false, nullptr, nullptr, nullptr, false, false, g.pick(2)); break;
                case 9: {
                    Cell t = h;
                    set_series_head(&t, g.pick(int(len) + 1));
                    actions::get<actions::MoveFn>(TYPE_HASH, ACT_MOVE)(&s, &t, &n);
                    break;
                }
                case 10: {
                    Cell t = h;
                    set_series_head(&t, g.pick(int(len) + 1));
                    if (!series::is_tail_reached(&s) && !series::is_tail_reached(&t))
                        actions::get<actions::SwapFn>(TYPE_HASH, ACT_SWAP)(&s, &t);
                    break;
                }
                case 11:
                    if (g.pick(4) == 0) actions::get<actions::UnaryFn>(TYPE_HASH, ACT_CLEAR)(&s);
                    break;
                default: {
                    Cell key = g.value(false);
                    actions::get<actions::PutFn>(TYPE_HASH, ACT_PUT)(&h, &key, &v, false);
                    break;
                }
            }
            expect_index_in_step(h);
            stack::top = mark;
            if (HasFailure()) return;
        }
    }
}

TEST_F(BlockSearchTest, HashIndexCatchesUpWithChangesMadeBehindItsBack) {
    // A cell appended or cut without a notification (another route into the buffer) is
    // indexed, or forgotten, by the next lookup.
    Gen g(5);
    Cell h = g.block_of(6, TYPE_HASH, false);
    Cell extra;
    word::make_global(&extra, TYPE_WORD, "never-seen-before");
    block::append(series_node(&h), &extra);
    EXPECT_EQ(hashtable::lookup(hash::synced_table(&h), &extra, 0, 1, actions::OP_EQUAL, false), 6);
    memory::buf(series_node(&h))->tail -= sizeof(Cell);
    EXPECT_EQ(hashtable::lookup(hash::synced_table(&h), &extra, 0, 1, actions::OP_EQUAL, false), -1);
    expect_index_in_step(h);
}

// ---- sort ----

int32_t sort_order(const Cell& x, const Cell& y, int32_t op) {
    Cell a = x, b = y;
    int32_t r = actions::compare_raw(&a, &b, op);
    if (r == -2) return type_of(&a) < type_of(&b) ? -1 : type_of(&a) > type_of(&b) ? 1 : 0;
    return r < 0 ? -1 : r > 0;
}

TEST_F(BlockSearchTest, SortMatchesAStableReference) {
    Gen g(31);
    for (int round = 0; round < 300; round++) {
        Cell* mark = stack::top;
        int32_t size = 1 + g.pick(3);
        uint32_t records = uint32_t(g.pick(40));
        Cell b = g.block_of(records * uint32_t(size), TYPE_BLOCK, false, 4);
        std::vector<Cell> cells = cells_of(b);
        bool case_ = g.pick(2), reverse = g.pick(2), all = size > 1 && g.pick(2), stable = g.pick(2);
        int32_t offset = size > 1 && !all ? g.pick(size) : 0;
        int32_t op = case_ ? actions::OP_CASE_SORT : actions::OP_SORT;
        // The reference: std::stable_sort of the records under the same order.
        std::vector<std::vector<Cell>> recs;
        for (uint32_t r = 0; r < records; r++) recs.emplace_back(cells.begin() + r * size, cells.begin() + (r + 1) * size);
        auto less = [&](const std::vector<Cell>& x, const std::vector<Cell>& y) {
            const auto& a = reverse ? y : x;
            const auto& c = reverse ? x : y;
            if (all) {
                for (int32_t k = 0; k < size; k++)
                    if (int32_t r = sort_order(a[size_t(k)], c[size_t(k)], op)) return r < 0;
                return false;
            }
            return sort_order(a[size_t(offset)], c[size_t(offset)], op) < 0;
        };
        std::stable_sort(recs.begin(), recs.end(), less);
        Cell skip, cmp;
        set_integer(&skip, size);
        set_integer(&cmp, offset + 1);
        block::sort(&b, case_, size > 1 ? &skip : nullptr, size > 1 && !all ? &cmp : nullptr, nullptr, all, reverse, stable);
        std::vector<Cell> got = cells_of(b);
        ASSERT_EQ(got.size(), cells.size());
        for (uint32_t r = 0; r < records; r++) {
            std::vector<Cell> rec(got.begin() + r * size, got.begin() + (r + 1) * size);
            if (stable) {
                EXPECT_EQ(std::memcmp(rec.data(), recs[r].data(), size * sizeof(Cell)), 0) << "record " << r;
            } else if (r > 0) {
                std::vector<Cell> prev(got.begin() + (r - 1) * size, got.begin() + r * size);
                EXPECT_FALSE(less(rec, prev)) << "record " << r;
            }
        }
        // Unstable or not, the records are a permutation of the input.
        auto key = [](const std::vector<Cell>& v) { return std::string(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(Cell)); };
        std::vector<std::string> before, after;
        for (auto& r : recs) before.push_back(key(r));
        for (uint32_t r = 0; r < records; r++) after.push_back(key(std::vector<Cell>(got.begin() + r * size, got.begin() + (r + 1) * size)));
        std::sort(before.begin(), before.end());
        std::sort(after.begin(), after.end());
        EXPECT_EQ(before, after);
        stack::top = mark;
    }
}

// ---- set operations ----

TEST_F(BlockSearchTest, SetOperationsMatchTheReference) {
    Gen g(41);
    for (int round = 0; round < 400; round++) {
        Cell* mark = stack::top;
        int32_t skip = g.pick(3) ? 1 : 2;
        uint32_t ta = g.pick(2) ? TYPE_BLOCK : TYPE_HASH;
        Cell a = g.block_of(uint32_t(g.pick(16)), ta);
        Cell b = g.block_of(uint32_t(g.pick(16)), g.pick(2) ? TYPE_BLOCK : TYPE_HASH);
        bool case_ = g.pick(2);
        int32_t code = 8 + g.pick(5);
        int32_t op = case_ ? actions::OP_STRICT_EQUAL : actions::OP_EQUAL;
        auto eq = [&](const Cell& x, const Cell& y) {
            return is_any_block_type(type_of(&y)) ? scan_equal(x, y, op) : table_equal(x, y, op);
        };
        auto records = [&](const Cell& s) {
            std::vector<std::vector<Cell>> out;
            std::vector<Cell> c = cells_of(s);
            for (size_t i = 0; i < c.size(); i += size_t(skip))
                out.emplace_back(c.begin() + i, c.begin() + std::min(c.size(), i + size_t(skip)));
            return out;
        };
        auto ra = records(a), rb = records(b);
        auto member = [&](const Cell& key, const std::vector<std::vector<Cell>>& in) {
            for (auto& r : in)
                if (eq(r[0], key)) return true;
            return false;
        };
        std::vector<std::vector<Cell>> want;
        auto pass = [&](const std::vector<std::vector<Cell>>& from, const std::vector<std::vector<Cell>>* other,
                        bool keep_members) {
            for (auto& r : from) {
                if (other && member(r[0], *other) != keep_members) continue;
                if (member(r[0], want)) continue;
                want.push_back(r);
            }
        };
        switch (code) {
            case 8: pass(ra, nullptr, false); break;
            case 9: pass(ra, nullptr, false); pass(rb, nullptr, false); break;
            case 10: pass(ra, &rb, true); break;
            case 11: pass(ra, &rb, false); break;
            default: pass(ra, &rb, false); pass(rb, &ra, false); break;
        }
        Cell out;
        block::set_operation(&out, case_, skip, code, &a, code == 8 ? nullptr : &b);
        ASSERT_EQ(type_of(&out), ta);
        std::vector<Cell> got = cells_of(out), flat;
        for (auto& r : want) flat.insert(flat.end(), r.begin(), r.end());
        auto text = [](const Cell& v) { return test::molded(&v); };
        ASSERT_EQ(got.size(), flat.size()) << "code " << code << " case " << case_ << " skip " << skip << " a "
                                           << text(a) << " b " << text(b) << " got " << text(out);
        if (!flat.empty()) {
            EXPECT_EQ(std::memcmp(got.data(), flat.data(), flat.size() * sizeof(Cell)), 0) << "code " << code;
        }
        if (ta == TYPE_HASH) expect_index_in_step(out);
        stack::top = mark;
    }
}

// ---- the record sorter ----

struct Rec32 {
    int32_t key;
    int32_t order;
    int32_t pad[6];
};

int32_t by_key(const void* a, const void* b, void*) {
    int32_t x = static_cast<const Rec32*>(a)->key, y = static_cast<const Rec32*>(b)->key;
    return (x > y) - (x < y);
}

TEST_F(BlockSearchTest, RecordSortsHandleEveryShapeOfInput) {
    std::mt19937 rng(3);
    for (size_t n : {size_t(0), size_t(1), size_t(7), size_t(8), size_t(100), size_t(10000)}) {
        for (int shape = 0; shape < 5; shape++) {
            std::vector<Rec32> v(n);
            for (size_t i = 0; i < n; i++) {
                int32_t k = shape == 0 ? int32_t(rng() % 50)
                          : shape == 1 ? int32_t(i)
                          : shape == 2 ? int32_t(n - i)
                          : shape == 3 ? int32_t(i + (rng() % 100 == 0 ? 7 : 0))
                                       : 1;
                v[i] = Rec32{k, int32_t(i), {}};
            }
            std::vector<Rec32> q = v, m = v;
            sort::quick(q.data(), n, sizeof(Rec32), by_key, nullptr);
            sort::merge(m.data(), n, sizeof(Rec32), by_key, nullptr);
            for (size_t i = 1; i < n; i++) {
                ASSERT_LE(q[i - 1].key, q[i].key) << "quick, n " << n << " shape " << shape;
                ASSERT_LE(m[i - 1].key, m[i].key) << "merge, n " << n << " shape " << shape;
                if (m[i - 1].key == m[i].key) {
                    ASSERT_LT(m[i - 1].order, m[i].order) << "merge keeps equal records in order";
                }
            }
            auto sum = [](const std::vector<Rec32>& x) { long s = 0; for (auto& r : x) s += r.order; return s; };
            EXPECT_EQ(sum(q), sum(v));
            EXPECT_EQ(sum(m), sum(v));
        }
    }
}

int32_t byte_order(const void* a, const void* b, void*) {
    uint16_t x, y;
    std::memcpy(&x, a, 2);
    std::memcpy(&y, b, 2);
    return (x > y) - (x < y);
}

TEST_F(BlockSearchTest, RecordSortsSwapOddWidthsByteByByte) {
    std::vector<uint8_t> data;
    std::mt19937 rng(9);
    for (int i = 0; i < 600; i++) data.push_back(uint8_t(rng()));
    std::vector<uint8_t> q = data, m = data;
    sort::quick(q.data(), 300, 2, byte_order, nullptr);
    sort::merge(m.data(), 300, 2, byte_order, nullptr);
    for (size_t i = 1; i < 300; i++) {
        EXPECT_LE(byte_order(&q[2 * (i - 1)], &q[2 * i], nullptr), 0);
        EXPECT_LE(byte_order(&m[2 * (i - 1)], &m[2 * i], nullptr), 0);
    }
    uint8_t a[3] = {1, 2, 3}, b[3] = {4, 5, 6};
    sort::swap_records(a, b, 3);
    EXPECT_EQ(a[0], 4);
    EXPECT_EQ(b[2], 3);
}

int32_t random_answer(const void*, const void*, void* ctx) {
    auto* rng = static_cast<std::mt19937*>(ctx);
    return int32_t((*rng)() % 3) - 1;
}
int32_t always_after(const void*, const void*, void*) { return 1; }
int32_t always_before(const void*, const void*, void*) { return -1; }

TEST_F(BlockSearchTest, RecordSortsSurviveInconsistentComparators) {
    // Whatever the routine answers, every record stays in the buffer exactly once.
    for (auto fn : {random_answer, always_after, always_before}) {
        for (size_t n : {size_t(5), size_t(64), size_t(3000)}) {
            std::vector<Rec32> v(n);
            for (size_t i = 0; i < n; i++) v[i] = Rec32{int32_t(i % 13), int32_t(i), {}};
            for (bool stable : {false, true}) {
                std::vector<Rec32> w = v;
                std::mt19937 rng(1);
                if (stable) sort::merge(w.data(), n, sizeof(Rec32), fn, &rng);
                else sort::quick(w.data(), n, sizeof(Rec32), fn, &rng);
                std::vector<int32_t> orders;
                for (auto& r : w) orders.push_back(r.order);
                std::sort(orders.begin(), orders.end());
                for (size_t i = 0; i < n; i++) ASSERT_EQ(orders[i], int32_t(i));
            }
        }
    }
}

}  // namespace
