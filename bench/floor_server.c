/* floor_server: the least that a record server must do for one exchange on port 8000
 * (accept, read, close on an IPv6 socket), with nothing printed. cardbox is measured
 * against it. With the argument "linger" it also sets the 30-second linger that
 * cardbox sets on each connection, which shows what that option alone costs. */
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    int lingers = argc > 1 && strcmp(argv[1], "linger") == 0;
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
    char buffer[100];
    for (;;) {
        int connection = accept(fd, NULL, NULL);
        if (connection == -1) continue;
        if (lingers) setsockopt(connection, SOL_SOCKET, SO_LINGER, &linger, sizeof linger);
        if (read(connection, buffer, sizeof buffer) < 0) perror("floor_server: read");
        close(connection);
    }
}
