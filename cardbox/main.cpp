// cardbox: the record server. Listens on port 8000 on every local IPv6 and IPv4
// address (unless the command line chooses another address or port) and serves one
// connection at a time: names the peer, reads one person record, prints it, closes
// the connection.
//
// Every text it prints is fixed by its manual page and relied on by operators and
// scripts, odd spellings, the blank before "Edad" and the report of a close that is
// no failure included: do not mend them.
#include "command_line.hpp"
#include "json_lines.hpp"
#include "owned_fd.hpp"
#include "person_record.hpp"
#include "standard_streams.hpp"
#include "visible_text.hpp"

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <memory>
#include <span>
#include <netdb.h>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr const char* service = "8000";
constexpr int listen_backlog = 5;
constexpr int linger_seconds = 30;
constexpr std::size_t receive_buffer_size = 100;
static_assert(receive_buffer_size > person_record_size);
constexpr std::size_t peer_host_size = 1025;
constexpr std::size_t peer_service_size = 32;
constexpr const char* linger_failure = "setsockopt(...,SO_LINGER,...)";
constexpr int wait_for_ever = -1;
// The longest idle time-out, so that it fits poll's milliseconds.
constexpr int max_idle_timeout_seconds = 2'147'483;

constexpr command_texts command{
    .name = "cardbox",
    .usage = "usage: cardbox [-b ADDRESS] [-p PORT] [-t SECONDS] [--json]\n",
    .description = "Receives person records over TCP, one connection at a time, and prints\n"
                   "each as it arrives.\n",
    .options = "  -b, --bind ADDRESS          listen on this address only (default: every\n"
               "                              local IPv6 and IPv4 address)\n"
               "  -p, --port PORT             listen on this TCP port (default 8000)\n"
               "  -t, --idle-timeout SECONDS  give up on a client that sends nothing for\n"
               "                              this long (default: wait for ever)\n"
               "      --json                  print one JSON object per connection\n"
               "  -h, --help                  show this help and exit\n"
               "  -V, --version               show the version and exit\n",
    .output_failure = "server: standard output",
};

// What the command line chose.
struct options {
    const char* address = nullptr;  // to listen on; none: the IPv6 wildcard, IPv4 included
    const char* port = service;
    int idle_timeout_ms = wait_for_ever;
    bool json = false;
};

using addrinfo_list = std::unique_ptr<addrinfo, decltype(&freeaddrinfo)>;

// Returns the whole seconds of an idle time-out in milliseconds, or nothing when the
// text is not a number of seconds from 1 to max_idle_timeout_seconds.
std::optional<int> parse_idle_timeout(std::string_view text)
{
    int seconds = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (error != std::errc{} || end != text.data() + text.size() || seconds < 1 ||
        seconds > max_idle_timeout_seconds)
        return std::nullopt;
    return seconds * 1000;
}

