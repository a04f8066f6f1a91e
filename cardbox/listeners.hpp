// The sockets on which cardbox listens for clients, and how it accepts them.
#pragma once

#include "options.hpp"
#include "owned_fd.hpp"
#include "record_output.hpp"

#include <array>
#include <cstddef>
#include <sys/socket.h>

constexpr std::size_t max_listeners = 64;

struct listeners {
    std::array<owned_fd, max_listeners> sockets;
    std::size_t count = 0;

    int fd(std::size_t i) const { return sockets[i].get(); }
};

// Takes the listening sockets that the service manager passed (LISTEN_FDS, for this
// process), if any. Returns how many it took, 0 when none was passed, or -1 when they
// cannot be taken or one cannot be served (reported).
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

// What a failed accept means.
enum class accept_failure {
    transient,  // it belongs to that one connection (aborted, or a network error on it)
    resources,  // no descriptor or memory for now: accepting pauses, then tries again
    fatal,      // the listener itself is unusable
};

accept_failure classify_accept_failure(int error);

// How long accepting pauses when descriptors or memory ran out.
constexpr int accept_pause_ms = 100;
