// Serving clients on one loop: one thread waits on every connection with epoll, and
// each connection goes through its stages (its handshake, gathering its record,
// written out, told, lingering) against its own deadline. Records that complete
// together are written out together, with one write (and one sync), before any of
// their clients is told. No call waits for a client, for room in the output or for a
// close: a slow client holds up only itself.
//
// Who is served, so that no crowd of any size starves a newcomer:
// - up to --connections at once, each source under its share at every level (an IPv4
//   address and its /24, an IPv6 /64 and its /48, by default); clients beyond that
//   are accepted and wait, unread, for a slot, each source at most its share of them
//   too, and a client over that is reset at once;
// - the server accepts while it has descriptors: when it is full, a newcomer takes the
//   place of a waiting connection from the source that holds the most (found among a
//   few drawn at random), or is reset itself when its own source holds as many;
// - a freed slot goes to the waiting connection whose source holds the fewest slots,
//   the longest waiting first among equals;
// - when every slot is held and clients wait, a source above its fair share (the slots
//   divided by the sources served or waiting) loses the connection without a whole
//   record that has held its slot longest, after a short hold, for one below it; and
//   any connection without a whole record that has held its slot (or waited)
//   --busy-timeout is reset to make room.
//
// One at a time is the same loop with one slot and nobody waiting inside the server:
// the others wait in the listen queue.
#include "serving.hpp"

#include "deadline.hpp"
#include "reports.hpp"
#include "signals.hpp"
#include "tally.hpp"
#include "text_lines.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/ioctl.h>
#include <sys/resource.h>

