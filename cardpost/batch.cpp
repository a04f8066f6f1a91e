#include "batch.hpp"

#include "client_tls.hpp"
#include "connect_to_server.hpp"
#include "deadline.hpp"
#include "json_text.hpp"
#include "owned_fd.hpp"
#include "resolver.hpp"
#include "verdict.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>
#include <optional>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

enum class fate : unsigned char { pending, taken, not_taken, no_verdict, no_connection, refused };
constexpr std::array<const char*, 6> fate_words{"", "taken", "not taken", "no verdict", "no connection", "refused"};

// The first retry waits up to this long; each next one up to twice as long, up to the
// longest. Each pause is drawn at random below its bound, so that the rows a server's
// restart turned away do not all come back at the same instant.
constexpr std::int64_t first_pause_ms = 100;
constexpr std::int64_t longest_pause_ms = 60'000;

// The bound of the pause before a row's next try, after `attempts` tries.
constexpr std::int64_t pause_after_ms(unsigned attempts)
{
    std::int64_t pause = first_pause_ms;
    for (unsigned doubled = 1; doubled < attempts && pause < longest_pause_ms; ++doubled) pause *= 2;
    return std::min(pause, longest_pause_ms);
}
static_assert(pause_after_ms(1) == 100 && pause_after_ms(5) == 1'600 && pause_after_ms(100) == longest_pause_ms);
constexpr std::int64_t progress_every_ms = 200;
// A record whose server has closed is watched a moment longer for a reset; the server
// is done with it, so it holds a lane without counting against --parallel. There are
// this many lanes for each record that may be at the server at once.
constexpr std::size_t lanes_per_record_at_once = 4;
// Descriptors kept for what is not a lane: the standard streams, the roster, the file
// to send again, the resolver's and OpenSSL's files.
constexpr std::size_t descriptors_besides_lanes = 16;
// Rows are kept in blocks of this many, which never move once made.
constexpr std::size_t rows_per_block = 1024;

enum class stage : unsigned char { idle, connecting, handshaking, sending, awaiting };

// One connection at a time, for one row at a time.
struct lane {
    stage at = stage::idle;
    std::size_t row = 0;
    owned_fd socket;
    client_tls_session tls;
    const addrinfo* address = nullptr;  // the address tried
    std::int64_t deadline = 0;
    std::size_t sent = 0;     // bytes of the record sent
    bool wants_read = false;  // TLS waits to read before it can send
    bool wants_write = false;  // TLS waits for room to write before its handshake goes on
    verdict_reader reader{-1, nullptr};
};

// What became of a row, and how often it was tried.
struct row_state {
    fate end = fate::pending;
    unsigned char attempts = 0;
    bool reached = false;  // a try reached a server, which did not take it
};

struct roster_entry {
    roster_row row;
    row_state state;
};

// A row waiting to be tried again, and when.
struct retry {
    std::int64_t due;
    std::size_t row;
};

template <typename T>
struct free_memory {
    void operator()(T* memory) const { std::free(memory); }
};

// The lanes, ended with their memory.
struct end_lanes {
    std::size_t count = 0;
    void operator()(lane* lanes) const
    {
        for (std::size_t i = 0; i < count; ++i) lanes[i].~lane();
        std::free(lanes);
    }
};

// Blocks of rows, each made on first use and ended with the batch.
struct end_blocks {
    std::size_t count = 0;
    void operator()(roster_entry** blocks) const
    {
        for (std::size_t i = 0; i < count; ++i) {
            for (std::size_t j = 0; j < rows_per_block; ++j) blocks[i][j].~roster_entry();
            std::free(blocks[i]);
        }
        std::free(static_cast<void*>(blocks));
    }
};

struct batch {
    const batch_options& chosen;
    const client_options& where;
    roster_reader input{};
    bool input_done = false;
    std::unique_ptr<roster_entry*, end_blocks> blocks{nullptr, end_blocks{}};
    std::size_t block_room = 0;
    std::size_t rows = 0;        // read so far
    std::size_t next_row = 0;    // the next never tried
    std::unique_ptr<retry, free_memory<retry>> retries{};  // a heap, the soonest due first
    std::size_t retry_count = 0;
    std::size_t retry_room = 0;
    std::unique_ptr<lane, end_lanes> lanes{};
    std::size_t lane_count = 0;
    addrinfo_list addresses{nullptr, &freeaddrinfo};
    client_tls_context tls{};
    owned_fd resend;             // the file of rows to send again, if asked for
    std::size_t resent = 0;      // rows written to it
    std::size_t finished = 0;
    std::array<std::size_t, 6> counts{};
    std::int64_t started = 0;
    std::int64_t progress_shown = 0;
    bool progress = false;
    std::uint64_t draws = 0;     // the state of the pauses' random draws

    lane& operator[](std::size_t index) { return lanes.get()[index]; }
    roster_entry& entry(std::size_t row) { return blocks.get()[row / rows_per_block][row % rows_per_block]; }
};

// A number drawn at random from 0 to `most` (xorshift: a pause needs no more).
std::int64_t draw(batch& sending, std::int64_t most)
{
    std::uint64_t& state = sending.draws;
    state ^= state << 13U;
    state ^= state >> 7U;
    state ^= state << 17U;
    return static_cast<std::int64_t>(state % static_cast<std::uint64_t>(most + 1));
}

bool earlier_due(const retry& a, const retry& b) { return a.due > b.due; }

void print_json_string(std::string_view text)
{
    emit_json_string(text, [](std::string_view piece) { std::fwrite(piece.data(), 1, piece.size(), stdout); });
}

// Writes the whole text to the file; returns false when it cannot (errno says why).
bool write_all(int fd, std::string_view text)
{
    while (!text.empty()) {
        const ssize_t count = write(fd, text.data(), text.size());
        if (count == -1 && errno == EINTR) continue;
        if (count <= 0) return false;
        text.remove_prefix(static_cast<std::size_t>(count));
    }
    return true;
}

// The row's verdict line, and its count; a row that may safely be sent again goes,
// as it stood, to the file for that. Its text is let go then.
void tell(batch& sending, std::size_t row, fate end, const char* error)
{
    roster_entry& entry = sending.entry(row);
    entry.state.end = end;
    ++sending.counts[static_cast<std::size_t>(end)];
    ++sending.finished;
    std::printf("{\"line\": %zu, \"nombre\": ", entry.row.line);
    print_json_string(entry.row.nombre.view());
    std::fputs(", \"apellido\": ", stdout);
    print_json_string(entry.row.apellido.view());
    std::printf(", \"status\": \"%s\"", fate_words[static_cast<std::size_t>(end)]);
    if (error != nullptr) {
        std::fputs(", \"error\": ", stdout);
        print_json_string(error);
    }
    std::fputs("}\n", stdout);
    if (sending.resend.get() != -1 && (end == fate::not_taken || end == fate::no_connection)) {
        if (!write_all(sending.resend.get(), entry.row.as_it_stood.view()))
            std::fprintf(stderr, "cardpost: %s: %s\n", sending.chosen.resend, std::strerror(errno));
        ++sending.resent;
    }
    entry.row = roster_row{};
}

// Ends the lane's connection and the row's try: a row not taken or not connected is
// tried again, after its pause, while it has tries left, unless `final` says no try
// can mend it.
void finish(batch& sending, lane& on, fate end, const char* reason, int error, bool final = false)
{
    // A record that left in part is reset, so that no server takes the part for one.
    if (end == fate::not_taken && on.sent > 0 && on.sent < person_record_size && on.socket.get() != -1) {
        const linger reset_on_close{1, 0};
        setsockopt(on.socket.get(), SOL_SOCKET, SO_LINGER, &reset_on_close, sizeof reset_on_close);
    }
    on.tls.reset();
    on.socket.reset();
    on.at = stage::idle;
    row_state& state = sending.entry(on.row).state;
    state.reached = state.reached || end == fate::not_taken;
    if ((end == fate::not_taken || end == fate::no_connection) && !final &&
        state.attempts <= sending.chosen.retries && sending.retry_count < sending.retry_room) {
        sending.retries.get()[sending.retry_count++] = {
            milliseconds_now() + draw(sending, pause_after_ms(state.attempts)), on.row};
        std::push_heap(sending.retries.get(), sending.retries.get() + sending.retry_count, earlier_due);
        return;
    }
    std::array<char, 200> text{};
    const char* const why = reason != nullptr ? reason : std::strerror(error);
    if (end == fate::no_verdict && reason == nullptr)
        std::snprintf(text.data(), text.size(), "no verdict within %d s: the record may have been taken",
                      sending.chosen.wait_seconds);
    else if (end == fate::no_verdict)
        std::snprintf(text.data(), text.size(), "no verdict: %s; the record may have been taken", why);
    else if (end == fate::no_connection && state.reached)
        // Every try weighs: a row that reached a server once is never said to have found none.
        std::snprintf(text.data(), text.size(), "not taken by an earlier try; the last found no connection: %s", why);
    else if (end == fate::not_taken && reason == nullptr && error == ECONNRESET && sending.tls == nullptr)
        std::snprintf(text.data(), text.size(), "%s%s", why, plain_reset_hint);
    else if (end != fate::taken)
        std::snprintf(text.data(), text.size(), "%s", why);
    if (end == fate::no_connection && state.reached) end = fate::not_taken;
    tell(sending, on.row, end, end == fate::taken ? nullptr : text.data());
}

// Starts connecting to the lane's address, without waiting. Returns false when the
// socket cannot even be made, errno set.
bool start_connect(lane& on)
{
    const addrinfo* const address = on.address;
    on.socket.reset(socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                           address->ai_protocol));
    if (on.socket.get() == -1) return false;
    return connect(on.socket.get(), address->ai_addr, address->ai_addrlen) == 0 || errno == EINPROGRESS;
}

