#include "options.hpp"

#include "record_output.hpp"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>
#include <getopt.h>

namespace {

// The longest time-out, so that it fits poll's milliseconds.
constexpr int max_timeout_seconds = 2'147'483;

// Reads a list of prefix lengths, finest first ("64,48"), each at most `most` and
// shorter than the one before. Returns false when the text holds anything else.
bool read_levels(const char* from, const char* to, int most, std::array<int, max_source_levels>& lengths,
                 std::size_t& count)
{
    std::array<int, max_source_levels> read{};
    std::size_t levels = 0;
    for (const char* start = from;; ++start) {
        const char* const comma = std::find(start, to, ',');
        int number = 0;
        const auto [stop, error] = std::from_chars(start, comma, number);
        if (start == comma || error != std::errc{} || stop != comma || number < 0 || number > most ||
            levels == read.size() || (levels > 0 && number >= read[levels - 1]))
            return false;
        read[levels++] = number;
        if (comma == to) break;
        start = comma;
    }
    lengths = read;
    count = levels;
    return true;
}

// Reads IPV4[,IPV4...][:IPV6[,IPV6...]] prefix lengths. Returns false when the text
// holds anything else.
bool read_prefixes(const char* text, source_prefixes& prefixes)
{
    const char* const end = text + std::strlen(text);
    const char* const colon = std::find(text, end, ':');
    if (!read_levels(text, colon, 32, prefixes.ipv4, prefixes.ipv4_levels)) return false;
    return colon == end || read_levels(colon + 1, end, 128, prefixes.ipv6, prefixes.ipv6_levels);
}

}  // namespace

const command_texts cardbox_command{
    .name = "cardbox",
    .usage = "usage: cardbox [-b ADDRESS] [-p PORT] [-o FILE] [-t SECONDS] [-c N [-a N]] [--sync] [--json]\n"
             "               [-n N] [--summary] [--tls-cert FILE --tls-key FILE [--tls-client-ca FILE]]\n",
    .description = "Receives person records over TCP and prints each as it arrives, one\n"
                   "connection at a time unless told to serve more at once.\n",
    .options = "  -b, --bind ADDRESS     listen on this address only (default: every local\n"
               "                         IPv6 and IPv4 address)\n"
               "  -p, --port PORT        listen on this TCP port (default 8000)\n"
               "  -o, --output FILE      append the records to FILE (made readable by this\n"
               "                         user alone) instead of standard output; SIGHUP\n"
               "                         opens it again by name, as after a rotation\n"
               "  -t, --timeout SECONDS  give up on a client whose record has not arrived\n"
               "                         whole this long after it connected (default: wait\n"
               "                         for ever)\n"
               "  -c, --connections N    serve up to N connections at once, 1 to 16384\n"
               "                         (default 1: one after the other)\n"
               "  -a, --per-address N    serve at most N of them from one source, an IPv4\n"
               "                         address or an IPv6 /64 (default: half of\n"
               "                         --connections); as many more wait their turn\n"
               "      --busy-timeout SECONDS\n"
               "                         with -c, when every slot is taken and clients\n"
               "                         wait, reset the oldest connections without a\n"
               "                         whole record once this old (default 10)\n"
               "      --source-prefix IPV4[,IPV4...][:IPV6[,IPV6...]]\n"
               "                         the prefix lengths that make one source, finest\n"
               "                         first, each coarser one with four times the share\n"
               "                         (default 32,24:64,48)\n"
               "      --sync             tell a client its record was taken only once it is\n"
               "                         on disk (the output must be a file on a disk)\n"
               "      --json             print one JSON object per connection\n"
               "      --text             print the lines in Spanish (the default); undoes\n"
               "                         an earlier --json\n"
               "  -n, --count N          end (status 0) once N whole records are taken;\n"
               "                         the clients still connected are reset\n"
               "      --summary          end with a line on standard error: the records\n"
               "                         taken, the connections reset, the sources they\n"
               "                         came from (implied by --count)\n"
               "      --tls-cert FILE    serve TLS 1.2 or later with this certificate (PEM,\n"
               "                         its chain after it); SIGHUP loads it again\n"
               "      --tls-key FILE     the certificate's private key (PEM)\n"
               "      --tls-client-ca FILE\n"
               "                         take records only from clients with a certificate\n"
               "                         that this CA signed (PEM); JSON lines then name\n"
               "                         it in peer_subject\n"
               "  -h, --help             show this help and exit\n"
               "  -V, --version          show the version and exit\n",
    .output_failure = output_failure,
};

