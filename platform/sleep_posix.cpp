// Sleeping on POSIX: nanosleep, resumed after signals (see sleep.h).
#include "platform/sleep.h"

#include <cerrno>
#include <cmath>
#include <ctime>

namespace zel::platform {

uint64_t sleep_duration_ms(double seconds) {
    double ms = seconds * 1000.0;
    if (std::isnan(ms) || ms < 1.0) return 1;
    // 2^63 ms is far beyond any real sleep; it keeps the conversion defined.
    constexpr double cap = 9223372036854775807.0;
    if (ms >= cap) return uint64_t(INT64_MAX);
    return uint64_t(ms);
}

void sleep_ms(double seconds, bool (*interrupted)()) {
    uint64_t ms = sleep_duration_ms(seconds);
    timespec left;
    left.tv_sec = time_t(ms / 1000);
    left.tv_nsec = long(ms % 1000) * 1000000L;
    timespec rest{};
    while (nanosleep(&left, &rest) != 0) {
        if (errno != EINTR) return;
        if (interrupted && interrupted()) return;
        left = rest;
    }
}

}  // namespace zel::platform
