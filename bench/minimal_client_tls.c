/* minimal_client_tls: minimal_client's exchange over TLS, as cardpost --tls makes it:
 * the server's certificate checked against CA for NAME, the handshake done before the
 * prompts, the record, close_notify; the floor for a whole TLS record client process.
 *
 *   usage: minimal_client_tls CA NAME */
#include "minimal_prompts.h"

#include <netinet/in.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    struct sockaddr_in6 address = {.sin6_family = AF_INET6, .sin6_port = htons(8000),
                                   .sin6_addr = IN6ADDR_LOOPBACK_INIT};
    SSL_CTX *context = argc == 3 ? SSL_CTX_new(TLS_client_method()) : NULL;
    if (context == NULL || SSL_CTX_load_verify_file(context, argv[1]) != 1) {
        fputs("usage: minimal_client_tls CA NAME\n", stderr);
        return 2;
    }
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, NULL);
    signal(SIGPIPE, SIG_IGN); /* as cardpost: a server gone is reported, not fatal */
    int fd = socket(AF_INET6, SOCK_STREAM, 0);
    if (fd == -1 || connect(fd, (struct sockaddr *)&address, sizeof address) == -1) {
        perror("minimal_client_tls");
        return 2;
    }
    SSL *tls = SSL_new(context);
    if (tls == NULL || SSL_set1_host(tls, argv[2]) != 1 || SSL_set_fd(tls, fd) != 1 || SSL_connect(tls) != 1) {
        fputs("minimal_client_tls: handshake failed\n", stderr);
        return 1;
    }
    char record[62] = {0};
    ask_record(record);
    int written = SSL_write(tls, record, sizeof record);
    printf("\nSe enviaron: %d bytes\n", written);
    SSL_shutdown(tls);
    close(fd);
    return written == (int)sizeof record ? 0 : 1;
}
