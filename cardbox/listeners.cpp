#include "listeners.hpp"

#include "resolver.hpp"
#include "transport.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <systemd/sd-daemon.h>

namespace {

// Frees a list of names that the service manager's library allocated.
void strv_free(char** names)
{
    for (char** name = names; name != nullptr && *name != nullptr; ++name) std::free(*name);
    std::free(names);
}

// Connections inherit the listener's reset-on-close setting until their record is
// written out. Without it, a client that sent part of a record would see a normal
// close when the server stops: a record never written taken for one kept. So a
// listener that cannot have it is not served. Reports the failure.
bool reset_connections_on_close(int listener)
{
    if (set_reset_on_close(listener)) return true;
    std::perror("setsockopt(...,SO_LINGER,...)");
    return false;
}

// What trying the resolver's addresses came to.
struct bound {
    owned_fd listener;    // the socket bound, if any
    bool fatal;           // an option could not be set: no further address is tried
    bool no_such_family;  // every socket failed for want of the address family
};

// Tries the addresses in turn; returns the first socket bound to one.
bound bind_first(const addrinfo* addresses)
{
    bool no_such_family = true;
    for (const addrinfo* address = addresses; address != nullptr; address = address->ai_next) {
        owned_fd listener(socket(address->ai_family, address->ai_socktype, address->ai_protocol));
        if (listener.get() == -1) {
            no_such_family = no_such_family && errno == EAFNOSUPPORT;
            std::perror("server: socket");
            continue;
        }
        no_such_family = false;
        const int reuse_address = 1;
        if (setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &reuse_address, sizeof reuse_address) == -1) {
            std::perror("setsockopt");
            return {owned_fd(), true, false};
        }
        // Off, so that IPv4 peers reach the same socket as IPv4-mapped addresses.
        const int v6_only = 0;
        if (address->ai_family == AF_INET6 &&
            setsockopt(listener.get(), IPPROTO_IPV6, IPV6_V6ONLY, &v6_only, sizeof v6_only) == -1) {
            std::perror("setsockopt   no soporta IPv6");
            return {owned_fd(), true, false};
        }
        if (!reset_connections_on_close(listener.get())) return {owned_fd(), true, false};
        if (bind(listener.get(), address->ai_addr, address->ai_addrlen) == -1) {
            listener.reset();
            std::perror("server: bind");
            continue;
        }
        return {std::move(listener), false, false};
    }
    return {owned_fd(), false, no_such_family};
}

}  // namespace

int take_passed_sockets(listeners& opened)
{
    char** names = nullptr;
    const int passed = sd_listen_fds_with_names(1, &names);
    const std::unique_ptr<char*, decltype(&strv_free)> owned_names(names, &strv_free);
    if (passed < 0) {
        std::fprintf(stderr, "cardbox: the sockets passed by the service manager cannot be taken: %s\n",
                     std::strerror(-passed));
        return -1;
    }
    if (passed == 0) return 0;
    if (static_cast<std::size_t>(passed) > max_listeners) {
        std::fprintf(stderr, "cardbox: %d sockets passed by the service manager, more than %zu\n",
                     passed, max_listeners);
        return -1;
    }
    for (int i = 0; i < passed; ++i) {
        const int fd = SD_LISTEN_FDS_START + i;
        opened.sockets[opened.count++].reset(fd);
        if (sd_is_socket_inet(fd, AF_UNSPEC, SOCK_STREAM, 1, 0) <= 0) {
            std::fprintf(stderr, "cardbox: socket %s (descriptor %d) passed by the service manager "
                                 "is not a listening TCP socket\n",
                         names != nullptr && names[i] != nullptr ? names[i] : "?", fd);
            return -1;
        }
        if (!reset_connections_on_close(fd)) return -1;
    }
    return passed;
}

bool bind_listener(const options& chosen, listeners& opened)
{
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE;
    // A chosen address may be IPv4 or IPv6, as it resolves.
    hints.ai_family = chosen.address != nullptr ? AF_UNSPEC : AF_INET6;
    hints.ai_socktype = SOCK_STREAM;
    for (;;) {
        const resolved found = resolve(chosen.address, chosen.port, hints);
        if (found.status != 0) {
            std::fprintf(stderr, "getaddrinfo: %s\n", gai_strerror(found.status));
            return false;
        }
        bound result = bind_first(found.addresses.get());
        if (result.listener.get() != -1) {
            opened.sockets[0] = std::move(result.listener);
            opened.count = 1;
            return true;
        }
        if (result.fatal) return false;
        // A system without IPv6 still serves IPv4 clients on the wildcard address.
        if (!result.no_such_family || hints.ai_family != AF_INET6) break;
        hints.ai_family = AF_INET;
    }
    std::fputs("servidor: error en bind\n", stderr);
    return false;
}

bool start_listening(const listeners& opened, record_output& out)
{
    for (std::size_t i = 0; i < opened.count; ++i) {
        if (listen(opened.fd(i), SOMAXCONN) == -1) {
            const int failure = errno;
            if (!write_all_printed(out)) return false;
            errno = failure;
            std::perror("server: listen");
            return false;
        }
    }
    return true;
}

void tell_ready() { sd_notify(0, "READY=1"); }

accept_failure classify_accept_failure(int error)
{
    switch (error) {
    case EMFILE: case ENFILE: case ENOBUFS: case ENOMEM:
        return accept_failure::resources;
    case EBADF: case EFAULT: case EINVAL: case ENOTSOCK:
        return accept_failure::fatal;
    default:
        return accept_failure::transient;
    }
}
