// Serving many clients at once: one thread waits on every connection with epoll, and
// each connection gathers its own record against its own deadline. Records that
// complete together are written out together, with one write (and one sync), before
// any of their clients is told. No call waits for a client, for room in the output
// or for a close: a slow client holds up only itself.
#include "connection.hpp"
#include "deadline.hpp"
#include "serving.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <new>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr std::uint32_t none = UINT32_MAX;
// Epoll's tags: a connection's slot, or one of these past every slot.
constexpr std::uint64_t output_tag = std::uint64_t{1} << 32U;
constexpr std::uint64_t first_listener_tag = output_tag + 1;
constexpr int events_at_once = 256;
// A taken record's connection closes without lingering: the loop never waits.
constexpr linger close_at_once{0, 0};

// The address a client connects from, IPv4 ones as IPv4-mapped IPv6 addresses.
using source_address = std::array<unsigned char, 16>;

source_address source_of(const sockaddr_storage& peer)
{
    source_address source{};
    if (peer.ss_family == AF_INET6) {
        std::memcpy(source.data(), &reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr, source.size());
    } else if (peer.ss_family == AF_INET) {
        source[10] = source[11] = 0xFF;
        std::memcpy(source.data() + 12, &reinterpret_cast<const sockaddr_in&>(peer).sin_addr, 4);
    }
    return source;
}

enum class stage : unsigned char {
    free,
    held,     // over its address's share: accepted, unread, waiting for one of its slots
    reading,  // gathering its record
    done,     // its lines printed, waiting to be written out and its client told
};

// One slot of the loop.
struct connection {
    owned_fd socket;
    stage now = stage::free;
    sockaddr_storage peer{};
    source_address source{};
    arrival arrived;
    std::int64_t deadline = 0;
    std::uint64_t accepted = 0;    // its number in accept order
    std::uint64_t output_end = 0;  // where its lines end in the output, once done
    // Its neighbours in the list it is in: waiting (held or reading, in accept order,
    // which is deadline order) or done (in the order the records completed).
    std::uint32_t previous = none;
    std::uint32_t next = none;
    std::uint32_t next_same_bucket = none;  // in the table of source addresses
};

struct connection_list {
    std::uint32_t first = none;
    std::uint32_t last = none;
};

struct free_deleter {
    void operator()(void* memory) const { std::free(memory); }
};

// The loop's state: a fixed pool of slots, allocated once at start.
struct loop {
    std::uint32_t slots = 0;
    std::unique_ptr<connection, free_deleter> pool;
    // Slots from `fresh` on have never been used: they are made on first use, so that
    // the memory of slots a server never needs is never touched.
    std::uint32_t fresh = 0;
    std::unique_ptr<std::uint32_t, free_deleter> free_slots;  // a stack of slots used before
    std::uint32_t free_count = 0;
    std::unique_ptr<std::uint32_t, free_deleter> buckets;  // source address -> first slot
    std::uint32_t bucket_mask = 0;
    connection_list waiting;
    connection_list done;
    std::uint32_t served = 0;  // reading or done
    std::uint32_t held = 0;
    std::uint64_t accepted = 0;
    owned_fd epoll;
    bool accepting = false;
    bool output_watched = false;
    bool output_full = false;  // the last write-out found no room: wait for it

    connection& operator[](std::uint32_t slot) { return pool.get()[slot]; }
    ~loop()
    {
        for (std::uint32_t slot = 0; slot < fresh; ++slot) (*this)[slot].~connection();
    }
};

void push_back(loop& serving, connection_list& list, std::uint32_t slot)
{
    connection& c = serving[slot];
    c.previous = list.last;
    c.next = none;
    (list.last != none ? serving[list.last].next : list.first) = slot;
    list.last = slot;
}

void unlink(loop& serving, connection_list& list, std::uint32_t slot)
{
    connection& c = serving[slot];
    (c.previous != none ? serving[c.previous].next : list.first) = c.next;
    (c.next != none ? serving[c.next].previous : list.last) = c.previous;
    c.previous = c.next = none;
}

std::uint32_t& bucket_of(loop& serving, const source_address& source)
{
    std::uint64_t high = 0;
    std::uint64_t low = 0;
    std::memcpy(&high, source.data(), sizeof high);
    std::memcpy(&low, source.data() + sizeof high, sizeof low);
    const std::uint64_t hash = (high ^ (low * 0x9E3779B97F4A7C15U)) * 0xBF58476D1CE4E5B9U;
    return serving.buckets.get()[(hash >> 32U) & serving.bucket_mask];
}

