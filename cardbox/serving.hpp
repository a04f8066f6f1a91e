// How cardbox serves its clients: one loop, for one client at a time as for many at
// once. It returns only when the server must end, with the status to end with, its
// failure reported; at that end, every connection whose record is not written out is
// reset. SIGHUP, when caught, reopens the output file and reloads TLS.
#pragma once

#include "event_loop.hpp"
#include "listeners.hpp"
#include "options.hpp"
#include "record_output.hpp"
#include "slots.hpp"
#include "tls.hpp"

#include <array>
#include <cstdint>
#include <memory>

// In JSON, the lines of records that came in part count against a budget of bytes.
constexpr std::int64_t most_partial_bytes_default = 16384;

struct server {
    const options& chosen;
    const listeners& listening;
    record_output& out;
    tls_server* tls = nullptr;  // none for plain TCP
    // One at a time: one slot and nobody waiting inside the server (the rest wait in
    // the listen queue), the peer named as soon as it is served, and a taken record's
    // close lingering 30 seconds.
    bool one_at_a_time = true;
    std::uint32_t slots = 1;  // connections served at once
    level_shares shares{};    // of them from one source at each level, and as many waiting
    slot_pool pool{};
    event_loop loop{};
    std::array<registration, max_listeners> listener_watch{};
    std::array<bool, max_listeners> arrivals{};  // clients may wait on the listener
    std::size_t next_listener = 0;               // where the next turn among them starts
    registration output_watch = no_registration;
    registration reports_watch = no_registration;
    std::int64_t accepting_again_ms = 0;  // when a pause in accepting ends; 0: none
    int accept_failure_said = 0;          // the accept failure reported last, till one succeeds
    std::int64_t next_busy_check_ms = 0;  // when a connection may next be old enough to reset
    std::int64_t next_linger_check_ms = 0;
    // What is reported in counts, at most once a second, and not yet reported.
    struct counts {
        std::uint64_t crowd = 0;      // reset at once: their source had its shares
        std::uint64_t for_space = 0;  // reset for a newcomer: the server was full
        std::uint64_t late = 0;       // given up on: --timeout
        std::uint64_t for_room = 0;   // reset to make room
        std::uint64_t held_back = 0;  // a part of a record beyond the budget
        std::uint64_t unsaid = 0;     // reports beyond their budget
    } unreported{};
    std::int64_t counts_reported_ms = 0;
    std::int64_t partial_bytes = most_partial_bytes_default;  // left in the budget
    std::int64_t reports_left = 0;                              // in this second
    std::int64_t budgets_refilled_ms = 0;
    std::uint64_t draws = 0x9E3779B97F4A7C15U;  // the state of the random draws
    std::uint32_t peak_in_use = 0;              // connections held at once since memory was last given back
    bool memory_owed = false;                   // given back while some of a crowd stayed
    // Room to hand the connections done to the write-out.
    std::unique_ptr<std::uint32_t, free_deleter> done{};
    std::unique_ptr<std::uint64_t, free_deleter> done_ends{};
};

// What making the server came to: nothing when it can serve, else the failure to
// report on one line (without its newline).
struct server_failure {
    std::array<char, 160> line{};
    bool failed() const { return line[0] != '\0'; }
};

// Makes the server's pool and loop, raising the limit on descriptors to what they
// need; before the server says it is up, so that a server that cannot serve says so
// instead.
server_failure make_server(server& serving);

// Serves until the server must end.
int serve(server& serving);
