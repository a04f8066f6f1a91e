#include "event_loop.hpp"

#include <cerrno>
#include <cstdlib>

namespace {

// An event's data: the registration in the low half, its generation in the high.
std::uint64_t event_data(registration watch, std::uint32_t generation)
{
    return (std::uint64_t{generation} << 32U) | watch;
}

int control(const event_loop& loop, int operation, const watched& entry, registration watch)
{
    epoll_event event{};
    event.events = static_cast<std::uint32_t>(entry.what);
    event.data.u64 = event_data(watch, entry.generation);
    return epoll_ctl(loop.epoll.get(), operation, entry.fd, &event) == 0 ? 0 : errno;
}

}  // namespace

void free_memory::operator()(void* memory) const { std::free(memory); }

int open_event_loop(event_loop& loop, std::uint32_t capacity)
{
    loop.entries.reset(static_cast<watched*>(std::calloc(capacity, sizeof(watched))));
    loop.free_stack.reset(static_cast<registration*>(std::calloc(capacity, sizeof(registration))));
    if (loop.entries == nullptr || loop.free_stack == nullptr) return ENOMEM;
    loop.capacity = capacity;
    // Taken from the top: the first registrations get the lowest numbers.
    for (std::uint32_t i = 0; i < capacity; ++i) {
        loop.entries.get()[i].fd = -1;
        loop.free_stack.get()[i] = capacity - 1 - i;
    }
    loop.free_count = capacity;
    loop.epoll.reset(epoll_create1(EPOLL_CLOEXEC));
    return loop.epoll.get() != -1 ? 0 : errno;
}

int add_watch(event_loop& loop, int fd, watch_for what, loop_event owner, registration& made)
{
    made = no_registration;
    if (loop.free_count == 0) return ENOSPC;
    const registration watch = loop.free_stack.get()[loop.free_count - 1];
    watched& entry = loop.entries.get()[watch];
    entry.fd = fd;
    entry.what = what;
    entry.owner = owner;
    ++entry.generation;
    if (const int error = control(loop, EPOLL_CTL_ADD, entry, watch); error != 0) {
        entry.fd = -1;
        return error;
    }
    --loop.free_count;
    made = watch;
    return 0;
}

int change_watch(event_loop& loop, registration watch, watch_for what)
{
    watched& entry = loop.entries.get()[watch];
    if (entry.what == what) return 0;
    const watch_for before = entry.what;
    entry.what = what;
    const int error = control(loop, EPOLL_CTL_MOD, entry, watch);
    if (error != 0) entry.what = before;
    return error;
}

watch_for watching(const event_loop& loop, registration watch)
{
    return watch == no_registration ? watch_for::nothing : loop.entries.get()[watch].what;
}

void drop_watch(event_loop& loop, registration& watch, bool closing)
{
    if (watch == no_registration) return;
    watched& entry = loop.entries.get()[watch];
    // A descriptor about to be closed leaves the kernel's set with its close; any other
    // is taken out now, and a failure would only mean it is out already.
    if (!closing) epoll_ctl(loop.epoll.get(), EPOLL_CTL_DEL, entry.fd, nullptr);
    entry.fd = -1;
    entry.what = watch_for::nothing;
    loop.free_stack.get()[loop.free_count++] = watch;
    watch = no_registration;
}

int wait_for_events(event_loop& loop, int timeout_ms, const sigset_t* let_in, std::span<const loop_event>& events)
{
    events = {};
    const int ready =
        epoll_pwait(loop.epoll.get(), loop.ready.data(), static_cast<int>(loop.ready.size()), timeout_ms, let_in);
    if (ready == -1) return errno == EINTR ? 0 : errno;
    std::size_t count = 0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(ready); ++i) {
        const std::uint64_t data = loop.ready[i].data.u64;
        loop_event& event = loop.events[count];
        event.watch = static_cast<registration>(data);
        event.generation = static_cast<std::uint32_t>(data >> 32U);
        if (!is_current(loop, event)) continue;
        watched& entry = loop.entries.get()[event.watch];
        // A watch for one event has ended with it.
        if ((static_cast<std::uint32_t>(entry.what) & EPOLLONESHOT) != 0) entry.what = watch_for::nothing;
        const loop_event owner = entry.owner;
        event.source = owner.source;
        event.index = owner.index;
        ++count;
    }
    events = std::span(loop.events).first(count);
    return 0;
}

bool is_current(const event_loop& loop, const loop_event& event)
{
    const watched& entry = loop.entries.get()[event.watch];
    return entry.fd != -1 && entry.generation == event.generation;
}
