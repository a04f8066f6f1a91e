// Where cardbox writes, records or reports: a descriptor written to without ever
// waiting for room, whatever it leads to.
#pragma once

#include "owned_fd.hpp"

#include <span>
#include <sys/types.h>

enum class channel_kind {
    file,    // a regular file: a write never waits for a reader
    pipe,    // a pipe or a FIFO: a write of at most PIPE_BUF bytes is all or nothing
    socket,  // the journal, say
    device,  // a terminal, /dev/null
};

struct output_channel {
    int fd = -1;
    channel_kind kind = channel_kind::file;
    // A descriptor of the channel's own: the file of --output, or the pipe or terminal
    // opened anew in non-blocking mode, so that the one the server was started with,
    // which it may share with a shell, keeps its mode.
    owned_fd own;
    bool nowait_unsupported = false;  // no way was found to write without waiting
};

// Makes a channel of the descriptor (which stays open, whatever happens).
output_channel open_channel(int fd);

// Makes a channel of a descriptor that the channel then owns.
output_channel own_channel(owned_fd fd);

// Tries once to write the bytes without waiting for room. Returns what write returns:
// the bytes written, or -1 with errno (EAGAIN when there is no room now).
ssize_t try_write(output_channel& channel, std::span<const char> bytes);

// What a write of what fits came to: the bytes written, from the first, and why it
// stopped short: 0 when all are written, EAGAIN when there is no room now, or the
// error of a write that failed.
struct written_part {
    std::size_t count;
    int error;
};

// Writes as much of the bytes as the channel takes now, without waiting for room.
written_part write_what_fits(output_channel& channel, std::span<const char> bytes);

// Waits until the channel has room, or a signal comes. Returns 0, or the error of the wait.
int wait_for_room(const output_channel& channel, int timeout_ms);
