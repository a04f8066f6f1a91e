// cardbox: the record server. Listens on port 8000 on every local IPv6 and IPv4
// address (unless the command line chooses another address or port) and serves one
// connection at a time (or, with --connections, many at once), plain or over TLS:
// names the peer, reads one person record, prints it, closes the connection.
//
// Every text it prints is fixed by its manual page and relied on by operators and
// scripts, odd spellings, the blank before "Edad" and the report of a close that is
// no failure included: do not mend them.
#include "command_line.hpp"
#include "listeners.hpp"
#include "options.hpp"
#include "record_output.hpp"
#include "reports.hpp"
#include "serving.hpp"
#include "signals.hpp"
#include "standard_streams.hpp"
#include "tally.hpp"
#include "tls.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>

namespace {

// Reports why the sockets that the service manager passed cannot be served.
void report_passed_failure(const passed_sockets& passed)
{
    using failure = passed_sockets::failure;
    switch (passed.failed) {
    case failure::none: return;
    case failure::cannot_take:
        std::fprintf(stderr, "cardbox: the sockets passed by the service manager cannot be taken: %s\n",
                     std::strerror(passed.error));
        return;
    case failure::too_many:
        std::fprintf(stderr, "cardbox: %d sockets passed by the service manager, more than %zu\n", passed.count,
                     max_listeners);
        return;
    case failure::not_listening_tcp:
        std::fprintf(stderr, "cardbox: socket %s (descriptor %d) passed by the service manager is not a listening "
                             "TCP socket\n",
                     passed.name.data(), passed.fd);
        return;
    case failure::cannot_reset:
        errno = passed.error;
        std::perror("setsockopt(...,SO_LINGER,...)");
        return;
    }
}

// Reports each step of binding that failed, in the order tried, and the end of it
// when nothing was bound.
void report_bind_failures(const bound_listener& bound)
{
    using step = bind_failure::step;
    if (bound.resolver_status != 0) {
        std::fprintf(stderr, "getaddrinfo: %s\n", gai_strerror(bound.resolver_status));
        return;
    }
    const std::span<const bind_failure> failures(bound.failures.data(), bound.failure_count);
    for (const bind_failure& failed : failures) {
        errno = failed.error;
        switch (failed.failed) {
        case step::socket: std::perror("server: socket"); break;
        case step::reuse_address: std::perror("setsockopt"); break;
        case step::ipv4_too: std::perror("setsockopt   no soporta IPv6"); break;
        case step::reset_on_close: std::perror("setsockopt(...,SO_LINGER,...)"); break;
        case step::bind: std::perror("server: bind"); break;
        }
    }
    // An option that could not be set ends the trying: its report says it all.
    const bool addresses_tried = failures.empty() || failures.back().failed == step::socket ||
                                 failures.back().failed == step::bind;
    if (!bound.bound && addresses_tried) std::fputs("servidor: error en bind\n", stderr);
}

}  // namespace

int main(int argc, char** argv)
{
    open_standard_descriptors();
    open_reports();
    options chosen;
    if (const std::optional<int> status = read_options(argc, argv, chosen)) return *status;
    if (chosen.summary) keep_tally();
    ignore_file_size_signal();
    catch_stop_signals();
    // Before anyone can be told that the server is up, so that a SIGHUP sent as soon as
    // it is reopens the file rather than ending the server.
    if (chosen.output != nullptr || chosen.tls.cert != nullptr) catch_reload_signal();

    record_output out;
    if (const std::optional<int> status = open_record_output(out, chosen.output, chosen.sync)) return *status;
    write_out_reports();
    tls_server tls{chosen.tls, nullptr};
    if (chosen.tls.cert != nullptr) {
        tls_loaded loaded = load_tls(chosen.tls);
        if (loaded.context == nullptr) {
            std::fprintf(stderr, "%s\n", loaded.failure.data());
            return EXIT_FAILURE;
        }
        tls.context = std::move(loaded.context);
        ignore_broken_pipe_signal();
    }
    // The service manager may hold the listening socket, so that clients queue there
    // while the server restarts; then the socket unit says where it listens.
    listeners listening;
    const passed_sockets passed = take_passed_sockets(listening);
    if (passed.failed != passed_sockets::failure::none) {
        report_passed_failure(passed);
        return EXIT_FAILURE;
    }
    if (passed.count > 0 && chosen.place_chosen) {
        std::fputs("cardbox: -b and -p cannot be used with sockets passed by the service manager: set the "
                   "address in the socket unit\n",
                   stderr);
        return exit_usage;
    }
    if (passed.count == 0) {
        const bound_listener bound = bind_listener(chosen, listening);
        report_bind_failures(bound);
        if (!bound.bound) return EXIT_FAILURE;
    }
    // A server that cannot serve says so before it says it is up.
    server serving{.chosen = chosen, .listening = listening, .out = out,
                   .tls = tls.context != nullptr ? &tls : nullptr};
    if (const server_failure failure = make_server(serving); failure.failed()) {
        std::fprintf(stderr, "%s\n", failure.line.data());
        return EXIT_FAILURE;
    }
    // The start line comes out once clients can connect. In JSON, standard output holds
    // the records' lines and nothing else; with --output, the start line stays on
    // standard output, where it always was.
    constexpr const char* start_line = "Servicio iniciado... esperando cliente\n";
    if (!chosen.json && chosen.output == nullptr) print(out, start_line);
    if (passed.count == 0) {
        if (const int error = start_listening(listening); error != 0) {
            if (!write_all_printed(out)) return EXIT_FAILURE;
            errno = error;
            std::perror("server: listen");
            return EXIT_FAILURE;
        }
    }
    if (chosen.json || chosen.output != nullptr) {
        std::FILE* const stream = chosen.json ? stderr : stdout;
        std::fputs(start_line, stream);
        std::fflush(stream);
    }
    tell_ready();
    return serve(serving);
}
