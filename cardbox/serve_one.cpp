// Serving one client at a time: accept, name the peer, gather its record, print it,
// write it out, close; clients that come meanwhile wait in the listen queue.
#include "connection.hpp"
#include "deadline.hpp"
#include "serving.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr linger linger_on_close{1, 30};

// Returns the next connection; reports each failure with "accept", passes over the
// transient ones and returns no connection on the others. With several listening
// sockets, it waits for whichever has a client.
owned_fd accept_next(const listeners& listening, sockaddr_storage& peer)
{
    std::array<pollfd, max_listeners> waiting{};
    for (std::size_t i = 0; i < listening.count; ++i) waiting[i] = {listening.fds[i], POLLIN, 0};
    for (;;) {
        int listener = listening.fds[0];
        if (listening.count > 1) {
            if (poll(waiting.data(), listening.count, -1) == -1) {
                if (errno == EINTR) continue;
                std::perror("accept");
                return owned_fd();
            }
            for (std::size_t i = 0; i < listening.count; ++i)
                if (waiting[i].revents != 0) listener = waiting[i].fd;
        }
        socklen_t peer_size = sizeof peer;
        const int fd = accept(listener, reinterpret_cast<sockaddr*>(&peer), &peer_size);
        if (fd != -1) return owned_fd(fd);
        const int failure = errno;
        if (failure == EAGAIN) continue;  // another took it first
        std::perror("accept");
        if (!accept_failure_is_transient(failure)) return owned_fd();
    }
}

// Gathers the client's record, until its deadline. When nothing has arrived yet, it
// writes out what was printed before it waits, so that an operator sees who holds the
// server. Returns false when that cannot be written out (reported).
bool gather(const owned_fd& client, arrival& arrived, std::int64_t deadline, int timeout_ms,
            record_output& out)
{
    while (!arrived.ended) {
        const std::span<char> into = room(arrived);
        const ssize_t count = recv(client.get(), into.data(), into.size(), MSG_DONTWAIT);
        if (count != -1 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            take_read(arrived, count, errno);
            continue;
        }
        if (!write_all_printed(out)) return false;
        if (timeout_ms == wait_for_ever) {
            const ssize_t waited = read(client.get(), into.data(), into.size());
            take_read(arrived, waited, errno);
            continue;
        }
        pollfd readable{client.get(), POLLIN, 0};
        const int ready = poll(&readable, 1, milliseconds_until(deadline));
        if (ready == 0) give_up(arrived);
        if (ready == -1) take_read(arrived, -1, errno);
    }
    return true;
}

}  // namespace

int serve_one_at_a_time(const listeners& listening, const options& chosen, record_output& out)
{
    // With several sockets, the server waits for whichever has a client, and one that
    // gave up meanwhile must not leave it waiting in accept; with one, it waits in
    // accept (a socket passed by the service manager may come non-blocking).
    for (const int listener : listening.all()) {
        const int flags = fcntl(listener, F_GETFL);
        fcntl(listener, F_SETFL, listening.count > 1 ? flags | O_NONBLOCK : flags & ~O_NONBLOCK);
    }

    for (;;) {
        // Every connection's lines are out before it is closed, so here, where the
        // server waits for a client, nothing but the start line can be left.
        if (!write_all_printed(out)) return EXIT_FAILURE;
        sockaddr_storage peer{};
        owned_fd client = accept_next(listening, peer);
        if (client.get() == -1) return EXIT_FAILURE;
        const std::int64_t deadline =
            chosen.timeout_ms != wait_for_ever ? milliseconds_now() + chosen.timeout_ms : 0;
        const peer_name name = look_up(peer);
        if (!chosen.json) print_peer_line(out, name);

        arrival arrived;
        if (!gather(client, arrived, deadline, chosen.timeout_ms, out)) {
            reset_connection(client);
            return EXIT_FAILURE;
        }
        print_arrival(out, name, arrived, chosen.json);
        {
            // A stop lands before the record is out (its client is reset) or after its
            // client was told (closed normally).
            const stop_signals_held held;
            if (!write_all_printed(out)) {
                reset_connection(client);
                return EXIT_FAILURE;
            }
            if (has_report(arrived)) report(arrived);
            // One client's failure ends only its own connection: the server goes on.
            if (!closes_normally(arrived)) {
                reset_connection(client);
                continue;
            }
            if (chosen.sync) {
                if (const int error = sync_output(out); error != 0) {
                    errno = error;
                    std::perror(output_failure);
                    reset_connection(client);
                    return EXIT_FAILURE;
                }
            }
            tell_taken(client, linger_on_close);
        }
        finish_taken(client, arrived);
    }
}