// Allocates the slots and the table of sources, and raises the limit on descriptors
// to what they need. Reports a failure and returns false.
bool make_loop(loop& serving, const options& chosen, std::size_t listener_count)
{
    // As many connections may wait over their address's share as are served.
    serving.slots = static_cast<std::uint32_t>(chosen.connections) * 2;
    const rlim_t needed = serving.slots + listener_count + 8;
    rlimit descriptors{};
    getrlimit(RLIMIT_NOFILE, &descriptors);
    if (descriptors.rlim_cur < needed) {
        if (descriptors.rlim_max < needed) {
            std::fprintf(stderr, "cardbox: --connections %d needs %llu descriptors; the limit is %llu\n",
                         chosen.connections, static_cast<unsigned long long>(needed),
                         static_cast<unsigned long long>(descriptors.rlim_max));
            return false;
        }
        descriptors.rlim_cur = needed;
        setrlimit(RLIMIT_NOFILE, &descriptors);
    }
    std::uint32_t buckets = 1;
    while (buckets < serving.slots * 2) buckets *= 2;
    serving.bucket_mask = buckets - 1;
    serving.pool.reset(static_cast<connection*>(std::malloc(serving.slots * sizeof(connection))));
    serving.free_slots.reset(static_cast<std::uint32_t*>(std::calloc(serving.slots, sizeof(std::uint32_t))));
    serving.buckets.reset(static_cast<std::uint32_t*>(std::calloc(buckets, sizeof(std::uint32_t))));
    serving.epoll.reset(epoll_create1(EPOLL_CLOEXEC));
    if (serving.pool == nullptr || serving.free_slots == nullptr || serving.buckets == nullptr ||
        serving.epoll.get() == -1) {
        if (serving.epoll.get() != -1) errno = ENOMEM;
        std::perror("cardbox");
        return false;
    }
    std::fill_n(serving.buckets.get(), buckets, none);
    return true;
}

// How many connections from the source are served now (reading or done).
std::uint32_t served_from(loop& serving, const source_address& source)
{
    std::uint32_t count = 0;
    for (std::uint32_t slot = bucket_of(serving, source); slot != none; slot = serving[slot].next_same_bucket)
        count += static_cast<std::uint32_t>(serving[slot].source == source &&
                                            (serving[slot].now == stage::reading ||
                                             serving[slot].now == stage::done));
    return count;
}

// Watches the connection for its next bytes: once, so that a connection done with
// cannot wake the loop again. Reports a failure and returns false.
bool watch(loop& serving, std::uint32_t slot, int operation)
{
    epoll_event event{};
    event.events = EPOLLIN | EPOLLONESHOT;
    event.data.u64 = slot;
    if (epoll_ctl(serving.epoll.get(), operation, serving[slot].socket.get(), &event) == 0) return true;
    std::perror("cardbox: epoll_ctl");
    return false;
}

// Its record is whole or given up on: prints its lines, and it waits to be written out.
void complete(loop& serving, std::uint32_t slot, record_output& out, bool json)
{
    connection& c = serving[slot];
    unlink(serving, serving.waiting, slot);
    if (c.now == stage::held) {
        --serving.held;
        ++serving.served;
    }
    c.now = stage::done;
    const peer_name name = look_up(c.peer);
    if (!json) print_peer_line(out, name);
    print_arrival(out, name, c.arrived, json);
    c.output_end = printed_up_to(out);
    push_back(serving, serving.done, slot);
}

// Starts gathering the connection's record with what has arrived already (a client
// usually sends its record as soon as it is connected), then watches it for the
// rest. Returns false when it cannot be watched (reported).
bool start_reading(loop& serving, std::uint32_t slot, record_output& out, bool json)
{
    connection& c = serving[slot];
    c.now = stage::reading;
    ++serving.served;
    const std::span<char> into = room(c.arrived);
    const ssize_t count = recv(c.socket.get(), into.data(), into.size(), MSG_DONTWAIT);
    take_read(c.arrived, count, errno);
    if (!c.arrived.ended) return watch(serving, slot, EPOLL_CTL_ADD);
    complete(serving, slot, out, json);
    return true;
}

