/* minimal_server: cardbox's job (take the service manager's socket or resolve the
 * wildcard and listen on port 8000, say it is ready, name the peer, set the linger,
 * read one record, print it, close) written as plainly as C allows, linked the same
 * way: the yardstick for cardbox's memory. */
#include <netdb.h>
#include <stdio.h>
#include <sys/socket.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

int main(void)
{
    struct addrinfo hints = {.ai_flags = AI_PASSIVE, .ai_family = AF_INET6,
                             .ai_socktype = SOCK_STREAM}, *result;
    int on = 1, off = 0, fd = SD_LISTEN_FDS_START;
    if (sd_listen_fds(1) != 1) {
        if (getaddrinfo(NULL, "8000", &hints, &result) != 0) return 1;
        fd = socket(result->ai_family, result->ai_socktype, result->ai_protocol);
        if (fd == -1 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == -1 ||
            setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) == -1 ||
            bind(fd, result->ai_addr, result->ai_addrlen) == -1 || listen(fd, 5) == -1) {
            perror("minimal_server");
            return 1;
        }
        freeaddrinfo(result);
    }
    puts("Servicio iniciado... esperando cliente");
    sd_notify(0, "READY=1");
    for (;;) {
        struct sockaddr_storage peer;
        socklen_t size = sizeof peer;
        char host[1025], port[32], buffer[100] = {0};
        fflush(stdout);
        int connection = accept(fd, (struct sockaddr *)&peer, &size);
        if (connection == -1) continue;
        if (getnameinfo((struct sockaddr *)&peer, sizeof peer, host, sizeof host, port,
                        sizeof port, NI_NUMERICHOST | NI_NUMERICSERV) == 0)
            printf("cliente conectado desde %s:%s\n", host, port);
        struct linger linger = {1, 30};
        setsockopt(connection, SOL_SOCKET, SO_LINGER, &linger, sizeof linger);
        fflush(stdout);
        ssize_t count = read(connection, buffer, sizeof buffer);
        printf("\nSe recibieron %zd bytes\n", count);
        if (count > 0)
            printf("\nNombre: %.30s\nApellido: %.30s\n Edad:%d\n", buffer, buffer + 30,
                   (unsigned char)buffer[60] << 8 | (unsigned char)buffer[61]);
        close(connection);
    }
}
