// The random generator (see random.h).
#include "datatypes/scalar/random.h"

#include "core/error.h"
#include "platform/random.h"

namespace zel::random {

namespace {

constexpr int N = 624;
constexpr int M = 397;

struct State {
    uint32_t words[N];
    int index = 0;
    State() { reseed(19650218u); }
    void reseed(uint32_t s) {
        words[0] = s;
        for (int k = 1; k < N; k++) words[k] = 1812433253u * (words[k - 1] ^ sar(words[k - 1], 30)) + uint32_t(k);
        index = 0;
    }
    // Arithmetic right shift of the word taken as a signed 32-bit integer.
    static uint32_t sar(uint32_t w, int k) { return uint32_t(int32_t(w) >> k); }
    // In place, in ascending order: later steps read words already rewritten by this pass.
    void twist() {
        index = 0;
        for (int k = 0; k < N; k++) {
            uint32_t y = (words[k] & 0x80000000u) | (words[(k + 1) % N] & 0x7FFFFFFFu);
            words[k] = words[(k + M) % N] ^ sar(y, 1) ^ ((y & 1) ? 0x9908B0DFu : 0u);
        }
    }
};

State& state() {
    static State s;
    return s;
}

}  // namespace

void seed(uint32_t s) { state().reseed(s); }

int32_t draw() {
    State& st = state();
    if (st.index == N) st.twist();
    uint32_t y = st.words[st.index++];
    y ^= State::sar(y, 11);
    y ^= (y << 7) & 0x9D2C5680u;
    y ^= (y << 15) & 0xEFC60000u;
    y ^= State::sar(y, 18);
    return int32_t(y);   // the last step always clears bit 31
}

int32_t secure_draw() {
    uint32_t word = 0;
    if (!platform::secure_random_bytes(reinterpret_cast<uint8_t*>(&word), sizeof word))
        error::raise(error::ERR_INTERNAL_NO_RANDOM);
    return int32_t(word & 0x7FFFFFFFu);
}

int32_t uniform_int(int32_t n, bool secure) {
    if (n == 0) return 0;
    if (n == INT32_MIN) return -1 - (secure ? secure_draw() : draw());
    int32_t m = n < 0 ? -n : n;
    int32_t limit = (2147483647 / m) * m;
    int32_t d;
    do d = secure ? secure_draw() : draw(); while (d >= limit);
    int32_t r = d % m + 1;
    return n > 0 ? r : -r;
}

}  // namespace zel::random
