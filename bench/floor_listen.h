/* The epoll floors' listening socket: port 8000 on every address, IPv6 with IPv4
 * clients included, non-blocking, watched for readiness by a new epoll instance.
 * Returns the listening descriptor and sets *epoll, or returns -1. */
#ifndef FLOOR_LISTEN_H
#define FLOOR_LISTEN_H

#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>

static int listen_on_port_8000(int *epoll)
{
    int fd = socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK, 0);
    int on = 1, off = 0;
    struct sockaddr_in6 address = {.sin6_family = AF_INET6, .sin6_port = htons(8000),
                                   .sin6_addr = IN6ADDR_ANY_INIT};
    struct epoll_event listening = {.events = EPOLLIN, .data.fd = fd};
    *epoll = epoll_create1(0);
    if (fd == -1 || *epoll == -1 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == -1 ||
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) == -1 ||
        bind(fd, (struct sockaddr *)&address, sizeof address) == -1 || listen(fd, SOMAXCONN) == -1 ||
        epoll_ctl(*epoll, EPOLL_CTL_ADD, fd, &listening) == -1)
        return -1;
    return fd;
}

#endif
