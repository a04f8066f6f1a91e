#include "output_channel.hpp"

#include <array>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

channel_kind kind_of(int fd)
{
    struct stat status {};
    if (fstat(fd, &status) == -1 || S_ISREG(status.st_mode) || S_ISBLK(status.st_mode))
        return channel_kind::file;
    if (S_ISSOCK(status.st_mode)) return channel_kind::socket;
    if (S_ISFIFO(status.st_mode)) return channel_kind::pipe;
    return channel_kind::device;
}

// Opens what the descriptor leads to anew, non-blocking: a pipe or a terminal opened
// this way shares its data with the descriptor, not its mode. Returns -1 where that
// cannot be done (no /proc, or a pipe with no reader).
int open_nonblocking(int fd)
{
    std::array<char, 32> path{};
    std::snprintf(path.data(), path.size(), "/proc/self/fd/%d", fd);
    return open(path.data(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

}  // namespace

output_channel open_channel(int fd)
{
    output_channel channel;
    channel.fd = fd;
    channel.kind = kind_of(fd);
    if (channel.kind == channel_kind::pipe || channel.kind == channel_kind::device) {
        channel.own.reset(open_nonblocking(fd));
        if (channel.own.get() != -1) channel.fd = channel.own.get();
    }
    return channel;
}

output_channel own_channel(owned_fd fd)
{
    output_channel channel;
    channel.fd = fd.get();
    channel.kind = kind_of(fd.get());
    channel.own = std::move(fd);
    if (channel.kind == channel_kind::pipe || channel.kind == channel_kind::device)
        fcntl(channel.fd, F_SETFL, fcntl(channel.fd, F_GETFL) | O_NONBLOCK);
    return channel;
}

ssize_t try_write(output_channel& channel, std::span<const char> bytes)
{
    if (channel.kind == channel_kind::socket) return send(channel.fd, bytes.data(), bytes.size(), MSG_DONTWAIT);
    // A pipe that could not be opened anew is written without waiting where the
    // system can tell; a device that could not be is written as it is.
    if (channel.kind == channel_kind::pipe && channel.own.get() == -1 && !channel.nowait_unsupported) {
        iovec piece{const_cast<char*>(bytes.data()), bytes.size()};
        const ssize_t count = pwritev2(channel.fd, &piece, 1, -1, RWF_NOWAIT);
        if (count != -1 || errno != EOPNOTSUPP) return count;
        channel.nowait_unsupported = true;
    }
    return write(channel.fd, bytes.data(), bytes.size());
}

written_part write_what_fits(output_channel& channel, std::span<const char> bytes)
{
    written_part written{0, 0};
    while (written.count < bytes.size()) {
        const ssize_t count = try_write(channel, bytes.subspan(written.count));
        if (count == -1 && errno == EINTR) continue;
        if (count <= 0) {
            written.error = count == 0 ? EIO : errno == EWOULDBLOCK ? EAGAIN : errno;
            break;
        }
        written.count += static_cast<std::size_t>(count);
    }
    return written;
}

int wait_for_room(const output_channel& channel, int timeout_ms)
{
    pollfd room{channel.fd, POLLOUT, 0};
    return poll(&room, 1, timeout_ms) == -1 ? errno : 0;
}
