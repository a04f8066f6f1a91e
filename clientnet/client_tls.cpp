#include "client_tls.hpp"

#include "deadline.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <poll.h>
#include <unistd.h>

namespace {

// The module's functions, once loaded: a process loads it once and keeps it.
const client_tls_functions* functions = nullptr;

// Loads the module, from where it stands beside the program (relative to its
// directory, the same in the build tree as once installed), or else from where it is
// installed. Returns its functions, or none with why.
const client_tls_functions* load(tls_reason& why)
{
    if (functions != nullptr) return functions;
    std::array<char, PATH_MAX> path{};
    const ssize_t length = readlink("/proc/self/exe", path.data(), path.size() - 1);
    void* module = nullptr;
    const char* loaded = path.data();
    if (length > 0) {
        char* const slash = std::strrchr(path.data(), '/');
        if (slash != nullptr)
            std::snprintf(slash + 1, path.size() - static_cast<std::size_t>(slash + 1 - path.data()), "%s",
                          CLIENT_TLS_MODULE_BESIDE);
        module = dlopen(path.data(), RTLD_NOW | RTLD_LOCAL);
    }
    if (module == nullptr) {
        loaded = CLIENT_TLS_MODULE_INSTALLED;
        module = dlopen(loaded, RTLD_NOW | RTLD_LOCAL);
    }
    if (module == nullptr) {
        std::snprintf(why.data(), why.size(), "cannot load its module: %s", dlerror());
        return nullptr;
    }
    using entry_point = const client_tls_functions* (*)();
    const auto entry = reinterpret_cast<entry_point>(dlsym(module, "cardbox_client_tls"));
    const client_tls_functions* const found = entry != nullptr ? entry() : nullptr;
    if (found == nullptr || found->version != client_tls_version) {
        std::snprintf(why.data(), why.size(), "cannot load its module: %.160s is of another version", loaded);
        return nullptr;
    }
    functions = found;
    return functions;
}

// Waits until the socket can be read or written, as TLS wants, or the deadline.
// Returns false at the deadline (errno ETIMEDOUT) or on a failed wait.
bool wait_for(int fd, bool write, std::int64_t deadline)
{
    pollfd ready{fd, static_cast<short>(write ? POLLOUT : POLLIN), 0};
    for (;;) {
        const int count = poll(&ready, 1, deadline < 0 ? -1 : milliseconds_until(deadline));
        if (count == 1) return true;
        if (count == 0) errno = ETIMEDOUT;
        if (count == 0 || errno != EINTR) return false;
    }
}

}  // namespace

void tls_context_free::operator()(tls_context* context) const { functions->free_context(context); }

void tls_session_free::operator()(tls_session* session) const { functions->free_session(session); }

client_tls_context make_client_tls_context(const client_tls_options& options, tls_reason& why)
{
    if (load(why) == nullptr) return {};
    // OpenSSL writes with write(): a server gone must be reported, not end the client.
    std::signal(SIGPIPE, SIG_IGN);
    return client_tls_context(functions->make_context(options, why));
}

client_tls_session new_client_session(tls_context* context, int fd, const client_tls_options& options,
                                      const char* host, tls_reason& why)
{
    return client_tls_session(functions->new_session(context, fd, options, host, why));
}

tls_step continue_handshake(tls_session* session, tls_reason& why)
{
    return functions->continue_handshake(session, why);
}

tls_step await_acceptance(tls_session* session, tls_reason& why) { return functions->await_acceptance(session, why); }

ssize_t tls_send_some(tls_session* session, std::span<const char> bytes, bool& wants_read)
{
    return functions->send_some(session, bytes.data(), bytes.size(), wants_read);
}

ssize_t tls_receive_some(tls_session* session, std::span<char> into, bool& wants_write)
{
    return functions->receive_some(session, into.data(), into.size(), wants_write);
}

tls_look tls_look_at(tls_session* session, int& error) { return functions->look(session, error); }

void end_client_tls(tls_session* session)
{
    if (session != nullptr) functions->end(session);
}

client_tls start_client_tls(int fd, const client_tls_options& options, const char* host, std::int64_t deadline,
                            tls_reason& why, int& status)
{
    status = 1;
    client_tls made{make_client_tls_context(options, why), {}};
    if (made.context == nullptr) return {};
    made.session = new_client_session(made.context.get(), fd, options, host, why);
    if (made.session == nullptr) return {};
    // The server's word on a client certificate comes within a moment of the
    // handshake, or not at all (a server that sends no ticket): it is waited for that
    // long at most.
    constexpr std::int64_t acceptance_ms = 1000;
    std::int64_t acceptance_deadline = 0;
    for (;;) {
        const bool handshaken = acceptance_deadline != 0;
        const tls_step step = handshaken ? await_acceptance(made.session.get(), why)
                                         : continue_handshake(made.session.get(), why);
        if (step == tls_step::done && handshaken) return made;
        if (step == tls_step::done) {
            const std::int64_t moment = milliseconds_now() + acceptance_ms;
            acceptance_deadline = deadline < 0 ? moment : std::min(moment, deadline);
            continue;
        }
        if (step == tls_step::failed || step == tls_step::untrusted) return {};
        if (wait_for(fd, step == tls_step::wants_write, handshaken ? acceptance_deadline : deadline)) continue;
        if (handshaken && errno == ETIMEDOUT && acceptance_deadline != deadline) return made;
        std::snprintf(why.data(), why.size(), "no handshake in time");
        status = 2;  // as for a host that does not answer
        return {};
    }
}

bool tls_send_all(tls_session* session, int fd, std::span<const char> bytes, std::int64_t deadline)
{
    while (!bytes.empty()) {
        bool wants_read = false;
        const ssize_t sent = tls_send_some(session, bytes, wants_read);
        if (sent > 0) {
            bytes = bytes.subspan(static_cast<std::size_t>(sent));
            continue;
        }
        if (errno != EAGAIN || !wait_for(fd, !wants_read, deadline)) return false;
    }
    return true;
}
