// The clients' connection setup: reaching the server address.
#pragma once

// The host on which cardbox and the echo service run, given to the resolver.
constexpr const char* server_address = "::1";

// The texts in which the two clients' connection reports differ.
struct client_texts {
    const char* resolution_failure;  // a format for fprintf with one %s: the resolver's text
    const char* socket_failure;      // for perror
    const char* connect_failure;     // for perror
    const char* nothing_connected = "client: error al conectar con el servidor\n";
};

// Returns a socket connected to the server address on the service (a port number in
// text). On failure it reports with the client's texts and ends the process: status 1
// when the address cannot be resolved, 2 when no address can be connected.
int connect_to_server(const char* service, const client_texts& texts);
