#include "deadline.hpp"

#include <algorithm>
#include <climits>
#include <ctime>

std::int64_t milliseconds_now()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

int milliseconds_until(std::int64_t deadline)
{
    return static_cast<int>(std::clamp<std::int64_t>(deadline - milliseconds_now(), 0, INT_MAX));
}
