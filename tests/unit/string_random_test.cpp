// Randomised comparison of find, change, sort and trim on generated strings of every unit size
// (1, 2 and 4 bytes) with plain reference versions over vectors of code points. The alphabets
// mix case pairs, folding specials (ſ folds to S) and whitespace so that every path is hit.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "core/actions.h"
#include "core/stack.h"
#include "core/case_map.h"
#include "datatypes/series/string.h"
#include "test_support.h"

using namespace zel;

namespace {

using Cps = std::vector<uint32_t>;

class StringRandomTest : public test::StackTest {
protected:
    std::mt19937 rng{20261210};

    // An alphabet whose widest code point needs the given unit.
    Cps alphabet(uint32_t unit) {
        Cps a = {'a', 'A', 'b', 'B', 's', 'S', ' ', '\t', '\n', 0xE9, 0xC9, 0xA0};
        if (unit >= 2) a.insert(a.end(), {0x17F, 0x3A9, 0x3C9, 0x4E2D, 0x2000});
        if (unit == 4) a.insert(a.end(), {0x10400, 0x10428, 0x1F600});
        return a;
    }

    Cps random_text(const Cps& alpha, size_t max_len) {
        std::uniform_int_distribution<size_t> len(0, max_len), pick(0, alpha.size() - 1);
        Cps out(len(rng));
        for (uint32_t& c : out) c = alpha[pick(rng)];
        return out;
    }

    // A string! cell holding the code points, stored with the given unit.
    void make(Cell* out, const Cps& cps, uint32_t unit) {
        uint32_t node = string::new_node(cps.size() * unit + 16, unit);
        for (uint32_t c : cps) string::put_char(node, memory::buf(node)->length(), c);
        set_series(out, TYPE_STRING, node);
    }

    static Cps content(const Cell* s, uint32_t from = 0) {
        Cps out;
        const SeriesBuf* b = memory::buf(series_node(s));
        for (uint32_t i = from; i < b->length(); i++) out.push_back(string::char_at(b, i));
        return out;
    }

