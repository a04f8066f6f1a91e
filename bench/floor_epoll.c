/* floor_epoll: the least that a server serving many connections at once must do for one
 * exchange on port 8000: one thread, epoll, accept4 on an IPv6 socket (IPv4 clients
 * included), read, close; nothing printed. cardbox --connections is measured against it. */
#define _GNU_SOURCE /* accept4 */
#include <netinet/in.h>
#include <stdio.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

int main(void)
{
    int fd = socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK, 0);
    int on = 1, off = 0;
    struct sockaddr_in6 address = {.sin6_family = AF_INET6, .sin6_port = htons(8000),
                                   .sin6_addr = IN6ADDR_ANY_INIT};
    int epoll = epoll_create1(0);
    struct epoll_event listening = {.events = EPOLLIN, .data.fd = fd};
    if (fd == -1 || epoll == -1 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == -1 ||
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) == -1 ||
        bind(fd, (struct sockaddr *)&address, sizeof address) == -1 || listen(fd, SOMAXCONN) == -1 ||
        epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &listening) == -1) {
        perror("floor_epoll");
        return 1;
    }
    for (;;) {
        struct epoll_event events[256];
        int ready = epoll_wait(epoll, events, 256, -1);
        for (int i = 0; i < ready; ++i) {
            if (events[i].data.fd == fd) {
                int connection;
                while ((connection = accept4(fd, NULL, NULL, SOCK_NONBLOCK)) != -1) {
                    struct epoll_event reading = {.events = EPOLLIN, .data.fd = connection};
                    epoll_ctl(epoll, EPOLL_CTL_ADD, connection, &reading);
                }
                continue;
            }
            char buffer[100];
            /* A record arrives in one read here; the close drops the connection from epoll. */
            if (read(events[i].data.fd, buffer, sizeof buffer) != -1) close(events[i].data.fd);
        }
    }
}
