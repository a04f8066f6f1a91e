#include "connection.hpp"

#include "json_lines.hpp"
#include "reports.hpp"
#include "signals.hpp"
#include "tally.hpp"
#include "text_lines.hpp"

#include <array>
#include <cerrno>
#include <cstring>
#include <openssl/err.h>

namespace {

// What a record that did not arrive whole shows as its error in JSON.
constexpr const char* incomplete_record = "Incomplete record";
constexpr const char* closed_by_peer = "Connection closed by peer";

// What the received-count line shows: the bytes gathered; when none, 0 for a close and
// -1 for a failure.
ssize_t shown_count(const arrival& arrived)
{
    if (arrived.received > 0) return static_cast<ssize_t>(arrived.received);
    return arrived.error != 0 ? -1 : 0;
}

void take_read(arrival& arrived, ssize_t count, int read_error)
{
    if (count > 0) {
        arrived.may_hold_more = static_cast<std::size_t>(count) == arrived.bytes.size() - arrived.received;
        arrived.received += static_cast<std::size_t>(count);
        arrived.ended = arrived.received >= person_record_size;
    } else if (count == 0) {
        arrived.ended = true;
    } else if (read_error != EINTR && read_error != EAGAIN && read_error != EWOULDBLOCK) {
        arrived.error = read_error;
        arrived.ended = true;
    }
}

// Reports a TLS handshake that failed, on one line, naming the client.
void report_handshake(const peer_name& name, const arrival& arrived)
{
    const char* const reason = arrived.tls_error != 0 ? ERR_reason_error_string(arrived.tls_error) : nullptr;
    const char* const why = reason != nullptr       ? reason
                            : arrived.error != 0 ? std::strerror(arrived.error)
                                                 : "the client ended the connection";
    report_line({"cardbox: ", name.known ? name.host.data() : "?", ":", name.known ? name.port.data() : "?",
                 ": TLS handshake failed: ", why});
}

}  // namespace

void gather(transport& link, arrival& arrived)
{
    const std::span<char> into = std::span(arrived.bytes).subspan(arrived.received);
    const ssize_t count = read_some(link, into, arrived.tls_error);
    take_read(arrived, count, errno);
}

void give_up(arrival& arrived)
{
    arrived.error = ETIMEDOUT;
    arrived.ended = true;
}

bool closes_normally(const arrival& arrived) { return arrived.error == 0; }

peer_name look_up(const sockaddr_storage& peer)
{
    peer_name name;
    name.known = getnameinfo(reinterpret_cast<const sockaddr*>(&peer), sizeof peer,
                             name.host.data(), name.host.size(), name.port.data(),
                             name.port.size(), NI_NUMERICHOST | NI_NUMERICSERV) == 0;
    return name;
}

void print_arrival(record_output& out, const peer_name& name, const arrival& arrived, bool json,
                   const transport& link, bool peer_line_printed)
{
    // A time-out or a reset in the handshake is a handshake that failed too.
    if (!handshake_done(link)) {
        report_handshake(name, arrived);
        return;
    }
    const std::span<const char, person_record_size> bytes = std::span(arrived.bytes).first<person_record_size>();
    if (!json) {
        if (!peer_line_printed && name.known) print_peer_line(out, name.host.data(), name.port.data());
        print_text_record(out, shown_count(arrived), arrived.received > 0 ? &bytes : nullptr);
        return;
    }
    const char* error = nullptr;
    if (arrived.error != 0)
        error = std::strerror(arrived.error);
    else if (arrived.received == 0)
        error = closed_by_peer;
    else if (arrived.received < person_record_size)
        error = incomplete_record;
    const person_fields person = read_person_record(bytes);
    std::array<char, 1024> subject_room{};
    print_json_line(out, {name.known ? name.host.data() : nullptr, name.known ? name.port.data() : nullptr,
                          peer_subject(link, subject_room), shown_count(arrived),
                          arrived.received > 0 ? &person : nullptr, error});
}

void report_arrival(const arrival& arrived, const transport& link)
{
    const bool has_report = arrived.received == 0 || arrived.error != 0;
    if (!has_report || !handshake_done(link)) return;
    // A close is no failure: its report carries the system's text for no error.
    report_failure(arrived.error == 0 ? "Socket cerrado\n" : "Error en funcion read()\n", arrived.error);
}

told write_out_and_tell(record_output& out, std::span<served_connection* const> done,
                        std::span<const std::uint64_t> ends, const linger& on_close)
{
    if (done.empty()) return {0, 0, 0};
    const stop_signals_held held;
    const std::uint64_t from = out.written;
    const write_result written = write_records(out, ends);
    int failure = written.error == EAGAIN ? 0 : written.error;
    std::uint64_t told_up_to = written.up_to;
    bool any_taken = false;
    for (std::size_t i = 0; i < done.size() && ends[i] <= told_up_to; ++i)
        any_taken = any_taken || closes_normally(done[i]->arrived);
    if (out.sync && any_taken) {
        // Nobody is told before the records are on disk; if they cannot be, none of
        // them stays in the file.
        if (const int error = sync_output(out); error != 0) {
            failure = error;
            told_up_to = from;
            take_back_written(out, from);
        }
    }
    told result{0, 0, failure};
    for (; result.count < done.size() && ends[result.count] <= told_up_to; ++result.count) {
        served_connection& c = *done[result.count];
        report_arrival(c.arrived, c.link);
        tally_told(c.arrived);
        if (closes_normally(c.arrived)) {
            tell_taken(c.link, on_close);
            close_taken(c.link, c.arrived.may_hold_more);
            ++result.taken;
        } else {
            reset_connection(c.link);
        }
    }
    return result;
}
