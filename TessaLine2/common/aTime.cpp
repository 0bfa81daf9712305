#include "aTime.h"

#include <time.h>

#include <cerrno>

uint64_t aTime_GetMSTicks() {
    timespec now{};
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return 0;
    const uint64_t ticks =
        static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    // All bits set is reserved as "no time" by callers.
    return ticks == UINT64_MAX ? 0 : ticks;
}

void aTime_MSSleep(uint32_t milliseconds) {
    if (milliseconds == 0) return;
    timespec wake{};
    if (clock_gettime(CLOCK_MONOTONIC, &wake) != 0) return;
    wake.tv_sec += milliseconds / 1000;
    wake.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (wake.tv_nsec >= 1000000000L) {
        wake.tv_sec += 1;
        wake.tv_nsec -= 1000000000L;
    }
    // An absolute deadline makes a restart after a signal sleep only the time that is left.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) == EINTR) {
    }
}
