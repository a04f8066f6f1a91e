// cardbox's TLS: the context that each new connection's TLS is made from, loaded from
// the certificate, key and client CA files, and loaded again from the same files on
// SIGHUP. Connections in progress keep the context they were made from.
#pragma once

#include <array>
#include <memory>
#include <openssl/ssl.h>

struct tls_files {
    const char* cert = nullptr;       // PEM: the certificate, then its chain
    const char* key = nullptr;        // PEM
    const char* client_ca = nullptr;  // PEM: the CA that must have signed a client's certificate
};

struct ssl_ctx_free {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
using tls_context = std::unique_ptr<SSL_CTX, ssl_ctx_free>;

// What loading the files came to: the context, or why there is none.
struct tls_loaded {
    tls_context context;
    std::array<char, 512> failure{};  // a line without its newline
};

// Makes a context from the files: TLS 1.2 or later, no renegotiation, no session
// resumption, forward-secret AEAD suites only, idle buffers released; with a client
// CA, every client must present a certificate it signed.
tls_loaded load_tls(const tls_files& files);

// The TLS a server serves with: its files, and the context loaded last.
struct tls_server {
    tls_files files;
    tls_context context;
};

// Loads the files again (SIGHUP): new connections get the new context. A failure is
// reported, and the context the server has is kept.
void reload_tls(tls_server& tls);
