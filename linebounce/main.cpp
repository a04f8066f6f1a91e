// linebounce: an interactive client for the echo service (on ::1 port 9000 unless the
// command line names another host and port). Sends each line typed, with a zero byte
// after it, and prints the echo, until a line holds SALIR or input ends.
//
// Every text it prints is fixed by its manual page and relied on by its users, odd
// spellings ("Conexionen", "Tamanio") and the report of a close that is no failure
// included: do not mend them.
#include "connect_to_server.hpp"
#include "line_reader.hpp"
#include "standard_streams.hpp"
#include "visible_text.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <poll.h>
#include <span>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr const char* service = "9000";
constexpr const char* output_failure = "client: standard output";
constexpr command_texts command{
    .name = "linebounce",
    .usage = "usage: linebounce [-4 | -6] [--tls [--tls-ca FILE] [--tls-name NAME]\n"
             "                  [--tls-cert FILE --tls-key FILE]] [HOST [PORT]]\n",
    .description = "Sends each line typed to the echo service on HOST (default ::1), TCP port\n"
                   "PORT (default 9000), and shows the echo, until a line holds SALIR.\n",
    .options = client_options_help,
    .output_failure = output_failure,
};
constexpr client_texts connection_texts{
    .resolution_prefix = "getaddrinfo ",
    .socket_failure = "client: socket",
    .connect_failure = "client: socket",
};
constexpr std::size_t initial_line_capacity = 50;
// For a line's echo buffer that cannot be had.
constexpr const char* no_memory = "client: echo buffer";
constexpr std::string_view end_word = "SALIR";

// Reports the failure with perror and ends the program with status 1.
[[noreturn]] void error(const char* message)
{
    std::perror(message);
    std::exit(EXIT_FAILURE);
}

void print_bytes(std::string_view bytes) { std::fwrite(bytes.data(), 1, bytes.size(), stdout); }

// What the read of an echo returned: the bytes received, 0 when the service closed
// the connection, -1 when the read failed, with the system's error.
struct echo_result {
    ssize_t received;
    int error;
};

// The connection to the echo service: plain TCP, or TLS over it.
struct echo_link {
    int fd;
    tls_session* tls;  // none for plain TCP
};

// Sends what the connection takes now without waiting; over TLS, wants_read says that
// TLS waits to read before it can send.
ssize_t send_some(const echo_link& link, std::span<const char> bytes, bool& wants_read)
{
    wants_read = false;
    if (link.tls != nullptr) return tls_send_some(link.tls, bytes, wants_read);
    return send(link.fd, bytes.data(), bytes.size(), MSG_DONTWAIT);
}

// Reads once, what has come (waiting for something to come when `wait`): the bytes,
// 0 at the service's end, -1 with errno. Over TLS, an end without close_notify is a
// failure (EPROTO).
ssize_t read_once(const echo_link& link, std::span<char> into, bool wait)
{
    if (link.tls == nullptr) return wait ? read(link.fd, into.data(), into.size())
                                         : recv(link.fd, into.data(), into.size(), MSG_DONTWAIT);
    for (;;) {
        bool wants_write = false;
        const ssize_t count = tls_receive_some(link.tls, into, wants_write);
        if (count >= 0 || errno != EAGAIN || !wait) return count;
        pollfd ready{link.fd, static_cast<short>(wants_write ? POLLOUT : POLLIN), 0};
        if (poll(&ready, 1, -1) == -1 && errno != EINTR) return -1;
    }
}

// Sends the line. A line that the socket takes at once is simply sent. Otherwise the
// service may itself be waiting for this client to read the echo of what it already
// got, and would never take the rest: while the send cannot go on, the echo that is
// coming back is taken in, up to the echo buffer's size, so that neither side waits
// for the other for ever. Returns what was taken in, or nothing when no echo had to
// be read. A send that fails shows itself in the echo, so it only ends the sending.
std::optional<echo_result> send_line(const echo_link& link, std::span<const char> line, std::span<char> echo)
{
    std::size_t received = 0;
    while (!line.empty()) {
        bool wants_read = false;
        const ssize_t sent = send_some(link, line, wants_read);
        if (sent > 0) {
            line = line.subspan(static_cast<std::size_t>(sent));
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) break;
        const bool room_for_echo = received < echo.size();
        const auto wanted = static_cast<short>(wants_read ? POLLIN : room_for_echo ? POLLOUT | POLLIN : POLLOUT);
        pollfd ready{link.fd, wanted, 0};
        if (poll(&ready, 1, -1) == -1) {
            if (errno == EINTR) continue;
            break;
        }
        if ((ready.revents & POLLIN) == 0 || !room_for_echo) continue;
        const ssize_t count = read_once(link, echo.subspan(received), false);
        if (count == -1 && errno == EAGAIN) continue;
        if (count <= 0) return echo_result{count, errno};
        received += static_cast<std::size_t>(count);
    }
    if (received == 0) return std::nullopt;
    return echo_result{static_cast<ssize_t>(received), 0};
}

}  // namespace

