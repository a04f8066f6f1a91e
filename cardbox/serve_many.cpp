// Serving many clients at once: one thread waits on every connection with epoll, and
// each connection gathers its own record against its own deadline. Records that
// complete together are written out together, with one write (and one sync), before
// any of their clients is told. No call waits for a client, for room in the output or
// for a close: a slow client holds up only itself.
//
// Who is served: up to --connections at once, at most --per-address of them from one
// source (an IPv4 address, an IPv6 /64). Clients beyond that are accepted and wait,
// unread, for a slot, each source at most its share of them; a client over that is
// reset at once. So no crowd waits in the listen queue ahead of a good client, and the
// server knows how long each has waited: when every slot is taken and clients wait,
// the oldest connection without a whole record that is older than --busy-timeout is
// reset to make room.
#include "deadline.hpp"
#include "event_loop.hpp"
#include "reports.hpp"
#include "serving.hpp"
#include "signals.hpp"
#include "slots.hpp"
#include "tally.hpp"
#include "text_lines.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// A taken record's connection closes without lingering: the loop never waits.
constexpr linger close_at_once{0, 0};
// How many connections may wait for a slot, accepted and unread, for each slot.
constexpr std::uint32_t waiting_per_slot = 3;
// Descriptors besides the connections: epoll, an output file reopened, the pipes and
// terminals opened anew, a look at the end of the output.
constexpr rlim_t other_descriptors = 8;
// How often, at most, the clients reset at once for their source's crowd are reported.
constexpr std::int64_t crowd_report_interval_ms = 1000;

struct server {
    const options& chosen;
    const listeners& listening;
    record_output& out;
    tls_server* tls;      // none for plain TCP
    std::uint32_t slots;  // connections served at once
    std::uint32_t share;  // of them from one source, and as many waiting
    slot_pool pool{};
    event_loop loop{};
    bool accepting = false;                // the listeners are watched
    std::int64_t accepting_again_ms = 0;   // when a pause in accepting ends; 0: none
    int output_watched_fd = -1;            // the output descriptor watched for room
    int reports_watched_fd = -1;           // standard error's descriptor, watched for room
    bool reports_watched = false;          // ... now
    bool output_full = false;              // the last write-out found no room: wait for it
    std::int64_t next_busy_check_ms = 0;   // when a connection may next be old enough to reset
    std::uint64_t crowd_resets = 0;        // clients reset at once, not yet reported
    std::int64_t crowd_reported_ms = 0;
    // Room to hand the connections done to write_out_and_tell.
    std::unique_ptr<served_connection*, free_deleter> done{};
    std::unique_ptr<std::uint64_t, free_deleter> done_ends{};
};

// The descriptors open now, inherited ones included.
rlim_t open_descriptors()
{
    DIR* const folder = opendir("/proc/self/fd");
    if (folder == nullptr) return 3;
    rlim_t count = 0;
    while (const dirent* entry = readdir(folder)) count += entry->d_name[0] != '.' ? 1 : 0;
    closedir(folder);
    return count - 1;  // the folder's own
}

// Allocates the slots and raises the limit on descriptors to what they need, counting
// the descriptors already open. Reports a failure and returns false.
bool make_server(server& serving)
{
    const std::uint32_t capacity = serving.slots * (1 + waiting_per_slot);
    const rlim_t needed = open_descriptors() + capacity + other_descriptors;
    rlimit descriptors{};
    getrlimit(RLIMIT_NOFILE, &descriptors);
    if (descriptors.rlim_cur < needed) {
        if (descriptors.rlim_max < needed) {
            std::fprintf(stderr, "cardbox: --connections %d needs %llu descriptors; the limit is %llu\n",
                         serving.chosen.connections, static_cast<unsigned long long>(needed),
                         static_cast<unsigned long long>(descriptors.rlim_max));
            return false;
        }
        descriptors.rlim_cur = needed;
        setrlimit(RLIMIT_NOFILE, &descriptors);
    }
    using done_entry = served_connection*;
    // An array of pointers, one for each slot.
    serving.done.reset(static_cast<done_entry*>(std::calloc(capacity, sizeof(done_entry))));  // NOLINT(bugprone-sizeof-expression)
    serving.done_ends.reset(static_cast<std::uint64_t*>(std::calloc(capacity, sizeof(std::uint64_t))));
    if (!make_slot_pool(serving.pool, capacity) || serving.done == nullptr || serving.done_ends == nullptr) {
        errno = ENOMEM;
        std::perror("cardbox");
        return false;
    }
    if (!open_event_loop(serving.loop)) return false;
    for (std::size_t i = 0; i < serving.listening.count; ++i) {
        // No accept may wait, also for a client that gave up after it was announced.
        const int listener = serving.listening.fd(i);
        fcntl(listener, F_SETFL, fcntl(listener, F_GETFL) | O_NONBLOCK);
        if (!watch(serving.loop, listener, watch_for::nothing, event_source::listener,
                   static_cast<std::uint32_t>(i), true))
            return false;
    }
    return true;
}

