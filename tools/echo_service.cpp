// echo_service: a stand-in for the echo service that linebounce talks to, so that it
// can be tried on one machine and tested. Listens on ::1 port 9000 and sends back every
// byte it receives on each connection, until the peer closes. Serves many connections
// at once. Not installed.
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <poll.h>
#include <span>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr in_port_t echo_port = 9000;
constexpr int listen_backlog = 16;
constexpr std::size_t max_connections = 64;
constexpr std::size_t chunk_size = 65536;

[[noreturn]] void fail(const char* what)
{
    std::perror(what);
    std::exit(EXIT_FAILURE);
}

// Returns the socket listening on ::1 port 9000; ends the process if it cannot listen.
int open_listener()
{
    const int fd = socket(AF_INET6, SOCK_STREAM, 0);
    if (fd == -1) fail("echo_service: socket");
    const int reuse_address = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse_address, sizeof reuse_address) == -1)
        fail("echo_service: setsockopt");
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(echo_port);
    address.sin6_addr = in6addr_loopback;
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == -1)
        fail("echo_service: bind");
    if (listen(fd, listen_backlog) == -1) fail("echo_service: listen");
    return fd;
}

// Writes all the bytes unless the connection fails; returns whether it did. A peer
// that went away must not end the service, hence no broken-pipe signal.
bool send_all(int fd, std::span<const char> bytes)
{
    while (!bytes.empty()) {
        const ssize_t sent = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent == -1 && errno == EINTR) continue;
        if (sent <= 0) return false;
        bytes = bytes.subspan(static_cast<std::size_t>(sent));
    }
    return true;
}

}  // namespace

int main()
{
    // Slot 0 is the listener; a free connection slot holds -1, which poll passes over.
    std::array<pollfd, max_connections + 1> watched{};
    watched.fill({-1, POLLIN, 0});
    watched[0].fd = open_listener();
    std::puts("Servicio de eco en ::1 puerto 9000");
    std::fflush(stdout);

    std::array<char, chunk_size> chunk{};
    for (;;) {
        if (poll(watched.data(), watched.size(), -1) == -1) {
            if (errno == EINTR) continue;
            fail("echo_service: poll");
        }
        if ((watched[0].revents & POLLIN) != 0) {
            const int fd = accept(watched[0].fd, nullptr, nullptr);
            pollfd* free_slot = nullptr;
            for (std::size_t i = 1; i < watched.size() && free_slot == nullptr; ++i)
                if (watched[i].fd == -1) free_slot = &watched[i];
            if (fd != -1 && free_slot == nullptr) close(fd);  // full: turn the peer away
            if (fd != -1 && free_slot != nullptr) free_slot->fd = fd;
        }
        for (std::size_t i = 1; i < watched.size(); ++i) {
            pollfd& connection = watched[i];
            if (connection.fd == -1 || connection.revents == 0) continue;
            const ssize_t received = read(connection.fd, chunk.data(), chunk.size());
            if (received == -1 && errno == EINTR) continue;
            if (received <= 0 ||
                !send_all(connection.fd, std::span(chunk).first(static_cast<std::size_t>(received)))) {
                close(connection.fd);
                connection.fd = -1;
            }
        }
    }
}
