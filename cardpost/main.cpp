// cardpost: the record client. Connects to cardbox (on ::1 port 8000 unless the command
// line names another host and port), asks for a given name, a surname and an age, and
// sends them as one 62-byte person record. With --confirm it then waits for the
// server's verdict: a normal close says the record was taken, a reset that it was not.
//
// Every text it prints is fixed by its manual page and relied on by its users and
// their scripts, odd spellings ("Escrbe", "Enviendo") included: do not mend them.
#include "connect_to_server.hpp"
#include "deadline.hpp"
#include "line_reader.hpp"
#include "person_record.hpp"
#include "standard_streams.hpp"
#include "verdict.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <getopt.h>
#include <optional>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr const char* service = "8000";
constexpr const char* output_failure = "cliente: standard output";
constexpr command_texts command{
    .name = "cardpost",
    .usage = "usage: cardpost [-4 | -6] [-c] [-w SECONDS] [--tls [--tls-ca FILE] [--tls-name NAME]\n"
             "                [--tls-cert FILE --tls-key FILE]] [HOST [PORT]]\n",
    .description = "Asks for a given name, a surname and an age, and sends them as one person\n"
                   "record to cardbox on HOST (default ::1), TCP port PORT (default 8000).\n",
    .options = "  -c, --confirm         wait for the server to take the record, and say so in\n"
               "                        the exit status (0 taken, 1 not taken, 3 no verdict)\n"
               "  -w, --wait SECONDS    wait this long for the verdict (default 60); implies\n"
               "                        --confirm\n"
               "  -4, --ipv4            connect over IPv4 only\n"
               "  -6, --ipv6            connect over IPv6 only\n"
               "      --tls             talk TLS, the server verified against the system's\n"
               "                        trusted CAs before anything is sent\n"
               "      --tls-ca FILE     trust this CA (PEM) instead; implies --tls\n"
               "      --tls-name NAME   the name the server's certificate must hold (default:\n"
               "                        HOST); implies --tls\n"
               "      --tls-cert FILE   present this client certificate (PEM), with\n"
               "      --tls-key FILE    its key; implies --tls\n"
               "  -h, --help            show this help and exit\n"
               "  -V, --version         show the version and exit\n",
    .output_failure = output_failure,
};
constexpr client_texts connection_texts{
    .resolution_prefix = "getaddrinfo: ",
    .socket_failure = "client: socket",
    .connect_failure = "cliente: connect",
};
constexpr std::size_t initial_line_capacity = 30;
constexpr int default_wait_seconds = 60;
constexpr int max_wait_seconds = 2'147'483;  // poll's milliseconds

// What the command line chose.
struct post_options {
    client_options where;
    bool confirm;
    int wait_seconds;
};

// Reads the command line into chosen. Returns the status to end the program with at
// once, or nothing to go on; nothing is connected before.
std::optional<int> read_options(int argc, char** argv, post_options& chosen)
{
    static constexpr auto long_options = with_client_options(std::array<option, 2>{{
        {"confirm", no_argument, nullptr, 'c'},
        {"wait", required_argument, nullptr, 'w'},
    }});
    name_program(argv, command);
    for (int option = 0; (option = getopt_long(argc, argv, "46cw:hV", long_options.data(), nullptr)) != -1;) {
        if (option == 'c') {
            chosen.confirm = true;
        } else if (option == 'w') {
            const std::optional<int> seconds = whole_number(optarg, 1, max_wait_seconds);
            if (!seconds) return usage_error(command, "invalid wait in seconds", optarg);
            chosen.wait_seconds = *seconds;
            chosen.confirm = true;
        } else if (const std::optional<int> status = take_client_option(option, chosen.where, command)) {
            return status;
        }
    }
    return take_host_and_port(argc, argv, chosen.where, command);
}

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

// Reads one answer into a text field of the record: the line as typed, its newline
// included; left empty at the end of input. Returns false when the input could not be
// read (errno says why).
bool read_text_field(line_buffer& line, std::span<char, person_text_size> field)
{
    const input_line answer = read_line(line, stdin);
    if (answer.failed) return false;
    fill_person_text(field, answer.text);
    return true;
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
    post_options chosen{default_client_options(service), false, default_wait_seconds};
    if (const std::optional<int> status = read_options(argc, argv, chosen)) return *status;
    int connect_failure = 0;
    owned_fd connection = connect_to_server(chosen.where, connection_texts, connect_failure);
    if (connection.get() == -1) return connect_failure;
    const int fd = connection.get();
    // Over TLS the server is verified before anything else: one that fails gets
    // nothing of the record.
    client_tls session;
    if (chosen.where.tls.enabled) {
        session = start_client_tls(fd, chosen.where.tls, chosen.where.host, "cliente", -1);
        if (session.tls == nullptr) return EXIT_FAILURE;
    }
    const client_tls* const tls = session.tls != nullptr ? &session : nullptr;
    std::puts("Conexion Establecida");
    // Nothing is written through this stream: closing it is what closes the connection.
    const owned_stream stream = open_stream(connection);

    person_record record{};
    line_buffer line(initial_line_capacity);
    std::puts("Escribe un nombre");
    if (!read_text_field(line, record.nombre)) return input_failure();
    std::puts("Escrbe un apellido");
    if (!read_text_field(line, record.apellido)) return input_failure();
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

    // With --confirm, a server that has closed, reset or spoken already gets nothing.
    const std::optional<verdict> refused = chosen.confirm ? refused_before_sending(fd, tls) : std::nullopt;
    ssize_t written = 0;
    if (refused)
        written = 0;
    else if (tls != nullptr)
        written = tls_send_all(*tls, fd, bytes, -1) ? static_cast<ssize_t>(bytes.size()) : -1;
    else
        written = write(fd, bytes.data(), bytes.size());
    const int write_errno = errno;
    if (stream != nullptr) std::fflush(stream.get());
    std::printf("\nSe enviaron: %zd bytes\n", written);
    if (refused) {
        report_verdict(*refused, chosen.wait_seconds);
        write_out_standard_output(output_failure);
        return refused->status;
    }

    // A record that did not leave whole is a failure, not a success, and its
    // connection is reset, so that the server does not take part of it for a record.
    const bool sent = written == static_cast<ssize_t>(bytes.size());
    if (written == -1) {
        errno = write_errno;
        std::perror("cliente: write");
    } else if (!sent) {
        std::fputs("cliente: write: envio incompleto\n", stderr);
        const linger reset_on_close{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset_on_close, sizeof reset_on_close);
    }
    if (!chosen.confirm) return exit_status_after_output(sent ? EXIT_SUCCESS : EXIT_FAILURE, output_failure);

    // With --confirm the status tells what became of the record; output that could not
    // be written is reported all the same. What was sent is shown while the verdict is
    // awaited.
    std::fflush(stdout);
    if (!sent) return EXIT_FAILURE;
    const verdict fate = await_verdict(fd, tls, milliseconds_now() + std::int64_t{chosen.wait_seconds} * 1000);
    report_verdict(fate, chosen.wait_seconds);
    write_out_standard_output(output_failure);
    return fate.status;
}
