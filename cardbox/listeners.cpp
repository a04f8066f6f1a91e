#include "listeners.hpp"

#include "resolver.hpp"
#include "transport.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <systemd/sd-daemon.h>

namespace {

void add_failure(bound_listener& result, bind_failure::step failed, int error)
{
    const std::size_t at = std::min(result.failure_count, result.failures.size() - 1);
    result.failures[at] = {failed, error};
    result.failure_count = at + 1;
}

// Frees a list of names that the service manager's library allocated.
void strv_free(char** names)
{
    for (char** name = names; name != nullptr && *name != nullptr; ++name) std::free(*name);
    std::free(names);
}

// Tries the addresses in turn; returns the first socket bound to one. `fatal`: an
// option could not be set, and no further address is tried. `no_such_family`: every
// socket failed for want of the address family.
owned_fd bind_first(const addrinfo* addresses, bound_listener& result, bool& fatal, bool& no_such_family)
{
    using step = bind_failure::step;
    no_such_family = true;
    fatal = false;
    for (const addrinfo* address = addresses; address != nullptr; address = address->ai_next) {
        owned_fd listener(socket(address->ai_family, address->ai_socktype, address->ai_protocol));
        if (listener.get() == -1) {
            no_such_family = no_such_family && errno == EAFNOSUPPORT;
            add_failure(result, step::socket, errno);
            continue;
        }
        no_such_family = false;
        const int reuse_address = 1;
        if (setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &reuse_address, sizeof reuse_address) == -1) {
            add_failure(result, step::reuse_address, errno);
            fatal = true;
            return owned_fd();
        }
        // Off, so that IPv4 peers reach the same socket as IPv4-mapped addresses.
        const int v6_only = 0;
        if (address->ai_family == AF_INET6 &&
            setsockopt(listener.get(), IPPROTO_IPV6, IPV6_V6ONLY, &v6_only, sizeof v6_only) == -1) {
            add_failure(result, step::ipv4_too, errno);
            fatal = true;
            return owned_fd();
        }
        // Connections inherit the reset on close until their record is written out.
        // Without it, a client that sent part of a record would see a normal close when
        // the server stops: a record never written taken for one kept. So a listener
        // that cannot have it is not served.
        if (!set_reset_on_close(listener.get())) {
            add_failure(result, step::reset_on_close, errno);
            fatal = true;
            return owned_fd();
        }
        if (bind(listener.get(), address->ai_addr, address->ai_addrlen) == -1) {
            listener.reset();
            add_failure(result, step::bind, errno);
            continue;
        }
        return listener;
    }
    return owned_fd();
}

}  // namespace

passed_sockets take_passed_sockets(listeners& opened)
{
    using failure = passed_sockets::failure;
    passed_sockets result;
    char** names = nullptr;
    const int passed = sd_listen_fds_with_names(1, &names);
    const std::unique_ptr<char*, decltype(&strv_free)> owned_names(names, &strv_free);
    if (passed < 0) {
        result.failed = failure::cannot_take;
        result.error = -passed;
        return result;
    }
    result.count = passed;
    if (static_cast<std::size_t>(passed) > max_listeners) {
        result.failed = failure::too_many;
        return result;
    }
    for (int i = 0; i < passed; ++i) {
        const int fd = SD_LISTEN_FDS_START + i;
        opened.sockets[opened.count++].reset(fd);
        result.fd = fd;
        if (sd_is_socket_inet(fd, AF_UNSPEC, SOCK_STREAM, 1, 0) <= 0) {
            result.failed = failure::not_listening_tcp;
        } else if (!set_reset_on_close(fd)) {
            result.failed = failure::cannot_reset;
            result.error = errno;
        } else {
            continue;
        }
        if (names != nullptr && names[i] != nullptr)
            std::snprintf(result.name.data(), result.name.size(), "%s", names[i]);
        return result;
    }
    return result;
}

bound_listener bind_listener(const options& chosen, listeners& opened)
{
    bound_listener result;
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE;
    // A chosen address may be IPv4 or IPv6, as it resolves.
    hints.ai_family = chosen.address != nullptr ? AF_UNSPEC : AF_INET6;
    hints.ai_socktype = SOCK_STREAM;
    for (;;) {
        const resolved found = resolve(chosen.address, chosen.port, hints);
        if (found.status != 0) {
            result.resolver_status = found.status;
            return result;
        }
        bool fatal = false;
        bool no_such_family = false;
        owned_fd listener = bind_first(found.addresses.get(), result, fatal, no_such_family);
        if (listener.get() != -1) {
            opened.sockets[0] = std::move(listener);
            opened.count = 1;
            result.bound = true;
            return result;
        }
        // A system without IPv6 still serves IPv4 clients on the wildcard address.
        if (fatal || !no_such_family || hints.ai_family != AF_INET6) return result;
        hints.ai_family = AF_INET;
    }
}

int start_listening(const listeners& opened)
{
    for (std::size_t i = 0; i < opened.count; ++i)
        if (listen(opened.fd(i), SOMAXCONN) == -1) return errno;
    return 0;
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