// Its record is whole or given up on: prints its lines, and it waits to be written out.
void complete(server& serving, std::uint32_t index)
{
    slot& s = serving.pool[index];
    print_arrival(serving.out, look_up(s.peer), s.served.arrived, serving.chosen.json, s.served.link, false);
    s.output_end = printed_up_to(serving.out);
    move_to(serving.pool, index, stage::done);
}

// Reads what the connection has sent: completes it when its record is whole, or
// watches it for the rest. Returns false when it cannot be watched (reported).
bool read_ready(server& serving, std::uint32_t index)
{
    slot& s = serving.pool[index];
    if (s.now != stage::reading) return true;
    gather(s.served.link, s.served.arrived);
    if (s.served.arrived.ended) {
        complete(serving, index);
        return true;
    }
    const bool first = !s.watched;
    s.watched = true;
    return watch(serving.loop, s.served.link.socket.get(),
                 s.served.link.wants_write ? watch_for::writing_once : watch_for::reading_once,
                 event_source::connection, index, first);
}

// Serves a waiting connection in a slot of its own. It is read at once: a client
// usually sends its record (or its TLS hello) as soon as it is connected. TLS starts
// here, so that a connection waiting for a slot costs none of its memory.
bool start_reading(server& serving, std::uint32_t index)
{
    move_to(serving.pool, index, stage::reading);
    slot& s = serving.pool[index];
    if (serving.tls != nullptr && !start_tls(s.served.link, serving.tls->context.get())) {
        s.served.arrived.error = ENOMEM;
        s.served.arrived.ended = true;
        s.served.link.tls.reset();
        complete(serving, index);
        return true;
    }
    return read_ready(serving, index);
}

// Gives the free slots to the connections that have waited longest, each from a
// source under its share.
bool give_slots(server& serving)
{
    const slot_pool& pool = serving.pool;
    for (std::uint32_t index = pool.waiting.first; index != no_slot && pool.served < serving.slots;) {
        const std::uint32_t next = pool[index].next;
        if (count_of(pool, pool[index].source).served < serving.share && !start_reading(serving, index))
            return false;
        index = next;
    }
    return true;
}

