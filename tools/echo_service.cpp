// echo_service: a stand-in for the echo service that linebounce talks to, so that it
// can be tried on one machine and tested. Listens on ::1 port 9000 (or the port given)
// and sends back every byte it receives on each connection, until the peer closes;
// over TLS when given a certificate and its key. Serves many connections at once, and
// a client that does not read its echoes holds up only itself. Not installed.
//
//   usage: echo_service [--tls-cert FILE --tls-key FILE] [PORT]
#include "command_line.hpp"
#include "owned_fd.hpp"
#include "standard_streams.hpp"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <getopt.h>
#include <memory>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <optional>
#include <poll.h>
#include <span>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr in_port_t default_port = 9000;
constexpr const char* usage = "usage: echo_service [--tls-cert FILE --tls-key FILE] [PORT]\n"
                              "Sends back every byte received on ::1, TCP port PORT (default 9000);\n"
                              "over TLS with the certificate and key given (PEM).\n";
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

struct ssl_free {
    void operator()(SSL* tls) const { SSL_free(tls); }
};

// Makes the TLS context from the certificate and key; ends the process if it cannot.
SSL_CTX* tls_context(const char* cert, const char* key)
{
    SSL_CTX* const context = SSL_CTX_new(TLS_server_method());
    if (context == nullptr || SSL_CTX_use_certificate_chain_file(context, cert) != 1 ||
        SSL_CTX_use_PrivateKey_file(context, key, SSL_FILETYPE_PEM) != 1) {
        std::fprintf(stderr, "echo_service: TLS: %s\n", ERR_reason_error_string(ERR_peek_last_error()));
        std::exit(EXIT_FAILURE);
    }
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    return context;
}

// One connection: the echo it has yet to take, between start and end of pending.
struct client {
    owned_fd connection;
    std::unique_ptr<SSL, ssl_free> tls;  // none for plain TCP
    std::array<char, chunk_size> pending;
    std::size_t start = 0;
    std::size_t end = 0;
};

// Takes in what the client sent, unless its last echo is still pending, and sends back
// as much as it will take now. Returns false once the client has closed or failed. A
// peer that went away must not end the service, hence no broken-pipe signal.
bool serve(client& peer, pollfd& watched)
{
    // What TLS waits for, when it does: it is watched for that instead.
    short tls_wants = 0;
    const auto tls_result = [&peer, &tls_wants](int result) -> ssize_t {
        if (result > 0) return result;
        const int error = SSL_get_error(peer.tls.get(), result);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            tls_wants = error == SSL_ERROR_WANT_READ ? short{POLLIN} : short{POLLOUT};
            errno = EAGAIN;
            return -1;
        }
        return error == SSL_ERROR_ZERO_RETURN ? 0 : -2;
    };
    if (peer.start == peer.end) {
        const ssize_t received =
            peer.tls != nullptr
                ? tls_result(SSL_read(peer.tls.get(), peer.pending.data(), static_cast<int>(peer.pending.size())))
                : read(peer.connection.get(), peer.pending.data(), peer.pending.size());
        if (received == -1 && (errno == EAGAIN || errno == EINTR)) {
            watched.events = tls_wants != 0 ? tls_wants : short{POLLIN};
            return true;
        }
        if (received <= 0) return false;
        peer.start = 0;
        peer.end = static_cast<std::size_t>(received);
    }
    const std::span<const char> echo = std::span(peer.pending).subspan(peer.start, peer.end - peer.start);
    const ssize_t sent = peer.tls != nullptr
                             ? tls_result(SSL_write(peer.tls.get(), echo.data(), static_cast<int>(echo.size())))
                             : send(peer.connection.get(), echo.data(), echo.size(), MSG_NOSIGNAL);
    if (sent < 0 && (sent == -2 || (errno != EAGAIN && errno != EINTR))) return false;
    if (sent > 0) peer.start += static_cast<std::size_t>(sent);
    // Until its echo is taken, nothing more is read from this client.
    watched.events = tls_wants != 0 ? tls_wants : peer.start == peer.end ? short{POLLIN} : short{POLLOUT};
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    open_standard_descriptors();
    static constexpr option long_options[] = {
        {"tls-cert", required_argument, nullptr, 'c'},
        {"tls-key", required_argument, nullptr, 'k'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    const char* cert = nullptr;
    const char* key = nullptr;
    for (int option = 0; (option = getopt_long(argc, argv, "h", long_options, nullptr)) != -1;) {
        if (option == 'h') {
            std::fputs(usage, stdout);
            return EXIT_SUCCESS;
        }
        if (option == 'c') cert = optarg;
        if (option == 'k') key = optarg;
        if (option == '?') {
            std::fputs(usage, stderr);
            return exit_usage;
        }
    }
    const int arguments = argc - optind;
    const std::optional<int> port = arguments == 0 ? default_port : whole_number(argv[optind], 1, 65535);
    if (arguments > 1 || !port || (cert == nullptr) != (key == nullptr)) {
        std::fputs(usage, stderr);
        return exit_usage;
    }
    SSL_CTX* const tls = cert != nullptr ? tls_context(cert, key) : nullptr;
    // OpenSSL writes with write(): a client gone must not end the service.
    std::signal(SIGPIPE, SIG_IGN);
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
                clients[slot - 1] = {std::move(accepted), nullptr, {}, 0, 0};
                if (tls != nullptr) {
                    clients[slot - 1].tls.reset(SSL_new(tls));
                    SSL_set_fd(clients[slot - 1].tls.get(), watched[slot].fd);
                    SSL_set_accept_state(clients[slot - 1].tls.get());
                }
            }
        }
        for (std::size_t i = 0; i < clients.size(); ++i) {
            if (watched[i + 1].fd == -1 || watched[i + 1].revents == 0) continue;
            if (!serve(clients[i], watched[i + 1])) {
                clients[i].tls.reset();
                clients[i].connection.reset();
                watched[i + 1].fd = -1;
            }
        }
    }
}
