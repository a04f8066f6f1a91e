/* floor_tls: the least that a TLS server serving many connections at once must do for one
 * exchange on port 8000, with the same OpenSSL and the same settings as cardbox: one
 * thread, epoll, accept4, the handshake, a read of the 62-byte record, close_notify,
 * close; nothing printed. cardbox --tls-cert --connections is measured against it.
 *
 *   usage: floor_tls CERT KEY */
#define _GNU_SOURCE /* accept4 */
#include "floor_listen.h"

#include <openssl/ssl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

enum { most = 65536 };
static SSL *sessions[most]; /* by descriptor */

static SSL_CTX *context(const char *cert, const char *key)
{
    SSL_CTX *made = SSL_CTX_new(TLS_server_method());
    if (made == NULL || SSL_CTX_use_certificate_chain_file(made, cert) != 1 ||
        SSL_CTX_use_PrivateKey_file(made, key, SSL_FILETYPE_PEM) != 1)
        return NULL;
    SSL_CTX_set_min_proto_version(made, TLS1_2_VERSION);
    SSL_CTX_set_options(made, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_TICKET | SSL_OP_NO_COMPRESSION |
                                  SSL_OP_CIPHER_SERVER_PREFERENCE);
    SSL_CTX_set_num_tickets(made, 1);
    SSL_CTX_set_session_cache_mode(made, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_mode(made, SSL_MODE_RELEASE_BUFFERS);
    SSL_CTX_set_cipher_list(made, "ECDHE+AESGCM:ECDHE+CHACHA20");
    return made;
}

/* Goes on with the connection: handshake, record, close_notify; watches it for what
 * TLS wants next, or ends it. */
static void serve(int epoll, int fd)
{
    SSL *tls = sessions[fd];
    char record[100];
    int count = SSL_read(tls, record, sizeof record);
    int error = count > 0 ? SSL_ERROR_NONE : SSL_get_error(tls, count);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        struct epoll_event wanted = {.events = (error == SSL_ERROR_WANT_READ ? EPOLLIN : EPOLLOUT) | EPOLLONESHOT,
                                     .data.fd = fd};
        epoll_ctl(epoll, EPOLL_CTL_MOD, fd, &wanted);
        return;
    }
    if (count > 0) SSL_shutdown(tls);
    SSL_free(tls);
    sessions[fd] = NULL;
    close(fd);
}

int main(int argc, char **argv)
{
    SSL_CTX *tls = argc == 3 ? context(argv[1], argv[2]) : NULL;
    int epoll = -1;
    int fd = tls == NULL ? -1 : listen_on_port_8000(&epoll);
    if (fd == -1) {
        fputs("usage: floor_tls CERT KEY (and port 8000 free)\n", stderr);
        return 1;
    }
    signal(SIGPIPE, SIG_IGN); /* a client gone before close_notify ends its connection only */
    for (;;) {
        struct epoll_event events[256];
        int ready = epoll_wait(epoll, events, 256, -1);
        for (int i = 0; i < ready; ++i) {
            if (events[i].data.fd != fd) {
                serve(epoll, events[i].data.fd);
                continue;
            }
            int connection;
            while ((connection = accept4(fd, NULL, NULL, SOCK_NONBLOCK)) != -1) {
                if (connection >= most) {
                    close(connection);
                    continue;
                }
                sessions[connection] = SSL_new(tls);
                SSL_set_fd(sessions[connection], connection);
                SSL_set_accept_state(sessions[connection]);
                struct epoll_event reading = {.events = EPOLLIN | EPOLLONESHOT, .data.fd = connection};
                epoll_ctl(epoll, EPOLL_CTL_ADD, connection, &reading);
                serve(epoll, connection);
            }
        }
    }
}