// Ends a connection whose client has been told (or reset), frees its slot, and gives
// the oldest connection held for the same address the slot it waited for.
bool release(loop& serving, std::uint32_t slot, const options& chosen, record_output& out)
{
    connection& c = serving[slot];
    unlink(serving, serving.done, slot);
    --serving.served;
    c.now = stage::free;
    std::uint32_t* link = &bucket_of(serving, c.source);
    while (*link != slot) link = &serving[*link].next_same_bucket;
    *link = c.next_same_bucket;
    serving.free_slots.get()[serving.free_count++] = slot;

    std::uint32_t oldest = none;
    for (std::uint32_t other = bucket_of(serving, c.source); other != none;
         other = serving[other].next_same_bucket)
        if (serving[other].now == stage::held && serving[other].source == c.source &&
            (oldest == none || serving[other].accepted < serving[oldest].accepted))
            oldest = other;
    if (oldest == none || served_from(serving, c.source) >= static_cast<std::uint32_t>(chosen.per_address))
        return true;
    --serving.held;
    return start_reading(serving, oldest, out, chosen.json);
}

// Returns a slot for a new connection: one used before, or a fresh one made now.
std::uint32_t free_slot(loop& serving)
{
    if (serving.free_count > 0) return serving.free_slots.get()[serving.free_count - 1];
    new (&serving[serving.fresh]) connection();
    serving.free_slots.get()[serving.free_count++] = serving.fresh;
    return serving.fresh++;
}

bool may_accept(const loop& serving, const options& chosen)
{
    return serving.served < static_cast<std::uint32_t>(chosen.connections) &&
           serving.held < static_cast<std::uint32_t>(chosen.connections);
}

// Accepts the clients waiting on the listener while there is a slot for them: each
// is read at once, or held unread when its address has its share. Reports each
// failure with "accept"; returns false on one that ends the server.
bool accept_waiting(loop& serving, int listener, const options& chosen, record_output& out)
{
    while (may_accept(serving, chosen)) {
        const std::uint32_t slot = free_slot(serving);
        connection& c = serving[slot];
        socklen_t peer_size = sizeof c.peer;
        const int fd = accept4(listener, reinterpret_cast<sockaddr*>(&c.peer), &peer_size,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd == -1) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
            const int failure = errno;
            std::perror("accept");
            if (accept_failure_is_transient(failure)) continue;
            return false;
        }
        --serving.free_count;
        c.socket.reset(fd);
        c.arrived = arrival{};
        c.deadline = chosen.timeout_ms != wait_for_ever ? milliseconds_now() + chosen.timeout_ms : 0;
        c.accepted = ++serving.accepted;
        c.source = source_of(c.peer);
        std::uint32_t& bucket = bucket_of(serving, c.source);
        c.next_same_bucket = bucket;
        bucket = slot;
        push_back(serving, serving.waiting, slot);
        if (served_from(serving, c.source) < static_cast<std::uint32_t>(chosen.per_address)) {
            if (!start_reading(serving, slot, out, chosen.json)) return false;
        } else {
            c.now = stage::held;
            ++serving.held;
        }
    }
    return true;
}

// Listens for clients only while there is a slot to take one: the others wait in the
// listen queue. Reports a failure and returns false.
bool listen_while_room(loop& serving, const listeners& listening, const options& chosen)
{
    const bool slot_free = may_accept(serving, chosen);
    if (slot_free == serving.accepting) return true;
    serving.accepting = slot_free;
    for (std::size_t i = 0; i < listening.count; ++i) {
        epoll_event event{};
        event.events = slot_free ? std::uint32_t{EPOLLIN} : 0U;
        event.data.u64 = first_listener_tag + i;
        if (epoll_ctl(serving.epoll.get(), EPOLL_CTL_MOD, listening.fds[i], &event) == -1) {
            std::perror("cardbox: epoll_ctl");
            return false;
        }
    }
    return true;
}

// Reads what the connection has sent; completes it when its record is whole.
bool read_ready(loop& serving, std::uint32_t slot, record_output& out, bool json)
{
    connection& c = serving[slot];
    if (c.now != stage::reading) return true;
    const std::span<char> into = room(c.arrived);
    const ssize_t count = read(c.socket.get(), into.data(), into.size());
    take_read(c.arrived, count, errno);
    if (!c.arrived.ended) return watch(serving, slot, EPOLL_CTL_MOD);
    complete(serving, slot, out, json);
    return true;
}

// Waits for room in the output, where it can be waited for in the loop.
void watch_output(loop& serving, const record_output& out)
{
    epoll_event event{};
    event.events = EPOLLOUT | EPOLLONESHOT;
    event.data.u64 = output_tag;
    const int operation = serving.output_watched ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    if (epoll_ctl(serving.epoll.get(), operation, out.fd, &event) == 0)
        serving.output_watched = true;
}

