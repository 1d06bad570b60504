// A std::chrono duration as the timespec the kernel's waits take, for a
// relative timeout or (measured from the clock's origin) an absolute time.
#pragma once

#include <time.h>

#include <chrono>

inline timespec timespec_of(std::chrono::nanoseconds t) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(t);
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(seconds.count());
    ts.tv_nsec = static_cast<long>((t - seconds).count());
    return ts;
}
