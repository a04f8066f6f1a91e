// The clients' TLS module: all that the clients do with OpenSSL, loaded by them only
// when TLS is asked for (client_tls.cpp). It hands its functions over in one table.
#include "client_tls.hpp"
#include "tls_result.hpp"

#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <unistd.h>

struct tls_context {
    SSL_CTX* context = nullptr;
    int key_log;  // the file the secrets are appended to, or -1
};

struct tls_session {
    SSL* tls = nullptr;
    bool certificate_asked = false;  // the server asked for a client certificate
    bool certificate_given = false;  // ... and one was given
    bool ticket_came = false;        // the server sent a session ticket: it took the certificate
};

namespace {

// The module's own records are plain: allocated as C allocates, so that loading it
// needs no C++ run-time library.
struct free_memory {
    void operator()(void* memory) const { std::free(memory); }
};
template <typename T>
using owned = std::unique_ptr<T, free_memory>;

template <typename T>
owned<T> allocate()
{
    return owned<T>(static_cast<T*>(std::calloc(1, sizeof(T))));
}

// Writes why into the reason: what failed, then OpenSSL's text (or the system's).
void say(tls_reason& why, const char* what, const tls_outcome& outcome, const char* otherwise)
{
    std::snprintf(why.data(), why.size(), "%s: %s", what, tls_failure_text(outcome, otherwise));
}

void say_last(tls_reason& why, const char* what)
{
    say(why, what, {tls_result::failed, errno, ERR_peek_last_error()}, "the server ended the connection");
}

bool is_address(const char* name)
{
    in6_addr ipv6{};
    in_addr ipv4{};
    return inet_pton(AF_INET6, name, &ipv6) == 1 || inet_pton(AF_INET, name, &ipv4) == 1;
}

tls_session* session_of(SSL* tls) { return static_cast<tls_session*>(SSL_get_app_data(tls)); }

// Called when the server asks for a client certificate, whether one was given or not.
int note_request(SSL* tls, void* /*unused*/)
{
    tls_session* const session = session_of(tls);
    session->certificate_asked = true;
    session->certificate_given = SSL_get_certificate(tls) != nullptr;
    return 1;
}

// Called for each session ticket: a server that asked for a certificate sends one only
// once it has taken it. The session is not kept: there is nothing to resume.
int note_ticket(SSL* tls, SSL_SESSION* /*ticket*/)
{
    session_of(tls)->ticket_came = true;
    return 0;
}

// Appends one line of secrets to the key log, whole: one write of an O_APPEND file,
// so that clients sharing the file never mix their lines.
void log_key(const SSL* tls, const char* line)
{
    const auto* const context = static_cast<const tls_context*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(tls)));
    std::array<char, 512> whole{};
    const int length = std::snprintf(whole.data(), whole.size(), "%s\n", line);
    if (length > 0 && static_cast<std::size_t>(length) < whole.size())
        // A line that cannot be written costs the capture its decryption, not the
        // session its record: it goes on.
        [[maybe_unused]] const ssize_t written = write(context->key_log, whole.data(), static_cast<std::size_t>(length));
}