namespace {

// One at a time, a taken record's close lingers until the client has acknowledged its
// end, at most 30 seconds; many at once, it is closed at once and the system sees to
// the rest.
constexpr linger linger_on_close{1, 30};
constexpr std::int64_t linger_ms = 30'000;
constexpr linger close_at_once{0, 0};
// How often a lingering close is looked at again: the system tells no one when the
// client acknowledges.
constexpr std::int64_t linger_check_ms = 10;
// How long close_notify may wait for room before its connection is reset untold.
constexpr std::int64_t close_notify_ms = 30'000;
// How many connections may wait for a slot, accepted and unread, for each slot; one at
// a time, the entries are kept for closes that linger.
constexpr std::uint32_t waiting_per_slot = 3;
// Descriptors besides the connections: epoll, an output file reopened, the pipes and
// terminals opened anew, a look at the end of the output.
constexpr rlim_t other_descriptors = 8;
// One at a time, the least besides the one connection: epoll, an output file
// reopened, a look at its end.
constexpr rlim_t fewest_other_descriptors = 3;
// How many passes of the loop may go by without a look at the events.
constexpr int passes_between_waits = 16;
// How often, at most, the clients given up on or reset at once are reported, counted.
constexpr std::int64_t count_report_interval_ms = 1000;
// How long a connection holds its slot at least before its source's fair share can
// take it back: a client has that long to send its record, whatever the crowd.
constexpr std::int64_t least_hold_ms = 1000;
// How many waiting connections are drawn to find the source that holds the most.
constexpr int drawn_for_space = 16;
// How many clients are accepted in one pass of the loop, at most, so that a flood of
// them does not keep the loop from the connections it holds.
constexpr int accepts_per_pass = 256;
// In JSON, the lines of records that came in part and whose clients are reset count
// against a budget, so that a crowd of clients sending a byte or two cannot fill the
// disk: refilled at this many bytes a second, up to the most kept.
constexpr std::int64_t partial_bytes_per_second = 4096;
// In JSON, the reports of connections that ended without a record count against a
// budget too (standard error is the journal): this many a second, at most.
constexpr std::int64_t reports_per_second = 20;

// The descriptors open now, inherited ones included.
rlim_t open_descriptors(rlim_t limit)
{
    DIR* const folder = opendir("/proc/self/fd");
    rlim_t count = 0;
    if (folder == nullptr) {
        // No /proc, or no descriptor left to read it with: each is asked in turn.
        for (rlim_t fd = 0; fd < std::min<rlim_t>(limit, rlim_t{1} << 20U); ++fd)
            count += fcntl(static_cast<int>(fd), F_GETFD) != -1 ? rlim_t{1} : rlim_t{0};
        return count;
    }
    while (const dirent* entry = readdir(folder)) count += entry->d_name[0] != '.' ? 1 : 0;
    closedir(folder);
    return count - 1;  // the folder's own
}

// The entries of the pool that the limit on descriptors allows, raising the soft limit
// as far as they need: 0, with the failure said, when not even one connection can be
// held.
std::uint32_t entries_within_descriptors(const server& serving, std::uint32_t wanted, server_failure& failure)
{
    rlimit descriptors{};
    getrlimit(RLIMIT_NOFILE, &descriptors);
    const rlim_t open = open_descriptors(descriptors.rlim_cur);
    const rlim_t needed = open + wanted + other_descriptors;
    if (descriptors.rlim_cur >= needed) return wanted;
    if (descriptors.rlim_max >= needed) {
        descriptors.rlim_cur = needed;
        setrlimit(RLIMIT_NOFILE, &descriptors);
        return wanted;
    }
    const rlim_t fewest = open + 1 + fewest_other_descriptors;
    if (serving.one_at_a_time && descriptors.rlim_max >= fewest) {
        // One connection, and as many closes lingering as there are descriptors for.
        descriptors.rlim_cur = descriptors.rlim_max;
        setrlimit(RLIMIT_NOFILE, &descriptors);
        return static_cast<std::uint32_t>(descriptors.rlim_max - open - fewest_other_descriptors);
    }
    const auto limit = static_cast<unsigned long long>(descriptors.rlim_max);
    if (serving.one_at_a_time)
        std::snprintf(failure.line.data(), failure.line.size(),
                      "cardbox: serving one client at a time needs %llu descriptors; the limit is %llu",
                      static_cast<unsigned long long>(fewest), limit);
    else
        std::snprintf(failure.line.data(), failure.line.size(), "cardbox: --connections %d needs %llu descriptors; the limit is %llu",
                      serving.chosen.connections, static_cast<unsigned long long>(needed), limit);
    return 0;
}

// Sets what a registration of the server's own watches, making it when first needed.
int set_watch(event_loop& loop, registration& watch, int fd, watch_for what, loop_event owner)
{
    if (watch != no_registration) return change_watch(loop, watch, what);
    return what == watch_for::nothing ? 0 : add_watch(loop, fd, what, owner, watch);
}

// Watches the output and standard error for room while something waits for it.
int watch_what_waits(server& serving)
{
    const record_output& out = serving.out;
    const bool output_waits = out.waits_for_room && out.channel.kind != channel_kind::file;
    if (const int error = set_watch(serving.loop, serving.output_watch, out.channel.fd,
                                    output_waits ? watch_for::writing : watch_for::nothing, {event_source::output, 0});
        error != 0)
        return error;
    return set_watch(serving.loop, serving.reports_watch, reports_fd(),
                     reports_wait_for_room() ? watch_for::writing : watch_for::nothing, {event_source::reports, 0});
}

// Watches a connection for what its next step waits for. A connection that cannot be
// watched is given up on, with the error.
void watch_connection(server& serving, std::uint32_t index, watch_for what)
{
    slot& s = serving.pool[index];
    const int error = set_watch(serving.loop, s.watch, s.served.link.socket.get(), what,
                                {event_source::connection, index});
    if (error == 0) return;
    report_failure("cardbox: epoll_ctl", error);
    s.served.arrived.error = error;
    s.served.arrived.ended = true;
}

// Ends the connection's registration and frees its entry, its socket closed.
void free_entry(server& serving, std::uint32_t index)
{
    slot& s = serving.pool[index];
    drop_watch(serving.loop, s.watch, true);
    close_connection(s.served.link);
    move_to(serving.pool, index, stage::free);
}

// Resets the connection and frees its entry.
void reset_entry(server& serving, std::uint32_t index)
{
    slot& s = serving.pool[index];
    drop_watch(serving.loop, s.watch, true);
    reset_connection(s.served.link);
    move_to(serving.pool, index, stage::free);
}

// Tells the client that its record was not taken, and frees its entry.
void refuse_entry(server& serving, std::uint32_t index)
{
    slot& s = serving.pool[index];
    drop_watch(serving.loop, s.watch, true);
    tell_not_taken(s.served);
    move_to(serving.pool, index, stage::free);
}

// Refills the budgets of partial lines and of reports, as time has passed.
void refill_budgets(server& serving, std::int64_t now)
{
    const std::int64_t elapsed = now - serving.budgets_refilled_ms;
    serving.partial_bytes = std::min(most_partial_bytes_default, serving.partial_bytes + elapsed * partial_bytes_per_second / 1000);
    if (elapsed >= 1000) serving.reports_left = reports_per_second;
    if (elapsed >= 1000 || serving.partial_bytes == most_partial_bytes_default) serving.budgets_refilled_ms = now;
}

// Its record is whole or given up on: prints its lines, and it waits to be written out.
// In JSON, the line of a record given up on in part counts against its budget, and is
// held back beyond it.
void complete(server& serving, std::uint32_t index)
{
    slot& s = serving.pool[index];
    const std::uint64_t before = printed_up_to(serving.out);
    print_arrival(serving.out, s.peer, s.served.arrived, serving.chosen.json, s.served.link,
                  s.peer_line_printed);
    const auto printed = static_cast<std::int64_t>(printed_up_to(serving.out) - before);
    if (serving.chosen.json && s.served.arrived.why_given_up != given_up::no && printed > 0) {
        refill_budgets(serving, milliseconds_now());
        if (printed > serving.partial_bytes) {
            take_back_printed(serving.out, before);
            s.served.arrived.held_back = true;
            ++serving.unreported.held_back;
        } else {
            serving.partial_bytes -= printed;
        }
    }
    s.output_end = printed_up_to(serving.out);
    move_to(serving.pool, index, stage::done);
}

// One at a time, in text, the line that names the client is printed as soon as it is
// served (over TLS, once its handshake is over), so that an operator sees who holds
// the server.
void name_the_client(server& serving, slot& s)
{
    if (!serving.one_at_a_time || serving.chosen.json || s.peer_line_printed || !handshake_done(s.served.link))
        return;
    s.peer_line_printed = true;
    const peer_name name = look_up(s.peer);
    if (name.known) print_peer_line(serving.out, name.host.data(), name.port.data());
}

// Reads what the connection has sent: completes it when its record is whole, or
// watches it for the rest. Over TLS, the client's hello is looked at first, and TLS
// starts once it is whole.
void read_ready(server& serving, std::uint32_t index)
{
    slot& s = serving.pool[index];
    transport& link = s.served.link;
    if (link.speaks_tls && link.tls == nullptr) {
        const hello first = look_at_hello(link);
        if (first == hello::not_yet) {
            watch_connection(serving, index, watch_for::reading_once);
            if (s.served.arrived.ended) complete(serving, index);
            return;
        }
        if (first == hello::ended || !start_tls(link, serving.tls->context.get())) {
            s.served.arrived.error = first == hello::ended ? 0 : ENOMEM;
            s.served.arrived.ended = true;
            link.tls.reset();
            complete(serving, index);
            return;
        }
    }
    gather(link, s.served.arrived);
    name_the_client(serving, s);
    if (!s.served.arrived.ended)
        watch_connection(serving, index, link.wants_write ? watch_for::writing_once : watch_for::reading_once);
    if (s.served.arrived.ended) complete(serving, index);
}

// Serves a waiting connection in a slot of its own. It is read at once: a client
// usually sends its record (or its TLS hello) as soon as it is connected.
void start_reading(server& serving, std::uint32_t index, std::int64_t now)
{
    move_to(serving.pool, index, stage::reading);
    serving.pool[index].served_ms = now;
    read_ready(serving, index);
}

// The waiting connection that a free slot goes to: the one whose source holds the
// fewest slots, the longest waiting among equals, its sources under their shares;
// no_slot when none can take one.
std::uint32_t next_to_serve(const server& serving)
{
    const slot_pool& pool = serving.pool;
    std::uint32_t best = no_slot;
    std::uint32_t fewest = UINT32_MAX;
    for (std::uint32_t index = pool.list(stage::waiting).first; index != no_slot && fewest > 0; index = pool[index].next) {
        const client_sources& source = pool[index].source;
        const std::uint32_t held = count_of(pool, source.coarsest()).served;
        if (held < fewest && under_shares(pool, source, serving.shares, false)) {
            best = index;
            fewest = held;
        }
    }
    return best;
}

// Gives the free slots to the connections waiting, as next_to_serve chooses.
void give_slots(server& serving, std::int64_t now)
{
    while (serving.pool.served < serving.slots) {
        const std::uint32_t index = next_to_serve(serving);
        if (index == no_slot) return;
        start_reading(serving, index, now);
    }
}

// The oldest connection told and not yet closed: one lingering, else one whose
// close_notify waits; no_slot when none.
std::uint32_t oldest_told(const server& serving)
{
    const std::uint32_t lingering = serving.pool.list(stage::lingering).first;
    return lingering != no_slot ? lingering : serving.pool.list(stage::telling).first;
}

// True when a client can be taken now: a slot for it one at a time, else an entry to
// wait in; an entry held by a close of a client already told may be taken for it, and,
// many at once, one held by a waiting connection.
bool room_for_one(const server& serving)
{
    const slot_pool& pool = serving.pool;
    if (serving.one_at_a_time && pool.served > 0) return false;
    return pool.in_use < pool.capacity || oldest_told(serving) != no_slot ||
           (!serving.one_at_a_time && pool.list(stage::waiting).first != no_slot);
}

// A number drawn at random below `below`, from a generator of the server's own
// (xorshift): which waiting connections are looked at needs no more.
std::uint32_t draw(server& serving, std::uint32_t below)
{
    std::uint64_t& state = serving.draws;
    state ^= state << 13U;
    state ^= state >> 7U;
    state ^= state << 17U;
    return static_cast<std::uint32_t>(state % below);
}

// The connections a source holds, waiting or served, at its coarsest level.
std::uint32_t held_by(const slot_pool& pool, const client_sources& source)
{
    const source_count& count = count_of(pool, source.coarsest());
    return count.served + count.waiting;
}

// Makes an entry free for a newcomer from the source when the server is full: the
// oldest close of a client already told goes first; else a waiting connection, drawn
// among a few, from the source that holds the most, if it holds more than the
// newcomer's own. Returns false when the newcomer is the one to go.
bool make_space(server& serving, const client_sources& newcomer)
{
    slot_pool& pool = serving.pool;
    if (pool.in_use < pool.capacity) return true;
    if (const std::uint32_t told = oldest_told(serving); told != no_slot) {
        if (pool[told].now == stage::lingering) {
            end_lingering(pool[told].served);
            free_entry(serving, told);
        } else {
            reset_entry(serving, told);
        }
        return true;
    }
    std::uint32_t chosen = no_slot;
    std::uint32_t most = held_by(pool, newcomer) + 1;
    for (int drawn = 0; drawn < drawn_for_space; ++drawn) {
        const std::uint32_t index = draw(serving, pool.fresh);
        if (pool[index].now != stage::waiting) continue;
        const std::uint32_t held = held_by(pool, pool[index].source);
        if (held > most) {
            chosen = index;
            most = held;
        }
    }
    if (chosen == no_slot) return false;
    ++serving.unreported.for_space;
    reset_entry(serving, chosen);
    return true;
}

// Takes the client in: read at once when there is a slot for it, waits for one
// otherwise, or is reset at once when its source already has its share waiting, or
// when the server is full and its source holds the most.
void admit(server& serving, owned_fd accepted, const sockaddr_storage& peer, std::int64_t now)
{
    slot_pool& pool = serving.pool;
    tally_accepted(peer, serving.chosen.prefixes);
    const client_sources source = sources_of(peer, serving.chosen.prefixes);
    const bool slot_free = pool.served < serving.slots && under_shares(pool, source, serving.shares, false);
    // The listener inherited the reset on close: a client reset here learns at once
    // that its record will not be taken.
    if (!slot_free && !under_shares(pool, source, serving.shares, true)) {
        ++serving.unreported.crowd;
        return;
    }
    if (!make_space(serving, source)) {
        ++serving.unreported.for_space;
        return;
    }
    const std::uint32_t index = take_slot(pool, source);
    slot& s = pool[index];
    s.served.link.socket = std::move(accepted);
    s.served.link.speaks_tls = serving.tls != nullptr;
    s.peer = peer;
    s.accepted_ms = now;
    if (slot_free) start_reading(serving, index, now);
}

// Reports a failed accept, once until an accept succeeds again: a lack of descriptors
// that lasts is said once, not every time accepting tries again.
void report_accept_failure(server& serving, int failure)
{
    if (failure == serving.accept_failure_said) return;
    serving.accept_failure_said = failure;
    report_failure("accept", failure);
}

// Accepts the clients waiting on the listeners while there is room for them, taking
// the listeners in turn; one at a time, one client. Returns false on a failure that
// ends the server (reported).
bool accept_clients(server& serving, std::int64_t now)
{
    if (serving.accepting_again_ms != 0) {
        if (now < serving.accepting_again_ms) return true;
        serving.accepting_again_ms = 0;
    }
    const std::size_t count = serving.listening.count;
    int accepted_now = 0;
    for (std::size_t turn = 0; turn < count; ++turn) {
        const std::size_t i = (serving.next_listener + turn) % count;
        while (serving.arrivals[i] && room_for_one(serving) && accepted_now++ < accepts_per_pass) {
            sockaddr_storage peer{};
            socklen_t peer_size = sizeof peer;
            owned_fd accepted(accept4(serving.listening.fd(i), reinterpret_cast<sockaddr*>(&peer), &peer_size,
                                      SOCK_NONBLOCK | SOCK_CLOEXEC));
            if (accepted.get() == -1) {
                const int failure = errno;
                if (failure == EAGAIN || failure == EWOULDBLOCK) {
                    serving.arrivals[i] = false;
                    break;
                }
                if (failure == EINTR) continue;
                report_accept_failure(serving, failure);
                switch (classify_accept_failure(failure)) {
                case accept_failure::transient: continue;
                case accept_failure::fatal: return false;
                case accept_failure::resources:
                    // Descriptors or memory will come back as connections end.
                    serving.accepting_again_ms = now + accept_pause_ms;
                    return true;
                }
            }
            serving.accept_failure_said = 0;
            admit(serving, std::move(accepted), peer, now);
            if (serving.one_at_a_time) {
                serving.next_listener = i + 1;
                return true;
            }
        }
    }
    return true;
}

// Gives up on the connections whose record has not come whole within --timeout of
// their accept, the handshake included.
void give_up_late(server& serving, std::int64_t now)
{
    if (serving.chosen.timeout_ms == wait_for_ever) return;
    slot_pool& pool = serving.pool;
    while (pool.open.first != no_slot && pool[pool.open.first].accepted_ms + serving.chosen.timeout_ms <= now) {
        const std::uint32_t index = pool.open.first;
        give_up(pool[index].served.arrived, given_up::late);
        complete(serving, index);
    }
}

// True when a waiting connection's whole record has arrived, unread: it is never
// reset to make room. (Over TLS none has: its client waits for the handshake.)
bool whole_record_waits(const server& serving, slot& s)
{
    if (serving.tls == nullptr && !s.whole_waiting) {
        int unread = 0;
        s.whole_waiting = ioctl(s.served.link.socket.get(), FIONREAD, &unread) == 0 &&
                          static_cast<std::size_t>(unread) >= person_record_size;
    }
    return s.whole_waiting;
}

// The connection served longest without a whole record from a source above its
// fair share, once it has held its slot least_hold_ms; no_slot when there is none
// yet (`due` then says when one held long enough may be; 0: none will).
std::uint32_t over_fair_share(const server& serving, std::int64_t now, std::int64_t& due)
{
    const slot_pool& pool = serving.pool;
    const std::uint32_t fair = std::max<std::uint32_t>(serving.slots / std::max<std::uint32_t>(pool.coarse_sources, 1), 1);
    due = 0;
    for (std::uint32_t index = pool.list(stage::reading).first; index != no_slot; index = pool[index].next) {
        if (count_of(pool, pool[index].source.coarsest()).served <= fair) continue;
        if (pool[index].served_ms + least_hold_ms <= now) return index;
        due = pool[index].served_ms + least_hold_ms;
        return no_slot;
    }
    return no_slot;
}

// When every slot is busy and clients wait, makes room, one connection at a time (the
// next waits until the slot it freed has been given): for a client whose source is
// below its fair share, from a source above its own; and for any client, from the
// connection without a whole record that has held its slot, or waited, longest, once
// that is at least --busy-timeout.
void make_room(server& serving, std::int64_t now)
{
    slot_pool& pool = serving.pool;
    serving.next_busy_check_ms = 0;
    if (pool.served < serving.slots || pool.list(stage::waiting).first == no_slot ||
        pool.list(stage::done).first != no_slot)
        return;
    const std::uint32_t waiting = next_to_serve(serving);
    const std::uint32_t fair = std::max<std::uint32_t>(serving.slots / std::max<std::uint32_t>(pool.coarse_sources, 1), 1);
    std::int64_t fair_due = 0;
    if (waiting != no_slot && count_of(pool, pool[waiting].source.coarsest()).served < fair) {
        if (const std::uint32_t index = over_fair_share(serving, now, fair_due); index != no_slot) {
            give_up(pool[index].served.arrived, given_up::for_room);
            complete(serving, index);
            serving.next_busy_check_ms = now;
            return;
        }
    }
    std::uint32_t oldest = pool.list(stage::reading).first;
    std::int64_t since = oldest != no_slot ? pool[oldest].served_ms : INT64_MAX;
    for (std::uint32_t index = pool.list(stage::waiting).first; index != no_slot; index = pool[index].next) {
        if (whole_record_waits(serving, pool[index])) continue;
        if (pool[index].accepted_ms < since) {
            oldest = index;
            since = pool[index].accepted_ms;
        }
        break;
    }
    if (oldest == no_slot) {
        serving.next_busy_check_ms = fair_due;
        return;
    }
    if (since + serving.chosen.busy_timeout_ms > now) {
        const std::int64_t busy_due = since + serving.chosen.busy_timeout_ms;
        serving.next_busy_check_ms = fair_due != 0 ? std::min(fair_due, busy_due) : busy_due;
        return;
    }
    give_up(pool[oldest].served.arrived, given_up::for_room);
    complete(serving, oldest);
    serving.next_busy_check_ms = now;  // once its slot is given, room may be made again
}

// Takes a connection on from where telling its client left it.
void after_telling(server& serving, std::uint32_t index, telling step, std::int64_t now)
{
    slot& s = serving.pool[index];
    switch (step) {
    case telling::over:
    case telling::lost: free_entry(serving, index); return;
    case telling::for_room:
        if (s.now != stage::telling) {
            move_to(serving.pool, index, stage::telling);
            s.ends_ms = now + close_notify_ms;
        }
        watch_connection(serving, index, s.served.link.wants_write ? watch_for::writing_once : watch_for::reading_once);
        return;
    case telling::lingering:
        if (s.now != stage::lingering) move_to(serving.pool, index, stage::lingering);
        s.ends_ms = now + linger_ms;
        watch_connection(serving, index, watch_for::reading_once);
        return;
    }
}

// Reports a connection that ended without its record taken, one by one, after its
// lines; beyond a few a second, only in a count, when standard error may be the
// journal (in JSON) or a TLS handshake failed; in JSON, an empty one only in the
// summary.
void report_one_by_one(server& serving, const slot& s, std::int64_t now)
{
    const arrival& arrived = s.served.arrived;
    const bool handshake_failed = !handshake_done(s.served.link);
    if (serving.chosen.json && arrived.received == 0 && arrived.error == 0 && !handshake_failed) return;
    if (serving.chosen.json || handshake_failed) {
        const bool reported = (arrived.error != 0 || handshake_failed) && arrived.why_given_up == given_up::no && !arrived.held_back;
        refill_budgets(serving, now);
        if (reported && serving.reports_left <= 0) {
            ++serving.unreported.unsaid;
            return;
        }
        serving.reports_left -= reported ? 1 : 0;
    }
    report_arrival(s.peer, arrived, s.served.link);
}

// Tells the client what became of its record: a normal close, lingering one at a
// time, for a record taken, a refusal (over TLS) or a reset for any other; each
// report after its lines.
void tell(server& serving, std::uint32_t index, std::int64_t now)
{
    slot& s = serving.pool[index];
    report_one_by_one(serving, s, now);
    serving.unreported.late += s.served.arrived.why_given_up == given_up::late ? 1U : 0U;
    serving.unreported.for_room += s.served.arrived.why_given_up == given_up::for_room ? 1U : 0U;
    tally_told(s.served.arrived);
    if (!closes_normally(s.served.arrived)) {
        refuse_entry(serving, index);
        return;
    }
    after_telling(serving, index, tell_taken(s.served, serving.one_at_a_time ? linger_on_close : close_at_once), now);
}

// Writes out the records done as far as the output takes them now, makes them durable
// with --sync, then tells their clients; what was printed with no client to tell (a
// client's name, one at a time) goes out too. Stop signals are held from the first
// write until the last client is told, and never across a wait. Returns false when
// the output fails (reported): the clients whose lines were out before are told all
// the same, and whatever no client was told of is taken back out of a file.
bool write_out(server& serving, std::int64_t now)
{
    const slot_pool& pool = serving.pool;
    record_output& out = serving.out;
    // With --count, no record past the last one counted goes out: its client is reset
    // as the server ends.
    std::uint64_t records_left = serving.chosen.count != 0 ? serving.chosen.count - records_taken() : UINT64_MAX;
    std::uint32_t* const done = serving.done.get();
    std::uint64_t* const ends = serving.done_ends.get();
    std::size_t count = 0;
    for (std::uint32_t index = pool.list(stage::done).first; index != no_slot; index = pool[index].next, ++count) {
        if (takes_record(pool[index].served.arrived) && records_left-- == 0) break;
        done[count] = index;
        ends[count] = pool[index].output_end;
    }
    // Lines with no client to tell: the start line, or a client's name one at a time.
    std::uint64_t printed = printed_up_to(out);
    if (count == 0 && (pool.list(stage::done).first != no_slot || printed == out.written)) return true;
    int failure = 0;
    {
        const stop_signals_held held;
        const write_result written = write_records(out, count > 0 ? std::span(ends, count) : std::span(&printed, 1));
        failure = written.error == EAGAIN ? 0 : written.error;
        std::uint64_t tell_up_to = written.up_to;
        bool any_taken = false;
        for (std::size_t i = 0; i < count && ends[i] <= tell_up_to; ++i)
            any_taken = any_taken || closes_normally(pool[done[i]].served.arrived);
        if (out.sync && any_taken) {
            // Nobody is told before the records are on disk; if they cannot be, none of
            // them stays in the file.
            if (const int error = sync_output(out); error != 0) {
                failure = error;
                tell_up_to = out.told_up_to;
            }
        }
        for (std::size_t i = 0; i < count && ends[i] <= tell_up_to; ++i) {
            tell(serving, done[i], now);
            out.told_up_to = ends[i];
        }
    }
    if (failure == 0) {
        give_slots(serving, now);
        return true;
    }
    report_output_failure(out, failure);
    take_back_untold(out);
    return false;
}

// Closes the connections told whose deadline has come: a close_notify that found no
// room is given up, its connection reset; a lingering close ends.
void end_tellings_due(server& serving, std::int64_t now)
{
    slot_pool& pool = serving.pool;
    while (pool.list(stage::telling).first != no_slot && pool[pool.list(stage::telling).first].ends_ms <= now) {
        const std::uint32_t index = pool.list(stage::telling).first;
        const peer_name name = look_up(pool[index].peer);
        report_line({"cardbox: ", name.known ? name.host.data() : "?", ":", name.known ? name.port.data() : "?",
                     ": TLS close_notify found no room in time; the connection is reset"});
        reset_entry(serving, index);
    }
    while (pool.list(stage::lingering).first != no_slot && pool[pool.list(stage::lingering).first].ends_ms <= now) {
        const std::uint32_t index = pool.list(stage::lingering).first;
        end_lingering(pool[index].served);
        free_entry(serving, index);
    }
}

// Looks again at the closes that linger, every linger_check_ms: the system tells no
// one when a client acknowledges.
void look_at_lingering(server& serving, std::int64_t now)
{
    slot_pool& pool = serving.pool;
    if (pool.list(stage::lingering).first == no_slot || now < serving.next_linger_check_ms) return;
    serving.next_linger_check_ms = now + linger_check_ms;
    for (std::uint32_t index = pool.list(stage::lingering).first; index != no_slot;) {
        const std::uint32_t next = pool[index].next;
        bool client_gone = false;
        if (linger_ends(pool[index].served, client_gone)) free_entry(serving, index);
        index = next;
    }
}

// A connection is ready for its next step.
void connection_ready(server& serving, std::uint32_t index, std::int64_t now)
{
    slot& s = serving.pool[index];
    switch (s.now) {
    case stage::reading: read_ready(serving, index); return;
    case stage::telling:
        after_telling(serving, index, tell_taken(s.served, serving.one_at_a_time ? linger_on_close : close_at_once), now);
        return;
    case stage::lingering: {
        // Once the client has closed its side, only the clock is left to wait for.
        bool client_gone = false;
        if (linger_ends(s.served, client_gone))
            free_entry(serving, index);
        else if (!client_gone)
            watch_connection(serving, index, watch_for::reading_once);
        return;
    }
    case stage::free:
    case stage::waiting:
    case stage::done: return;
    }
}

// Reports the clients given up on or reset at once, counted, at most once a second.
void report_counts(server& serving, std::int64_t now)
{
    server::counts& counts = serving.unreported;
    const bool any = counts.crowd + counts.for_space + counts.late + counts.for_room + counts.held_back + counts.unsaid > 0;
    if (!any || now < serving.counts_reported_ms + count_report_interval_ms) return;
    const auto say = [](std::uint64_t count, const char* one, const char* many, const char* why) {
        if (count == 0) return;
        std::array<char, 224> line{};
        std::snprintf(line.data(), line.size(), "cardbox: %llu %s%s", static_cast<unsigned long long>(count),
                      count == 1 ? one : many, why);
        report_line({line.data()});
    };
    say(counts.crowd, "clients", "clients", " reset at once: their source had its share served and as many waiting");
    say(counts.for_space, "client", "clients", " reset for newcomers: the server was full, and their source held the most");
    say(counts.late, "client", "clients", " given up on: no whole record within the time-out");
    say(counts.for_room, "client", "clients", " reset to make room for others");
    say(counts.held_back, "part of a record", "parts of records",
        " given up on and not written: more than 4 KiB a second of them");
    say(counts.unsaid, "connection", "connections", " ended without a record, not reported one by one");
    counts = {};
    serving.counts_reported_ms = now;
}

// How long the loop may wait for events before something is due.
int wait_for(const server& serving, std::int64_t now)
{
    const slot_pool& pool = serving.pool;
    const bool output_to_write = pool.list(stage::done).first != no_slot || printed_up_to(serving.out) > serving.out.written;
    if (output_to_write && !serving.out.waits_for_room) return 0;
    if (serving.accepting_again_ms == 0 && room_for_one(serving) &&
        std::any_of(serving.arrivals.begin(), serving.arrivals.begin() + static_cast<std::ptrdiff_t>(serving.listening.count),
                    [](bool waiting) { return waiting; }))
        return 0;
    std::int64_t due = INT64_MAX;
    if (pool.open.first != no_slot && serving.chosen.timeout_ms != wait_for_ever)
        due = pool[pool.open.first].accepted_ms + serving.chosen.timeout_ms;
    if (pool.list(stage::telling).first != no_slot) due = std::min(due, pool[pool.list(stage::telling).first].ends_ms);
    if (pool.list(stage::lingering).first != no_slot) due = std::min(due, std::max(now, serving.next_linger_check_ms));
    const server::counts& counts = serving.unreported;
    const bool counts_to_say = counts.crowd + counts.for_space + counts.late + counts.for_room + counts.held_back + counts.unsaid > 0;
    for (const std::int64_t at : {serving.next_busy_check_ms, serving.accepting_again_ms,
                                  counts_to_say ? serving.counts_reported_ms + count_report_interval_ms : std::int64_t{0}})
        if (at != 0) due = std::min(due, at);
    return due == INT64_MAX ? -1 : milliseconds_until(due);
}

// Gives the memory that a crowd of connections used back to the system once most of
// them have gone, and again once the last of them has: freed, it would otherwise stay
// with the server, spread over the heap.
void give_memory_back(server& serving)
{
    constexpr std::uint32_t crowd = 256;
    const std::uint32_t in_use = serving.pool.in_use;
    serving.peak_in_use = std::max(serving.peak_in_use, in_use);
    const bool crowd_gone = serving.peak_in_use >= crowd && in_use <= serving.peak_in_use / 4;
    if (!crowd_gone && !(in_use == 0 && serving.memory_owed)) return;
    malloc_trim(0);
    serving.memory_owed = in_use > 0;
    serving.peak_in_use = in_use;
}

// At the end, every connection still open is reset, but a close of a client already
// told, which goes on in the background.
struct closing_at_end {
    server& serving;
    explicit closing_at_end(server& ending) : serving(ending) {}
    closing_at_end(const closing_at_end&) = delete;
    closing_at_end& operator=(const closing_at_end&) = delete;
    ~closing_at_end()
    {
        slot_pool& pool = serving.pool;
        while (pool.list(stage::lingering).first != no_slot) {
            const std::uint32_t index = pool.list(stage::lingering).first;
            end_lingering(pool[index].served);
            free_entry(serving, index);
        }
        // A close_notify that waits was for a record taken: no refusal for it.
        for (std::uint32_t index = 0; index < pool.fresh; ++index) {
            if (pool[index].now == stage::telling) reset_entry(serving, index);
            if (pool[index].now != stage::free) refuse_entry(serving, index);
        }
    }
};

}  // namespace

