// The sockets on which cardbox listens for clients: passed by the service manager, or
// bound here. Failures are returned, for the program to report.
#pragma once

#include "options.hpp"
#include "owned_fd.hpp"

#include <array>
#include <cstddef>
#include <sys/socket.h>

constexpr std::size_t max_listeners = 64;

struct listeners {
    std::array<owned_fd, max_listeners> sockets;
    std::size_t count = 0;

    int fd(std::size_t i) const { return sockets[i].get(); }
};

// What taking the sockets passed by the service manager came to.
struct passed_sockets {
    enum class failure { none, cannot_take, too_many, not_listening_tcp, cannot_reset };
    int count = 0;  // taken; 0 when none was passed
    failure failed = failure::none;
    int error = 0;                // the system's error, for cannot_take and cannot_reset
    int fd = -1;                  // the socket at fault
    std::array<char, 256> name{'?'};  // its name in the socket unit
};

// Takes the listening sockets that the service manager passed (LISTEN_FDS, for this
// process), if any, each set to reset the connections it does not take.
passed_sockets take_passed_sockets(listeners& opened);

// One step of binding that failed, in the order tried.
struct bind_failure {
    enum class step { socket, reuse_address, ipv4_too, reset_on_close, bind } failed;
    int error;
};

// What binding came to.
struct bound_listener {
    bool bound = false;
    int resolver_status = 0;  // for gai_strerror; 0 when the address resolved
    // The failures in the order tried; past the room here, only the last is kept.
    std::array<bind_failure, 32> failures{};
    std::size_t failure_count = 0;
};

// Binds a socket to the chosen address and port: by default the IPv6 wildcard on port
// 8000, IPv4 clients included, or the IPv4 wildcard where the system has no IPv6.
// Each address is tried in turn until one binds; setting an option that fails ends the
// trying.
bound_listener bind_listener(const options& chosen, listeners& opened);

// Starts listening with the system's largest queue, so that a burst of clients waits
// there for its turn. Returns 0 or the error.
int start_listening(const listeners& opened);

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
