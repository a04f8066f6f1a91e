#include "connect_to_server.hpp"

#include "deadline.hpp"
#include "resolver.hpp"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

int connect_before(int fd, const sockaddr* address, socklen_t size, std::int64_t deadline)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    if (connect(fd, address, size) == 0) return 0;
    if (errno != EINPROGRESS) return errno;
    for (;;) {
        pollfd connected{fd, POLLOUT, 0};
        const int ready = poll(&connected, 1, milliseconds_until(deadline));
        if (ready == 0) return ETIMEDOUT;
        if (ready == -1 && errno == EINTR) continue;
        if (ready == -1) return errno;
        int error = 0;
        socklen_t error_size = sizeof error;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &error_size);
        return error;
    }
}

owned_fd connect_to_server(const client_options& where, const client_texts& texts, int& failure,
                           std::int64_t deadline)
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
        if (deadline < 0) {
            if (connect(connection.get(), address->ai_addr, address->ai_addrlen) == 0) return connection;
        } else if (const int error = connect_before(connection.get(), address->ai_addr, address->ai_addrlen, deadline);
                   error == 0) {
            // Blocking again, as the clients' own steps expect.
            fcntl(connection.get(), F_SETFL, fcntl(connection.get(), F_GETFL) & ~O_NONBLOCK);
            return connection;
        } else {
            errno = error;
        }
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
