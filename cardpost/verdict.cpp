#include "verdict.hpp"

#include "client_tls.hpp"
#include "deadline.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <linux/sockios.h>

namespace {

// How long a close is watched for a reset that follows it: a peer that closes without
// reading sends its close and its reset back to back.
constexpr int reset_after_close_ms = 1;

constexpr const char* bytes_from_server = "the server sent bytes, as no record server does";
constexpr const char* unsigned_end = "the connection ended without a verdict signed by the server";

// True when bytes sent on the connection are not yet acknowledged by the server.
bool unacknowledged(int fd)
{
    int queued = 0;
    return ioctl(fd, SIOCOUTQ, &queued) == 0 && queued > 0;
}

// The verdict over TLS, once the whole record was handed to it: the server's
// close_notify says taken, and bytes from it (its refusal) not taken; both come inside
// TLS, where no one on the path can forge them. An end that no one signed, a FIN or a
// reset, says nothing: the server may have taken the record, or not.
std::optional<verdict> read_tls_verdict(verdict_reader& reader)
{
    std::array<char, 64> received{};
    const ssize_t count = tls_receive_some(reader.tls, received, reader.wants_write);
    if (count == 0) return verdict{exit_taken, nullptr, 0};
    if (count > 0) return verdict{exit_not_taken, "the server refused the record", 0};
    if (errno == EAGAIN) return std::nullopt;
    return verdict{exit_no_verdict, unsigned_end, errno == EPROTO ? 0 : errno};
}

}  // namespace

std::optional<verdict> refused_before_sending(int fd, tls_session* tls)
{
    ssize_t count = 0;
    if (tls != nullptr) {
        int error = 0;
        switch (tls_look_at(tls, error)) {
        case tls_look::nothing: return std::nullopt;
        case tls_look::bytes: count = 1; break;
        case tls_look::ended: count = 0; break;  // the server's close_notify, or an end without one
        case tls_look::failed: return verdict{exit_not_taken, nullptr, error};
        }
    } else {
        char byte = 0;
        count = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    }
    if (count == 0) return verdict{exit_not_taken, "the server had closed the connection; nothing was sent", 0};
    if (count > 0)
        return verdict{exit_not_taken, "the server had sent bytes, as no record server does; nothing was sent", 0};
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return std::nullopt;
    return verdict{exit_not_taken, nullptr, errno};
}

short verdict_events(const verdict_reader& reader)
{
    if (reader.reset_watch_until != 0) return 0;
    return reader.wants_write ? POLLOUT : POLLIN | POLLRDHUP;
}

std::optional<verdict> read_verdict(verdict_reader& reader, short events, std::int64_t now)
{
    if (reader.tls != nullptr) return read_tls_verdict(reader);
    if (reader.reset_watch_until != 0) {
        if ((events & (POLLERR | POLLHUP)) != 0) {
            int error = 0;
            socklen_t size = sizeof error;
            getsockopt(reader.fd, SOL_SOCKET, SO_ERROR, &error, &size);
            // A reset after the server's close reads as a broken pipe.
            return verdict{exit_not_taken, nullptr, error == 0 || error == EPIPE ? ECONNRESET : error};
        }
        if (now >= reader.reset_watch_until) return verdict{exit_taken, nullptr, 0};
        return std::nullopt;
    }
    // Over plain TCP, poll has said whether anything came.
    if ((events & from_server) == 0) return std::nullopt;
    char byte = 0;
    const ssize_t count = recv(reader.fd, &byte, 1, MSG_DONTWAIT);
    if (count > 0) return verdict{exit_not_taken, bytes_from_server, 0};
    if (count == -1) {
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) return std::nullopt;
        return verdict{exit_not_taken, nullptr, errno};
    }
    if (unacknowledged(reader.fd))
        return verdict{exit_not_taken, "the server closed the connection before it had the whole record", 0};
    // The close is the verdict unless a reset follows it at once.
    reader.reset_watch_until = now + reset_after_close_ms;
    return std::nullopt;
}

verdict await_verdict(int fd, tls_session* tls, std::int64_t deadline)
{
    verdict_reader reader{fd, tls};
    short events = 0;
    for (;;) {
        const std::int64_t now = milliseconds_now();
        if (const std::optional<verdict> fate = read_verdict(reader, events, now)) return *fate;
        if (now >= deadline) return {exit_no_verdict, nullptr, 0};
        const std::int64_t until =
            reader.reset_watch_until != 0 ? std::min(reader.reset_watch_until, deadline) : deadline;
        pollfd ready{fd, verdict_events(reader), 0};
        const int count = poll(&ready, 1, milliseconds_until(until));
        if (count == -1 && errno != EINTR) return {exit_no_verdict, nullptr, errno};
        events = count == 1 ? ready.revents : short{0};
    }
}

void report_verdict(const verdict& fate, int waited_seconds, bool over_tls)
{
    if (fate.status == exit_taken) return;
    if (fate.status == exit_no_verdict) {
        if (fate.reason != nullptr) {
            std::fprintf(stderr, "cliente: no verdict: %s%s%s; the record may have been taken\n", fate.reason,
                         fate.error != 0 ? ": " : "", fate.error != 0 ? std::strerror(fate.error) : "");
            return;
        }
        if (fate.error != 0) std::fprintf(stderr, "cliente: poll: %s\n", std::strerror(fate.error));
        std::fprintf(stderr, "cliente: no verdict within %d s: the record may have been taken\n", waited_seconds);
        return;
    }
    std::fprintf(stderr, "cliente: record not taken: %s%s\n",
                 fate.reason != nullptr ? fate.reason : std::strerror(fate.error),
                 !over_tls && fate.reason == nullptr && fate.error == ECONNRESET ? plain_reset_hint : "");
}
