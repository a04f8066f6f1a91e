// The clients' command line: [-4 | -6] [HOST [PORT]].
#pragma once

#include "command_line.hpp"

#include <optional>

// Where a client connects.
struct client_options {
    const char* host;  // a name or a numeric address, for the resolver
    const char* port;  // a number or a service name
    int family;        // AF_UNSPEC, or AF_INET with -4, AF_INET6 with -6
};

// The options that both clients take, as --help shows them.
constexpr const char* client_options_help =
    "  -4, --ipv4     connect over IPv4 only\n"
    "  -6, --ipv6     connect over IPv6 only\n"
    "  -h, --help     show this help and exit\n"
    "  -V, --version  show the version and exit\n";

// Returns where a client connects unless its command line says otherwise.
client_options default_client_options(const char* default_port);

// Takes one option that both clients know, as getopt returned it: -4, -6, -h, -V, or
// getopt's own report of an option it does not know. With -4 or -6 the last one given
// holds. Returns the status to end the program with (after the help, the version or a
// usage error), or nothing to go on.
std::optional<int> take_client_option(int option, client_options& chosen, const command_texts& texts);

// Takes HOST and PORT, what follows the options. Returns the status of a usage error.
std::optional<int> take_host_and_port(int argc, char** argv, client_options& chosen,
                                      const command_texts& texts);

// Reads a command line of those options alone. Returns the status to end the program
// with, or nothing to go on; nothing is connected before.
std::optional<int> read_client_options(int argc, char** argv, const command_texts& texts,
                                       client_options& chosen);
