#include "connect_to_server.hpp"

#include <cstdlib>
#include <netdb.h>
#include <sys/socket.h>

namespace {
using addrinfo_list = std::unique_ptr<addrinfo, decltype(&freeaddrinfo)>;
}

owned_fd connect_to_server(const client_options& where, const client_texts& texts)
{
    addrinfo hints{};
    hints.ai_family = where.family;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* first = nullptr;
    if (const int status = getaddrinfo(where.host, where.port, &hints, &first); status != 0) {
        std::fprintf(stderr, "%s%s\n", texts.resolution_prefix, gai_strerror(status));
        std::exit(EXIT_FAILURE);
    }
    const addrinfo_list results(first, &freeaddrinfo);

    for (const addrinfo* result = results.get(); result != nullptr; result = result->ai_next) {
        owned_fd connection(socket(result->ai_family, result->ai_socktype, result->ai_protocol));
        if (connection.fd == -1) {
            std::perror(texts.socket_failure);
            continue;
        }
        if (connect(connection.fd, result->ai_addr, result->ai_addrlen) == 0) return connection;
        connection.reset();
        std::perror(texts.connect_failure);
    }
    std::fputs(texts.nothing_connected, stderr);
    std::exit(exit_not_connected);
}

owned_stream open_stream(owned_fd& connection)
{
    owned_stream stream(fdopen(connection.fd, "w+"));
    if (stream != nullptr) connection.release();
    return stream;
}
