// The clients' connection setup: reaching the server address.
#pragma once

#include "client_options.hpp"
#include "owned_fd.hpp"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <sys/socket.h>

// The host on which cardbox and the echo service run unless the command line names
// another, given to the resolver.
constexpr const char* server_address = "::1";

// The exit status of a client that could connect to no address.
constexpr int exit_not_connected = 2;

// The texts in which the two clients' connection reports differ.
struct client_texts {
    const char* resolution_prefix;  // printed before the resolver's text
    const char* socket_failure;     // for perror
    const char* connect_failure;    // for perror
    const char* nothing_connected = "client: error al conectar con el servidor\n";
};

// Returns a socket connected to the host on the port, trying every address that the
// resolver gives in turn, until the deadline (milliseconds_now's clock; -1: as long as
// the system tries, as without one). On failure it reports with the client's texts
// and returns no socket, with the status to end with in failure: 1 when the host
// cannot be resolved, exit_not_connected when no address can be connected (in time:
// a host that does not answer is reported as a connect that timed out).
owned_fd connect_to_server(const client_options& where, const client_texts& texts, int& failure,
                           std::int64_t deadline = -1);

// Starts connecting the socket without waiting, and, when the connection is not made
// at once, waits for it until the deadline. Returns 0, or the error (ETIMEDOUT at the
// deadline). The socket is left non-blocking.
int connect_before(int fd, const sockaddr* address, socklen_t size, std::int64_t deadline);

struct stream_closer {
    void operator()(std::FILE* stream) const { std::fclose(stream); }
};
using owned_stream = std::unique_ptr<std::FILE, stream_closer>;

// Returns a buffered stream opened over the connection in mode "w+", which then owns
// the descriptor and closes it with the stream. If the stream cannot be opened, it
// returns none and the connection keeps the descriptor, so nothing leaks.
owned_stream open_stream(owned_fd& connection);
