// The event loop of the server serving many at once: which descriptors it watches and
// for what, and waiting until one of them is ready or a time-out comes. It knows
// descriptors and readiness; what a connection means is the serving code's.
#pragma once

#include "owned_fd.hpp"

#include <array>
#include <cstdint>
#include <span>
#include <sys/epoll.h>

// What an event is about.
enum class event_source : std::uint32_t {
    connection,  // index: its slot
    listener,    // index: its place among the listeners
    output,      // the record output has room again
    reports,     // standard error has room again
};

struct loop_event {
    event_source source;
    std::uint32_t index;
};

constexpr std::size_t events_at_once = 256;

struct event_loop {
    owned_fd epoll;
    std::array<epoll_event, events_at_once> ready{};
    std::array<loop_event, events_at_once> events{};
};

// Opens the loop. Reports a failure and returns false.
bool open_event_loop(event_loop& loop);

// How a descriptor is watched: for reading or for room to write, and once (until it is
// watched again) or until told otherwise.
enum class watch_for : std::uint32_t {
    nothing = 0,
    reading_once = EPOLLIN | EPOLLONESHOT,
    writing_once = EPOLLOUT | EPOLLONESHOT,
    reading = EPOLLIN,
};

// Starts watching the descriptor (first: it was not watched before), or changes how.
// Reports a failure and returns false.
bool watch(event_loop& loop, int fd, watch_for what, event_source source, std::uint32_t index, bool first);

// Waits at most timeout_ms (-1: as long as it takes) for descriptors to be ready.
// Returns the events, none after a time-out or a signal; reports a failure and
// returns false.
bool wait_for_events(event_loop& loop, int timeout_ms, std::span<const loop_event>& events);
