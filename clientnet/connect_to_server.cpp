#include "connect_to_server.hpp"

#include "resolver.hpp"

#include <cstdlib>
#include <sys/socket.h>

owned_fd connect_to_server(const client_options& where, const client_texts& texts, int& failure)
{
    addrinfo hints{};
    hints.ai_family = where.family;
    hints.ai_socktype = SOCK_STREAM;
    const resolved found = resolve(where.host, where.port, hints);
    if (found.status != 0) {
        std::fprintf(stderr, "%s%s\n", texts.resolution_prefix, gai_strerror(found.status));
        failure = EXIT_FAILURE;
        return owned_fd();
    }
    for (const addrinfo* address = found.addresses.get(); address != nullptr; address = address->ai_next) {
        owned_fd connection(socket(address->ai_family, address->ai_socktype, address->ai_protocol));
        if (connection.get() == -1) {
            std::perror(texts.socket_failure);
            continue;
        }
        if (connect(connection.get(), address->ai_addr, address->ai_addrlen) == 0) return connection;
        connection.reset();
        std::perror(texts.connect_failure);
    }
    std::fputs(texts.nothing_connected, stderr);
    failure = exit_not_connected;
    return owned_fd();
}

owned_stream open_stream(owned_fd& connection)
{
    owned_stream stream(fdopen(connection.get(), "w+"));
    if (stream != nullptr) connection.release();
    return stream;
}
