#include "transport.hpp"

#include "tls_result.hpp"

#include <cerrno>
#include <array>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/x509.h>
#include <sys/ioctl.h>

bool set_reset_on_close(int fd)
{
    const linger reset_on_close{1, 0};
    return setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset_on_close, sizeof reset_on_close) == 0;
}

namespace {

// True once the client has closed its side: what it sent is all there will be.
bool client_closed(const transport& link)
{
    tcp_info state{};
    socklen_t size = sizeof state;
    return getsockopt(link.socket.get(), IPPROTO_TCP, TCP_INFO, &state, &size) == 0 &&
           (state.tcpi_state == TCP_CLOSE_WAIT || state.tcpi_state == TCP_CLOSE || state.tcpi_state == TCP_LAST_ACK);
}

}  // namespace

hello look_at_hello(const transport& link)
{
    // A TLS record's header: its type, the version, then the length of what follows.
    constexpr std::size_t header_size = 5;
    constexpr unsigned char handshake_record = 22;
    constexpr std::size_t longest_record = 16384 + 2048;
    std::array<unsigned char, header_size> header{};
    const ssize_t count = recv(link.socket.get(), header.data(), header.size(), MSG_PEEK | MSG_DONTWAIT);
    if (count == 0) return hello::ended;
    if (count < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? hello::not_yet : hello::ended;
    // Anything but a handshake record is for OpenSSL to refuse, with its reason.
    if (header[0] != handshake_record) return hello::whole;
    if (static_cast<std::size_t>(count) == header_size) {
        const std::size_t length = (std::size_t{header[3]} << 8U) | header[4];
        int waiting = 0;
        if (length > longest_record || ioctl(link.socket.get(), FIONREAD, &waiting) == -1 ||
            static_cast<std::size_t>(waiting) >= header_size + length)
            return hello::whole;
    }
    // A hello cut short by a client that has closed its side will never be whole.
    return client_closed(link) ? hello::ended : hello::not_yet;
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
    errno = 0;
    const int count = SSL_read(link.tls.get(), into.data(), static_cast<int>(into.size()));
    const tls_outcome outcome = tls_outcome_of(link.tls.get(), count);
    link.wants_write = outcome.result == tls_result::wants_write;
    switch (outcome.result) {
    case tls_result::done: return count;
    case tls_result::closed: return 0;
    case tls_result::wants_read:
    case tls_result::wants_write: errno = EAGAIN; return -1;
    case tls_result::failed: break;
    }
    tls_error = outcome.tls_error;
    errno = outcome.error;
    return -1;
}

bool handshake_done(const transport& link)
{
    return link.tls != nullptr ? SSL_is_init_finished(link.tls.get()) != 0 : !link.speaks_tls;
}

bool send_refusal(transport& link)
{
    if (link.tls == nullptr || !handshake_done(link)) return false;
    ERR_clear_error();
    return SSL_write(link.tls.get(), refusal.data(), static_cast<int>(refusal.size())) ==
           static_cast<int>(refusal.size());
}

subject_text peer_subject(const transport& link)
{
    subject_text subject;
    if (link.tls == nullptr) return subject;
    X509* const certificate = SSL_get0_peer_certificate(link.tls.get());
    if (certificate == nullptr || SSL_get_verify_result(link.tls.get()) != X509_V_OK) return subject;
    subject.memory.reset(BIO_new(BIO_s_mem()));
    if (subject.memory == nullptr) return subject;
    // RFC 2253's order and escapes, UTF-8 kept as it is.
    X509_NAME_print_ex(subject.memory.get(), X509_get_subject_name(certificate), 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
    char* text = nullptr;
    const long length = BIO_get_mem_data(subject.memory.get(), &text);
    if (length > 0 && text != nullptr) subject.text = std::string_view(text, static_cast<std::size_t>(length));
    return subject;
}

int send_close_notify(transport& link)
{
    if (link.tls == nullptr) return 0;
    ERR_clear_error();
    errno = 0;
    const tls_outcome outcome = tls_outcome_of(link.tls.get(), SSL_shutdown(link.tls.get()) >= 0 ? 1 : -1);
    link.wants_write = outcome.result == tls_result::wants_write;
    switch (outcome.result) {
    case tls_result::done: return 0;
    case tls_result::wants_read:
    case tls_result::wants_write: return EAGAIN;
    case tls_result::closed: return EPIPE;
    case tls_result::failed: break;
    }
    return outcome.error;
}

int set_linger(const transport& link, const linger& on_close)
{
    return setsockopt(link.socket.get(), SOL_SOCKET, SO_LINGER, &on_close, sizeof on_close) == 0 ? 0 : errno;
}

void half_close(const transport& link) { shutdown(link.socket.get(), SHUT_WR); }

bool acknowledged(const transport& link)
{
    // What is sent and not yet acknowledged, the end (which counts as a byte) included.
    int unacknowledged = 0;
    return ioctl(link.socket.get(), SIOCOUTQ, &unacknowledged) == 0 && unacknowledged == 0;
}

bool discard_unread(const transport& link)
{
    // MSG_TRUNC discards what is waiting without copying it anywhere; the room given
    // is never written to (nor its pages touched), but says how much may go at once.
    static std::array<char, 65536> discarded;
    for (;;) {
        const ssize_t count = recv(link.socket.get(), discarded.data(), discarded.size(), MSG_DONTWAIT | MSG_TRUNC);
        if (count == 0) return false;
        if (count < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    }
}

void close_connection(transport& link)
{
    link.tls.reset();
    link.socket.reset();
}

void reset_connection(transport& link)
{
    // The connection inherited the setting from its listener; set it again all the
    // same, for a connection told to linger before.
    set_reset_on_close(link.socket.get());
    close_connection(link);
}
