/* floor_epoll: the least that a server serving many connections at once must do for one
 * exchange on port 8000: one thread, epoll, accept4 on an IPv6 socket (IPv4 clients
 * included), read, close; nothing printed. cardbox --connections is measured against it. */
#define _GNU_SOURCE /* accept4 */
#include "floor_listen.h"

#include <stdio.h>
#include <unistd.h>

int main(void)
{
    int epoll = -1;
    int fd = listen_on_port_8000(&epoll);
    if (fd == -1) {
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
