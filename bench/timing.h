// Wall-clock timing shared by the C++ benchmarks: the best of three runs filters out most of
// the noise of a shared machine.
#pragma once
#include <algorithm>
#include <chrono>

namespace zel::bench {

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

template <typename F>
double best_of_3(F&& f) {
    double best = 1e9;
    for (int i = 0; i < 3; i++) {
        auto t = Clock::now();
        f();
        best = std::min(best, seconds_since(t));
    }
    return best;
}

}  // namespace zel::bench
