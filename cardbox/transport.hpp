// A client's connection as the server reads it and ends it: plain TCP, or TLS over it.
// The record rules call read, tell and reset alike; what a TLS call wants (to read,
// or room to write) only changes what the connection is next watched for.
#pragma once

#include "owned_fd.hpp"

#include <array>
#include <memory>
#include <openssl/ssl.h>
#include <span>
#include <string_view>
#include <sys/socket.h>
#include <sys/types.h>

// Sets the connection, or a listener whose connections inherit it, to be reset when it
// is closed: a connection that the server leaves before its record is written out (it
// is stopped, or it fails) is reset, not closed, so that its client never takes a lost
// record for a received one. Returns false when it cannot be set (errno says why).
bool set_reset_on_close(int fd);

struct ssl_free {
    void operator()(SSL* tls) const { SSL_free(tls); }
};

struct transport {
    owned_fd socket;
    std::unique_ptr<SSL, ssl_free> tls;  // none for plain TCP
    bool wants_write = false;            // TLS waits for room to write before it reads on
};

// Starts TLS on the connection, as a server, from the context. Returns false when
// memory runs out.
bool start_tls(transport& link, SSL_CTX* context);

// Reads what the client sent, without waiting; over TLS, goes on with the handshake
// first. Returns what recv returns: a count, 0 at the client's end (its close_notify,
// over TLS), or -1 with errno (EAGAIN while there is nothing yet, or the handshake
// waits; EPROTO for a TLS failure, OpenSSL's error in tls_error).
ssize_t read_some(transport& link, std::span<char> into, unsigned long& tls_error);

// True once the TLS handshake is over, or at once for plain TCP.
bool handshake_done(const transport& link);

// Writes the subject of the client's verified certificate as RFC 4514 writes it, most
// specific first, into the room given; returns it, or nothing when the client
// presented none.
std::string_view peer_subject(const transport& link, std::span<char> room);

// Tells the client that its record was taken: over TLS, sends close_notify; then
// half-closes the connection, so that its end reaches the client before anything else
// can, and sets how the close is to linger. Then the connection is to be closed with
// close_taken.
void tell_taken(transport& link, const linger& on_close);

// Discards what the client sent after its record, if anything may be waiting
// (may_hold_more), so that unread bytes do not turn the close into a reset; then closes.
void close_taken(transport& link, bool may_hold_more);

// Resets the connection: its client learns that its record was not taken.
void reset_connection(transport& link);
