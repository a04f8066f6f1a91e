// The clients' TLS: the server verified before a byte of a record or a line is sent,
// then the bytes sent and received through it. Plain TCP needs none of this.
#pragma once

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

// A TLS session over a connected socket, which is non-blocking from then on.
struct client_tls {
    std::unique_ptr<SSL_CTX, ssl_ctx_deleter> context;
    std::unique_ptr<SSL, ssl_deleter> tls;
};

// Runs the TLS handshake over the connected socket, as a client of `host` (a name or
// an address: the name the certificate must hold unless options.name says another),
// until the deadline (milliseconds_now's clock; -1: none). Returns the session, or
// none with the reason reported on one line after `prefix`: the server's certificate
// not verified (named, expired, signed by an unknown CA), the handshake failed or not
// done in time, a client certificate that cannot be loaded. Nothing else is sent.
// OpenSSL writes with write(), so that a server gone would end the client by SIGPIPE:
// it is ignored from then on, and the failure is reported instead.
client_tls start_client_tls(int fd, const client_tls_options& options, const char* host, const char* prefix,
                            std::int64_t deadline);

// Sends all the bytes over TLS, waiting for room until the deadline (-1: none).
// Returns true once they are sent; false with errno otherwise (ETIMEDOUT at the
// deadline).
bool tls_send_all(const client_tls& session, int fd, std::span<const char> bytes, std::int64_t deadline);

// Sends what the connection takes now without waiting. Returns the count, or -1 with
// errno (EAGAIN: no room now; wants_read is set when TLS waits to read first).
ssize_t tls_send_some(const client_tls& session, std::span<const char> bytes, bool& wants_read);

// Reads what has come without waiting. Returns the count, 0 at the server's
// close_notify, or -1 with errno: EAGAIN when nothing has come yet (wants_write set
// when TLS waits to write first), ECONNRESET for a reset, EPROTO for an end without
// close_notify or a TLS failure.
ssize_t tls_receive_some(const client_tls& session, std::span<char> into, bool& wants_write);

// Sends close_notify, as far as the connection takes it now.
void end_client_tls(const client_tls& session);
