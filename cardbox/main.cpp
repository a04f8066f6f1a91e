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

#include <cstdio>
#include <cstdlib>
#include <optional>

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
    }
    tls_server* const serving_tls = tls.context != nullptr ? &tls : nullptr;
    if (serving_tls != nullptr) ignore_broken_pipe_signal();
    // The service manager may hold the listening socket, so that clients queue there
    // while the server restarts; then the socket unit says where it listens.
    listeners listening;
    const int passed = take_passed_sockets(listening);
    if (passed < 0) return EXIT_FAILURE;
    if (passed > 0 && chosen.place_chosen) {
        std::fputs("cardbox: -b and -p cannot be used with sockets passed by the service "
                   "manager: set the address in the socket unit\n",
                   stderr);
        return exit_usage;
    }
    if (passed == 0 && !bind_listener(chosen, listening)) return EXIT_FAILURE;
    // The start line comes out once clients can connect. In JSON, standard output holds
    // the records' lines and nothing else; with --output, the start line stays on
    // standard output, where it always was.
    constexpr const char* start_line = "Servicio iniciado... esperando cliente\n";
    if (!chosen.json && chosen.output == nullptr) print(out, start_line);
    if (passed == 0 && !start_listening(listening, out)) return EXIT_FAILURE;
    if (chosen.json || chosen.output != nullptr) {
        std::FILE* const stream = chosen.json ? stderr : stdout;
        std::fputs(start_line, stream);
        std::fflush(stream);
    }
    tell_ready();

    return chosen.connections == 1 ? serve_one_at_a_time(listening, chosen, out, serving_tls)
                                   : serve_many_at_once(listening, chosen, out, serving_tls);
}
