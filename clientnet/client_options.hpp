// The clients' command line: [-4 | -6] [--tls [TLS OPTIONS]] [HOST [PORT]].
#pragma once

#include "client_tls.hpp"
#include "command_line.hpp"

#include <array>
#include <cstddef>
#include <getopt.h>
#include <optional>

// Where a client connects, and how.
struct client_options {
    const char* host;  // a name or a numeric address, for the resolver
    const char* port;  // a number or a service name
    int family;        // AF_UNSPEC, or AF_INET with -4, AF_INET6 with -6
    client_tls_options tls;
};

// The options that both clients take, as --help shows them.
constexpr const char* client_options_help =
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
    "  -V, --version         show the version and exit\n";

// The long options that both clients take, getopt_long's way; the TLS ones return these.
enum client_long_option { tls_option = 512, tls_ca_option, tls_name_option, tls_cert_option, tls_key_option };
constexpr std::array<option, 9> client_long_options{{
    {"ipv4", no_argument, nullptr, '4'},
    {"ipv6", no_argument, nullptr, '6'},
    {"tls", no_argument, nullptr, tls_option},
    {"tls-ca", required_argument, nullptr, tls_ca_option},
    {"tls-name", required_argument, nullptr, tls_name_option},
    {"tls-cert", required_argument, nullptr, tls_cert_option},
    {"tls-key", required_argument, nullptr, tls_key_option},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
}};

// A program's own long options followed by the clients' ones and the end mark.
template <std::size_t own>
constexpr std::array<option, own + client_long_options.size() + 1> with_client_options(
    const std::array<option, own>& options)
{
    std::array<option, own + client_long_options.size() + 1> all{};
    std::size_t next = 0;
    for (const option& entry : options) all[next++] = entry;
    for (const option& entry : client_long_options) all[next++] = entry;
    all[next] = {nullptr, 0, nullptr, 0};
    return all;
}

// Returns where a client connects unless its command line says otherwise.
client_options default_client_options(const char* default_port);

// Takes one option that both clients know, as getopt returned it: -4, -6, the TLS
// ones, -h, -V, or getopt's own report of an option it does not know. With -4 or -6
// the last one given holds. Returns the status to end the program with (after the
// help, the version or a usage error), or nothing to go on.
std::optional<int> take_client_option(int option, client_options& chosen, const command_texts& texts);

// Takes HOST and PORT, what follows the options, and checks that the options go
// together. Returns the status of a usage error.
std::optional<int> take_host_and_port(int argc, char** argv, client_options& chosen,
                                      const command_texts& texts);

// Reads a command line of those options alone. Returns the status to end the program
// with, or nothing to go on; nothing is connected before.
std::optional<int> read_client_options(int argc, char** argv, const command_texts& texts,
                                       client_options& chosen);
