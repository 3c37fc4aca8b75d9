// The monotonic clock, which every time-out, deadline and age uses.
#pragma once

#include <cstdint>

// The monotonic clock in units of 1/per_second of a second, truncated:
// 1 for whole seconds, 1000 for milliseconds, 1000000 for microseconds.
int64_t monotonic_clock(int64_t per_second);

// Milliseconds of the monotonic clock.
inline long long monotonic_ms() {
    return monotonic_clock(1000);
}
