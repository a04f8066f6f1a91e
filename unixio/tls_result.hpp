// What an OpenSSL call on a non-blocking socket came to, as every program acts on it:
// the one reading of SSL_get_error, and the one text for a failure. Header-only, so
// that only code that speaks TLS needs OpenSSL.
#pragma once

#include <cerrno>
#include <cstring>
#include <openssl/err.h>
#include <openssl/ssl.h>

enum class tls_result { done, wants_read, wants_write, closed, failed };

struct tls_outcome {
    tls_result result;
    int error = 0;               // failed: the system's error; EPROTO for TLS's own
    unsigned long tls_error = 0;  // failed: OpenSSL's error, if any
};

// What the call that returned `returned` came to; errno as the call left it.
inline tls_outcome tls_outcome_of(const SSL* tls, int returned)
{
    if (returned > 0) return {tls_result::done};
    const int system_error = errno;
    switch (SSL_get_error(tls, returned)) {
    case SSL_ERROR_ZERO_RETURN: return {tls_result::closed};
    case SSL_ERROR_WANT_READ: return {tls_result::wants_read};
    case SSL_ERROR_WANT_WRITE: return {tls_result::wants_write};
    case SSL_ERROR_SYSCALL:
        // A reset, or (no error) an end without close_notify.
        if (system_error != 0) return {tls_result::failed, system_error};
        [[fallthrough]];
    default: return {tls_result::failed, EPROTO, ERR_peek_last_error()};
    }
}

// Why it failed, for a report: OpenSSL's reason, else the system's text, else what
// is given for an end with nothing said.
inline const char* tls_failure_text(const tls_outcome& outcome, const char* otherwise)
{
    const char* const reason = outcome.tls_error != 0 ? ERR_reason_error_string(outcome.tls_error) : nullptr;
    if (reason != nullptr) return reason;
    return outcome.error != 0 && outcome.error != EPROTO ? std::strerror(outcome.error) : otherwise;
}
