// Record sorting (see sort.h). Every loop is bounded by record indexes, never by what the
// comparison routine answers, so an inconsistent routine cannot move a cursor out of the
// buffer or keep a partition from shrinking.
#include "datatypes/series/sort.h"

#include <cstring>
#include <new>
#include <vector>

#include "core/error.h"
#include "core/memory.h"

namespace zel::sort {

void swap_records(void* a, void* b, size_t width) {
    if (a == b) return;
    uint8_t* x = static_cast<uint8_t*>(a);
    uint8_t* y = static_cast<uint8_t*>(b);
    if (width % 4 == 0) {
        for (size_t i = 0; i < width; i += 4) {
            uint32_t t;
            std::memcpy(&t, x + i, 4);
            std::memcpy(x + i, y + i, 4);
            std::memcpy(y + i, &t, 4);
        }
    } else {
        for (size_t i = 0; i < width; i++) {
            uint8_t t = x[i];
            x[i] = y[i];
            y[i] = t;
        }
    }
}

namespace {

constexpr size_t INSERTION_LIMIT = 7;   // ranges this short finish by insertion
constexpr size_t MIN_RUN = 24;          // the merge sort's shortest run

struct Records {
    uint8_t* base;
    size_t width;
    CompareFn compare;
    void* context;

    uint8_t* at(size_t i) const { return base + i * width; }
    int32_t cmp(size_t i, size_t j) const { return compare(at(i), at(j), context); }
    void swap(size_t i, size_t j) const { swap_records(at(i), at(j), width); }

    void reverse(size_t lo, size_t hi) const {
        while (hi > lo + 1) {
            swap(lo, hi - 1);
            lo++;
            hi--;
        }
    }

    // Each record moves backwards while its predecessor compares greater.
    void insertion(size_t lo, size_t hi, size_t sorted_end) const {
        for (size_t i = sorted_end; i < hi; i++)
            for (size_t j = i; j > lo && cmp(j - 1, j) > 0; j--) swap(j - 1, j);
    }
};

// ---- quicksort ----

struct Quick : Records {
    std::vector<uint8_t> pivot;

    size_t median3(size_t a, size_t b, size_t c) const {
        if (cmp(a, b) > 0) std::swap(a, b);
        if (cmp(b, c) > 0) {
            b = c;
            if (cmp(a, b) > 0) b = a;
        }
        return b;
    }

    size_t choose_pivot(size_t lo, size_t hi) const {
        size_t n = hi - lo, mid = lo + n / 2, last = hi - 1;
        if (n < 40) return median3(lo, mid, last);
        size_t d = n / 8;
        return median3(median3(lo, lo + d, lo + 2 * d), median3(mid - d, mid, mid + d),
                       median3(last - 2 * d, last - d, last));
    }

    void sift_down(size_t lo, size_t root, size_t n) const {
        for (;;) {
            size_t child = 2 * root + 1;
            if (child >= n) return;
            if (child + 1 < n && cmp(lo + child, lo + child + 1) < 0) child++;
            if (cmp(lo + root, lo + child) >= 0) return;
            swap(lo + root, lo + child);
            root = child;
        }
    }

    void heap_sort(size_t lo, size_t hi) const {
        size_t n = hi - lo;
        for (size_t i = n / 2; i-- > 0;) sift_down(lo, i, n);
        for (size_t end = n; end-- > 1;) {
            swap(lo, lo + end);
            sift_down(lo, 0, end);
        }
    }

    // Three-way partition around the record at lo: afterwards [lo, lt) sorts before the pivot,
    // [lt, gt] equals it and (gt, hi) sorts after it. The run of equals always holds the pivot
    // record itself, so both sides are shorter than the range.
    void partition(size_t lo, size_t hi, size_t& lt, size_t& gt) {
        std::memcpy(pivot.data(), at(lo), width);
        lt = lo;
        size_t i = lo + 1;
        gt = hi - 1;
        while (i <= gt) {
            int32_t c = compare(at(i), pivot.data(), context);
            if (c < 0) {
                swap(lt, i);
                lt++;
                i++;
            } else if (c > 0) {
                swap(i, gt);
                gt--;
            } else {
                i++;
            }
        }
    }

    void core(size_t lo, size_t hi, int depth) {
        while (hi - lo > INSERTION_LIMIT) {
            if (depth-- <= 0) {
                heap_sort(lo, hi);
                return;
            }
            swap(lo, choose_pivot(lo, hi));
            size_t lt, gt;
            partition(lo, hi, lt, gt);
            // Recurse into the smaller side, loop on the larger one.
            if (lt - lo < hi - (gt + 1)) {
                core(lo, lt, depth);
                lo = gt + 1;
            } else {
                core(gt + 1, hi, depth);
                hi = lt;
            }
        }
        insertion(lo, hi, lo + 1);
    }
};

int depth_limit(size_t n) {
    int bits = 0;
    while (n > 1) {
        n >>= 1;
        bits++;
    }
    return 2 * bits + 2;
}

// ---- merge sort ----

struct Merge : Records {
    std::vector<uint8_t> tmp;
    size_t n;