std::optional<int> read_options(int argc, char** argv, options& chosen)
{
    enum {
        json_option = 256,
        text_option,
        sync_option,
        summary_option,
        busy_timeout_option,
        source_prefix_option,
        tls_cert_option,
        tls_key_option,
        tls_client_ca_option,
    };
    static constexpr option long_options[] = {
        {"bind", required_argument, nullptr, 'b'},
        {"port", required_argument, nullptr, 'p'},
        {"output", required_argument, nullptr, 'o'},
        {"timeout", required_argument, nullptr, 't'},
        // The name of 1.1.0, so that its command lines keep working.
        {"idle-timeout", required_argument, nullptr, 't'},
        {"connections", required_argument, nullptr, 'c'},
        {"per-address", required_argument, nullptr, 'a'},
        {"busy-timeout", required_argument, nullptr, busy_timeout_option},
        {"source-prefix", required_argument, nullptr, source_prefix_option},
        {"sync", no_argument, nullptr, sync_option},
        {"count", required_argument, nullptr, 'n'},
        {"summary", no_argument, nullptr, summary_option},
        {"json", no_argument, nullptr, json_option},
        {"text", no_argument, nullptr, text_option},
        {"tls-cert", required_argument, nullptr, tls_cert_option},
        {"tls-key", required_argument, nullptr, tls_key_option},
        {"tls-client-ca", required_argument, nullptr, tls_client_ca_option},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    const command_texts& command = cardbox_command;
    name_program(argv, command);
    for (int option = 0; (option = getopt_long(argc, argv, "b:p:o:t:c:a:n:hV", long_options, nullptr)) != -1;) {
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
        case 'o':
            if (*optarg == '\0') return usage_error(command, "invalid output file", optarg);
            chosen.output = optarg;
            break;
        case 't': {
            const std::optional<int> seconds = whole_number(optarg, 1, max_timeout_seconds);
            if (!seconds) return usage_error(command, "invalid time-out in seconds", optarg);
            chosen.timeout_ms = *seconds * 1000;
            break;
        }
        case busy_timeout_option: {
            const std::optional<int> seconds = whole_number(optarg, 1, max_timeout_seconds);
            if (!seconds) return usage_error(command, "invalid busy time-out in seconds", optarg);
            chosen.busy_timeout_ms = *seconds * 1000;
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
            chosen.per_source = *share;
            break;
        }
        case source_prefix_option:
            if (!read_prefixes(optarg, chosen.prefixes))
                return usage_error(command, "invalid prefix lengths (IPV4 0 to 32, IPV6 0 to 128, at most 3 each, finest first)", optarg);
            break;
        case 'n': {
            const std::optional<int> count = whole_number(optarg, 1, INT_MAX);
            if (!count) return usage_error(command, "invalid number of records", optarg);
            chosen.count = static_cast<std::uint64_t>(*count);
            chosen.summary = true;
            break;
        }
        case summary_option: chosen.summary = true; break;
        case sync_option: chosen.sync = true; break;
        case json_option: chosen.json = true; break;
        case text_option: chosen.json = false; break;
        case tls_cert_option: chosen.tls.cert = optarg; break;
        case tls_key_option: chosen.tls.key = optarg; break;
        case tls_client_ca_option: chosen.tls.client_ca = optarg; break;
        case 'h': return print_help(command);
        case 'V': return print_version(command);
        default: return usage_error(command);
        }
    }
    if (optind < argc) return usage_error(command, "unexpected argument", argv[optind]);
    if ((chosen.tls.cert == nullptr) != (chosen.tls.key == nullptr))
        return usage_error(command, "--tls-cert and --tls-key go together");
    if (chosen.tls.client_ca != nullptr && chosen.tls.cert == nullptr)
        return usage_error(command, "--tls-client-ca needs --tls-cert and --tls-key");
    if (chosen.per_source > 0 && chosen.connections == 1)
        return usage_error(command, "--per-address needs --connections above 1");
    if (chosen.per_source > chosen.connections) {
        std::fprintf(stderr, "%s: --per-address %d is more than --connections %d\n", command.name,
                     chosen.per_source, chosen.connections);
        return usage_error(command);
    }
    if (chosen.per_source == 0) chosen.per_source = chosen.connections > 1 ? chosen.connections / 2 : 1;
    return std::nullopt;
}
