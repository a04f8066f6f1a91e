// The sockets on which cardbox listens for clients.
#pragma once

#include "options.hpp"
#include "record_output.hpp"

#include <array>
#include <cstddef>
#include <span>

constexpr std::size_t max_listeners = 64;

struct listeners {
    std::array<int, max_listeners> fds{};
    std::size_t count = 0;

    std::span<const int> all() const { return std::span(fds).first(count); }
};

// Takes the listening sockets that the service manager passed (LISTEN_FDS, for this
// process), if any. Returns how many it took, 0 when none was passed, or -1 when one
// is not a listening TCP socket (reported).
int take_passed_sockets(listeners& opened);

// Binds a socket to the chosen address and port: by default the IPv6 wildcard on port
// 8000, IPv4 clients included, or the IPv4 wildcard where the system has no IPv6.
// Reports each failure; returns false when nothing could be bound.
bool bind_listener(const options& chosen, listeners& opened);

// Starts listening with the system's largest queue, so that a burst of clients waits
// there for its turn. On failure it writes out what was printed before, reports the
// failure and returns false.
bool start_listening(const listeners& opened, record_output& out);

// Tells the service manager, if one asked (NOTIFY_SOCKET), that clients are served.
void tell_ready();
