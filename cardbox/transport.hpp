// A client's connection as the server reads it and ends it.
#pragma once

#include "owned_fd.hpp"

#include <span>
#include <sys/socket.h>
#include <sys/types.h>

// Sets the connection, or a listener whose connections inherit it, to be reset when it
// is closed: a connection that the server leaves before its record is written out (it
// is stopped, or it fails) is reset, not closed, so that its client never takes a lost
// record for a received one. Returns false when it cannot be set (errno says why).
bool set_reset_on_close(int fd);

struct transport {
    owned_fd socket;
};

// Reads what the client sent, without waiting. Returns what recv returns.
ssize_t read_some(transport& link, std::span<char> into);

// Tells the client that its record was taken: half-closes the connection, so that its
// end reaches the client before anything else can, and sets how the close is to linger.
// Then the connection is to be closed with close_taken.
void tell_taken(transport& link, const linger& on_close);

// Discards what the client sent after its record, if anything may be waiting
// (may_hold_more), so that unread bytes do not turn the close into a reset; then closes.
void close_taken(transport& link, bool may_hold_more);

// Resets the connection: its client learns that its record was not taken.
void reset_connection(transport& link);
