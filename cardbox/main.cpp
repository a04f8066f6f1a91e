// cardbox: the record server. Listens on port 8000 on every local IPv6 and IPv4
// address and serves one connection at a time: names the peer, reads one person
// record, prints it, closes the connection.
#include "person_record.hpp"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr const char* service = "8000";
constexpr int listen_backlog = 5;
constexpr int linger_seconds = 30;
constexpr std::size_t receive_buffer_size = 100;
constexpr std::size_t peer_host_size = 1025;
constexpr std::size_t peer_service_size = 32;

static_assert(receive_buffer_size > person_record_size);

using addrinfo_list = std::unique_ptr<addrinfo, decltype(&freeaddrinfo)>;

// Owns an accepted connection for one turn of the loop.
struct connection {
    int fd;
    explicit connection(int descriptor) : fd(descriptor) {}
    connection(const connection&) = delete;
    connection& operator=(const connection&) = delete;
    ~connection() { close(fd); }
};

// Returns the bound listening socket; reports and ends the process with status 1
// when no address of the wildcard could be bound.
int open_listening_socket()
{
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* first = nullptr;
    if (const int status = getaddrinfo(nullptr, service, &hints, &first); status != 0) {
        std::fprintf(stderr, "getaddrinfo: %s\n", gai_strerror(status));
        std::exit(EXIT_FAILURE);
    }
    const addrinfo_list results(first, &freeaddrinfo);

    for (const addrinfo* result = results.get(); result != nullptr; result = result->ai_next) {
        // Non-blocking, so that the server can tell when it is about to wait for a client.
        const int fd = socket(result->ai_family, result->ai_socktype | SOCK_NONBLOCK,
                              result->ai_protocol);
        if (fd == -1) {
            std::perror("server: socket");
            continue;
        }
        const int reuse_address = 1;
        if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse_address, sizeof reuse_address) == -1) {
            std::perror("setsockopt");
            std::exit(EXIT_FAILURE);
        }
        // Off, so that IPv4 peers reach the same socket as IPv4-mapped addresses.
        const int v6_only = 0;
        if (setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6_only, sizeof v6_only) == -1) {
            std::perror("setsockopt   no soporta IPv6");
            std::exit(EXIT_FAILURE);
        }
        if (bind(fd, result->ai_addr, result->ai_addrlen) == -1) {
            const int bind_errno = errno;
            close(fd);
            errno = bind_errno;
            std::perror("server: bind");
            continue;
        }
        std::puts("Servicio iniciado... esperando cliente");
        return fd;
    }
    std::fputs("servidor: error en bind\n", stderr);
    std::exit(EXIT_FAILURE);
}

// True for the accept failures that belong to one connection (the peer gave up, or
// the network reported an error pending on it): the next connection may do well.
bool accept_failure_is_transient(int error)
{
    switch (error) {
    case ECONNABORTED: case EPROTO: case EINTR:
    case ENETDOWN: case ENOPROTOOPT: case EHOSTDOWN: case ENONET:
    case EHOSTUNREACH: case EOPNOTSUPP: case ENETUNREACH:
        return true;
    default:
        return false;
    }
}

// Returns the next connection; reports each failure with "accept", passes over the
// transient ones and ends the process with status 1 on the others. The listener does
// not block: only when no connection is waiting is standard output flushed, so that
// everything printed is out whenever the server waits, at one write per buffer-full
// while clients queue up rather than one per line.
int accept_connection(int listener, sockaddr_storage& peer)
{
    for (;;) {
        socklen_t peer_size = sizeof peer;
        const int fd = accept(listener, reinterpret_cast<sockaddr*>(&peer), &peer_size);
        if (fd != -1) return fd;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            std::fflush(stdout);
            pollfd incoming{listener, POLLIN, 0};
            if (poll(&incoming, 1, -1) != -1 || errno == EINTR) continue;
            // A wait that fails (no memory) is reported and ends the server like accept.
        }
        const int failure = errno;
        std::perror("accept");
        if (!accept_failure_is_transient(failure)) std::exit(EXIT_FAILURE);
    }
}

// Prints the peer's numeric address and port; prints nothing if the lookup fails.
void print_peer(const sockaddr_storage& peer)
{
    std::array<char, peer_host_size> host{};
    std::array<char, peer_service_size> port{};
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&peer), sizeof peer, host.data(),
                    host.size(), port.data(), port.size(), NI_NUMERICHOST | NI_NUMERICSERV) == 0)
        std::printf("cliente conectado desde %s:%s\n", host.data(), port.data());
}

// Reads what has arrived; when nothing has, flushes standard output first, so that
// everything printed is out before the server waits, then waits for it.
ssize_t read_or_wait(int fd, std::span<char> into)
{
    const ssize_t count = recv(fd, into.data(), into.size(), MSG_DONTWAIT);
    if (count != -1 || (errno != EAGAIN && errno != EWOULDBLOCK)) return count;
    std::fflush(stdout);
    return read(fd, into.data(), into.size());
}

// Gathers a record that may arrive in pieces: reads until at least a record's worth
// has arrived, the peer closes or a read fails. Returns the bytes gathered, or the
// last read's result (0 or -1, errno kept) when nothing arrived.
ssize_t receive_record(int fd, std::array<char, receive_buffer_size>& buffer)
{
    std::size_t received = 0;
    while (received < person_record_size) {
        const ssize_t count = read_or_wait(fd, std::span(buffer).subspan(received));
        if (count == -1 && errno == EINTR) continue;
        if (count <= 0) return received > 0 ? static_cast<ssize_t>(received) : count;
        received += static_cast<std::size_t>(count);
    }
    return static_cast<ssize_t>(received);
}

}  // namespace

int main()
{
    const int listener = open_listening_socket();
    // The result is left unexamined: if listening failed, the first accept fails
    // and reports it.
    listen(listener, listen_backlog);

    // Whenever the server waits, everything printed so far has reached the file or pipe:
    // nothing is lost when it is stopped, and an operator sees who holds it.
    for (;;) {
        sockaddr_storage peer{};
        const connection client{accept_connection(listener, peer)};
        print_peer(peer);

        const linger linger_on_close{1, linger_seconds};
        if (setsockopt(client.fd, SOL_SOCKET, SO_LINGER, &linger_on_close, sizeof linger_on_close) == -1)
            std::perror("setsockopt(...,SO_LINGER,...)");

        std::array<char, receive_buffer_size> buffer{};
        const ssize_t received = receive_record(client.fd, buffer);
        const int read_errno = errno;
        std::printf("\nSe recibieron %zd bytes\n", received);
        if (received <= 0) {
            // One peer's failure ends only its own connection: the server goes on.
            errno = read_errno;
            std::perror(received == 0 ? "Socket cerrado\n" : "Error en funcion read()\n");
            continue;
        }

        const person_fields person =
            read_person_record(std::span(buffer).first<person_record_size>());
        std::printf("\nNombre: %.*s\nApellido: %.*s\n Edad:%u\n",
                    static_cast<int>(person.nombre.size()), person.nombre.data(),
                    static_cast<int>(person.apellido.size()), person.apellido.data(),
                    static_cast<unsigned>(person.edad));
    }
}
