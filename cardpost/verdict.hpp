// What the server's end of the connection says about a record sent: a normal close
// after the whole record was acknowledged means it is in the server's output; bytes
// from the server (a record server sends none), a close that came before the record
// was acknowledged, or a reset means it was not taken. Over TLS, only the server's
// close_notify, after the whole record was sent, says taken: it cannot be forged.
//
// What no client can tell: a peer that half-closes after the record arrived, without
// reading it, looks on the wire exactly like a server that took it.
#pragma once

#include "client_tls.hpp"

#include <cstdint>
#include <optional>

// The exit statuses that tell a record's fate.
constexpr int exit_taken = 0;
constexpr int exit_not_taken = 1;
// The record was sent but no verdict came in time: it may or may not have been taken,
// so sending it again may make a duplicate.
constexpr int exit_no_verdict = 3;

struct verdict {
    int status;          // exit_taken, exit_not_taken or exit_no_verdict
    const char* reason;  // why not taken, for the report; null: the system's text for error
    int error;           // the system's error behind it, if any
};

// Looks, without waiting, at what the server did before the record is sent: a close,
// a reset or bytes mean that it is not to be sent at all. Returns that verdict (not
// taken), or nothing when the record may go.
std::optional<verdict> refused_before_sending(int fd, const client_tls* tls);

// Waits until the deadline (milliseconds_now's clock) for the server's verdict on the
// record just sent. The connection is not half-closed first: a record's worth is all
// the server needs, and a half-close would hide a reset that follows its close.
verdict await_verdict(int fd, const client_tls* tls, std::int64_t deadline);

// Reports a verdict other than taken on standard error, as cardpost reports it.
void report_verdict(const verdict& fate, int waited_seconds);