server_failure make_server(server& serving)
{
    server_failure failure;
    const options& chosen = serving.chosen;
    serving.one_at_a_time = chosen.connections == 1;
    serving.slots = static_cast<std::uint32_t>(chosen.connections);
    serving.shares = shares_of(static_cast<std::uint32_t>(chosen.per_source), serving.slots);
    serving.budgets_refilled_ms = milliseconds_now();
    serving.reports_left = reports_per_second;
    const std::uint32_t capacity = entries_within_descriptors(serving, serving.slots * (1 + waiting_per_slot), failure);
    if (capacity == 0) return failure;
    serving.done.reset(static_cast<std::uint32_t*>(std::calloc(capacity, sizeof(std::uint32_t))));
    serving.done_ends.reset(static_cast<std::uint64_t*>(std::calloc(capacity, sizeof(std::uint64_t))));
    const std::size_t listener_count = serving.listening.count;
    int error = !make_slot_pool(serving.pool, capacity) || serving.done == nullptr || serving.done_ends == nullptr
                    ? ENOMEM
                    : open_event_loop(serving.loop, capacity + static_cast<std::uint32_t>(listener_count) + 2);
    const char* step = "cardbox";
    for (std::size_t i = 0; i < listener_count && error == 0; ++i) {
        // No accept may wait, also for a client that gave up after it was announced.
        const int listener = serving.listening.fd(i);
        fcntl(listener, F_SETFL, fcntl(listener, F_GETFL) | O_NONBLOCK);
        serving.listener_watch[i] = no_registration;
        serving.arrivals[i] = true;  // clients may wait already, as after a restart
        error = add_watch(serving.loop, listener, watch_for::arrivals, {event_source::listener, static_cast<std::uint32_t>(i)},
                          serving.listener_watch[i]);
        step = "cardbox: epoll_ctl";
    }
    if (error != 0) std::snprintf(failure.line.data(), failure.line.size(), "%s: %s", step, std::strerror(error));
    return failure;
}

