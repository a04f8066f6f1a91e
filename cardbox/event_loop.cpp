#include "event_loop.hpp"

#include "reports.hpp"

#include <cerrno>

bool open_event_loop(event_loop& loop)
{
    loop.epoll.reset(epoll_create1(EPOLL_CLOEXEC));
    if (loop.epoll.get() != -1) return true;
    report_failure("cardbox: epoll_create1", errno);
    return false;
}

bool watch(event_loop& loop, int fd, watch_for what, event_source source, std::uint32_t index, bool first)
{
    epoll_event event{};
    event.events = static_cast<std::uint32_t>(what);
    event.data.u64 = (std::uint64_t{static_cast<std::uint32_t>(source)} << 32U) | index;
    if (epoll_ctl(loop.epoll.get(), first ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, fd, &event) == 0) return true;
    report_failure("cardbox: epoll_ctl", errno);
    return false;
}

bool wait_for_events(event_loop& loop, int timeout_ms, std::span<const loop_event>& events)
{
    const int ready = epoll_wait(loop.epoll.get(), loop.ready.data(), static_cast<int>(loop.ready.size()), timeout_ms);
    if (ready == -1 && errno != EINTR) {
        report_failure("cardbox: epoll_wait", errno);
        return false;
    }
    const std::size_t count = ready > 0 ? static_cast<std::size_t>(ready) : 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t data = loop.ready[i].data.u64;
        loop.events[i] = {static_cast<event_source>(data >> 32U), static_cast<std::uint32_t>(data)};
    }
    events = std::span(loop.events).first(count);
    return true;
}
