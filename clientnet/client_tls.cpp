#include "client_tls.hpp"

#include "deadline.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <poll.h>

namespace {

// Reports the failure on one line: the prefix, then the reason.
void report(const char* prefix, const char* what, const char* reason)
{
    std::fprintf(stderr, "%s: TLS: %s%s%s\n", prefix, what, reason != nullptr ? ": " : "",
                 reason != nullptr ? reason : "");
}

// OpenSSL's reason for the last failure, or the system's.
const char* last_reason()
{
    const char* const reason = ERR_reason_error_string(ERR_peek_last_error());
    return reason != nullptr ? reason : errno != 0 ? std::strerror(errno) : "the server ended the connection";
}

bool is_address(const char* name)
{
    in6_addr ipv6{};
    in_addr ipv4{};
    return inet_pton(AF_INET6, name, &ipv6) == 1 || inet_pton(AF_INET, name, &ipv4) == 1;
}

// Waits until the socket can be read or written, as TLS wants, or the deadline.
// Returns false at the deadline (errno ETIMEDOUT) or on a failed wait.
bool wait_for(int fd, bool write, std::int64_t deadline)
{
    pollfd ready{fd, static_cast<short>(write ? POLLOUT : POLLIN), 0};
    for (;;) {
        const int count = poll(&ready, 1, deadline < 0 ? -1 : milliseconds_until(deadline));
        if (count == 1) return true;
        if (count == 0) errno = ETIMEDOUT;
        if (count == 0 || errno != EINTR) return false;
    }
}

}  // namespace

client_tls start_client_tls(int fd, const client_tls_options& options, const char* host, const char* prefix,
                            std::int64_t deadline)
{
    client_tls session;
    std::signal(SIGPIPE, SIG_IGN);
    ERR_clear_error();
    session.context.reset(SSL_CTX_new(TLS_client_method()));
    SSL_CTX* const context = session.context.get();
    if (context == nullptr) {
        report(prefix, "cannot start", last_reason());
        return {};
    }
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    if (options.ca != nullptr ? SSL_CTX_load_verify_file(context, options.ca) != 1
                              : SSL_CTX_set_default_verify_paths(context) != 1) {
        report(prefix, "cannot load the CA", last_reason());
        return {};
    }
    if (options.cert != nullptr &&
        (SSL_CTX_use_certificate_chain_file(context, options.cert) != 1 ||
         SSL_CTX_use_PrivateKey_file(context, options.key, SSL_FILETYPE_PEM) != 1 ||
         SSL_CTX_check_private_key(context) != 1)) {
        report(prefix, "cannot load the client certificate and key", last_reason());
        return {};
    }
    session.tls.reset(SSL_new(context));
    SSL* const tls = session.tls.get();
    const char* const name = options.name != nullptr ? options.name : host;
    if (tls == nullptr || SSL_set_fd(tls, fd) != 1) {
        report(prefix, "cannot start", last_reason());
        return {};
    }
    // An address is checked against the certificate's addresses; a name against its
    // names, and sent for the server to choose its certificate by.
    if (is_address(name)) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(tls), name);
    } else {
        // SSL_set_tlsext_host_name, without the macro's cast.
        SSL_ctrl(tls, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name, const_cast<char*>(name));
        SSL_set1_host(tls, name);
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    // What is sent follows the handshake's last flight at once, not an acknowledgement
    // that the server may hold back.
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    for (;;) {
        ERR_clear_error();
        errno = 0;
        const int done = SSL_connect(tls);
        if (done == 1) return session;
        const int error = SSL_get_error(tls, done);
        if ((error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) &&
            wait_for(fd, error == SSL_ERROR_WANT_WRITE, deadline))
            continue;
        if (errno == ETIMEDOUT) {
            report(prefix, "no handshake in time", nullptr);
        } else if (SSL_get_verify_result(tls) != X509_V_OK) {
            report(prefix, "the server's certificate is not trusted",
                   X509_verify_cert_error_string(SSL_get_verify_result(tls)));
        } else {
            report(prefix, "handshake failed", last_reason());
        }
        return {};
    }
}

bool tls_send_all(const client_tls& session, int fd, std::span<const char> bytes, std::int64_t deadline)
{
    while (!bytes.empty()) {
        bool wants_read = false;
        const ssize_t sent = tls_send_some(session, bytes, wants_read);
        if (sent > 0) {
            bytes = bytes.subspan(static_cast<std::size_t>(sent));
            continue;
        }
        if (errno != EAGAIN || !wait_for(fd, !wants_read, deadline)) return false;
    }
    return true;
}

ssize_t tls_send_some(const client_tls& session, std::span<const char> bytes, bool& wants_read)
{
    ERR_clear_error();
    wants_read = false;
    const int sent = SSL_write(session.tls.get(), bytes.data(), static_cast<int>(bytes.size()));
    if (sent > 0) return sent;
    switch (SSL_get_error(session.tls.get(), sent)) {
    case SSL_ERROR_WANT_READ: wants_read = true; [[fallthrough]];
    case SSL_ERROR_WANT_WRITE: errno = EAGAIN; return -1;
    case SSL_ERROR_SYSCALL: if (errno != 0) return -1; [[fallthrough]];
    default: errno = EPROTO; return -1;
    }
}

ssize_t tls_receive_some(const client_tls& session, std::span<char> into, bool& wants_write)
{
    ERR_clear_error();
    errno = 0;
    wants_write = false;
    const int count = SSL_read(session.tls.get(), into.data(), static_cast<int>(into.size()));
    if (count > 0) return count;
    switch (SSL_get_error(session.tls.get(), count)) {
    case SSL_ERROR_ZERO_RETURN: return 0;
    case SSL_ERROR_WANT_WRITE: wants_write = true; [[fallthrough]];
    case SSL_ERROR_WANT_READ: errno = EAGAIN; return -1;
    case SSL_ERROR_SYSCALL: if (errno != 0) return -1; [[fallthrough]];
    default: errno = EPROTO; return -1;
    }
}

void end_client_tls(const client_tls& session)
{
    if (session.tls != nullptr) SSL_shutdown(session.tls.get());
}
