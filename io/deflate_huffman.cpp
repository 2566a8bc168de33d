// Length-limited Huffman codes: optimal lengths by the in-place method of Moffat and
// Katajainen over the frequencies in ascending order, then folded to the length limit.
#include "io/deflate_huffman.h"

#include <algorithm>

namespace zel::compress {

namespace {

constexpr int MAX_SYMBOLS = 288;

// Turns a[0..n) (frequencies in ascending order, n >= 2) into code lengths in place: a[i] is
// the length of the i-th least frequent symbol. Three passes: merge leaves and internal nodes
// pairwise (internal nodes become parent indexes), compute internal node depths, and hand
// out leaf depths.
void minimum_redundancy(uint32_t* a, int n) {
    a[0] += a[1];
    int root = 0, leaf = 2;
    for (int next = 1; next < n - 1; next++) {
        if (leaf >= n || a[root] < a[leaf]) {
            a[next] = a[root];
            a[root++] = uint32_t(next);
        } else {
            a[next] = a[leaf++];
        }
        if (leaf >= n || (root < next && a[root] < a[leaf])) {
            a[next] += a[root];
            a[root++] = uint32_t(next);
        } else {
            a[next] += a[leaf++];
        }
    }
    a[n - 2] = 0;
    for (int next = n - 3; next >= 0; next--) a[next] = a[a[next]] + 1;
    int available = 1, used = 0, depth = 0;
    root = n - 2;
    int next = n - 1;
    while (available > 0) {
        while (root >= 0 && int(a[root]) == depth) {
            used++;
            root--;
        }
        while (available > used) {
            a[next--] = uint32_t(depth);
            available--;
        }
        available = 2 * used;
        depth++;
        used = 0;
    }
}

}  // namespace

void huffman_lengths(const uint32_t* freq, int n, int limit, uint8_t* lengths) {
    std::fill(lengths, lengths + n, uint8_t(0));
    int order[MAX_SYMBOLS];
    int used = 0;
    for (int s = 0; s < n; s++)
        if (freq[s]) order[used++] = s;
    if (used < 2) {
        lengths[0] = 1;
        if (used == 1 && order[0] >= 2) lengths[order[0]] = 1;
        else lengths[1] = 1;
        return;
    }
    std::stable_sort(order, order + used, [&](int x, int y) { return freq[x] < freq[y]; });
    uint32_t a[MAX_SYMBOLS];
    for (int i = 0; i < used; i++) a[i] = freq[order[i]];
    minimum_redundancy(a, used);

    // Leaves per depth, deeper ones folded to the limit; then, while the Kraft sum is over
    // 2^limit, one code at the limit goes and a shorter code is split into two.
    int count[MAX_SYMBOLS + 1] = {};
    for (int i = 0; i < used; i++) count[std::min<int>(int(a[i]), limit)]++;
    uint32_t total = 0;
    for (int len = limit; len >= 1; len--) total += uint32_t(count[len]) << (limit - len);
    while (total > (1u << limit)) {
        count[limit]--;
        for (int len = limit - 1; len >= 1; len--) {
            if (count[len]) {
                count[len]--;
                count[len + 1] += 2;
                break;
            }
        }
        total--;
    }
    // Shortest lengths to the most frequent symbols.
    int i = used - 1;
    for (int len = 1; len <= limit; len++)
        for (int k = count[len]; k > 0; k--) lengths[order[i--]] = uint8_t(len);
}

void canonical_codes(const uint8_t* lengths, int n, uint16_t* codes) {
    int count[16] = {};
    for (int s = 0; s < n; s++) count[lengths[s]]++;
    count[0] = 0;
    uint32_t next[16];
    uint32_t code = 0;
    for (int len = 1; len <= 15; len++) {
        code = (code + uint32_t(count[len - 1])) << 1;
        next[len] = code;
    }
    for (int s = 0; s < n; s++) {
        int len = lengths[s];
        if (!len) {
            codes[s] = 0;
            continue;
        }
        uint32_t c = next[len]++, r = 0;
        for (int b = 0; b < len; b++) r |= ((c >> b) & 1) << (len - 1 - b);
        codes[s] = uint16_t(r);
    }
}

}  // namespace zel::compress
