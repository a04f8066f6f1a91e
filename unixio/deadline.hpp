// Deadlines on a clock that only goes forward, for waits that must end.
#pragma once

#include <cstdint>

// The time now, in milliseconds.
std::int64_t milliseconds_now();

// The milliseconds left until the deadline, for poll: 0 once it has passed.
int milliseconds_until(std::int64_t deadline);
