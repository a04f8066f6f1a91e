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
#include "batch.hpp"
#include "roster.hpp"
#include "standard_streams.hpp"
#include "verdict.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <getopt.h>
#include <optional>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr const char* service = "8000";
constexpr const char* output_failure = "cliente: standard output";
constexpr command_texts command{
    .name = "cardpost",
    .usage = "usage: cardpost [-4 | -6] [-c] [-w SECONDS] [-q] [--tls [--tls-ca FILE] [--tls-name NAME]\n"
             "                [--tls-cert FILE --tls-key FILE]] [HOST [PORT]]\n"
             "       cardpost --batch FILE [--format csv|json] [--parallel N] [--retry N] [--resend FILE]\n"
             "                [-w SECONDS] [-4 | -6] [--tls ...] [HOST [PORT]]\n",
    .description = "Asks for a given name, a surname and an age, and sends them as one person\n"
                   "record to cardbox on HOST (default ::1), TCP port PORT (default 8000); or,\n"
                   "with --batch, sends every row of a roster, each with its own verdict.\n",
    .options = "  -c, --confirm         wait for the server to take the record, and say so in\n"
               "                        the exit status (0 taken, 1 not taken, 3 no verdict)\n"
               "  -w, --wait SECONDS    give each record this long, connect included, and\n"
               "                        its verdict (default 60); implies --confirm\n"
               "  -q, --quiet           no prompts and no summary: a script's answers,\n"
               "                        refused (status 65) rather than changed to fit\n"
               "      --batch FILE      send every row of FILE (- for standard input), a\n"
               "                        CSV with a header naming nombre, apellido and edad,\n"
               "                        or JSON Lines as cardbox --json prints; one verdict\n"
               "                        line per row on standard output\n"
               "      --format csv|json the roster's format (default: JSON Lines when it\n"
               "                        starts with {, CSV otherwise)\n"
               "      --parallel N      send up to N records at once (default 8)\n"
               "      --retry N         try a record not taken, or not connected, N more\n"
               "                        times, each after a pause drawn below 0.1 s,\n"
               "                        0.2 s, ... (default 5)\n"
               "      --resend FILE     write the rows that may safely be sent again (not\n"
               "                        taken, no connection) to FILE, in the roster's\n"
               "                        own form\n",
    .more_options = client_options_help,
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
// Eight at once took a roster at the rate of 32 on the machines measured (bench/run),
// and stays well within any server's share for one source.
constexpr int default_parallel = 8;
constexpr int max_parallel = 1024;
// 0.1 + 0.2 + 0.4 + 0.8 + 1.6 s: the five retries ride out a server's restart.
constexpr int default_retries = 5;
constexpr int max_retries = 100;

// What the command line chose.
struct post_options {
    client_options where;
    bool confirm = false;
    int wait_seconds = default_wait_seconds;
    bool quiet = false;
    batch_options batch{nullptr,         roster_format::detect, default_parallel,
                        default_retries, default_wait_seconds,  nullptr};
};

// Reads the command line into chosen. Returns the status to end the program with at
// once, or nothing to go on; nothing is connected before.
std::optional<int> read_options(int argc, char** argv, post_options& chosen)
{
    enum { batch_option = 256, format_option, parallel_option, retry_option, resend_option };
    static constexpr auto long_options = with_client_options(std::array<option, 8>{{
        {"confirm", no_argument, nullptr, 'c'},
        {"wait", required_argument, nullptr, 'w'},
        {"quiet", no_argument, nullptr, 'q'},
        {"batch", required_argument, nullptr, batch_option},
        {"format", required_argument, nullptr, format_option},
        {"parallel", required_argument, nullptr, parallel_option},
        {"retry", required_argument, nullptr, retry_option},
        {"resend", required_argument, nullptr, resend_option},
    }});
    name_program(argv, command);
    batch_options& batch = chosen.batch;
    const char* batch_only = nullptr;  // an option that means something only with --batch
    for (int option = 0; (option = getopt_long(argc, argv, "46cw:qhV", long_options.data(), nullptr)) != -1;) {
        if (option == 'c') {
            chosen.confirm = true;
        } else if (option == 'w') {
            const std::optional<int> seconds = whole_number(optarg, 1, max_wait_seconds);
            if (!seconds) return usage_error(command, "invalid wait in seconds", optarg);
            chosen.wait_seconds = batch.wait_seconds = *seconds;
            chosen.confirm = true;
        } else if (option == 'q') {
            chosen.quiet = true;
        } else if (option == batch_option) {
            batch.path = optarg;
        } else if (option == resend_option) {
            batch_only = "--resend";
            if (*optarg == '\0') return usage_error(command, "invalid file to send again", optarg);
            batch.resend = optarg;
        } else if (option == format_option) {
            batch_only = "--format";
            const std::string_view format(optarg);
            if (format != "csv" && format != "json")
                return usage_error(command, "invalid format (csv or json)", optarg);
            batch.format = format == "csv" ? roster_format::csv : roster_format::json;
        } else if (option == parallel_option || option == retry_option) {
            const bool parallel = option == parallel_option;
            batch_only = parallel ? "--parallel" : "--retry";
            const std::optional<int> count =
                whole_number(optarg, parallel ? 1 : 0, parallel ? max_parallel : max_retries);
            if (!count)
                return usage_error(
                    command, parallel ? "invalid number of records at once" : "invalid number of retries", optarg);
            (parallel ? batch.parallel : batch.retries) = *count;
        } else if (const std::optional<int> status = take_client_option(option, chosen.where, command)) {
            return status;
        }
    }
    if (batch_only != nullptr && batch.path == nullptr) {
        std::fprintf(stderr, "%s: %s needs --batch\n", command.name, batch_only);
        return usage_error(command);
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

// Prints a line of the conversation, unless --quiet.
void say(const post_options& chosen, const char* text)
{
    if (!chosen.quiet) std::puts(text);
}

// Reads the three answers of --quiet, one line each, into the record as typed answers
// are sent. Returns nothing when all three fit as they stand; else reports why not and
// returns the status to end with: 65 for an answer refused, 1 for input unreadable.
std::optional<int> read_exact_answers(line_buffer& line, person_record& record)
{
    constexpr std::array<const char*, 3> names{"nombre", "apellido", "edad"};
    refusal why{};
    for (std::size_t which = 0; which < names.size() && why[0] == '\0'; ++which) {
        const input_line answer = read_line(line, stdin);
        if (answer.failed) {
            std::perror("cliente: standard input");
            return EXIT_FAILURE;
        }
        if (answer.count <= 0) {
            std::snprintf(why.data(), why.size(), "no answer for %s before the end of input", names[which]);
            break;
        }
        // All of the line, a zero byte in it included, so that one is refused too.
        std::string_view text(line.data(), static_cast<std::size_t>(answer.count));
        if (text.back() == '\n') text.remove_suffix(1);
        if (which == 2)
            fill_whole_age(why, record, text);
        else
            fill_typed_answer(why, which == 0 ? std::span(record.nombre) : std::span(record.apellido), names[which],
                              text);
    }
    if (why[0] == '\0') return std::nullopt;
    std::fprintf(stderr, "cliente: %s\n", why.data());
    return exit_refused;
}

// Ends a connection that gets no record with a reset, so that the server takes
// nothing from it, and returns the status.
int reset_empty(int fd, int status)
{
    const linger reset_on_close{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset_on_close, sizeof reset_on_close);
    return exit_status_after_output(status, output_failure);
}

}  // namespace

int main(int argc, char** argv)
{
    open_standard_descriptors();
    post_options chosen{.where = default_client_options(service)};
    if (const std::optional<int> status = read_options(argc, argv, chosen)) return *status;
    if (chosen.batch.path != nullptr)
        return exit_status_after_output(send_roster(chosen.batch, chosen.where), output_failure);
    // With --confirm, --wait bounds the connect too: a host that does not answer is
    // given up on then, as no connection.
    const std::int64_t connect_deadline =
        chosen.confirm ? seconds_after(milliseconds_now(), chosen.wait_seconds) : -1;
    int connect_failure = 0;
    owned_fd connection = connect_to_server(chosen.where, connection_texts, connect_failure, connect_deadline);
    if (connection.get() == -1) return connect_failure;
    const int fd = connection.get();
    // Over TLS the server is verified before anything else, and a server that wants a
    // client certificate said so: one that fails gets nothing of the record, and the
    // person learns why before typing.
    client_tls session;
    if (chosen.where.tls.enabled) {
        tls_reason why{};
        int status = 0;
        session = start_client_tls(fd, chosen.where.tls, chosen.where.host, connect_deadline, why, status);
        if (session.session == nullptr) {
            std::fprintf(stderr, "cliente: TLS: %s\n", why.data());
            return status;
        }
    }
    tls_session* const tls = session.session.get();
    say(chosen, "Conexion Establecida");
    // Nothing is written through this stream: closing it is what closes the connection.
    const owned_stream stream = open_stream(connection);

    person_record record{};
    line_buffer line(initial_line_capacity);
    if (chosen.quiet) {
        // A script is told, rather than having its answers changed to fit.
        const std::optional<int> status = read_exact_answers(line, record);
        if (status) return reset_empty(fd, *status);
    } else {
        std::puts("Escribe un nombre");
        if (!read_text_field(line, record.nombre)) return input_failure();
        std::puts("Escrbe un apellido");
        if (!read_text_field(line, record.apellido)) return input_failure();
        std::puts("Escribe la edad");
        const std::int64_t age = read_age(stdin);
        if (std::ferror(stdin) != 0) return input_failure();
        fill_person_age(record, age);
    }

    const std::span<const char, person_record_size> bytes = person_record_bytes(record);
    if (!chosen.quiet) {
        const person_fields shown = read_person_record(bytes);
        std::printf("\nEnviendo estructura con %zu bytes, datos:\nNombre: %.*s\nApellido: %.*s\nEdad: %u\n",
                    bytes.size(), static_cast<int>(shown.nombre.size()), shown.nombre.data(),
                    static_cast<int>(shown.apellido.size()), shown.apellido.data(),
                    static_cast<unsigned>(shown.edad));
    }

    // With --confirm, a server that has closed, reset or spoken already gets nothing.
    const std::optional<verdict> refused = chosen.confirm ? refused_before_sending(fd, tls) : std::nullopt;
    ssize_t written = 0;
    if (refused)
        written = 0;
    else if (tls != nullptr) {
        const std::int64_t send_deadline = chosen.confirm ? seconds_after(milliseconds_now(), chosen.wait_seconds) : -1;
        written = tls_send_all(tls, fd, bytes, send_deadline) ? static_cast<ssize_t>(bytes.size()) : -1;
    } else
        written = write(fd, bytes.data(), bytes.size());
    const int write_errno = errno;
    if (stream != nullptr) std::fflush(stream.get());
    if (!chosen.quiet) std::printf("\nSe enviaron: %zd bytes\n", written);
    if (refused) {
        report_verdict(*refused, chosen.wait_seconds, tls != nullptr);
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
    const verdict fate = await_verdict(fd, tls, seconds_after(milliseconds_now(), chosen.wait_seconds));
    report_verdict(fate, chosen.wait_seconds, tls != nullptr);
    write_out_standard_output(output_failure);
    return fate.status;
}
