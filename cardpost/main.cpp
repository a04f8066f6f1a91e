// cardpost: the record client. Connects to cardbox (on ::1 port 8000 unless the command
// line names another host and port), asks for a given name, a surname and an age, and
// sends them as one 62-byte person record.
//
// Every text it prints is fixed by its manual page and relied on by its users and
// their scripts, odd spellings ("Escrbe", "Enviendo") included: do not mend them.
#include "connect_to_server.hpp"
#include "line_reader.hpp"
#include "person_record.hpp"
#include "standard_streams.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

constexpr const char* service = "8000";
constexpr const char* output_failure = "cliente: standard output";
constexpr command_texts command{
    .name = "cardpost",
    .usage = "usage: cardpost [-4 | -6] [HOST [PORT]]\n",
    .description = "Asks for a given name, a surname and an age, and sends them as one person\n"
                   "record to cardbox on HOST (default ::1), TCP port PORT (default 8000).\n",
    .options = client_options_help,
    .output_failure = output_failure,
};
constexpr client_texts connection_texts{
    .resolution_prefix = "getaddrinfo: ",
    .socket_failure = "client: socket",
    .connect_failure = "cliente: connect",
};
constexpr std::size_t initial_line_capacity = 30;

// Returns a decimal integer read as "%d" reads one (white space, blank lines included,
// skipped; an optional sign; the digits; what follows stays unread), modulo 2^64 so
// that any length of digits is well defined and its low 16 bits exact; 0 when the
// input holds no number. A failed read shows in the stream's error mark.
std::int64_t read_age(std::FILE* input)
{
    int c = 0;
    do c = std::getc(input);
    while (c == ' ' || (c >= '\t' && c <= '\r'));
    const bool negative = c == '-';
    if (c == '-' || c == '+') c = std::getc(input);
    std::uint64_t magnitude = 0;
    for (; c >= '0' && c <= '9'; c = std::getc(input))
        magnitude = magnitude * 10 + static_cast<std::uint64_t>(c - '0');
    if (c != EOF) std::ungetc(c, input);
    return static_cast<std::int64_t>(negative ? 0 - magnitude : magnitude);
}

// Reports an answer that could not be read (not the end of input) and returns the
// exit status: nothing is sent, and the connection is closed empty.
int input_failure()
{
    std::perror("cliente: standard input");
    return exit_status_after_output(EXIT_FAILURE, output_failure);
}

}  // namespace

int main(int argc, char** argv)
{
    open_standard_descriptors();
    const client_options where = read_client_options(argc, argv, command, service);
    owned_fd connection = connect_to_server(where, connection_texts);
    const int fd = connection.fd;
    std::puts("Conexion Establecida");
    // Nothing is written through this stream: closing it is what closes the connection.
    const owned_stream stream = open_stream(connection);

    person_record record{};
    line_buffer line(initial_line_capacity);

    std::puts("Escribe un nombre");
    const input_line nombre = read_line(line, stdin);
    if (nombre.failed) return input_failure();
    fill_person_text(record.nombre, nombre.text);
    std::puts("Escrbe un apellido");
    const input_line apellido = read_line(line, stdin);
    if (apellido.failed) return input_failure();
    fill_person_text(record.apellido, apellido.text);
    std::puts("Escribe la edad");
    const std::int64_t age = read_age(stdin);
    if (std::ferror(stdin) != 0) return input_failure();
    fill_person_age(record, age);

    const std::span<const char, person_record_size> bytes = person_record_bytes(record);
    const person_fields shown = read_person_record(bytes);
    std::printf("\nEnviendo estructura con %zu bytes, datos:\nNombre: %.*s\nApellido: %.*s\nEdad: %u\n",
                bytes.size(), static_cast<int>(shown.nombre.size()), shown.nombre.data(),
                static_cast<int>(shown.apellido.size()), shown.apellido.data(),
                static_cast<unsigned>(shown.edad));

    const ssize_t written = write(fd, bytes.data(), bytes.size());
    const int write_errno = errno;
    if (stream != nullptr) std::fflush(stream.get());
    std::printf("\nSe enviaron: %zd bytes\n", written);

    // A record that did not leave whole is a failure, not a success.
    const bool sent = written == static_cast<ssize_t>(bytes.size());
    if (written == -1) {
        errno = write_errno;
        std::perror("cliente: write");
    } else if (!sent) {
        std::fputs("cliente: write: envio incompleto\n", stderr);
    }
    return exit_status_after_output(sent ? EXIT_SUCCESS : EXIT_FAILURE, output_failure);
}
