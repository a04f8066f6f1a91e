#include "tls.hpp"

#include "reports.hpp"
#include "tls_result.hpp"

#include <cstdio>
#include <openssl/err.h>

namespace {

// Writes why the step failed, with OpenSSL's reason, into the failure line.
void fail(tls_loaded& loaded, const char* step, const char* file)
{
    const tls_outcome failed{tls_result::failed, 0, ERR_peek_last_error()};
    std::snprintf(loaded.failure.data(), loaded.failure.size(), "cardbox: %s%s%s: %s", step, *file != '\0' ? " " : "",
                  file, tls_failure_text(failed, "unknown error"));
    ERR_clear_error();
}

}  // namespace

tls_loaded load_tls(const tls_files& files)
{
    tls_loaded loaded;
    ERR_clear_error();
    tls_context context(SSL_CTX_new(TLS_server_method()));
    if (context == nullptr) {
        fail(loaded, "cannot make a TLS context", "");
        return loaded;
    }
    SSL_CTX* const ctx = context.get();
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_TICKET | SSL_OP_NO_COMPRESSION |
                                 SSL_OP_CIPHER_SERVER_PREFERENCE);
    // One record a connection: nothing to resume. One ticket is sent all the same, though
    // it resumes nothing: it follows the client's last flight of the handshake at once,
    // and so acknowledges it, where a client whose small writes wait for an
    // acknowledgement (Nagle's rule) would otherwise hold its record back for the
    // 40 ms of a delayed one.
    SSL_CTX_set_num_tickets(ctx, 1);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    // A connection that waits for its record holds no buffer meanwhile.
    SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS);
    SSL_CTX_set_cipher_list(ctx, "ECDHE+AESGCM:ECDHE+CHACHA20");
    if (SSL_CTX_use_certificate_chain_file(ctx, files.cert) != 1) {
        fail(loaded, "cannot load the TLS certificate", files.cert);
        return loaded;
    }
    if (SSL_CTX_use_PrivateKey_file(ctx, files.key, SSL_FILETYPE_PEM) != 1) {
        fail(loaded, "cannot load the TLS key", files.key);
        return loaded;
    }
    if (SSL_CTX_check_private_key(ctx) != 1) {
        fail(loaded, "the TLS key does not match the certificate", files.cert);
        return loaded;
    }
    if (files.client_ca != nullptr) {
        STACK_OF(X509_NAME)* const names = SSL_load_client_CA_file(files.client_ca);
        if (names == nullptr || SSL_CTX_load_verify_file(ctx, files.client_ca) != 1) {
            if (names != nullptr) sk_X509_NAME_pop_free(names, X509_NAME_free);
            fail(loaded, "cannot load the client CA", files.client_ca);
            return loaded;
        }
        SSL_CTX_set_client_CA_list(ctx, names);
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    }
    loaded.context = std::move(context);
    return loaded;
}

void reload_tls(tls_server& tls)
{
    tls_loaded loaded = load_tls(tls.files);
    if (loaded.context == nullptr) {
        report_line({loaded.failure.data(), "; going on with the certificate it had"});
        return;
    }
    tls.context = std::move(loaded.context);
}