// Tries the next address after one that failed, or ends the try without a connection.
void next_address(batch& sending, lane& on, int error)
{
    for (on.address = on.address->ai_next; on.address != nullptr; on.address = on.address->ai_next) {
        if (start_connect(on)) return;
        error = errno;
    }
    finish(sending, on, fate::no_connection, nullptr, error);
}

// The connection is made: TLS, if asked, then the record.
void connected(batch& sending, lane& on)
{
    if (sending.tls == nullptr) {
        on.at = stage::sending;
        return;
    }
    tls_reason why{};
    on.tls = new_client_session(sending.tls.get(), on.socket.get(), sending.where.tls, sending.where.host, why);
    if (on.tls == nullptr) return finish(sending, on, fate::no_connection, why.data(), 0, true);
    on.at = stage::handshaking;
}

// Sends the record, as far as the connection takes it now; `events` are those poll
// saw on it.
void send_record(batch& sending, lane& on, short events)
{
    const std::span<const char, person_record_size> bytes = person_record_bytes(sending.entry(on.row).row.record);
    // A server that has closed, reset or spoken already gets nothing. Over plain TCP,
    // poll has said whether anything came; over TLS, the session must look.
    if (on.sent == 0 && (on.tls != nullptr || (events & from_server) != 0)) {
        if (const std::optional<verdict> refused = refused_before_sending(on.socket.get(), on.tls.get()))
            return finish(sending, on, fate::not_taken, refused->reason, refused->error);
    }
    while (on.sent < bytes.size()) {
        const std::span<const char> rest = bytes.subspan(on.sent);
        const ssize_t count = on.tls != nullptr
                                  ? tls_send_some(on.tls.get(), rest, on.wants_read)
                                  : send(on.socket.get(), rest.data(), rest.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (count > 0) {
            on.sent += static_cast<std::size_t>(count);
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
        return finish(sending, on, fate::not_taken, nullptr, errno);
    }
    on.at = stage::awaiting;
    on.reader = verdict_reader{on.socket.get(), on.tls.get()};
}

// Takes the lane one step on, as far as it goes without waiting.
void step(batch& sending, lane& on, short events, std::int64_t now)
{
    if (on.at == stage::connecting) {
        if (events == 0) return;
        if ((events & (POLLERR | POLLHUP)) != 0) {
            int error = 0;
            socklen_t size = sizeof error;
            getsockopt(on.socket.get(), SOL_SOCKET, SO_ERROR, &error, &size);
            if (error != 0) return next_address(sending, on, error);
        }
        connected(sending, on);
    }
    if (on.at == stage::handshaking) {
        tls_reason reason{};
        tls_step progress = continue_handshake(on.tls.get(), reason);
        if (progress == tls_step::done) progress = await_acceptance(on.tls.get(), reason);
        // A server whose certificate fails verification, or that wants one this client
        // does not have, will not mend by a second try.
        if (progress == tls_step::failed || progress == tls_step::untrusted)
            return finish(sending, on, fate::no_connection, reason.data(), 0, true);
        on.wants_write = progress == tls_step::wants_write;
        if (progress != tls_step::done) return;
        on.at = stage::sending;
    }
    if (on.at == stage::sending) send_record(sending, on, events);
    if (on.at == stage::awaiting) {
        if (const std::optional<verdict> fate_of = read_verdict(on.reader, events, now)) {
            const fate end = fate_of->status == exit_taken ? fate::taken
                             : fate_of->status == exit_not_taken ? fate::not_taken
                                                                 : fate::no_verdict;
            finish(sending, on, end, fate_of->reason, fate_of->error);
        }
    }
}

// What the lane waits for.
short events_of(const lane& on)
{
    switch (on.at) {
    case stage::connecting: return POLLOUT | from_server;
    case stage::handshaking: return on.wants_write ? POLLOUT : POLLIN;
    case stage::sending: return on.wants_read ? POLLIN : POLLOUT;
    case stage::awaiting: return verdict_events(on.reader);
    case stage::idle: break;
    }
    return 0;
}

// True while the lane's record may be at the server: from its connect to its server's
// close (not in the watch for a reset after it).
bool at_the_server(const lane& on)
{
    return on.at != stage::idle && !(on.at == stage::awaiting && on.reader.reset_watch_until != 0);
}

// Gives up on the lane at its deadline: a record not yet connected found no
// connection (in time: its handshake included); one partly sent was not taken; one
// sent whole has no verdict.
void give_up(batch& sending, lane& on)
{
    switch (on.at) {
    case stage::connecting:
    case stage::handshaking:
        return finish(sending, on, fate::no_connection, nullptr, ETIMEDOUT);
    case stage::sending: return finish(sending, on, fate::not_taken, nullptr, ETIMEDOUT);
    case stage::awaiting: return finish(sending, on, fate::no_verdict, nullptr, 0);
    case stage::idle: break;
    }
}

// The next row to try: one due again, else a new one. Returns false when none is
// ready now; `due` then says when one will be (0: none will yet).
bool next_row(batch& sending, std::int64_t now, std::size_t& row, std::int64_t& due)
{
    due = 0;
    if (sending.retry_count > 0) {
        const retry& soonest = sending.retries.get()[0];
        if (soonest.due <= now) {
            row = soonest.row;
            std::pop_heap(sending.retries.get(), sending.retries.get() + sending.retry_count--, earlier_due);
            return true;
        }
        due = soonest.due;
    }
    if (sending.next_row < sending.rows) {
        row = sending.next_row++;
        return true;
    }
    return false;
}

// Starts a try of the row on the lane; a refused row is told at once.
void start(batch& sending, lane& on, std::size_t row, std::int64_t now)
{
    roster_entry& entry = sending.entry(row);
    if (entry.row.refused[0] != '\0') return tell(sending, row, fate::refused, entry.row.refused.data());
    ++entry.state.attempts;
    on = lane{};
    on.row = row;
    on.deadline = seconds_after(now, sending.chosen.wait_seconds);
    on.address = sending.addresses.get();
    on.at = stage::connecting;
    if (!start_connect(on)) next_address(sending, on, errno);
}

// Room for one row more, and for its retries. Returns false when memory runs out.
bool make_room_for_a_row(batch& sending)
{
    if (sending.rows == sending.block_room * rows_per_block) {
        const std::size_t count = sending.blocks.get_deleter().count;
        void* const grown = std::realloc(static_cast<void*>(sending.blocks.get()),
                                         (count + 1) * sizeof(roster_entry*));  // NOLINT(bugprone-sizeof-expression)
        if (grown == nullptr) return false;
        static_cast<void>(sending.blocks.release());  // realloc has it
        sending.blocks.reset(static_cast<roster_entry**>(grown));
        auto* const block = static_cast<roster_entry*>(std::malloc(rows_per_block * sizeof(roster_entry)));
        if (block == nullptr) return false;
        for (std::size_t j = 0; j < rows_per_block; ++j) new (&block[j]) roster_entry();
        sending.blocks.get()[count] = block;
        sending.blocks.get_deleter().count = count + 1;
        ++sending.block_room;
    }
    if (sending.rows + 1 > sending.retry_room) {
        const std::size_t room = std::max<std::size_t>(2 * sending.retry_room, 256);
        void* const grown = std::realloc(sending.retries.get(), room * sizeof(retry));
        if (grown == nullptr) return false;
        static_cast<void>(sending.retries.release());  // realloc has it
        sending.retries.reset(static_cast<retry*>(grown));
        sending.retry_room = room;
    }
    return true;
}

// Reads what the roster holds now and takes its whole rows. Returns false when it
// cannot be read or is no roster (reported).
bool read_rows(batch& sending)
{
    if (const int error = read_roster_input(sending.input); error != 0) {
        std::fprintf(stderr, "cardpost: %s: %s\n", sending.input.name, std::strerror(error));
        return false;
    }
    for (;;) {
        if (!make_room_for_a_row(sending)) {
            std::fprintf(stderr, "cardpost: %s: %s\n", sending.input.name, std::strerror(ENOMEM));
            return false;
        }
        std::array<char, 160> why{};
        roster_entry& entry = sending.entry(sending.rows);
        switch (take_row(sending.input, entry.row, why)) {
        case roster_take::row:
            entry.state = row_state{};
            ++sending.rows;
            continue;
        case roster_take::more: return true;
        case roster_take::done:
            sending.input_done = true;
            return true;
        case roster_take::no_roster:
            std::fprintf(stderr, "cardpost: %s: %s\n", sending.input.name, why.data());
            return false;
        }
    }
}

void show_progress(batch& sending, std::int64_t now, bool last)
{
    if (!sending.progress || (!last && now - sending.progress_shown < progress_every_ms)) return;
    sending.progress_shown = now;
    if (last) {
        std::fputs("\r\033[K", stderr);
        return;
    }
    const double seconds = static_cast<double>(now - sending.started) / 1000.0;
    const double rate = seconds > 0 ? static_cast<double>(sending.finished) / seconds : 0.0;
    std::fprintf(stderr, "\r\033[Kcardpost: %zu of %zu%s records, %.0f a second", sending.finished, sending.rows,
                 sending.input_done ? "" : " or more", rate);
    if (sending.input_done && rate > 0)
        std::fprintf(stderr, ", %.0f s left", static_cast<double>(sending.rows - sending.finished) / rate);
}

int worst_status(const batch& sending)
{
    const auto count = [&sending](fate end) { return sending.counts[static_cast<std::size_t>(end)]; };
    if (count(fate::no_verdict) > 0) return exit_no_verdict;
    if (count(fate::refused) > 0) return exit_refused;
    if (count(fate::not_taken) > 0) return exit_not_taken;
    if (count(fate::no_connection) > 0) return exit_not_connected;
    return EXIT_SUCCESS;
}

// The lanes that the limit on open files leaves room for, the limit raised as far as
// the lanes need and the hard limit allows: a lane short of a descriptor would only
// find no connection.
std::size_t lanes_within_open_files(std::size_t wanted)
{
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) != 0) return wanted;
    const rlim_t needed = wanted + descriptors_besides_lanes;
    if (files.rlim_cur != RLIM_INFINITY && files.rlim_cur < needed) {
        files.rlim_cur = files.rlim_max == RLIM_INFINITY ? needed : std::min(needed, files.rlim_max);
        setrlimit(RLIMIT_NOFILE, &files);
        getrlimit(RLIMIT_NOFILE, &files);
    }
    if (files.rlim_cur == RLIM_INFINITY || files.rlim_cur >= needed) return wanted;
    return files.rlim_cur > descriptors_besides_lanes + 1 ? files.rlim_cur - descriptors_besides_lanes : 1;
}

