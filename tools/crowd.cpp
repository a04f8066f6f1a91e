// crowd: an attacker's crowd against cardbox, for the tests and the benchmark. Holds
// COUNT connections from each source address given, to ::1 (from an IPv6 source) or
// 127.0.0.1 (from an IPv4 one) on port 8000, each silent, or sending the first bytes
// of a TLS hello and then nothing, or ending its TLS handshake and then saying
// nothing; and connects again at once whenever the server ends one. Prints "1" once
// every connection has been made (and its handshake done), then runs until its
// standard input ends, and prints how many connections it made. Not installed.
//
//   usage: crowd [--tls-hello | --tls-idle] SOURCE:COUNT...
#include "owned_fd.hpp"

#include <arpa/inet.h>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <string>
#include <string_view>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr in_port_t record_port = 8000;
// A TLS record header and the start of a ClientHello, cut short.
constexpr std::string_view cut_hello("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03"
                                     "abcdefghi",
                                     20);

struct ssl_free {
    void operator()(SSL* tls) const { SSL_free(tls); }
};

struct member {
    sockaddr_storage source{};
    socklen_t size = 0;
    owned_fd socket;
    std::unique_ptr<SSL, ssl_free> tls;
    bool connected = false;
    bool settled = false;  // connected, and its handshake done or its hello sent
    bool wants_write = false;  // its handshake waits for room to write
};

enum class manner { silent, tls_hello, tls_idle };

[[noreturn]] void fail(const char* what)
{
    std::perror(what);
    std::exit(EXIT_FAILURE);
}

// Reads ADDRESS:COUNT (an IPv6 address holds colons: the count is after the last).
bool read_source(const char* text, sockaddr_storage& source, socklen_t& size, long& count)
{
    const char* const colon = std::strrchr(text, ':');
    if (colon == nullptr) return false;
    count = std::strtol(colon + 1, nullptr, 10);
    const std::string address(text, colon);
    auto& ipv6 = reinterpret_cast<sockaddr_in6&>(source);
    auto& ipv4 = reinterpret_cast<sockaddr_in&>(source);
    if (inet_pton(AF_INET6, address.c_str(), &ipv6.sin6_addr) == 1) {
        ipv6.sin6_family = AF_INET6;
        size = sizeof ipv6;
    } else if (inet_pton(AF_INET, address.c_str(), &ipv4.sin_addr) == 1) {
        ipv4.sin_family = AF_INET;
        size = sizeof ipv4;
    } else {
        return false;
    }
    return count > 0;
}