// Writes out the lines of the records done, each report after its own lines, as far as
// the output takes them now; makes them durable with --sync; then tells each client
// whose lines are out: a normal close for a record taken, a reset for any other. When
// the output fails, the clients whose lines were out before are told all the same;
// the failure is reported and it returns false.
bool write_out_and_tell(loop& serving, record_output& out, const options& chosen)
{
    if (serving.done.first == none) return true;
    // A stop lands before the records are out (their clients are reset) or after
    // their clients were told (closed normally).
    const stop_signals_held held;
    std::uint32_t last_out = none;
    bool any_taken = false;
    int failure = 0;
    for (std::uint32_t run = serving.done.first; run != none;) {
        // One write up to the end of the first connection with a report, or of all.
        std::uint32_t end_of_run = run;
        while (!has_report(serving[end_of_run].arrived) && serving[end_of_run].next != none)
            end_of_run = serving[end_of_run].next;
        const int error = write_printed(out, serving[end_of_run].output_end, false);
        for (; run != none && serving[run].output_end <= out.written; run = serving[run].next) {
            if (has_report(serving[run].arrived)) report(serving[run].arrived);
            any_taken = any_taken || closes_normally(serving[run].arrived);
            last_out = run;
        }
        serving.output_full = error == EAGAIN;
        if (error == EAGAIN) watch_output(serving, out);
        if (error != 0) {
            failure = error == EAGAIN ? 0 : error;
            break;
        }
    }
    if (last_out != none && chosen.sync && any_taken) {
        // Nobody is told before the records are on disk.
        if (const int error = sync_output(out); error != 0) {
            failure = error;
            last_out = none;
        }
    }
    for (std::uint32_t slot = serving.done.first, next = none; last_out != none && slot != none;
         slot = next) {
        next = slot == last_out ? none : serving[slot].next;
        connection& c = serving[slot];
        if (closes_normally(c.arrived)) {
            tell_taken(c.socket, close_at_once);
            finish_taken(c.socket, c.arrived);
        } else {
            reset_connection(c.socket);
        }
        if (!release(serving, slot, chosen, out)) return false;
    }
    if (failure == 0) return true;
    errno = failure;
    std::perror(output_failure);
    return false;
}

}  // namespace

int serve_many_at_once(const listeners& listening, const options& chosen, record_output& out)
{
    loop serving;
    if (!make_loop(serving, chosen, listening.count)) return EXIT_FAILURE;
    for (std::size_t i = 0; i < listening.count; ++i) {
        // No accept may wait, also for a client that gave up after it was announced.
        fcntl(listening.fds[i], F_SETFL, fcntl(listening.fds[i], F_GETFL) | O_NONBLOCK);
        epoll_event event{};
        event.data.u64 = first_listener_tag + i;
        if (epoll_ctl(serving.epoll.get(), EPOLL_CTL_ADD, listening.fds[i], &event) == -1) {
            std::perror("cardbox: epoll_ctl");
            return EXIT_FAILURE;
        }
    }
    // Everything printed is out whenever the server waits for clients.
    if (!write_all_printed(out)) return EXIT_FAILURE;

    std::array<epoll_event, events_at_once> events{};
    for (;;) {
        if (!listen_while_room(serving, listening, chosen)) return EXIT_FAILURE;
        // Records done while others were told (a held connection whose record was there
        // when it was given its slot) are written out without waiting.
        int timeout = -1;
        if (serving.done.first != none && !serving.output_full)
            timeout = 0;
        else if (serving.waiting.first != none && chosen.timeout_ms != wait_for_ever)
            timeout = milliseconds_until(serving[serving.waiting.first].deadline);
        const int ready = epoll_wait(serving.epoll.get(), events.data(), events_at_once, timeout);
        if (ready == -1 && errno != EINTR) {
            std::perror("cardbox: epoll_wait");
            return EXIT_FAILURE;
        }
        for (int i = 0; i < ready; ++i) {
            const std::uint64_t tag = events[static_cast<std::size_t>(i)].data.u64;
            bool going_on = true;
            if (tag < output_tag)
                going_on = read_ready(serving, static_cast<std::uint32_t>(tag), out, chosen.json);
            else if (tag >= first_listener_tag)
                going_on = accept_waiting(serving, listening.fds[tag - first_listener_tag], chosen, out);
            if (!going_on) return EXIT_FAILURE;
        }
        if (chosen.timeout_ms != wait_for_ever) {
            const std::int64_t now = milliseconds_now();
            while (serving.waiting.first != none && serving[serving.waiting.first].deadline <= now) {
                const std::uint32_t slot = serving.waiting.first;
                give_up(serving[slot].arrived);
                complete(serving, slot, out, chosen.json);
            }
        }
        if (!write_out_and_tell(serving, out, chosen)) return EXIT_FAILURE;
    }
}