// Accepts the clients waiting on the listener while there is room for them: each is
// read at once when there is a slot for it, waits for one otherwise, or is reset at
// once when its source already has its share waiting. Reports each failure with
// "accept"; returns false on one that ends the server.
bool accept_clients(server& serving, int listener)
{
    slot_pool& pool = serving.pool;
    while (pool.in_use < pool.capacity) {
        sockaddr_storage peer{};
        socklen_t peer_size = sizeof peer;
        owned_fd accepted(accept4(listener, reinterpret_cast<sockaddr*>(&peer), &peer_size,
                                  SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (accepted.get() == -1) {
            const int failure = errno;
            if (failure == EAGAIN || failure == EWOULDBLOCK) return true;
            report_failure("accept", failure);
            switch (classify_accept_failure(failure)) {
            case accept_failure::transient: continue;
            case accept_failure::fatal: return false;
            case accept_failure::resources:
                // Descriptors or memory will come back as connections end.
                serving.accepting_again_ms = milliseconds_now() + accept_pause_ms;
                return true;
            }
        }
        tally_accepted(peer, serving.chosen.prefixes);
        const source_key source = source_of(peer, serving.chosen.prefixes);
        const source_count& count = count_of(pool, source);
        const bool slot_free = pool.served < serving.slots && count.served < serving.share;
        if (!slot_free && count.waiting >= serving.share) {
            // The listener inherited the reset on close: this client learns at once
            // that its record will not be taken.
            ++serving.crowd_resets;
            continue;
        }
        const std::uint32_t index = take_slot(pool, source);
        slot& s = pool[index];
        s.served.link.socket = std::move(accepted);
        s.peer = peer;
        s.accepted_ms = milliseconds_now();
        if (slot_free && !start_reading(serving, index)) return false;
    }
    return true;
}

// Watches the listeners while a client can be taken, and not in a pause.
bool listen_while_room(server& serving)
{
    if (serving.accepting_again_ms != 0 && milliseconds_now() >= serving.accepting_again_ms)
        serving.accepting_again_ms = 0;
    const bool room = serving.accepting_again_ms == 0 && serving.pool.in_use < serving.pool.capacity;
    if (room == serving.accepting) return true;
    serving.accepting = room;
    for (std::size_t i = 0; i < serving.listening.count; ++i) {
        if (!watch(serving.loop, serving.listening.fd(i), room ? watch_for::reading : watch_for::nothing,
                   event_source::listener, static_cast<std::uint32_t>(i), false))
            return false;
    }
    return true;
}

// Gives up on the connections whose record has not come whole within --timeout.
void give_up_late(server& serving, std::int64_t now)
{
    if (serving.chosen.timeout_ms == wait_for_ever) return;
    slot_pool& pool = serving.pool;
    while (pool.open.first != no_slot && pool[pool.open.first].accepted_ms + serving.chosen.timeout_ms <= now) {
        const std::uint32_t index = pool.open.first;
        give_up(pool[index].served.arrived);
        complete(serving, index);
    }
}

// True when a waiting connection's whole record has arrived, unread: it is never
// reset to make room. (Over TLS none has: its client waits for the handshake.)
bool whole_record_waits(server& serving, slot& s)
{
    if (serving.tls == nullptr && !s.whole_waiting) {
        int unread = 0;
        s.whole_waiting = ioctl(s.served.link.socket.get(), FIONREAD, &unread) == 0 &&
                          static_cast<std::size_t>(unread) >= person_record_size;
    }
    return s.whole_waiting;
}

// When every slot is busy and clients wait, gives up on the oldest connection, served
// or waiting, that has been connected at least --busy-timeout without a whole record,
// one at a time: the next waits until the slot it freed has been given.
void make_room(server& serving, std::int64_t now)
{
    slot_pool& pool = serving.pool;
    serving.next_busy_check_ms = 0;
    if (pool.served < serving.slots || pool.waiting.first == no_slot || pool.done.first != no_slot) return;
    for (std::uint32_t index = pool.open.first; index != no_slot; index = pool[index].open_next) {
        slot& s = pool[index];
        if (s.now == stage::waiting && whole_record_waits(serving, s)) continue;
        if (s.accepted_ms + serving.chosen.busy_timeout_ms > now) {
            serving.next_busy_check_ms = s.accepted_ms + serving.chosen.busy_timeout_ms;
            return;
        }
        give_up(s.served.arrived);
        complete(serving, index);
        serving.next_busy_check_ms = now;  // once its slot is given, room may be made again
        return;
    }
}

// Writes out the records done as far as the output takes them now, tells their
// clients, and frees their slots for the connections waiting. Returns false when the
// output fails (reported).
bool write_out(server& serving)
{
    slot_pool& pool = serving.pool;
    // With --count, no record past the last one counted goes out: its client is reset
    // as the server ends.
    std::uint64_t records_left = serving.chosen.count != 0 ? serving.chosen.count - records_taken() : UINT64_MAX;
    std::size_t count = 0;
    for (std::uint32_t index = pool.done.first; index != no_slot; index = pool[index].next, ++count) {
        if (takes_record(pool[index].served.arrived) && records_left-- == 0) break;
        serving.done.get()[count] = &pool[index].served;
        serving.done_ends.get()[count] = pool[index].output_end;
    }
    if (count == 0) return true;
    const told result = write_out_and_tell(serving.out, std::span(serving.done.get(), count),
                                           std::span(serving.done_ends.get(), count), close_at_once);
    for (std::size_t i = 0; i < result.count; ++i) move_to(pool, pool.done.first, stage::free);
    if (result.failure != 0) {
        report_output_failure(serving.out, result.failure);
        return false;
    }
    serving.output_full = result.count < count;
    if (serving.output_full) {
        // A file always has room; anything else is watched until it has.
        const int fd = serving.out.channel.fd;
        if (!watch(serving.loop, fd, watch_for::writing_once, event_source::output, 0,
                   fd != serving.output_watched_fd))
            return false;
        serving.output_watched_fd = fd;
    }
    return give_slots(serving);
}

// Writes out the reports; when standard error has no room for them, watches it until
// it has. Returns false when it cannot be watched (reported).
bool write_out_reports_or_wait(server& serving)
{
    write_out_reports();
    const int fd = reports_waiting_fd();
    if (fd == -1 || serving.reports_watched) return true;
    serving.reports_watched = true;
    const bool first = fd != serving.reports_watched_fd;
    serving.reports_watched_fd = fd;
    return watch(serving.loop, fd, watch_for::writing_once, event_source::reports, 0, first);
}

// Reports the clients reset at once for their source's crowd, at most once a second.
void report_crowd(server& serving, std::int64_t now)
{
    if (serving.crowd_resets == 0 || now < serving.crowd_reported_ms + crowd_report_interval_ms) return;
    std::array<char, 160> line{};
    std::snprintf(line.data(), line.size(),
                  "cardbox: %llu clients reset at once: their source had its share served and as "
                  "many waiting",
                  static_cast<unsigned long long>(serving.crowd_resets));
    report_line({line.data()});
    serving.crowd_resets = 0;
    serving.crowd_reported_ms = now;
}

// How long the loop may wait for events before something is due.
int wait_for(const server& serving)
{
    const slot_pool& pool = serving.pool;
    if (pool.done.first != no_slot && !serving.output_full) return 0;
    std::int64_t due = INT64_MAX;
    if (pool.open.first != no_slot && serving.chosen.timeout_ms != wait_for_ever)
        due = pool[pool.open.first].accepted_ms + serving.chosen.timeout_ms;
    for (const std::int64_t at : {serving.next_busy_check_ms, serving.accepting_again_ms,
                                  serving.crowd_resets > 0 ? serving.crowd_reported_ms + crowd_report_interval_ms
                                                           : std::int64_t{0}})
        if (at != 0) due = std::min(due, at);
    return due == INT64_MAX ? -1 : milliseconds_until(due);
}

}  // namespace

int serve_many_at_once(const listeners& listening, const options& chosen, record_output& out, tls_server* tls)
{
    server serving{.chosen = chosen,
                   .listening = listening,
                   .out = out,
                   .tls = tls,
                   .slots = static_cast<std::uint32_t>(chosen.connections),
                   .share = static_cast<std::uint32_t>(chosen.per_source)};
    if (!make_server(serving)) return EXIT_FAILURE;
    // Everything printed is out whenever the server waits for clients.
    if (!write_all_printed(out)) return EXIT_FAILURE;

    for (;;) {
        if (reload_asked()) {
            reopen_record_output(out);
            if (tls != nullptr) reload_tls(*tls);
            serving.output_full = false;  // the file opened anew may have room
        }
        if (!listen_while_room(serving)) return EXIT_FAILURE;
        if (!write_out_reports_or_wait(serving)) return EXIT_FAILURE;
        std::span<const loop_event> events;
        if (!wait_for_events(serving.loop, wait_for(serving), events)) return EXIT_FAILURE;
        for (const loop_event& event : events) {
            bool going_on = true;
            switch (event.source) {
            case event_source::connection: going_on = read_ready(serving, event.index); break;
            case event_source::listener: going_on = accept_clients(serving, listening.fd(event.index)); break;
            case event_source::output: serving.output_full = false; break;
            case event_source::reports: serving.reports_watched = false; break;
            }
            if (!going_on) return EXIT_FAILURE;
        }
        const std::int64_t now = milliseconds_now();
        give_up_late(serving, now);
        make_room(serving, now);
        if (!write_out(serving)) return EXIT_FAILURE;
        if (chosen.count != 0 && records_taken() >= chosen.count) return EXIT_SUCCESS;
        report_crowd(serving, now);
    }
}