// Reads the command line. Prints the help or the version and ends when asked; ends with
// exit_usage on a command line it cannot use, before anything is bound.
options read_options(int argc, char** argv)
{
    enum { json_option = 256 };
    static constexpr option long_options[] = {
        {"bind", required_argument, nullptr, 'b'},
        {"port", required_argument, nullptr, 'p'},
        {"idle-timeout", required_argument, nullptr, 't'},
        {"json", no_argument, nullptr, json_option},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    options chosen;
    name_program(argv, command);
    for (int option = 0; (option = getopt_long(argc, argv, "b:p:t:hV", long_options, nullptr)) != -1;) {
        switch (option) {
        case 'b': chosen.address = optarg; break;
        case 'p':
            if (!is_port(optarg)) usage_error(command, "invalid port", optarg);
            chosen.port = optarg;
            break;
        case 't': {
            const std::optional<int> timeout = parse_idle_timeout(optarg);
            if (!timeout) usage_error(command, "invalid idle time-out in seconds", optarg);
            chosen.idle_timeout_ms = *timeout;
            break;
        }
        case json_option: chosen.json = true; break;
        case 'h': print_help(command);
        case 'V': print_version(command);
        default: usage_error(command);
        }
    }
    if (optind < argc) usage_error(command, "unexpected argument", argv[optind]);
    return chosen;
}

// Returns a socket bound to the chosen address and port (by default the IPv6 wildcard
// on port 8000, IPv4 peers included); reports and ends the process with status 1 when
// no address could be bound. The start line goes to messages.
int open_bound_socket(const options& chosen, std::FILE* messages)
{
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE;
    // A chosen address may be IPv4 or IPv6, as it resolves.
    hints.ai_family = chosen.address != nullptr ? AF_UNSPEC : AF_INET6;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* first = nullptr;
    if (const int status = getaddrinfo(chosen.address, chosen.port, &hints, &first); status != 0) {
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
        if (result->ai_family == AF_INET6 &&
            setsockopt(listener.fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6_only, sizeof v6_only) == -1) {
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
        std::fputs("Servicio iniciado... esperando cliente\n", messages);
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
    if (write_out_standard_output(command.output_failure)) return;
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

// The peer's numeric address and port, when they can be looked up.
struct peer_name {
    std::array<char, peer_host_size> host{};
    std::array<char, peer_service_size> port{};
    bool known = false;
};

peer_name look_up(const sockaddr_storage& peer)
{
    peer_name name;
    name.known = getnameinfo(reinterpret_cast<const sockaddr*>(&peer), sizeof peer,
                             name.host.data(), name.host.size(), name.port.data(),
                             name.port.size(), NI_NUMERICHOST | NI_NUMERICSERV) == 0;
    return name;
}

// Reads what has arrived; when nothing has, writes out what was printed first, so that
// an operator sees who holds the server, then waits for it, for at most the idle
// time-out, after which the read fails with ETIMEDOUT.
ssize_t read_or_wait(owned_fd& connection, std::span<char> into, int idle_timeout)
{
    const ssize_t count = recv(connection.fd, into.data(), into.size(), MSG_DONTWAIT);
    if (count != -1 || (errno != EAGAIN && errno != EWOULDBLOCK)) return count;
    write_out(&connection);
    if (idle_timeout != wait_for_ever) {
        pollfd readable{connection.fd, POLLIN, 0};
        const int ready = poll(&readable, 1, idle_timeout);
        if (ready == 0) errno = ETIMEDOUT;
        if (ready != 1) return -1;
    }
    return read(connection.fd, into.data(), into.size());
}

// What arrived on a connection.
struct gathered {
    ssize_t count;  // the bytes gathered; when none, the last read's 0 (a close) or -1
    int error;      // the failure of the read that ended the gathering, 0 for none
};

// Gathers a record that may arrive in pieces: reads until at least a record's worth
// has arrived, the peer closes or a read fails.
gathered receive_record(owned_fd& connection, std::array<char, receive_buffer_size>& buffer,
                        int idle_timeout)
{
    std::size_t received = 0;
    while (received < person_record_size) {
        const ssize_t count = read_or_wait(connection, std::span(buffer).subspan(received), idle_timeout);
        if (count == -1 && errno == EINTR) continue;
        if (count <= 0)
            return {received > 0 ? static_cast<ssize_t>(received) : count, count == -1 ? errno : 0};
        received += static_cast<std::size_t>(count);
    }
    return {static_cast<ssize_t>(received), 0};
}

// Prints the received-count line and, if any bytes came, the record, for people.
void print_text_record(const gathered& got, const person_fields* person)
{
    std::printf("\nSe recibieron %zd bytes\n", got.count);
    if (person == nullptr) return;
    std::fputs("\nNombre: ", stdout);
    print_visible(person->nombre, stdout);
    std::fputs("\nApellido: ", stdout);
    print_visible(person->apellido, stdout);
    std::printf("\n Edad:%u\n", static_cast<unsigned>(person->edad));
}

// Prints the connection's JSON line: its peer, what came, and what failed.
void print_json_record(const peer_name& name, const gathered& got, const person_fields* person)
{
    const char* error = nullptr;
    if (got.error != 0)
        error = std::strerror(got.error);
    else if (got.count == 0)
        error = "Connection closed by peer";
    print_json_line({name.known ? name.host.data() : nullptr, name.known ? name.port.data() : nullptr,
                     got.count, person, error},
                    stdout);
}

}  // namespace

int main(int argc, char** argv)
{
    open_standard_descriptors();
    const options chosen = read_options(argc, argv);
    // In JSON, standard output holds the records' lines and nothing else.
    const int listener = open_bound_socket(chosen, chosen.json ? stderr : stdout);
    if (listen(listener, listen_backlog) == -1) {
        std::perror("server: listen");
        return EXIT_FAILURE;
    }

    for (;;) {
        sockaddr_storage peer{};
        owned_fd client = accept_connection(listener, peer);
        const peer_name name = look_up(peer);
        if (!chosen.json && name.known)
            std::printf("cliente conectado desde %s:%s\n", name.host.data(), name.port.data());

        std::array<char, receive_buffer_size> buffer{};
        const gathered got = receive_record(client, buffer, chosen.idle_timeout_ms);
        const person_fields person = read_person_record(std::span(buffer).first<person_record_size>());
        const person_fields* const arrived = got.count > 0 ? &person : nullptr;
        if (chosen.json)
            print_json_record(name, got, arrived);
        else
            print_text_record(got, arrived);
        // One peer's failure ends only its own connection: the server goes on. A close
        // is no failure: its report carries the system's text for no error. A client
        // given up on after the idle time-out is reported even when part of a record
        // came.
        if (got.count <= 0 || got.error == ETIMEDOUT) {
            errno = got.error;
            std::perror(got.count == 0 ? "Socket cerrado\n" : "Error en funcion read()\n");
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
