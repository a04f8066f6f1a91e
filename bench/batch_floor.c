/* batch_floor: the floor for cardpost --batch. COUNT records to ::1 port 8000, up to
 * PARALLEL connections at once, as plainly as C allows: each connection connects
 * without waiting, sends one 62-byte record, and waits for the server's verdict, a
 * close after the record (taken) or a reset (not taken). Nothing is read from a
 * file and nothing printed but failures: the least a roster client does.
 *
 *   batch_floor COUNT PARALLEL
 *
 * Ends with status 0 when every record was taken. Every wait is bounded. */
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

enum { most_parallel = 1024, wait_ms = 10000 };

static int start_connection(void)
{
    struct sockaddr_in6 address = {.sin6_family = AF_INET6, .sin6_port = htons(8000),
                                   .sin6_addr = IN6ADDR_LOOPBACK_INIT};
    int fd = socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd == -1) return -1;
    if (connect(fd, (struct sockaddr *)&address, sizeof address) == -1 && errno != EINPROGRESS) {
        close(fd);
        return -1;
    }
    return fd;
}

int main(int argc, char **argv)
{
    long count = argc == 3 ? strtol(argv[1], NULL, 10) : 0;
    long parallel = argc == 3 ? strtol(argv[2], NULL, 10) : 0;
    if (count <= 0 || parallel <= 0 || parallel > most_parallel) {
        fputs("usage: batch_floor COUNT PARALLEL\n", stderr);
        return 64;
    }
    char record[62] = {0};
    memcpy(record, "Ana\n", 4);
    memcpy(record + 30, "Perez\n", 6);
    record[61] = 25;

    struct pollfd lanes[most_parallel];
    int sent[most_parallel];
    long started = 0, taken = 0, failed = 0;
    for (long i = 0; i < parallel; ++i) lanes[i].fd = -1;
    while (taken + failed < count) {
        for (long i = 0; i < parallel; ++i) {
            if (lanes[i].fd != -1 || started == count) continue;
            lanes[i].fd = start_connection();
            lanes[i].events = POLLOUT;
            sent[i] = 0;
            ++started;
            if (lanes[i].fd == -1) ++failed;
        }
        int ready = poll(lanes, (nfds_t)parallel, wait_ms);
        if (ready <= 0) {
            fputs("batch_floor: no progress within 10 s\n", stderr);
            return 1;
        }
        for (long i = 0; i < parallel; ++i) {
            if (lanes[i].fd == -1 || lanes[i].revents == 0) continue;
            if (!sent[i]) {
                /* Connected, or failed: the send says which. */
                if (send(lanes[i].fd, record, sizeof record, MSG_NOSIGNAL) != (ssize_t)sizeof record) {
                    ++failed;
                    close(lanes[i].fd);
                    lanes[i].fd = -1;
                    continue;
                }
                sent[i] = 1;
                lanes[i].events = POLLIN;
                continue;
            }
            char byte;
            ssize_t got = recv(lanes[i].fd, &byte, 1, MSG_DONTWAIT);
            if (got == -1 && (errno == EAGAIN || errno == EINTR)) continue;
            if (got == 0) ++taken;
            else ++failed;
            close(lanes[i].fd);
            lanes[i].fd = -1;
        }
    }
    if (failed > 0) fprintf(stderr, "batch_floor: %ld of %ld records not taken\n", failed, count);
    return failed > 0;
}
