/* floor_server: the least that a record server must do for one exchange on port 8000,
 * everything cardbox does but printing: accept on an IPv6 socket, name the peer, set
 * the 30-second linger, read, close. cardbox is measured against it. */
#include <netdb.h>
#include <netinet/in.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

int main(void)
{
    int fd = socket(AF_INET6, SOCK_STREAM, 0);
    int on = 1, off = 0;
    struct sockaddr_in6 address = {.sin6_family = AF_INET6, .sin6_port = htons(8000),
                                   .sin6_addr = IN6ADDR_ANY_INIT};
    if (fd == -1 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == -1 ||
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) == -1 ||
        bind(fd, (struct sockaddr *)&address, sizeof address) == -1 || listen(fd, 5) == -1) {
        perror("floor_server");
        return 1;
    }
    struct linger linger = {1, 30};
    char buffer[100], host[1025], port[32];
    for (;;) {
        struct sockaddr_storage peer;
        socklen_t size = sizeof peer;
        int connection = accept(fd, (struct sockaddr *)&peer, &size);
        if (connection == -1) continue;
        getnameinfo((struct sockaddr *)&peer, sizeof peer, host, sizeof host, port, sizeof port,
                    NI_NUMERICHOST | NI_NUMERICSERV);
        setsockopt(connection, SOL_SOCKET, SO_LINGER, &linger, sizeof linger);
        if (read(connection, buffer, sizeof buffer) < 0) perror("floor_server: read");
        close(connection);
    }
}