tls_context* make_context(const client_tls_options& options, tls_reason& why)
{
    ERR_clear_error();
    SSL_CTX* const made = SSL_CTX_new(TLS_client_method());
    if (made == nullptr) {
        say_last(why, "cannot start");
        return nullptr;
    }
    owned<tls_context> context = allocate<tls_context>();
    if (context == nullptr) {
        SSL_CTX_free(made);
        std::snprintf(why.data(), why.size(), "cannot start: %s", std::strerror(ENOMEM));
        return nullptr;
    }
    context->context = made;
    context->key_log = -1;  // calloc made it 0
    SSL_CTX_set_app_data(made, context.get());
    if (options.key_log != nullptr) {
        // The secrets open every record of the session: readable by their owner only.
        context->key_log = open(options.key_log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        if (context->key_log == -1) {
            std::snprintf(why.data(), why.size(), "cannot open SSLKEYLOGFILE %.160s: %s", options.key_log,
                          std::strerror(errno));
            SSL_CTX_free(made);
            return nullptr;
        }
        SSL_CTX_set_keylog_callback(made, log_key);
    }
    SSL_CTX_set_min_proto_version(made, TLS1_2_VERSION);
    SSL_CTX_set_options(made, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
    SSL_CTX_set_mode(made, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_verify(made, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_cert_cb(made, note_request, nullptr);
    SSL_CTX_set_session_cache_mode(made, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(made, note_ticket);
    if (options.ca != nullptr ? SSL_CTX_load_verify_file(made, options.ca) != 1
                              : SSL_CTX_set_default_verify_paths(made) != 1) {
        say_last(why, "cannot load the CA");
    } else if (options.cert != nullptr && (SSL_CTX_use_certificate_chain_file(made, options.cert) != 1 ||
                                           SSL_CTX_use_PrivateKey_file(made, options.key, SSL_FILETYPE_PEM) != 1 ||
                                           SSL_CTX_check_private_key(made) != 1)) {
        say_last(why, "cannot load the client certificate and key");
    } else {
        return context.release();
    }
    if (context->key_log != -1) close(context->key_log);
    SSL_CTX_free(made);
    return nullptr;
}

void free_context(tls_context* context)
{
    const owned<tls_context> ending(context);
    SSL_CTX_free(ending->context);
    if (ending->key_log != -1) close(ending->key_log);
}

void free_session(tls_session* session)
{
    const owned<tls_session> ending(session);
    SSL_free(ending->tls);
}

tls_session* new_session(tls_context* context, int fd, const client_tls_options& options, const char* host,
                         tls_reason& why)
{
    ERR_clear_error();
    owned<tls_session> session = allocate<tls_session>();
    if (session == nullptr) {
        std::snprintf(why.data(), why.size(), "cannot start: %s", std::strerror(ENOMEM));
        return nullptr;
    }
    session->tls = SSL_new(context->context);
    SSL* const tls = session->tls;
    if (tls == nullptr || SSL_set_fd(tls, fd) != 1) {
        say_last(why, "cannot start");
        free_session(session.release());
        return nullptr;
    }
    SSL_set_app_data(tls, session.get());
    // An address is checked against the certificate's addresses; a name against its
    // names, a wildcard standing for one whole label only, and sent for the server to
    // choose its certificate by. A name that cannot be set is never left unchecked.
    const char* const name = options.name != nullptr ? options.name : host;
    bool set = false;
    if (is_address(name)) {
        set = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(tls), name) == 1;
    } else {
        SSL_set_hostflags(tls, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        // SSL_set_tlsext_host_name, without the macro's cast.
        set = SSL_set1_host(tls, name) == 1 &&
              SSL_ctrl(tls, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name, const_cast<char*>(name)) == 1;
    }
    if (!set || *name == '\0') {
        std::snprintf(why.data(), why.size(), "cannot check the server's certificate for \"%.64s\"", name);
        free_session(session.release());
        return nullptr;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    // What is sent follows the handshake's last flight at once, not an acknowledgement
    // that the server may hold back.
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return session.release();
}

// Where a step stands, from what OpenSSL said; a failure says why.
tls_step step_of(tls_session* session, int returned, tls_reason& why, const char* what)
{
    const tls_outcome outcome = tls_outcome_of(session->tls, returned);
    switch (outcome.result) {
    case tls_result::done: return tls_step::done;
    case tls_result::wants_read: return tls_step::wants_read;
    case tls_result::wants_write: return tls_step::wants_write;
    case tls_result::closed:
    case tls_result::failed: break;
    }
    const long verified = SSL_get_verify_result(session->tls);
    if (verified != X509_V_OK) {
        std::snprintf(why.data(), why.size(), "the server's certificate is not trusted: %s",
                      X509_verify_cert_error_string(verified));
        return tls_step::untrusted;
    }
    if (session->certificate_asked && !session->certificate_given) {
        std::snprintf(why.data(), why.size(), "the server asks for a client certificate (--tls-cert, --tls-key)");
        return tls_step::failed;
    }
    say(why, what, outcome, "the server ended the connection");
    return tls_step::failed;
}

tls_step continue_handshake(tls_session* session, tls_reason& why)
{
    ERR_clear_error();
    errno = 0;
    return step_of(session, SSL_connect(session->tls), why, "handshake failed");
}

tls_step await_acceptance(tls_session* session, tls_reason& why)
{
    if (!session->certificate_asked) return tls_step::done;
    if (!session->certificate_given) {
        std::snprintf(why.data(), why.size(), "the server asks for a client certificate (--tls-cert, --tls-key)");
        return tls_step::failed;
    }
    // TLS 1.2 ends the handshake only once the server has taken the certificate.
    if (session->ticket_came || SSL_version(session->tls) < TLS1_3_VERSION) return tls_step::done;
    char byte = 0;
    ERR_clear_error();
    errno = 0;
    const int count = SSL_peek(session->tls, &byte, 1);
    if (session->ticket_came) return tls_step::done;
    const tls_step step = step_of(session, count, why, "the server refused the client certificate");
    return step == tls_step::done ? tls_step::wants_read : step;
}

ssize_t send_some(tls_session* session, const char* bytes, std::size_t size, bool& wants_read)
{
    ERR_clear_error();
    errno = 0;
    wants_read = false;
    const int sent = SSL_write(session->tls, bytes, static_cast<int>(size));
    const tls_outcome outcome = tls_outcome_of(session->tls, sent);
    switch (outcome.result) {
    case tls_result::done: return sent;
    case tls_result::wants_read: wants_read = true; [[fallthrough]];
    case tls_result::wants_write: errno = EAGAIN; return -1;
    case tls_result::closed:
    case tls_result::failed: break;
    }
    errno = outcome.error != 0 ? outcome.error : EPROTO;
    return -1;
}

ssize_t receive_some(tls_session* session, char* into, std::size_t size, bool& wants_write)
{
    ERR_clear_error();
    errno = 0;
    wants_write = false;
    const int count = SSL_read(session->tls, into, static_cast<int>(size));
    const tls_outcome outcome = tls_outcome_of(session->tls, count);
    switch (outcome.result) {
    case tls_result::done: return count;
    case tls_result::closed: return 0;
    case tls_result::wants_write: wants_write = true; [[fallthrough]];
    case tls_result::wants_read: errno = EAGAIN; return -1;
    case tls_result::failed: break;
    }
    errno = outcome.error;
    return -1;
}

tls_look look(tls_session* session, int& error)
{
    char byte = 0;
    ERR_clear_error();
    errno = 0;
    const int count = SSL_peek(session->tls, &byte, 1);
    const tls_outcome outcome = tls_outcome_of(session->tls, count);
    switch (outcome.result) {
    case tls_result::done: return tls_look::bytes;
    case tls_result::wants_read:
    case tls_result::wants_write: return tls_look::nothing;
    case tls_result::closed: return tls_look::ended;
    case tls_result::failed: break;
    }
    // The server's close_notify, or an end without one.
    if (outcome.error == EPROTO) return tls_look::ended;
    error = outcome.error;
    return tls_look::failed;
}

void end(tls_session* session) { SSL_shutdown(session->tls); }

constexpr client_tls_functions functions{
    .version = client_tls_version,
    .make_context = make_context,
    .free_context = free_context,
    .new_session = new_session,
    .free_session = free_session,
    .continue_handshake = continue_handshake,
    .await_acceptance = await_acceptance,
    .send_some = send_some,
    .receive_some = receive_some,
    .look = look,
    .end = end,
};

}  // namespace

extern "C" const client_tls_functions* cardbox_client_tls() { return &functions; }