    // The run starting at start, made ascending and at least MIN_RUN records long (or up to
    // the end); returns its end.
    size_t find_run(size_t start) const {
        size_t end = start + 1;
        if (end < n) {
            if (cmp(start, end) <= 0) {
                while (end < n && cmp(end - 1, end) <= 0) end++;
            } else {
                while (end < n && cmp(end - 1, end) > 0) end++;
                reverse(start, end);   // strictly descending: reversing keeps the sort stable
            }
        }
        size_t want = start + MIN_RUN < n ? start + MIN_RUN : n;
        if (end < want) {
            insertion(start, want, end);
            end = want;
        }
        return end;
    }

    // The Powersort power of the boundary between [s1, e1) and [e1, e2): the first binary
    // digit at which the two runs' midpoints, as fractions of n, differ.
    int power(size_t s1, size_t e1, size_t e2) const {
        uint64_t a = uint64_t(s1) + e1, b = uint64_t(e1) + e2, whole = 2 * uint64_t(n);
        int p = 0;
        for (;;) {
            p++;
            a <<= 1;
            b <<= 1;
            bool da = a >= whole, db = b >= whole;
            if (da != db) return p;
            if (da) {
                a -= whole;
                b -= whole;
            }
        }
    }

    // Merges the adjacent runs [lo, mid) and [mid, hi), copying the shorter one out; equal
    // records keep their order.
    void merge_runs(size_t lo, size_t mid, size_t hi) {
        if (lo >= mid || mid >= hi || cmp(mid - 1, mid) <= 0) return;
        size_t left = mid - lo, right = hi - mid;
        uint8_t* t = tmp.data();
        if (left <= right) {
            std::memcpy(t, at(lo), left * width);
            size_t i = 0, j = mid, k = lo;
            while (i < left && j < hi) {
                if (compare(t + i * width, at(j), context) <= 0) {
                    std::memcpy(at(k), t + i * width, width);
                    i++;
                } else {
                    std::memmove(at(k), at(j), width);
                    j++;
                }
                k++;
            }
            if (i < left) std::memcpy(at(k), t + i * width, (left - i) * width);
        } else {
            std::memcpy(t, at(mid), right * width);
            size_t i = mid, j = right, k = hi;   // i, j: one past the next record to take
            while (i > lo && j > 0) {
                if (compare(at(i - 1), t + (j - 1) * width, context) > 0) {
                    std::memmove(at(k - 1), at(i - 1), width);
                    i--;
                } else {
                    std::memcpy(at(k - 1), t + (j - 1) * width, width);
                    j--;
                }
                k--;
            }
            if (j > 0) std::memcpy(at(lo), t, j * width);
        }
    }

    void run() {
        struct Entry {
            size_t start;
            int power;
        };
        std::vector<Entry> stack;
        size_t s1 = 0, e1 = find_run(0);
        while (e1 < n) {
            size_t s2 = e1, e2 = find_run(s2);
            int p = power(s1, e1, e2);
            while (!stack.empty() && stack.back().power > p) {
                merge_runs(stack.back().start, s1, e1);
                s1 = stack.back().start;
                stack.pop_back();
            }
            stack.push_back({s1, p});
            s1 = s2;
            e1 = e2;
        }
        while (!stack.empty()) {
            merge_runs(stack.back().start, s1, n);
            s1 = stack.back().start;
            stack.pop_back();
        }
    }
};

}  // namespace

void quick(void* base, size_t n, size_t width, CompareFn compare, void* context) {
    if (n < 2 || width == 0) return;
    Quick q{{static_cast<uint8_t*>(base), width, compare, context}, std::vector<uint8_t>(width)};
    // Records already in order, or in strictly reverse order, need no partitioning.
    size_t i = 1;
    while (i < n && q.cmp(i - 1, i) <= 0) i++;
    if (i == n) return;
    if (i == 1) {
        size_t j = 1;
        while (j < n && q.cmp(j - 1, j) > 0) j++;
        if (j == n) {
            q.reverse(0, n);
            return;
        }
    }
    q.core(0, n, depth_limit(n));
}

void merge(void* base, size_t n, size_t width, CompareFn compare, void* context) {
    if (n < 2 || width == 0) return;
    size_t half = n / 2;
    if (half > size_t(0x7FFFFFFF) / width) error::raise(error::ERR_SCRIPT_TOO_LONG);
    Merge m{{static_cast<uint8_t*>(base), width, compare, context}, {}, n};
    try {
        m.tmp.resize(half * width);
    } catch (const std::bad_alloc&) {
        memory::raise_no_memory();
    }
    m.run();
}

}  // namespace zel::sort
