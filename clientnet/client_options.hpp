// The clients' command line: [-4 | -6] [HOST [PORT]].
#pragma once

#include "command_line.hpp"

// Where a client connects.
struct client_options {
    const char* host;  // a name or a numeric address, for the resolver
    const char* port;  // a number or a service name
    int family;        // AF_UNSPEC, or AF_INET with -4, AF_INET6 with -6
};

// The options, as --help shows them.
constexpr const char* client_options_help =
    "  -4, --ipv4     connect over IPv4 only\n"
    "  -6, --ipv6     connect over IPv6 only\n"
    "  -h, --help     show this help and exit\n"
    "  -V, --version  show the version and exit\n";

// Reads a client's command line. HOST defaults to the server address and PORT to the
// client's own; with -4 or -6 the last one given holds. Prints the help or the version
// and ends when asked; ends with exit_usage on a command line it cannot use, before
// anything is connected.
client_options read_client_options(int argc, char** argv, const command_texts& texts,
                                   const char* default_port);
