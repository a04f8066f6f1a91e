#include "verdict.hpp"

#include "deadline.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <openssl/err.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <linux/sockios.h>

namespace {

// How long a close is watched for a reset that follows it: a peer that closes without
// reading sends its close and its reset back to back.
constexpr int reset_after_close_ms = 1;

constexpr const char* bytes_from_server = "the server sent bytes, as no record server does";

// True when bytes sent on the connection are not yet acknowledged by the server.
bool unacknowledged(int fd)
{
    int queued = 0;
    return ioctl(fd, SIOCOUTQ, &queued) == 0 && queued > 0;
}

}  // namespace

std::optional<verdict> refused_before_sending(int fd, const client_tls* tls)
{
    char byte = 0;
    ssize_t count = 0;
    if (tls != nullptr) {
        ERR_clear_error();
        errno = 0;
        count = SSL_peek(tls->tls.get(), &byte, 1);
        const int error = count > 0 ? SSL_ERROR_NONE : SSL_get_error(tls->tls.get(), static_cast<int>(count));
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return std::nullopt;
        if (error == SSL_ERROR_SYSCALL && errno != 0) return verdict{exit_not_taken, nullptr, errno};
        // The server's close_notify, or an end without one.
        if (count <= 0) count = 0;
    } else {
        count = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    }
    if (count == 0) return verdict{exit_not_taken, "the server had closed the connection; nothing was sent", 0};
    if (count > 0) return verdict{exit_not_taken, "the server had sent bytes, as no record server does; nothing was sent", 0};
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return std::nullopt;
    return verdict{exit_not_taken, nullptr, errno};
}

namespace {

// The verdict over TLS: the server's close_notify alone says taken.
verdict await_tls_verdict(int fd, const client_tls& tls, std::int64_t deadline)
{
    bool wants_write = false;
    for (;;) {
        pollfd ready{fd, static_cast<short>(wants_write ? POLLOUT : POLLIN), 0};
        const int count = poll(&ready, 1, milliseconds_until(deadline));
        if (count == -1 && errno == EINTR) continue;
        if (count == 0) return {exit_no_verdict, nullptr, 0};
        if (count == -1) return {exit_no_verdict, nullptr, errno};
        std::array<char, 64> received{};
        const ssize_t got = tls_receive_some(tls, received, wants_write);
        if (got == 0) return {exit_taken, nullptr, 0};
        if (got > 0) return {exit_not_taken, bytes_from_server, 0};
        if (errno == EAGAIN) continue;
        if (errno == EPROTO) return {exit_not_taken, "the connection ended without the server's close_notify", 0};
        return {exit_not_taken, nullptr, errno};
    }
}

}  // namespace

verdict await_verdict(int fd, const client_tls* tls, std::int64_t deadline)
{
    if (tls != nullptr) return await_tls_verdict(fd, *tls, deadline);
    for (;;) {
        pollfd readable{fd, POLLIN | POLLRDHUP, 0};
        const int ready = poll(&readable, 1, milliseconds_until(deadline));
        if (ready == -1 && errno == EINTR) continue;
        if (ready == 0) return {exit_no_verdict, nullptr, 0};
        if (ready == -1) return {exit_no_verdict, nullptr, errno};
        char byte = 0;
        const ssize_t count = recv(fd, &byte, 1, MSG_DONTWAIT);
        if (count > 0) return {exit_not_taken, bytes_from_server, 0};
        if (count == -1) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return {exit_not_taken, nullptr, errno};
        }
        if (unacknowledged(fd))
            return {exit_not_taken, "the server closed the connection before it had the whole record", 0};
        // The close is the verdict unless a reset follows it at once. Asking for no
        // event, poll wakes only for a reset (an error, or the connection gone).
        pollfd reset{fd, 0, 0};
        if (poll(&reset, 1, std::min(reset_after_close_ms, milliseconds_until(deadline))) == 1) {
            int error = 0;
            socklen_t size = sizeof error;
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
            // A reset after the server's close reads as a broken pipe.
            return {exit_not_taken, nullptr, error == 0 || error == EPIPE ? ECONNRESET : error};
        }
        return {exit_taken, nullptr, 0};
    }
}

void report_verdict(const verdict& fate, int waited_seconds)
{
    if (fate.status == exit_taken) return;
    if (fate.status == exit_no_verdict) {
        if (fate.error != 0) std::fprintf(stderr, "cliente: poll: %s\n", std::strerror(fate.error));
        std::fprintf(stderr, "cliente: no verdict within %d s: the record may have been taken\n", waited_seconds);
        return;
    }
    std::fprintf(stderr, "cliente: record not taken: %s\n",
                 fate.reason != nullptr ? fate.reason : std::strerror(fate.error));
}
