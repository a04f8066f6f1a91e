#include "transport.hpp"

#include "reports.hpp"

#include <cerrno>
#include <climits>
#include <openssl/err.h>
#include <openssl/x509.h>

bool set_reset_on_close(int fd)
{
    const linger reset_on_close{1, 0};
    return setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset_on_close, sizeof reset_on_close) == 0;
}

bool start_tls(transport& link, SSL_CTX* context)
{
    link.tls.reset(SSL_new(context));
    if (link.tls == nullptr || SSL_set_fd(link.tls.get(), link.socket.get()) != 1) return false;
    SSL_set_accept_state(link.tls.get());
    return true;
}

ssize_t read_some(transport& link, std::span<char> into, unsigned long& tls_error)
{
    if (link.tls == nullptr) return recv(link.socket.get(), into.data(), into.size(), MSG_DONTWAIT);
    ERR_clear_error();
    const int count = SSL_read(link.tls.get(), into.data(), static_cast<int>(into.size()));
    if (count > 0) return count;
    link.wants_write = false;
    switch (SSL_get_error(link.tls.get(), count)) {
    case SSL_ERROR_ZERO_RETURN: return 0;
    case SSL_ERROR_WANT_WRITE: link.wants_write = true; [[fallthrough]];
    case SSL_ERROR_WANT_READ: errno = EAGAIN; return -1;
    case SSL_ERROR_SYSCALL:
        // A reset, or the peer gone without a word in the handshake.
        if (errno != 0 && SSL_is_init_finished(link.tls.get()) != 0) return -1;
        [[fallthrough]];
    default:
        tls_error = ERR_peek_last_error();
        errno = EPROTO;
        return -1;
    }
}

bool handshake_done(const transport& link) { return link.tls == nullptr || SSL_is_init_finished(link.tls.get()) != 0; }

std::string_view peer_subject(const transport& link, std::span<char> room)
{
    if (link.tls == nullptr) return {};
    X509* const certificate = SSL_get0_peer_certificate(link.tls.get());
    if (certificate == nullptr || SSL_get_verify_result(link.tls.get()) != X509_V_OK) return {};
    BIO* const text = BIO_new(BIO_s_mem());
    if (text == nullptr) return {};
    // RFC 2253's order and escapes, UTF-8 kept as it is.
    X509_NAME_print_ex(text, X509_get_subject_name(certificate), 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
    const int length = BIO_read(text, room.data(), static_cast<int>(room.size()));
    BIO_free(text);
    return length > 0 ? std::string_view(room.data(), static_cast<std::size_t>(length)) : std::string_view();
}

void tell_taken(transport& link, const linger& on_close)
{
    // close_notify fits in a socket whose sends were acknowledged long ago.
    if (link.tls != nullptr && SSL_shutdown(link.tls.get()) < 0) report_failure("cardbox: TLS close_notify", EIO);
    shutdown(link.socket.get(), SHUT_WR);
    if (setsockopt(link.socket.get(), SOL_SOCKET, SO_LINGER, &on_close, sizeof on_close) == -1)
        report_failure("setsockopt(...,SO_LINGER,...)", errno);
}

void close_taken(transport& link, bool may_hold_more)
{
    // MSG_TRUNC discards what is waiting without copying it anywhere.
    if (may_hold_more) recv(link.socket.get(), nullptr, INT_MAX, MSG_DONTWAIT | MSG_TRUNC);
    link.tls.reset();
    link.socket.reset();
}

void reset_connection(transport& link)
{
    // The connection inherited the setting from its listener; set it again all the
    // same, for a connection told to linger before.
    set_reset_on_close(link.socket.get());
    link.tls.reset();
    link.socket.reset();
}