// Connects the member again, without waiting; its event says when it is connected.
void connect_again(int epoll, member& m, std::uint64_t index)
{
    m.socket.reset(socket(m.source.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (m.socket.get() == -1) fail("crowd: socket");
    if (bind(m.socket.get(), reinterpret_cast<const sockaddr*>(&m.source), m.size) == -1) fail("crowd: bind");
    sockaddr_storage target{};
    socklen_t target_size = 0;
    if (m.source.ss_family == AF_INET6) {
        auto& ipv6 = reinterpret_cast<sockaddr_in6&>(target);
        ipv6.sin6_family = AF_INET6;
        ipv6.sin6_port = htons(record_port);
        ipv6.sin6_addr = in6addr_loopback;
        target_size = sizeof ipv6;
    } else {
        auto& ipv4 = reinterpret_cast<sockaddr_in&>(target);
        ipv4.sin_family = AF_INET;
        ipv4.sin_port = htons(record_port);
        ipv4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        target_size = sizeof ipv4;
    }
    m.connected = false;
    m.settled = false;
    if (connect(m.socket.get(), reinterpret_cast<const sockaddr*>(&target), target_size) == -1 && errno != EINPROGRESS) {
        m.socket.reset();  // refused at once: tried again on the next round
        return;
    }
    epoll_event event{EPOLLOUT | EPOLLIN | EPOLLRDHUP, {.u64 = index}};
    if (epoll_ctl(epoll, EPOLL_CTL_ADD, m.socket.get(), &event) == -1) fail("crowd: epoll_ctl");
}

// Goes on with the member's TLS handshake; returns true once it is over (or has failed:
// the server's end then shows).
bool handshake_over(member& m, SSL_CTX* context)
{
    if (m.tls == nullptr) {
        m.tls.reset(SSL_new(context));
        SSL_set_fd(m.tls.get(), m.socket.get());
        SSL_set_connect_state(m.tls.get());
    }
    const int done = SSL_do_handshake(m.tls.get());
    if (done == 1) return true;
    const int error = SSL_get_error(m.tls.get(), done);
    m.wants_write = error == SSL_ERROR_WANT_WRITE;
    return error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE;
}

// True when what came on a settled TLS connection was nothing but the server's ticket.
bool only_tickets(member& m)
{
    if (m.tls == nullptr) return false;
    char byte = 0;
    const int count = SSL_read(m.tls.get(), &byte, 1);
    return count <= 0 && SSL_get_error(m.tls.get(), count) == SSL_ERROR_WANT_READ;
}

}  // namespace

int main(int argc, char** argv)
{
    manner how = manner::silent;
    std::vector<member> crowd;
    for (int i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) == "--tls-hello" || std::string_view(argv[i]) == "--tls-idle") {
            how = std::string_view(argv[i]) == "--tls-hello" ? manner::tls_hello : manner::tls_idle;
            continue;
        }
        member m;
        long count = 0;
        if (!read_source(argv[i], m.source, m.size, count)) {
            std::fputs("usage: crowd [--tls-hello | --tls-idle] SOURCE:COUNT...\n", stderr);
            return 64;
        }
        for (long n = 0; n < count; ++n) {
            crowd.emplace_back();
            crowd.back().source = m.source;
            crowd.back().size = m.size;
        }
    }
    rlimit descriptors{};
    getrlimit(RLIMIT_NOFILE, &descriptors);
    descriptors.rlim_cur = descriptors.rlim_max;
    setrlimit(RLIMIT_NOFILE, &descriptors);
    const owned_fd epoll(epoll_create1(EPOLL_CLOEXEC));
    epoll_event input{EPOLLIN, {.u64 = crowd.size()}};
    if (epoll.get() == -1 || epoll_ctl(epoll.get(), EPOLL_CTL_ADD, STDIN_FILENO, &input) == -1) fail("crowd: epoll");
    const std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_client_method()), &SSL_CTX_free);
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_NONE, nullptr);
    for (std::size_t i = 0; i < crowd.size(); ++i) connect_again(epoll.get(), crowd[i], i);
    unsigned long long made = crowd.size();
    std::size_t settled = 0;
    std::array<epoll_event, 256> ready{};
    for (;;) {
        const int count = epoll_wait(epoll.get(), ready.data(), static_cast<int>(ready.size()), 100);
        if (count == -1 && errno != EINTR) fail("crowd: epoll_wait");
        for (std::size_t i = 0; i < static_cast<std::size_t>(std::max(count, 0)); ++i) {
            const std::uint64_t index = ready[i].data.u64;
            if (index == crowd.size()) {
                std::printf("%llu\n", made);
                return 0;
            }
            member& m = crowd[index];
            const bool ended = (ready[i].events & (EPOLLRDHUP | EPOLLERR | EPOLLHUP)) != 0 ||
                               (m.settled && (ready[i].events & EPOLLIN) != 0 && !only_tickets(m));
            if (!ended && m.settled) continue;  // only the server's ticket came
            if (!ended) {
                if (how == manner::tls_hello && !m.connected)
                    static_cast<void>(send(m.socket.get(), cut_hello.data(), cut_hello.size(), MSG_NOSIGNAL));
                m.connected = true;
                if (how == manner::tls_idle && !handshake_over(m, context.get())) {
                    // Watched for what the handshake waits for, not for room it has.
                    epoll_event event{(m.wants_write ? EPOLLOUT : EPOLLIN) | EPOLLRDHUP, {.u64 = index}};
                    epoll_ctl(epoll.get(), EPOLL_CTL_MOD, m.socket.get(), &event);
                    continue;
                }
                // Settled: only the server's end is waited for.
                m.settled = true;
                ++settled;
                epoll_event event{EPOLLIN | EPOLLRDHUP, {.u64 = index}};
                epoll_ctl(epoll.get(), EPOLL_CTL_MOD, m.socket.get(), &event);
                if (settled == crowd.size()) {
                    std::puts("1");
                    std::fflush(stdout);
                }
                continue;
            }
            settled -= m.settled ? 1 : 0;
            m.tls.reset();
            m.socket.reset();
            connect_again(epoll.get(), m, index);
            ++made;
        }
        // A connect refused at once has no event: such members are tried again here.
        for (std::size_t i = 0; i < crowd.size(); ++i)
            if (crowd[i].socket.get() == -1) {
                connect_again(epoll.get(), crowd[i], i);
                ++made;
            }
    }
}
