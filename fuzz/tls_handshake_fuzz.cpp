// Fuzzes the server's side of a TLS connection: any bytes a client may send, then its
// end, go to cardbox's transport as the handshake and the record would, and whatever
// came is printed as a JSON line. Beyond "no crash": the record is never gathered past
// its buffer, a handshake that did not end gives no record, and what is printed is one
// whole line.
#include "connection.hpp"
#include "record_output.hpp"
#include "tls.hpp"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

tls_context context;

void require(bool condition)
{
    if (!condition) std::abort();
}

// Writes a throwaway key and a certificate for it, made now, into the folder, and
// returns the context loaded from them as the server loads its own.
tls_context make_context()
{
    std::array<char, 32> folder{"/tmp/tls-fuzz-XXXXXX"};
    require(mkdtemp(folder.data()) != nullptr);
    std::array<char, 64> cert_path{};
    std::array<char, 64> key_path{};
    std::snprintf(cert_path.data(), cert_path.size(), "%s/cert.pem", folder.data());
    std::snprintf(key_path.data(), key_path.size(), "%s/key.pem", folder.data());
    EVP_PKEY* const key = EVP_EC_gen("P-256");
    X509* const certificate = X509_new();
    require(key != nullptr && certificate != nullptr);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
    X509_gmtime_adj(X509_getm_notBefore(certificate), 0);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 3600);
    X509_set_pubkey(certificate, key);
    X509_NAME* const name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("fuzz"), -1, -1, 0);
    X509_set_issuer_name(certificate, name);
    require(X509_sign(certificate, key, EVP_sha256()) > 0);
    FILE* const cert_file = std::fopen(cert_path.data(), "w");
    FILE* const key_file = std::fopen(key_path.data(), "w");
    require(cert_file != nullptr && key_file != nullptr);
    PEM_write_X509(cert_file, certificate);
    PEM_write_PrivateKey(key_file, key, nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(cert_file);
    std::fclose(key_file);
    X509_free(certificate);
    EVP_PKEY_free(key);
    tls_loaded loaded = load_tls({cert_path.data(), key_path.data(), nullptr});
    unlink(cert_path.data());
    unlink(key_path.data());
    rmdir(folder.data());
    require(loaded.context != nullptr);
    return std::move(loaded.context);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    context = make_context();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::array<int, 2> pair{};
    require(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair.data()) == 0);
    const owned_fd client(pair[1]);
    // What the client sends, as far as the socket holds it, then its end.
    const ssize_t sent = send(client.get(), data, size, MSG_DONTWAIT);
    (void)sent;
    shutdown(client.get(), SHUT_WR);

    served_connection connection;
    connection.link.socket.reset(pair[0]);
    require(start_tls(connection.link, context.get()));
    for (int step = 0; step < 16 && !connection.arrived.ended; ++step) gather(connection.link, connection.arrived);
    require(connection.arrived.received <= receive_buffer_size);
    require(handshake_done(connection.link) || connection.arrived.received == 0);

    record_output out;
    sockaddr_in6 peer{};
    peer.sin6_family = AF_INET6;
    peer.sin6_port = htons(8000);
    peer.sin6_addr = in6addr_loopback;
    sockaddr_storage stored{};
    std::memcpy(&stored, &peer, sizeof peer);
    const std::uint64_t before = printed_up_to(out);
    print_arrival(out, stored, connection.arrived, true, connection.link, false);
    const std::uint64_t printed = printed_up_to(out) - before;
    require(printed == 0 || (printed == out.end && out.data[out.end - 1] == '\n' &&
                             std::memchr(out.data, '\n', out.end) == out.data + out.end - 1));
    reset_connection(connection.link);
    return 0;
}