    int range(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }
};

uint32_t fold(uint32_t c) { return case_map::upper_char(c); }

// ---- references ----

int64_t ref_find(const Cps& hay, size_t head, const Cps& needle, bool folding, bool last) {
    if (needle.empty() || head >= hay.size()) return -1;
    auto match = [&](size_t p) {
        for (size_t k = 0; k < needle.size(); k++) {
            uint32_t a = hay[p + k], b = needle[k];
            if (a != b && (!folding || fold(a) != fold(b))) return false;
        }
        return true;
    };
    if (hay.size() - head < needle.size()) return -1;
    size_t end = hay.size() - needle.size();
    if (last) {
        for (size_t p = end + 1; p-- > head;)
            if (match(p)) return int64_t(p);
        return -1;
    }
    for (size_t p = head; p <= end; p++)
        if (match(p)) return int64_t(p);
    return -1;
}

bool edge_space(uint32_t c) {
    return (c >= 1 && c <= 32) || c == 0x85 || c == 0xA0 || c == 0x1680 || c == 0x180E ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}
bool inner_space(uint32_t c) { return c != '\n' && edge_space(c) && (c == ' ' || c == '\t' || c > 32); }

// Plain trim: the edges go; then the text is cut into lines and each line loses its inner
// whitespace at both ends; a trailing run that held a line feed leaves one line feed.
Cps ref_trim(const Cps& v) {
    size_t lo = 0, hi = v.size();
    while (lo < hi && edge_space(v[lo])) lo++;
    bool lf = false;
    while (hi > lo && edge_space(v[hi - 1])) lf |= v[--hi] == '\n';
    std::vector<Cps> lines(1);
    for (size_t i = lo; i < hi; i++) {
        if (v[i] == '\n') lines.emplace_back();
        else lines.back().push_back(v[i]);
    }
    Cps out;
    for (size_t k = 0; k < lines.size(); k++) {
        Cps& l = lines[k];
        size_t a = 0, b = l.size();
        if (k > 0) while (a < b && inner_space(l[a])) a++;
        if (k + 1 < lines.size()) while (b > a && inner_space(l[b - 1])) b--;
        if (k > 0) out.push_back('\n');
        out.insert(out.end(), l.begin() + long(a), l.begin() + long(b));
    }
    if (lf) out.push_back('\n');
    return out;
}

// ---- the comparisons ----

TEST_F(StringRandomTest, FindMatchesAPlainSearch) {
    auto find = actions::get<actions::FindFn>(TYPE_STRING, ACT_FIND);
    for (uint32_t unit : {1u, 2u, 4u}) {
        Cps alpha = alphabet(unit);
        for (int round = 0; round < 400; round++) {
            Cps hay = random_text(alpha, round % 4 == 0 ? 200 : 24);
            Cps needle = random_text(alpha, 3);
            if (needle.empty()) needle.push_back(alpha[0]);
            // Sometimes a needle taken from the text, so that hits are common.
            if (hay.size() > 4 && round % 2) needle.assign(hay.begin() + 2, hay.begin() + 2 + range(1, 2));
            size_t head = hay.empty() ? 0 : size_t(range(0, int(hay.size()) - 1));
            Cell s, n;
            make(&s, hay, unit);
            set_series_head(&s, int32_t(head));
            make(&n, needle, unit == 4 ? 4 : 2);
            for (bool case_sensitive : {false, true})
                for (bool last : {false, true}) {
                    actions::FindArgs a{&s, &n, nullptr, false, case_sensitive, false, false, nullptr, nullptr,
                                        last, false, false, false};
                    Cell* mark = stack::top;
                    Cell* r = find(a);
                    int64_t got = type_of(r) == TYPE_NONE ? -1 : series_head(r);
                    stack::top = mark;
                    int64_t want = ref_find(hay, head, needle, !case_sensitive, last);
                    ASSERT_EQ(got, want) << "unit " << unit << " round " << round << " case " << case_sensitive
                                         << " last " << last;
                }
        }
    }
}

TEST_F(StringRandomTest, ChangeMatchesAPlainSplice) {
    auto change = actions::get<actions::ChangeFn>(TYPE_STRING, ACT_CHANGE);
    for (uint32_t unit : {1u, 2u, 4u}) {
        Cps alpha = alphabet(unit);
        for (int round = 0; round < 400; round++) {
            Cps text = random_text(alpha, 20);
            Cps value = random_text(alphabet(range(0, 2) == 0 ? 4 : 1), 6);
            size_t at = size_t(range(0, int(text.size())));
            int part = range(-1, 8);
            int dup = range(1, 3);
            bool self = round % 5 == 0;   // the value is a position in the string itself
            Cell s, v;
            make(&s, text, unit);
            set_series_head(&s, int32_t(at));
            if (self) {
                v = s;
                set_series_head(&v, int32_t(range(0, int(text.size()))));
                value.assign(text.begin() + series_head(&v), text.end());
            } else {
                make(&v, value, range(1, 2) == 1 ? 1 : 4);
            }
            Cps want = text;
            size_t inserted = value.size() * size_t(dup);
            size_t replaced = std::min(part >= 0 ? size_t(part) : inserted, text.size() - at);
            Cps repeated;
            for (int k = 0; k < dup; k++) repeated.insert(repeated.end(), value.begin(), value.end());
            want.erase(want.begin() + long(at), want.begin() + long(at + replaced));
            want.insert(want.begin() + long(at), repeated.begin(), repeated.end());
            change(&s, &v, part, false, dup);
            ASSERT_EQ(content(&s), want) << "unit " << unit << " round " << round;
            ASSERT_EQ(size_t(series_head(&s)), at + inserted);
        }
    }
}

TEST_F(StringRandomTest, SortMatchesAStableSortByFoldedCodePoint) {
    auto sort = actions::get<actions::SortFn>(TYPE_STRING, ACT_SORT);
    for (uint32_t unit : {1u, 2u, 4u}) {
        Cps alpha = alphabet(unit);
        for (int round = 0; round < 300; round++) {
            int skip = range(1, 3);
            Cps text = random_text(alpha, 30);
            text.resize(text.size() / size_t(skip) * size_t(skip));
            bool case_sensitive = round % 3 == 0, reverse = round % 4 == 1, stable = round % 2 == 0;
            Cell s, skip_cell;
            make(&s, text, unit);
            set_integer(&skip_cell, skip);
            sort(&s, case_sensitive, skip > 1 ? &skip_cell : nullptr, nullptr, nullptr, false, reverse, stable);
            auto key = [&](uint32_t c) { return case_sensitive ? c : fold(c); };
            std::vector<Cps> records;
            for (size_t i = 0; i < text.size(); i += size_t(skip))
                records.emplace_back(text.begin() + long(i), text.begin() + long(i) + skip);
            std::stable_sort(records.begin(), records.end(), [&](const Cps& x, const Cps& y) {
                return reverse ? key(y[0]) < key(x[0]) : key(x[0]) < key(y[0]);
            });
            Cps got = content(&s);
            if (stable) {
                Cps want;
                for (const Cps& r : records) want.insert(want.end(), r.begin(), r.end());
                ASSERT_EQ(got, want) << "unit " << unit << " round " << round;
                continue;
            }
            // Unstable: the same records, in an order of their keys.
            std::vector<Cps> got_records;
            for (size_t i = 0; i < got.size(); i += size_t(skip))
                got_records.emplace_back(got.begin() + long(i), got.begin() + long(i) + skip);
            for (size_t i = 0; i < got_records.size(); i++)
                ASSERT_EQ(key(got_records[i][0]), key(records[i][0])) << "unit " << unit << " round " << round;
            std::sort(got_records.begin(), got_records.end());
            std::sort(records.begin(), records.end());
            ASSERT_EQ(got_records, records);
        }
    }
}

TEST_F(StringRandomTest, TrimMatchesAPlainLineByLineTrim) {
    auto trim = actions::get<actions::TrimFn>(TYPE_STRING, ACT_TRIM);
    for (uint32_t unit : {1u, 2u, 4u}) {
        Cps alpha = alphabet(unit);
        alpha.insert(alpha.end(), {' ', ' ', '\n', 0x3000});
        for (int round = 0; round < 400; round++) {
            Cps text = random_text(alpha, 24);
            size_t head = text.empty() ? 0 : size_t(range(0, int(text.size()) - 1));
            Cell s;
            make(&s, text, unit);
            set_series_head(&s, int32_t(head));
            trim(&s, false, false, false, false, false, nullptr);
            Cps want(text.begin(), text.begin() + long(head));
            Cps trimmed = ref_trim(Cps(text.begin() + long(head), text.end()));
            want.insert(want.end(), trimmed.begin(), trimmed.end());
            ASSERT_EQ(content(&s), want) << "unit " << unit << " round " << round;
            // /all drops tab, line feed, carriage return and space everywhere.
            make(&s, text, unit);
            trim(&s, false, false, false, false, true, nullptr);
            Cps all;
            for (uint32_t c : text)
                if (c != ' ' && c != '\t' && c != '\n' && c != '\r') all.push_back(c);
            ASSERT_EQ(content(&s), all);
        }
    }
}

}  // namespace
