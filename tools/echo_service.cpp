// echo_service: a stand-in for the echo service that linebounce talks to, so that it
// can be tried on one machine and tested. Listens on ::1 port 9000 (or the port given)
// and sends back every byte it receives on each connection, until the peer closes.
// Serves many connections at once, and a client that does not read its echoes holds up
// only itself. Not installed.
//
//   usage: echo_service [PORT]
#include "command_line.hpp"
#include "owned_fd.hpp"
#include "standard_streams.hpp"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <span>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr in_port_t default_port = 9000;
constexpr const char* usage = "usage: echo_service [PORT]\n"
                              "Sends back every byte received on ::1, TCP port PORT (default 9000).\n";
constexpr int listen_backlog = 16;
constexpr std::size_t max_connections = 64;
constexpr std::size_t chunk_size = 16384;

[[noreturn]] void fail(const char* what)
{
    std::perror(what);
    std::exit(EXIT_FAILURE);
}

// Returns the socket listening on ::1 on the port; ends the process if it cannot listen.
int open_listener(in_port_t port)
{
    const int fd = socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (fd == -1) fail("echo_service: socket");
    const int reuse_address = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse_address, sizeof reuse_address) == -1)
        fail("echo_service: setsockopt");
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(port);
    address.sin6_addr = in6addr_loopback;
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == -1)
        fail("echo_service: bind");
    if (listen(fd, listen_backlog) == -1) fail("echo_service: listen");
    return fd;
}

// One connection: the echo it has yet to take, between start and end of pending.
struct client {
    owned_fd connection;
    std::array<char, chunk_size> pending;
    std::size_t start = 0;
    std::size_t end = 0;
};

// Takes in what the client sent, unless its last echo is still pending, and sends back
// as much as it will take now. Returns false once the client has closed or failed. A
// peer that went away must not end the service, hence no broken-pipe signal.
bool serve(client& peer, pollfd& watched)
{
    if (peer.start == peer.end) {
        const ssize_t received = read(peer.connection.get(), peer.pending.data(), peer.pending.size());
        if (received == -1) return errno == EAGAIN || errno == EINTR;
        if (received == 0) return false;
        peer.start = 0;
        peer.end = static_cast<std::size_t>(received);
    }
    const std::span<const char> echo = std::span(peer.pending).subspan(peer.start, peer.end - peer.start);
    const ssize_t sent = send(peer.connection.get(), echo.data(), echo.size(), MSG_NOSIGNAL);
    if (sent == -1 && errno != EAGAIN && errno != EINTR) return false;
    if (sent > 0) peer.start += static_cast<std::size_t>(sent);
    // Until its echo is taken, nothing more is read from this client.
    watched.events = peer.start == peer.end ? POLLIN : POLLOUT;
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    open_standard_descriptors();
    const std::string_view argument = argc > 1 ? argv[1] : "";
    if (argument == "-h" || argument == "--help") {
        std::fputs(usage, stdout);
        return EXIT_SUCCESS;
    }
    const std::optional<int> port = argc == 1 ? default_port : whole_number(argv[1], 1, 65535);
    if (argc > 2 || !port) {
        std::fputs(usage, stderr);
        return exit_usage;
    }
    // Slot 0 is the listener; slot i + 1 watches clients[i]. A free slot holds -1,
    // which poll passes over.
    static std::array<client, max_connections> clients;
    std::array<pollfd, max_connections + 1> watched{};
    watched.fill({-1, POLLIN, 0});
    watched[0].fd = open_listener(static_cast<in_port_t>(*port));
    std::printf("Servicio de eco en ::1 puerto %d\n", *port);
    std::fflush(stdout);

    for (;;) {
        if (poll(watched.data(), watched.size(), -1) == -1) {
            if (errno == EINTR) continue;
            fail("echo_service: poll");
        }
        if ((watched[0].revents & POLLIN) != 0) {
            owned_fd accepted(accept4(watched[0].fd, nullptr, nullptr, SOCK_NONBLOCK));
            std::size_t slot = 1;
            while (slot < watched.size() && watched[slot].fd != -1) ++slot;
            // A full house turns the peer away: accepted closes it.
            if (accepted.get() != -1 && slot < watched.size()) {
                watched[slot] = {accepted.get(), POLLIN, 0};
                clients[slot - 1] = {std::move(accepted), {}, 0, 0};
            }
        }
        for (std::size_t i = 0; i < clients.size(); ++i) {
            if (watched[i + 1].fd == -1 || watched[i + 1].revents == 0) continue;
            if (!serve(clients[i], watched[i + 1])) {
                clients[i].connection.reset();
                watched[i + 1].fd = -1;
            }
        }
    }
}