// Makes the lanes, resolves the host, loads TLS and opens the file of rows to send
// again. Reports a failure and returns false.
bool prepare(batch& sending)
{
    sending.lane_count =
        lanes_within_open_files(static_cast<std::size_t>(sending.chosen.parallel) * lanes_per_record_at_once);
    void* const lanes = std::calloc(sending.lane_count, sizeof(lane));
    if (lanes == nullptr) {
        std::fprintf(stderr, "cardpost: %s\n", std::strerror(ENOMEM));
        return false;
    }
    sending.lanes = std::unique_ptr<lane, end_lanes>(static_cast<lane*>(lanes), end_lanes{sending.lane_count});
    for (std::size_t i = 0; i < sending.lane_count; ++i) new (&sending[i]) lane();
    addrinfo hints{};
    hints.ai_family = sending.where.family;
    hints.ai_socktype = SOCK_STREAM;
    resolved found = resolve(sending.where.host, sending.where.port, hints);
    if (found.status != 0) {
        std::fprintf(stderr, "getaddrinfo: %s\n", gai_strerror(found.status));
        return false;
    }
    sending.addresses = std::move(found.addresses);
    if (sending.where.tls.enabled) {
        tls_reason why{};
        sending.tls = make_client_tls_context(sending.where.tls, why);
        if (sending.tls == nullptr) {
            std::fprintf(stderr, "cliente: TLS: %s\n", why.data());
            return false;
        }
    }
    if (sending.chosen.resend != nullptr) {
        // Rows of people: readable by this user alone.
        sending.resend.reset(open(sending.chosen.resend, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        if (sending.resend.get() == -1) {
            std::fprintf(stderr, "cardpost: %s: %s\n", sending.chosen.resend, std::strerror(errno));
            return false;
        }
    }
    sending.draws = static_cast<std::uint64_t>(milliseconds_now()) ^ (static_cast<std::uint64_t>(getpid()) << 32U) ^ 1U;
    return true;
}

// The summary on standard error: the counts, the blank lines skipped, and the rows to
// send again.
void summarize(const batch& sending)
{
    const auto count = [&sending](fate end) { return sending.counts[static_cast<std::size_t>(end)]; };
    std::fprintf(stderr, "cardpost: %zu %s: %zu taken, %zu not taken, %zu no verdict, %zu no connection, %zu refused\n",
                 sending.rows, sending.rows == 1 ? "record" : "records", count(fate::taken), count(fate::not_taken),
                 count(fate::no_verdict), count(fate::no_connection), count(fate::refused));
    if (const std::size_t blank = sending.input.blank_lines; blank > 0)
        std::fprintf(stderr, "cardpost: %zu blank %s skipped\n", blank, blank == 1 ? "line" : "lines");
    if (sending.chosen.resend != nullptr) {
        std::fprintf(stderr, "cardpost: %zu %s to send again in %s", sending.resent,
                     sending.resent == 1 ? "row" : "rows", sending.chosen.resend);
        if (count(fate::no_verdict) > 0)
            std::fprintf(stderr, "; not the %zu with no verdict: only a person can tell whether they arrived",
                         count(fate::no_verdict));
        std::fputs("\n", stderr);
    }
}

}  // namespace

int send_roster(const batch_options& chosen, const client_options& where)
{
    batch sending{.chosen = chosen, .where = where, .resend = owned_fd()};
    if (!open_roster(chosen.path, chosen.format, sending.input)) {
        std::fprintf(stderr, "cardpost: %s: %s\n", sending.input.name, std::strerror(errno));
        return EXIT_FAILURE;
    }
    if (!prepare(sending)) return EXIT_FAILURE;
    sending.started = milliseconds_now();
    sending.progress = isatty(STDERR_FILENO) != 0;
    // One more for the roster's input, read as it comes.
    const std::unique_ptr<pollfd, free_memory<pollfd>> waiting(
        static_cast<pollfd*>(std::calloc(sending.lane_count + 1, sizeof(pollfd))));
    if (waiting == nullptr) return EXIT_FAILURE;
    bool resend_header_written = false;

    for (;;) {
        std::int64_t now = milliseconds_now();
        std::int64_t retry_due = 0;
        std::size_t at_server = 0;
        for (std::size_t i = 0; i < sending.lane_count; ++i) at_server += at_the_server(sending[i]) ? 1U : 0U;
        for (std::size_t i = 0; i < sending.lane_count && at_server < static_cast<std::size_t>(sending.chosen.parallel);
             ++i) {
            if (sending[i].at != stage::idle) continue;
            std::size_t row = 0;
            while (sending[i].at == stage::idle && next_row(sending, now, row, retry_due))
                start(sending, sending[i], row, now);
            at_server += at_the_server(sending[i]) ? 1U : 0U;
        }
        if (sending.input_done && sending.finished == sending.rows && sending.retry_count == 0) break;
        // Wait for the lanes, their deadlines, a retry that comes due, the roster's next
        // rows, and the progress.
        std::int64_t until = retry_due;
        for (std::size_t i = 0; i < sending.lane_count; ++i) {
            const lane& on = sending[i];
            waiting.get()[i] = {on.at == stage::idle ? -1 : on.socket.get(), events_of(on), 0};
            if (on.at == stage::idle) continue;
            until = until == 0 ? on.deadline : std::min(until, on.deadline);
            if (on.at == stage::awaiting && on.reader.reset_watch_until != 0)
                until = std::min(until, on.reader.reset_watch_until);
        }
        waiting.get()[sending.lane_count] = {sending.input_done ? -1 : sending.input.fd, POLLIN, 0};
        if (sending.progress) until = until == 0 ? now + progress_every_ms : std::min(until, now + progress_every_ms);
        // The verdicts so far, before waiting: a script reading them through a pipe sees
        // each as soon as its record is done, and a fast roster needs no call a line.
        std::fflush(stdout);
        const int ready = poll(waiting.get(), sending.lane_count + 1, until == 0 ? -1 : milliseconds_until(until));
        if (ready == -1 && errno != EINTR) {
            std::perror("cliente: poll");
            return EXIT_FAILURE;
        }
        if ((waiting.get()[sending.lane_count].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            if (!read_rows(sending)) return EXIT_FAILURE;
            // A CSV roster's rows to send again follow its header, as soon as it is known.
            if (!resend_header_written && sending.resend.get() != -1 && sending.input.header_read)
                resend_header_written = write_all(sending.resend.get(), sending.input.header.view());
        }
        now = milliseconds_now();
        for (std::size_t i = 0; i < sending.lane_count; ++i) {
            lane& on = sending[i];
            if (on.at == stage::idle) continue;
            step(sending, on, waiting.get()[i].revents, now);
            if (on.at != stage::idle && now >= on.deadline) give_up(sending, on);
        }
        show_progress(sending, now, false);
    }
    show_progress(sending, 0, true);
    summarize(sending);
    return worst_status(sending);
}
