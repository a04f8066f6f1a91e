// Serving one client at a time: accept, name the peer, gather its record, print it,
// write it out, tell the client; clients that come meanwhile wait in the listen queue.
#include "deadline.hpp"
#include "reports.hpp"
#include "serving.hpp"
#include "signals.hpp"
#include "tally.hpp"
#include "text_lines.hpp"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

namespace {

constexpr linger linger_on_close{1, 30};

// Opens the output file anew, and loads TLS again, when SIGHUP asked for it: between
// two writes.
void reload_if_asked(record_output& out, tls_server* tls)
{
    if (!reload_asked()) return;
    reopen_record_output(out);
    if (tls != nullptr) reload_tls(*tls);
}

// Returns the next connection, taking the listeners in turn when there are several
// (`next` is where the turn starts). Reports each failure; passes over those that
// belong to one connection, pauses on a lack of descriptors or memory, and returns no
// connection on the others.
owned_fd accept_next(const listeners& listening, std::size_t& next, sockaddr_storage& peer,
                     record_output& out, tls_server* tls)
{
    // The listeners, then standard error while reports wait for room in it.
    std::array<pollfd, max_listeners + 1> waiting{};
    for (std::size_t i = 0; i < listening.count; ++i) waiting[i] = {listening.fd(i), POLLIN, 0};
    for (;;) {
        reload_if_asked(out, tls);
        write_out_reports();
        waiting[listening.count] = {reports_waiting_fd(), POLLOUT, 0};
        std::size_t chosen = 0;
        if (listening.count > 1 || waiting[listening.count].fd != -1) {
            if (poll(waiting.data(), listening.count + 1, -1) == -1) {
                if (errno == EINTR) continue;
                report_failure("poll", errno);
                return owned_fd();
            }
            chosen = next % listening.count;
            for (std::size_t tried = 0; tried < listening.count && waiting[chosen].revents == 0; ++tried)
                chosen = (chosen + 1) % listening.count;
            if (waiting[chosen].revents == 0) continue;  // standard error has room
            next = chosen + 1;
        }
        socklen_t peer_size = sizeof peer;
        const int fd = accept(listening.fd(chosen), reinterpret_cast<sockaddr*>(&peer), &peer_size);
        if (fd != -1) return owned_fd(fd);
        const int failure = errno;
        if (failure == EAGAIN || failure == EINTR) continue;  // another took it first, or SIGHUP
        report_failure("accept", failure);
        switch (classify_accept_failure(failure)) {
        case accept_failure::transient: break;
        case accept_failure::resources: poll(nullptr, 0, accept_pause_ms); break;
        case accept_failure::fatal: return owned_fd();
        }
    }
}

// The client being served, and whether the line that names it is printed yet.
struct client_in_service {
    served_connection served;
    peer_name name;
    bool peer_line_printed = false;
};

// Gathers the client's record, until its deadline. While it waits, the line that names
// it is printed (over TLS, once the handshake is over) and goes out as far as the
// output takes it, so that an operator sees who holds the server. Returns the
// output's failure, or 0.
int gather_record(client_in_service& client, std::int64_t deadline, const options& chosen, record_output& out,
                  tls_server* tls)
{
    transport& link = client.served.link;
    arrival& arrived = client.served.arrived;
    gather(link, arrived);
    while (!arrived.ended) {
        reload_if_asked(out, tls);
        if (!chosen.json && !client.peer_line_printed && handshake_done(link) && client.name.known) {
            print_peer_line(out, client.name.host.data(), client.name.port.data());
            client.peer_line_printed = true;
        }
        const std::uint64_t printed = printed_up_to(out);
        if (const int error = write_records(out, {&printed, 1}).error; error != 0 && error != EAGAIN) return error;
        write_out_reports();
        const auto wanted = static_cast<short>(link.wants_write ? POLLOUT : POLLIN);
        std::array<pollfd, 2> ready{{{link.socket.get(), wanted, 0}, {reports_waiting_fd(), POLLOUT, 0}}};
        const int count = poll(ready.data(), ready.size(),
                               chosen.timeout_ms == wait_for_ever ? -1 : milliseconds_until(deadline));
        if (count == 0) give_up(arrived);
        if (ready[0].revents != 0) gather(link, arrived);
    }
    return 0;
}

}  // namespace

int serve_one_at_a_time(const listeners& listening, const options& chosen, record_output& out, tls_server* tls)
{
    // With several sockets, the server waits for whichever has a client, and one that
    // gave up meanwhile must not leave it waiting in accept; with one, it waits in
    // accept (a socket passed by the service manager may come non-blocking).
    for (std::size_t i = 0; i < listening.count; ++i) {
        const int flags = fcntl(listening.fd(i), F_GETFL);
        fcntl(listening.fd(i), F_SETFL, listening.count > 1 ? flags | O_NONBLOCK : flags & ~O_NONBLOCK);
    }
    if (!write_all_printed(out)) return EXIT_FAILURE;

    std::size_t next_listener = 0;
    for (;;) {
        sockaddr_storage peer{};
        client_in_service client;
        client.served.link.socket = accept_next(listening, next_listener, peer, out, tls);
        if (client.served.link.socket.get() == -1) return EXIT_FAILURE;
        const std::int64_t deadline =
            chosen.timeout_ms != wait_for_ever ? milliseconds_now() + chosen.timeout_ms : 0;
        tally_accepted(peer, chosen.prefixes);
        client.name = look_up(peer);
        if (tls != nullptr && !start_tls(client.served.link, tls->context.get())) {
            report_failure("cardbox: TLS", ENOMEM);
            reset_connection(client.served.link);
            continue;
        }
        if (const int error = gather_record(client, deadline, chosen, out, tls); error != 0) {
            report_output_failure(out, error);
            return EXIT_FAILURE;
        }
        print_arrival(out, client.name, client.served.arrived, chosen.json, client.served.link,
                      client.peer_line_printed);
        const std::uint64_t end = printed_up_to(out);
        served_connection* const done[] = {&client.served};
        for (;;) {
            reload_if_asked(out, tls);
            const told result = write_out_and_tell(out, done, {&end, 1}, linger_on_close);
            write_out_reports();
            if (result.failure != 0) {
                report_output_failure(out, result.failure);
                return EXIT_FAILURE;
            }
            if (result.count == 1) break;
            // No room in the output: the client waits for its verdict, and a stop that
            // comes meanwhile resets it.
            wait_for_room(out.channel, -1);
        }
        if (chosen.count != 0 && records_taken() >= chosen.count) return EXIT_SUCCESS;
    }
}
