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

// OpenSSL's reason for the last failure, or the system's.
const char* last_reason()
{
    const char* const reason = ERR_reason_error_string(ERR_peek_last_error());
    return reason != nullptr ? reason : errno != 0 ? std::strerror(errno) : "the server ended the connection";
}

// Reports the failure on one line: the prefix, then what failed, then why.
void report(const char* prefix, const char* what, const char* reason)
{
    std::fprintf(stderr, "%s: TLS: %s%s%s\n", prefix, what, reason != nullptr ? ": " : "",
                 reason != nullptr ? reason : "");
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

client_tls_context make_client_tls_context(const client_tls_options& options, const char* prefix)
{
    std::signal(SIGPIPE, SIG_IGN);
    ERR_clear_error();
    client_tls_context context(SSL_CTX_new(TLS_client_method()));
    SSL_CTX* const made = context.get();
    if (made == nullptr) {
        report(prefix, "cannot start", last_reason());
        return {};
    }
    SSL_CTX_set_min_proto_version(made, TLS1_2_VERSION);
    SSL_CTX_set_options(made, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
    SSL_CTX_set_mode(made, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_verify(made, SSL_VERIFY_PEER, nullptr);
    if (options.ca != nullptr ? SSL_CTX_load_verify_file(made, options.ca) != 1
                              : SSL_CTX_set_default_verify_paths(made) != 1) {
        report(prefix, "cannot load the CA", last_reason());
        return {};
    }
    if (options.cert != nullptr &&
        (SSL_CTX_use_certificate_chain_file(made, options.cert) != 1 ||
         SSL_CTX_use_PrivateKey_file(made, options.key, SSL_FILETYPE_PEM) != 1 ||
         SSL_CTX_check_private_key(made) != 1)) {
        report(prefix, "cannot load the client certificate and key", last_reason());
        return {};
    }
    return context;
}

client_tls_session new_client_session(SSL_CTX* context, int fd, const client_tls_options& options,
                                      const char* host)
{
    client_tls_session session(SSL_new(context));
    SSL* const tls = session.get();
    if (tls == nullptr || SSL_set_fd(tls, fd) != 1) return {};
    // An address is checked against the certificate's addresses; a name against its
    // names, and sent for the server to choose its certificate by.
    const char* const name = options.name != nullptr ? options.name : host;
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
    return session;
}

tls_step continue_handshake(SSL* tls, tls_reason& reason)
{
    ERR_clear_error();
    errno = 0;
    const int done = SSL_connect(tls);
    if (done == 1) return tls_step::done;
    const int error = SSL_get_error(tls, done);
    if (error == SSL_ERROR_WANT_READ) return tls_step::wants_read;
    if (error == SSL_ERROR_WANT_WRITE) return tls_step::wants_write;
    if (SSL_get_verify_result(tls) != X509_V_OK)
        std::snprintf(reason.data(), reason.size(), "the server's certificate is not trusted: %s",
                      X509_verify_cert_error_string(SSL_get_verify_result(tls)));
    else
        std::snprintf(reason.data(), reason.size(), "handshake failed: %s", last_reason());
    return tls_step::failed;
}

client_tls start_client_tls(int fd, const client_tls_options& options, const char* host, const char* prefix,
                            std::int64_t deadline)
{
    client_tls session{make_client_tls_context(options, prefix), {}};
    if (session.context == nullptr) return {};
    session.tls = new_client_session(session.context.get(), fd, options, host);
    if (session.tls == nullptr) {
        report(prefix, "cannot start", last_reason());
        return {};
    }
    tls_reason reason{};
    for (;;) {
        const tls_step step = continue_handshake(session.tls.get(), reason);
        if (step == tls_step::done) return session;
        if (step == tls_step::failed) {
            std::fprintf(stderr, "%s: TLS: %s\n", prefix, reason.data());
            return {};
        }
        if (!wait_for(fd, step == tls_step::wants_write, deadline)) {
            report(prefix, "no handshake in time", nullptr);
            return {};
        }
    }
}

bool tls_send_all(SSL* tls, int fd, std::span<const char> bytes, std::int64_t deadline)
{
    while (!bytes.empty()) {
        bool wants_read = false;
        const ssize_t sent = tls_send_some(tls, bytes, wants_read);
        if (sent > 0) {
            bytes = bytes.subspan(static_cast<std::size_t>(sent));
            continue;
        }
        if (errno != EAGAIN || !wait_for(fd, !wants_read, deadline)) return false;
    }
    return true;
}

ssize_t tls_send_some(SSL* tls, std::span<const char> bytes, bool& wants_read)
{
    ERR_clear_error();
    wants_read = false;
    const int sent = SSL_write(tls, bytes.data(), static_cast<int>(bytes.size()));
    if (sent > 0) return sent;
    switch (SSL_get_error(tls, sent)) {
    case SSL_ERROR_WANT_READ: wants_read = true; [[fallthrough]];
    case SSL_ERROR_WANT_WRITE: errno = EAGAIN; return -1;
    case SSL_ERROR_SYSCALL: if (errno != 0) return -1; [[fallthrough]];
    default: errno = EPROTO; return -1;
    }
}

ssize_t tls_receive_some(SSL* tls, std::span<char> into, bool& wants_write)
{
    ERR_clear_error();
    errno = 0;
    wants_write = false;
    const int count = SSL_read(tls, into.data(), static_cast<int>(into.size()));
    if (count > 0) return count;
    switch (SSL_get_error(tls, count)) {
    case SSL_ERROR_ZERO_RETURN: return 0;
    case SSL_ERROR_WANT_WRITE: wants_write = true; [[fallthrough]];
    case SSL_ERROR_WANT_READ: errno = EAGAIN; return -1;
    case SSL_ERROR_SYSCALL: if (errno != 0) return -1; [[fallthrough]];
    default: errno = EPROTO; return -1;
    }
}

void end_client_tls(SSL* tls)
{
    if (tls != nullptr) SSL_shutdown(tls);
}
