/* minimal_client: the same exchange as cardpost (connect to ::1 port 8000, three
 * prompts, one 62-byte record, the same output), written as plainly as C allows and
 * linked as cardpost is, dynamically and without OpenSSL: the floor for a whole record
 * client process. */
#include "minimal_prompts.h"

#include <netinet/in.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

int main(void)
{
    struct sockaddr_in6 address = {.sin6_family = AF_INET6, .sin6_port = htons(8000),
                                   .sin6_addr = IN6ADDR_LOOPBACK_INIT};
    int fd = socket(AF_INET6, SOCK_STREAM, 0);
    if (fd == -1 || connect(fd, (struct sockaddr *)&address, sizeof address) == -1) {
        perror("minimal_client");
        return 2;
    }
    char record[62] = {0};
    ask_record(record);
    ssize_t written = write(fd, record, sizeof record);
    printf("\nSe enviaron: %zd bytes\n", written);
    close(fd);
    return written == (ssize_t)sizeof record ? 0 : 1;
}
