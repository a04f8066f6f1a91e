// The server's event loop: the descriptors it watches and for what, and the wait until
// one of them is ready or a time-out comes. It knows descriptors and readiness; what
// a connection means is the serving code's.
//
// Each watch is a registration owned by whoever opened the descriptor: made when it
// is first watched, dropped before the descriptor is closed, and kept here with what
// it watches and for whom. An event names its registration, never a descriptor
// number (which the kernel hands out again), and an event for a registration dropped
// meanwhile is not delivered.
#pragma once

#include "owned_fd.hpp"

#include <array>
#include <csignal>
#include <cstdint>
#include <memory>
#include <span>
#include <sys/epoll.h>

// Whom an event is for.
enum class event_source : std::uint8_t {
    connection,  // index: its slot
    listener,    // index: its place among the listeners
    output,      // the record output has room again
    reports,     // standard error has room again
};

using registration = std::uint32_t;
constexpr registration no_registration = UINT32_MAX;

// Whom a registration is for, and, in an event, which registration it came from.
struct loop_event {
    event_source source;
    std::uint32_t index;
    registration watch = no_registration;
    std::uint32_t generation = 0;
};

// What a descriptor is watched for. Arrivals are edge-triggered: one event for each
// change, so that a listener with clients waiting that the server does not take yet
// does not wake it again and again. A connection is watched for one event at a time,
// and watched again when its next step needs it, so that one whose record waits to be
// written out wakes no one.
enum class watch_for : std::uint32_t {
    nothing = 0,
    reading_once = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT,
    writing_once = EPOLLOUT | EPOLLONESHOT,
    writing = EPOLLOUT,
    arrivals = EPOLLIN | EPOLLET,
};

constexpr std::size_t events_at_once = 256;

// One registration: the descriptor, what it is watched for, and whose it is.
struct watched {
    int fd = -1;  // -1: the entry is free
    watch_for what = watch_for::nothing;
    std::uint32_t generation = 0;  // tells this registration's events from an earlier one's
    loop_event owner{};
};

struct free_memory {
    void operator()(void* memory) const;
};

struct event_loop {
    owned_fd epoll;
    std::unique_ptr<watched, free_memory> entries;  // zeroed memory: every entry free
    std::unique_ptr<registration, free_memory> free_stack;
    std::uint32_t capacity = 0;
    std::uint32_t free_count = 0;
    std::array<epoll_event, events_at_once> ready{};
    std::array<loop_event, events_at_once> events{};
};

// Opens the loop, with room for `capacity` registrations. Returns 0 or the error.
int open_event_loop(event_loop& loop, std::uint32_t capacity);

// Starts watching the descriptor for its owner. Returns 0 or the error; `made` is the
// registration, or no_registration.
int add_watch(event_loop& loop, int fd, watch_for what, loop_event owner, registration& made);

// Changes what the registration watches; a registration that watches that already is
// left as it is (one watched once counts as watching nothing once its event has come).
// Returns 0 or the error.
int change_watch(event_loop& loop, registration watch, watch_for what);

// What the registration watches now.
watch_for watching(const event_loop& loop, registration watch);

// Ends the registration, if any, and sets it to no_registration. `closing`: its
// descriptor is closed next, which ends the kernel's watch with it.
void drop_watch(event_loop& loop, registration& watch, bool closing);

// Waits at most timeout_ms (-1: as long as it takes) for descriptors to be ready,
// with the signal mask let_in (nullptr: the mask as it is) while it waits.
// Gives the events, none after a time-out or a signal. Returns 0 or the error.
// Handling one event may drop the registration of another in the same batch: each is
// to be taken only while is_current says so.
int wait_for_events(event_loop& loop, int timeout_ms, const sigset_t* let_in, std::span<const loop_event>& events);

// True while the event's registration stands.
bool is_current(const event_loop& loop, const loop_event& event);
