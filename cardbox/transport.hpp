// A client's connection as the server reads it and ends it: plain TCP, or TLS over it.
// The record rules call read, tell and reset alike; what a TLS call wants (to read,
// or room to write) only changes what the connection is next watched for. No call
// here waits.
#pragma once

#include "owned_fd.hpp"

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
    std::unique_ptr<SSL, ssl_free> tls;  // none for plain TCP, and until the client's hello is whole
    bool speaks_tls = false;             // a TLS server's connection
    bool wants_write = false;            // TLS waits for room to write before it goes on
};

// What the first bytes of a TLS connection came to.
enum class hello { whole, not_yet, ended };

// Looks, without reading it, at what a TLS client has sent: whole once its first
// record (the ClientHello, or what a client that speaks no TLS sends instead) has
// arrived, so that no TLS memory is spent on a hello that never ends.
hello look_at_hello(const transport& link);

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

// Refuses the record inside TLS, as far as the connection takes it now: the client
// learns, authenticated, that its record was not taken. Returns true once sent.
bool send_refusal(transport& link);

// The bytes of the refusal, as TLS application data: no record server sends a client
// any other.
constexpr std::string_view refusal = "no tomado\n";

struct bio_free {
    void operator()(BIO* text) const { BIO_free(text); }
};

// The subject of the client's verified certificate as RFC 4514 writes it, most specific
// first, whole however long; empty when the client presented none.
struct subject_text {
    std::unique_ptr<BIO, bio_free> memory;  // where the text is kept
    std::string_view text;
};

subject_text peer_subject(const transport& link);

// Sends close_notify, as far as the connection takes it now (at once for plain TCP).
// Returns 0 once it is out, EAGAIN while it waits for room (wants_write says whether
// for room or for a read), or the error that ended the connection.
int send_close_notify(transport& link);

// Sets how the close is to linger. Returns 0 or the error.
int set_linger(const transport& link, const linger& on_close);

// Half-closes the connection: its end reaches the client before anything else can.
void half_close(const transport& link);

// True once the client has acknowledged everything sent, the end included.
bool acknowledged(const transport& link);

// Discards what the client sent after its record, so that unread bytes do not turn
// the close into a reset. Returns false once the client has closed its side.
bool discard_unread(const transport& link);

// Closes the connection as it is set to close.
void close_connection(transport& link);

// Resets the connection: its client learns that its record was not taken.
void reset_connection(transport& link);
