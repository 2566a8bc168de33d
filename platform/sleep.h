// Sleeping for a duration given in seconds.
#pragma once
#include <cstdint>

namespace zel::platform {

// The milliseconds that `platform/sleep-ms` sleeps for a duration in seconds: seconds x 1000
// truncated, computed in 64 bits. NaN, negative durations and anything below 1 ms give 1 ms;
// durations beyond what 64 bits hold (infinity included) are clamped to the largest value.
uint64_t sleep_duration_ms(double seconds);

// `platform/sleep-ms`: sleeps sleep_duration_ms(seconds) milliseconds. A signal that
// interrupts the sleep resumes it for the time left, unless interrupted is given and answers
// true (a halt request), in which case the sleep ends early.
void sleep_ms(double seconds, bool (*interrupted)() = nullptr);

}  // namespace zel::platform