int serve(server& serving)
{
    const closing_at_end closing(serving);
    const options& chosen = serving.chosen;
    int passes_without_waiting = 0;
    for (;;) {
        const std::int64_t now = milliseconds_now();
        if (reload_asked()) {
            // The file opened anew is watched anew, if it is to be.
            drop_watch(serving.loop, serving.output_watch, false);
            reopen_record_output(serving.out);
            if (serving.tls != nullptr) reload_tls(*serving.tls);
        }
        if (!accept_clients(serving, now)) return EXIT_FAILURE;
        give_up_late(serving, now);
        make_room(serving, now);
        end_tellings_due(serving, now);
        look_at_lingering(serving, now);
        if (!write_out(serving, now)) return EXIT_FAILURE;
        if (chosen.count != 0 && records_taken() >= chosen.count) return EXIT_SUCCESS;
        report_counts(serving, now);
        give_memory_back(serving);
        write_out_reports();
        // Work that is ready (clients waiting to be accepted, records to write out) is
        // done without asking for events first, a few passes at most, so that a
        // stream of clients costs no call that finds nothing new.
        const int timeout_ms = wait_for(serving, now);
        if (timeout_ms == 0 && ++passes_without_waiting < passes_between_waits) continue;
        passes_without_waiting = 0;
        if (const int error = watch_what_waits(serving); error != 0) {
            report_failure("cardbox: epoll_ctl", error);
            return EXIT_FAILURE;
        }
        std::span<const loop_event> events;
        {
            const reload_held_to_wait held;
            const int error = wait_for_events(serving.loop, reload_waiting() ? 0 : timeout_ms,
                                              signals_let_in_while_waiting(), events);
            if (error != 0) {
                report_failure("cardbox: epoll_wait", error);
                return EXIT_FAILURE;
            }
        }
        const std::int64_t woken = milliseconds_now();
        for (const loop_event& event : events) {
            if (!is_current(serving.loop, event)) continue;
            if (event.source == event_source::listener) serving.arrivals[event.index] = true;
            if (event.source == event_source::connection) connection_ready(serving, event.index, woken);
            // Room in the output or in standard error: the next pass writes.
        }
    }
}
