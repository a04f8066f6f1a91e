#include "connect_to_server.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
using addrinfo_list = std::unique_ptr<addrinfo, decltype(&freeaddrinfo)>;
}

int connect_to_server(const char* service, const client_texts& texts)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* first = nullptr;
    if (const int status = getaddrinfo(server_address, service, &hints, &first); status != 0) {
        std::fprintf(stderr, texts.resolution_failure, gai_strerror(status));
        std::exit(EXIT_FAILURE);
    }
    const addrinfo_list results(first, &freeaddrinfo);

    for (const addrinfo* result = results.get(); result != nullptr; result = result->ai_next) {
        const int fd = socket(result->ai_family, result->ai_socktype, result->ai_protocol);
        if (fd == -1) {
            std::perror(texts.socket_failure);
            continue;
        }
        if (connect(fd, result->ai_addr, result->ai_addrlen) == 0) return fd;
        const int connect_errno = errno;
        close(fd);
        errno = connect_errno;
        std::perror(texts.connect_failure);
    }
    std::fputs(texts.nothing_connected, stderr);
    std::exit(2);
}
