// The clients' TLS: the server verified before a byte of a record or a line is sent,
// then the bytes sent and received through it. It lives in a module of its own that
// links OpenSSL and is loaded only when TLS is asked for, so that a plain client
// starts without mapping OpenSSL at all. Nothing here includes OpenSSL.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <sys/types.h>

// What the command line chose for TLS.
struct client_tls_options {
    bool enabled = false;
    const char* ca = nullptr;    // trusted instead of the system's store
    const char* name = nullptr;  // the name the server's certificate must hold; default: the host
    const char* cert = nullptr;  // a client certificate to present, with its key
    const char* key = nullptr;
    // Where to append the session's secrets for a capture to be decrypted
    // (SSLKEYLOGFILE, the NSS key log format); none when unset.
    const char* key_log = nullptr;
};

// A reason for a failure, on one line.
using tls_reason = std::array<char, 256>;

// The module's own state, seen here only through pointers.
struct tls_context;
struct tls_session;

// Where a step stands: over, waiting to read or for room to write, or failed. A
// failure says why in a tls_reason; `untrusted` is a server certificate that failed
// verification, which no second try can mend.
enum class tls_step { done, wants_read, wants_write, failed, untrusted };

// What a look at the connection before anything is sent finds.
enum class tls_look { nothing, ended, bytes, failed };

// The module's functions, as it hands them over.
struct client_tls_functions {
    int version;  // client_tls_version: a module built from other sources is refused
    tls_context* (*make_context)(const client_tls_options& options, tls_reason& why);
    void (*free_context)(tls_context* context);
    tls_session* (*new_session)(tls_context* context, int fd, const client_tls_options& options, const char* host,
                                tls_reason& why);
    void (*free_session)(tls_session* session);
    tls_step (*continue_handshake)(tls_session* session, tls_reason& why);
    tls_step (*await_acceptance)(tls_session* session, tls_reason& why);
    ssize_t (*send_some)(tls_session* session, const char* bytes, std::size_t size, bool& wants_read);
    ssize_t (*receive_some)(tls_session* session, char* into, std::size_t size, bool& wants_write);
    tls_look (*look)(tls_session* session, int& error);
    void (*end)(tls_session* session);
};

constexpr int client_tls_version = 1;

// The module's one entry point.
extern "C" const client_tls_functions* cardbox_client_tls();

struct tls_context_free {
    void operator()(tls_context* context) const;
};
struct tls_session_free {
    void operator()(tls_session* session) const;
};
using client_tls_context = std::unique_ptr<tls_context, tls_context_free>;
using client_tls_session = std::unique_ptr<tls_session, tls_session_free>;

// Loads the module (once) and makes the context of a client's connections: TLS 1.2 or
// later, the server verified against the system's trusted CAs or options.ca, the
// client certificate presented if given. With TLS, SIGPIPE is ignored from then on:
// OpenSSL writes with write(), and a server gone is reported instead. Returns none,
// with why.
client_tls_context make_client_tls_context(const client_tls_options& options, tls_reason& why);

// Starts TLS over the connected socket, which is non-blocking from then on, as a
// client of `host` (a name or an address: the name the certificate must hold unless
// options.name says another). Returns none, with why, when a setting fails: then
// nothing is sent.
client_tls_session new_client_session(tls_context* context, int fd, const client_tls_options& options,
                                      const char* host, tls_reason& why);

// Goes on with the handshake without waiting.
tls_step continue_handshake(tls_session* session, tls_reason& why);

// Once the handshake is over: when the server asked for a client certificate, goes on
// until it has accepted the one given (its session ticket comes) or refused it (its
// alert says why); when the server asked and none was given, fails at once. Over
// before anything is sent, so that a person learns it before typing.
tls_step await_acceptance(tls_session* session, tls_reason& why);

// Sends what the connection takes now without waiting. Returns the count, or -1 with
// errno (EAGAIN: no room now; wants_read is set when TLS waits to read first).
ssize_t tls_send_some(tls_session* session, std::span<const char> bytes, bool& wants_read);

// Reads what has come without waiting. Returns the count, 0 at the server's
// close_notify, or -1 with errno: EAGAIN when nothing has come yet (wants_write set
// when TLS waits to write first), ECONNRESET for a reset, EPROTO for an end without
// close_notify or a TLS failure.
ssize_t tls_receive_some(tls_session* session, std::span<char> into, bool& wants_write);

// Looks, without waiting or taking anything, at whether the server has ended the
// connection or sent bytes.
tls_look tls_look_at(tls_session* session, int& error);

// Sends close_notify, as far as the connection takes it now.
void end_client_tls(tls_session* session);

// A TLS session with its own context, for a client of one connection.
struct client_tls {
    client_tls_context context;
    client_tls_session session;
};

// Runs the whole handshake over the connected socket until the deadline
// (milliseconds_now's clock; -1: none), the server's acceptance of a client
// certificate included. Returns the session, or none with why and the exit status to
// end with: 2 when no handshake came in time (as for a host that does not answer), 1
// for any other failure. Nothing but the handshake is sent.
client_tls start_client_tls(int fd, const client_tls_options& options, const char* host, std::int64_t deadline,
                            tls_reason& why, int& status);

// Sends all the bytes over TLS, waiting for room until the deadline (-1: none).
// Returns true once they are sent; false with errno otherwise (ETIMEDOUT at the
// deadline).
bool tls_send_all(tls_session* session, int fd, std::span<const char> bytes, std::int64_t deadline);
