// cardbox: the record server. Listens on port 8000 on every local IPv6 and IPv4
// address and serves one connection at a time: names the peer, reads one person
// record, prints it, closes the connection.
//
// Every text it prints is fixed by its manual page and relied on by operators and
// scripts, odd spellings, the blank before "Edad" and the report of a close that is
// no failure included: do not mend them.
#include "owned_fd.hpp"
#include "person_record.hpp"
#include "standard_streams.hpp"
#include "visible_text.hpp"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr const char* service = "8000";
constexpr int listen_backlog = 5;
constexpr int linger_seconds = 30;
constexpr std::size_t receive_buffer_size = 100;
constexpr std::size_t peer_host_size = 1025;
constexpr std::size_t peer_service_size = 32;
constexpr const char* linger_failure = "setsockopt(...,SO_LINGER,...)";

static_assert(receive_buffer_size > person_record_size);

using addrinfo_list = std::unique_ptr<addrinfo, decltype(&freeaddrinfo)>;

// Returns a socket bound to the wildcard address; reports and ends the process with
// status 1 when no address of the wildcard could be bound.
int open_bound_socket()
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
        owned_fd listener(socket(result->ai_family, result->ai_socktype, result->ai_protocol));
        if (listener.fd == -1) {
            std::perror("server: socket");
            continue;
        }
        const int reuse_address = 1;
        if (setsockopt(listener.fd, SOL_SOCKET, SO_REUSEADDR, &reuse_address, sizeof reuse_address) == -1) {
            std::perror("setsockopt");
            std::exit(EXIT_FAILURE);
        }
        // Off, so that IPv4 peers reach the same socket as IPv4-mapped addresses.
        const int v6_only = 0;
        if (setsockopt(listener.fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6_only, sizeof v6_only) == -1) {
            std::perror("setsockopt   no soporta IPv6");
            std::exit(EXIT_FAILURE);
        }
        // Connections inherit this linger of 0 until their record is written out: one
        // that the server leaves before then (it is stopped, or it fails) is reset, not
        // closed, so that its peer never takes a lost record for a received one.
        const linger reset_on_close{1, 0};
        if (setsockopt(listener.fd, SOL_SOCKET, SO_LINGER, &reset_on_close, sizeof reset_on_close) == -1)
            std::perror(linger_failure);
        if (bind(listener.fd, result->ai_addr, result->ai_addrlen) == -1) {
            listener.reset();
            std::perror("server: bind");
            continue;
        }
        std::puts("Servicio iniciado... esperando cliente");
        // The listening socket lives as long as the server.
        return listener.release();
    }
    std::fputs("servidor: error en bind\n", stderr);
    std::exit(EXIT_FAILURE);
}

// Writes out everything printed so far. If it cannot be, no further client may be told
// that its record was taken: reports it once, resets the connection whose record it
// held (if any) and ends the server with status 1.
void write_out(owned_fd* connection)
{
    if (write_out_standard_output("server: standard output")) return;
    if (connection != nullptr) connection->reset();
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
// transient ones and ends the process with status 1 on the others. Every connection's
// output is written out before it is closed, so here, where the server waits for a
// client, nothing but the start line can be left to write out.
owned_fd accept_connection(int listener, sockaddr_storage& peer)
{
    write_out(nullptr);
    for (;;) {
        socklen_t peer_size = sizeof peer;
        const int fd = accept(listener, reinterpret_cast<sockaddr*>(&peer), &peer_size);
        if (fd != -1) return owned_fd(fd);
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

// Reads what has arrived; when nothing has, writes out what was printed first, so that
// an operator sees who holds the server, then waits for it.
ssize_t read_or_wait(owned_fd& connection, std::span<char> into)
{
    const ssize_t count = recv(connection.fd, into.data(), into.size(), MSG_DONTWAIT);
    if (count != -1 || (errno != EAGAIN && errno != EWOULDBLOCK)) return count;
    write_out(&connection);
    return read(connection.fd, into.data(), into.size());
}

// Gathers a record that may arrive in pieces: reads until at least a record's worth
// has arrived, the peer closes or a read fails. Returns the bytes gathered, or the
// last read's result (0 or -1, errno kept) when nothing arrived.
ssize_t receive_record(owned_fd& connection, std::array<char, receive_buffer_size>& buffer)
{
    std::size_t received = 0;
    while (received < person_record_size) {
        const ssize_t count = read_or_wait(connection, std::span(buffer).subspan(received));
        if (count == -1 && errno == EINTR) continue;
        if (count <= 0) return received > 0 ? static_cast<ssize_t>(received) : count;
        received += static_cast<std::size_t>(count);
    }
    return static_cast<ssize_t>(received);
}

}  // namespace

int main()
{
    open_standard_descriptors();
    const int listener = open_bound_socket();
    if (listen(listener, listen_backlog) == -1) {
        std::perror("server: listen");
        return EXIT_FAILURE;
    }

    for (;;) {
        sockaddr_storage peer{};
        owned_fd client = accept_connection(listener, peer);
        print_peer(peer);

        std::array<char, receive_buffer_size> buffer{};
        const ssize_t received = receive_record(client, buffer);
        // A close is no failure: its report carries the system's text for no error.
        const int read_errno = received == 0 ? 0 : errno;
        std::printf("\nSe recibieron %zd bytes\n", received);
        if (received > 0) {
            const person_fields person =
                read_person_record(std::span(buffer).first<person_record_size>());
            std::fputs("\nNombre: ", stdout);
            print_visible(person.nombre, stdout);
            std::fputs("\nApellido: ", stdout);
            print_visible(person.apellido, stdout);
            std::printf("\n Edad:%u\n", static_cast<unsigned>(person.edad));
        } else {
            // One peer's failure ends only its own connection: the server goes on.
            errno = read_errno;
            std::perror(received == 0 ? "Socket cerrado\n" : "Error en funcion read()\n");
        }

        // What was printed for this connection is out before its peer can see it
        // closed: a peer that sees a normal close has its record in the output,
        // whatever happens to the server next.
        write_out(&client);
        const linger linger_on_close{1, linger_seconds};
        if (setsockopt(client.fd, SOL_SOCKET, SO_LINGER, &linger_on_close, sizeof linger_on_close) == -1)
            std::perror(linger_failure);
    }
}
