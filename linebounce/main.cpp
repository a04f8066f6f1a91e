// linebounce: an interactive client for the echo service on port 9000. Sends each
// line typed, with a zero byte after it, and prints the echo, until a line holds
// SALIR or input ends.
#include "connect_to_server.hpp"
#include "line_reader.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <unistd.h>

namespace {

constexpr const char* service = "9000";
constexpr client_texts connection_texts{
    .resolution_failure = "getaddrinfo %s\n",
    .socket_failure = "client: socket",
    .connect_failure = "client: socket",
};
constexpr std::size_t initial_line_capacity = 50;
constexpr std::string_view end_word = "SALIR";

// Reports the failure with perror and ends the program with status 1.
[[noreturn]] void error(const char* message)
{
    std::perror(message);
    std::exit(EXIT_FAILURE);
}

void print_bytes(std::string_view bytes) { std::fwrite(bytes.data(), 1, bytes.size(), stdout); }

}  // namespace

int main()
{
    const int fd = connect_to_server(service, connection_texts);
    // Nothing is written through this stream; it is flushed after each send and left
    // open until the process ends, which closes the connection.
    std::FILE* const stream = fdopen(fd, "w+");
    std::puts("Conexionen establecida.. Escribe una serie de cadenas <enter> para enviar, "
              "SALIR para terminar");
    line_buffer line(initial_line_capacity);

    for (;;) {
        const input_line input = read_line(line, stdin);
        if (input.count == -1) return EXIT_SUCCESS;

        if (input.text.find(end_word) != std::string_view::npos) {
            std::puts("Escribio SALIR");
            // The last line goes as read, with no zero byte, and no echo is awaited:
            // whether the send succeeds changes nothing for the user.
            [[maybe_unused]] const ssize_t sent =
                write(fd, line.data, static_cast<std::size_t>(input.count));
            if (stream != nullptr) std::fflush(stream);
            return EXIT_SUCCESS;
        }

        // The text and the zero byte that ends it in the buffer. A failed or short send
        // shows itself in the echo, so its result is not examined.
        const std::size_t send_size = input.text.size() + 1;
        [[maybe_unused]] const ssize_t sent = write(fd, line.data, send_size);
        std::printf("Se escribieron %zd caracteres -> ", input.count);
        print_bytes(input.text);
        std::putchar('\n');
        if (stream != nullptr) std::fflush(stream);

        // The line has been sent and printed, so its buffer, which holds at least
        // send_size bytes, receives the echo. One read only: the service may send back
        // fewer bytes than it got, and waiting for more could hang the client.
        std::memset(line.data, 0, send_size);
        const ssize_t received = read(fd, line.data, send_size);
        const int read_errno = errno;
        std::printf("Tamanio Eco: %zu\n", send_size);
        errno = read_errno;
        if (received == -1) error("Error al leer desde el socket");
        if (received == 0) error("Socket Cerrado");

        std::fputs("\n ECO recibido ", stdout);
        print_bytes({line.data, ::strnlen(line.data, static_cast<std::size_t>(received))});
        std::putchar('\n');
    }
}
