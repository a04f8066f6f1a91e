// Deadlines on a clock that only goes forward, for waits that must end.
#pragma once

#include <cstdint>

// The time now, in milliseconds.
std::int64_t milliseconds_now();

// The deadline that many seconds after the time given (milliseconds_now's clock).
constexpr std::int64_t seconds_after(std::int64_t from, int seconds) { return from + static_cast<std::int64_t>(seconds) * 1000; }

// The milliseconds left until the deadline, for poll: 0 once it has passed.
int milliseconds_until(std::int64_t deadline);
