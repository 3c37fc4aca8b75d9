#include "platform/monotonic.h"

#include <time.h>

int64_t monotonic_clock(int64_t per_second) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * per_second + now.tv_nsec / (1000000000 / per_second);
}
