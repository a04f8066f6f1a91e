#include "transport.hpp"

#include "reports.hpp"

#include <climits>

bool set_reset_on_close(int fd)
{
    const linger reset_on_close{1, 0};
    return setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset_on_close, sizeof reset_on_close) == 0;
}

ssize_t read_some(transport& link, std::span<char> into)
{
    return recv(link.socket.get(), into.data(), into.size(), MSG_DONTWAIT);
}

void tell_taken(transport& link, const linger& on_close)
{
    shutdown(link.socket.get(), SHUT_WR);
    if (setsockopt(link.socket.get(), SOL_SOCKET, SO_LINGER, &on_close, sizeof on_close) == -1)
        report_failure("setsockopt(...,SO_LINGER,...)", errno);
}

void close_taken(transport& link, bool may_hold_more)
{
    // MSG_TRUNC discards what is waiting without copying it anywhere.
    if (may_hold_more) recv(link.socket.get(), nullptr, INT_MAX, MSG_DONTWAIT | MSG_TRUNC);
    link.socket.reset();
}

void reset_connection(transport& link)
{
    // The connection inherited the setting from its listener; set it again all the
    // same, for a connection told to linger before.
    set_reset_on_close(link.socket.get());
    link.socket.reset();
}
