// The clients' TLS: the server verified before a byte of a record or a line is sent,
// then the bytes sent and received through it. Plain TCP needs none of this.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <openssl/ssl.h>
#include <span>
#include <sys/types.h>

// What the command line chose for TLS.
struct client_tls_options {
    bool enabled = false;
    const char* ca = nullptr;    // trusted instead of the system's store
    const char* name = nullptr;  // the name the server's certificate must hold; default: the host
    const char* cert = nullptr;  // a client certificate to present, with its key
    const char* key = nullptr;
};

struct ssl_ctx_deleter {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
struct ssl_deleter {
    void operator()(SSL* tls) const { SSL_free(tls); }
};
using client_tls_context = std::unique_ptr<SSL_CTX, ssl_ctx_deleter>;
using client_tls_session = std::unique_ptr<SSL, ssl_deleter>;

// A reason for a failure, on one line.
using tls_reason = std::array<char, 256>;

// Makes the context of a client's connections: TLS 1.2 or later, the server verified
// against the system's trusted CAs or options.ca, the client certificate presented if
// given. OpenSSL writes with write(), so that a server gone would end the client by
// SIGPIPE: it is ignored from then on, and the failure is reported instead. Returns
// none with the reason reported on one line after `prefix`.
client_tls_context make_client_tls_context(const client_tls_options& options, const char* prefix);

// Starts TLS over the connected socket, which is non-blocking from then on, as a
// client of `host` (a name or an address: the name the certificate must hold unless
// options.name says another). Returns none when memory runs out.
client_tls_session new_client_session(SSL_CTX* context, int fd, const client_tls_options& options,
                                      const char* host);

// Where a handshake stands after a step.
enum class tls_step { done, wants_read, wants_write, failed };

// Goes on with the handshake without waiting. When it failed, says why in `reason`:
// the server's certificate not trusted (named otherwise, expired, signed by an unknown
// CA), or the handshake itself.
tls_step continue_handshake(SSL* tls, tls_reason& reason);

// A TLS session with its own context, for a client of one connection.
struct client_tls {
    client_tls_context context;
    client_tls_session tls;
};

// Runs the whole handshake over the connected socket until the deadline
// (milliseconds_now's clock; -1: none). Returns the session, or none with the reason
// reported on one line after `prefix`. Nothing but the handshake is sent.
client_tls start_client_tls(int fd, const client_tls_options& options, const char* host, const char* prefix,
                            std::int64_t deadline);

// Sends all the bytes over TLS, waiting for room until the deadline (-1: none).
// Returns true once they are sent; false with errno otherwise (ETIMEDOUT at the
// deadline).
bool tls_send_all(SSL* tls, int fd, std::span<const char> bytes, std::int64_t deadline);

// Sends what the connection takes now without waiting. Returns the count, or -1 with
// errno (EAGAIN: no room now; wants_read is set when TLS waits to read first).
ssize_t tls_send_some(SSL* tls, std::span<const char> bytes, bool& wants_read);

// Reads what has come without waiting. Returns the count, 0 at the server's
// close_notify, or -1 with errno: EAGAIN when nothing has come yet (wants_write set
// when TLS waits to write first), ECONNRESET for a reset, EPROTO for an end without
// close_notify or a TLS failure.
ssize_t tls_receive_some(SSL* tls, std::span<char> into, bool& wants_write);

// Sends close_notify, as far as the connection takes it now.
void end_client_tls(SSL* tls);
