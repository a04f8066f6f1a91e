#include "options.hpp"

#include "record_output.hpp"

#include <getopt.h>

namespace {

// The longest time-out, so that it fits poll's milliseconds.
constexpr int max_timeout_seconds = 2'147'483;

}  // namespace

const command_texts cardbox_command{
    .name = "cardbox",
    .usage = "usage: cardbox [-b ADDRESS] [-p PORT] [-t SECONDS] [-c N [-a N]] [--sync] [--json]\n",
    .description = "Receives person records over TCP and prints each as it arrives, one\n"
                   "connection at a time unless told to serve more at once.\n",
    .options = "  -b, --bind ADDRESS     listen on this address only (default: every local\n"
               "                         IPv6 and IPv4 address)\n"
               "  -p, --port PORT        listen on this TCP port (default 8000)\n"
               "  -t, --timeout SECONDS  give up on a client whose record has not arrived\n"
               "                         whole this long after it connected (default: wait\n"
               "                         for ever)\n"
               "  -c, --connections N    serve up to N connections at once, 1 to 1024\n"
               "                         (default 1: one after the other)\n"
               "  -a, --per-address N    serve at most N of them from one address (default:\n"
               "                         half of --connections)\n"
               "      --sync             tell a client its record was taken only once it is\n"
               "                         on disk (standard output must be a file)\n"
               "      --json             print one JSON object per connection\n"
               "  -h, --help             show this help and exit\n"
               "  -V, --version          show the version and exit\n",
    .output_failure = output_failure,
};

std::optional<int> read_options(int argc, char** argv, options& chosen)
{
    enum { json_option = 256, sync_option };
    static constexpr option long_options[] = {
        {"bind", required_argument, nullptr, 'b'},
        {"port", required_argument, nullptr, 'p'},
        {"timeout", required_argument, nullptr, 't'},
        // The name of 1.1.0, so that its command lines keep working.
        {"idle-timeout", required_argument, nullptr, 't'},
        {"connections", required_argument, nullptr, 'c'},
        {"per-address", required_argument, nullptr, 'a'},
        {"sync", no_argument, nullptr, sync_option},
        {"json", no_argument, nullptr, json_option},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    const command_texts& command = cardbox_command;
    const char* share_text = nullptr;
    name_program(argv, command);
    for (int option = 0; (option = getopt_long(argc, argv, "b:p:t:c:a:hV", long_options, nullptr)) != -1;) {
        switch (option) {
        case 'b':
            chosen.address = optarg;
            chosen.place_chosen = true;
            break;
        case 'p':
            if (!is_port(optarg)) return usage_error(command, "invalid port", optarg);
            chosen.port = optarg;
            chosen.place_chosen = true;
            break;
        case 't': {
            const std::optional<int> seconds = whole_number(optarg, 1, max_timeout_seconds);
            if (!seconds) return usage_error(command, "invalid time-out in seconds", optarg);
            chosen.timeout_ms = *seconds * 1000;
            break;
        }
        case 'c': {
            const std::optional<int> connections = whole_number(optarg, 1, max_connections);
            if (!connections) return usage_error(command, "invalid number of connections", optarg);
            chosen.connections = *connections;
            break;
        }
        case 'a': {
            const std::optional<int> share = whole_number(optarg, 1, max_connections);
            if (!share) return usage_error(command, "invalid number of connections per address", optarg);
            chosen.per_address = *share;
            share_text = optarg;
            break;
        }
        case sync_option: chosen.sync = true; break;
        case json_option: chosen.json = true; break;
        case 'h': return print_help(command);
        case 'V': return print_version(command);
        default: return usage_error(command);
        }
    }
    if (optind < argc) return usage_error(command, "unexpected argument", argv[optind]);
    if (chosen.per_address > chosen.connections)
        return usage_error(command, "more connections per address than --connections", share_text);
    if (chosen.per_address == 0) chosen.per_address = chosen.connections > 1 ? chosen.connections / 2 : 1;
    return std::nullopt;
}