int main(int argc, char** argv)
{
    open_standard_descriptors();
    client_options where = default_client_options(service);
    if (const std::optional<int> status = read_client_options(argc, argv, command, where)) return *status;
    int connect_failure = 0;
    owned_fd connection = connect_to_server(where, connection_texts, connect_failure);
    if (connection.get() == -1) return connect_failure;
    const int fd = connection.get();
    // Over TLS the service is verified before anything else: one that fails gets no line.
    client_tls session;
    if (where.tls.enabled) {
        tls_reason why{};
        int status = 0;
        session = start_client_tls(fd, where.tls, where.host, -1, why, status);
        if (session.session == nullptr) {
            std::fprintf(stderr, "client: TLS: %s\n", why.data());
            return status;
        }
    }
    const echo_link link{fd, session.session.get()};
    // Nothing is written through this stream; it is flushed after each send and closed
    // when the program ends, which closes the connection.
    const owned_stream stream = open_stream(connection);
    std::puts("Conexionen establecida.. Escribe una serie de cadenas <enter> para enviar, "
              "SALIR para terminar");
    line_buffer line(initial_line_capacity);
    // Each line's receive buffer: as long as the line's send, zero-filled before the echo.
    line_buffer echo(initial_line_capacity);

    for (;;) {
        const input_line input = read_line(line, stdin);
        if (input.failed) {
            std::perror("client: standard input");
            return exit_status_after_output(EXIT_FAILURE, output_failure);
        }
        if (input.count == -1) {
            end_client_tls(session.session.get());
            return exit_status_after_output(EXIT_SUCCESS, output_failure);
        }

        if (input.text.find(end_word) != std::string_view::npos) {
            std::puts("Escribio SALIR");
            // The last line goes as read, with no zero byte, and no echo is awaited:
            // whether the send succeeds changes nothing for the user, and an echo taken
            // in while it is sent is not shown.
            const auto last_size = static_cast<std::size_t>(input.count);
            if (!echo.zero_fill(last_size)) error(no_memory);
            send_line(link, {line.data(), last_size}, {echo.data(), last_size});
            if (stream != nullptr) std::fflush(stream.get());
            end_client_tls(session.session.get());
            return exit_status_after_output(EXIT_SUCCESS, output_failure);
        }

        // The text and the zero byte that ends it in the buffer.
        const std::size_t send_size = input.text.size() + 1;
        if (!echo.zero_fill(send_size)) error(no_memory);
        const std::optional<echo_result> taken_in =
            send_line(link, {line.data(), send_size}, {echo.data(), send_size});
        std::printf("Se escribieron %zd caracteres -> ", input.count);
        print_bytes(input.text);
        std::putchar('\n');
        if (stream != nullptr) std::fflush(stream.get());

        // One read only: the service may send back fewer bytes than it got, and waiting
        // for more could hang the client.
        const echo_result result =
            taken_in ? *taken_in : echo_result{read_once(link, {echo.data(), send_size}, true), errno};
        std::printf("Tamanio Eco: %zu\n", send_size);
        // A close is no failure: its report carries the system's text for no error.
        errno = result.received == 0 ? 0 : result.error;
        if (result.received == -1) error("Error al leer desde el socket");
        if (result.received == 0) error("Socket Cerrado");

        std::fputs("\n ECO recibido ", stdout);
        print_visible({echo.data(), ::strnlen(echo.data(), static_cast<std::size_t>(result.received))}, stdout);
        std::putchar('\n');
    }
}
