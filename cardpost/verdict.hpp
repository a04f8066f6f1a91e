// What the server's end of the connection says about a record sent: a normal close
// after the whole record was acknowledged means it is in the server's output; bytes
// from the server (a record server sends none), a close that came before the record
// was acknowledged, or a reset means it was not taken. Over TLS, once the whole record
// was sent, only what the server signs counts: its close_notify says taken, its
// refusal (bytes inside TLS) not taken, and any other end says nothing (no verdict),
// for anyone on the path can send a FIN or a reset.
//
// What no client can tell: a peer that half-closes after the record arrived, without
// reading it, looks on the wire exactly like a server that took it.
#pragma once

#include <cstdint>
#include "client_tls.hpp"

#include <optional>
#include <poll.h>

// The exit statuses that tell a record's fate.
constexpr int exit_taken = 0;
constexpr int exit_not_taken = 1;
// The record was sent but no verdict came in time: it may or may not have been taken,
// so sending it again may make a duplicate.
constexpr int exit_no_verdict = 3;

struct verdict {
    int status;          // exit_taken, exit_not_taken or exit_no_verdict
    const char* reason;  // why, for the report; null: the system's text for error (or, with
                         // no verdict, the wait ran out)
    int error;           // the system's error behind it, if any
};

// Looks, without waiting, at what the server did before the record is sent: a close,
// a reset or bytes mean that it is not to be sent at all. Returns that verdict (not
// taken), or nothing when the record may go. tls is none for plain TCP.
std::optional<verdict> refused_before_sending(int fd, tls_session* tls);

// Reads the server's verdict on a record sent, a step at a time, without waiting: for
// a client that waits on one connection, or on many at once. The connection is not
// half-closed first: a record's worth is all the server needs, and a half-close would
// hide a reset that follows its close.
struct verdict_reader {
    int fd;
    tls_session* tls;                   // none for plain TCP
    std::int64_t reset_watch_until = 0;  // after a plain close: the reset it is watched for till then
    bool wants_write = false;           // TLS waits for room to write before it reads on
};

// Anything from the server, as poll tells it: bytes, its close or a reset.
constexpr short from_server = POLLIN | POLLRDHUP | POLLERR | POLLHUP;

// What to wait for before the next step: readable, writable (TLS), or, in the watch
// for a reset, nothing (poll then wakes only for a reset or the connection's end).
short verdict_events(const verdict_reader& reader);

// Takes what has come, given the events that poll saw (0 for none) and the time now.
// Returns the verdict once there is one.
std::optional<verdict> read_verdict(verdict_reader& reader, short events, std::int64_t now);

// Waits until the deadline (milliseconds_now's clock) for the verdict on one connection.
verdict await_verdict(int fd, tls_session* tls, std::int64_t deadline);

// Reports a verdict other than taken on standard error, as cardpost reports it.
void report_verdict(const verdict& fate, int waited_seconds, bool over_tls);

// What a reset of a plain record may mean, said after it: a server that wants TLS
// resets plain clients.
constexpr const char* plain_reset_hint = " (a server that wants TLS resets plain clients: see --tls)";
