#include "connection.hpp"

#include "json_lines.hpp"
#include "reports.hpp"
#include "text_lines.hpp"
#include "tls_result.hpp"

#include <array>
#include <cerrno>
#include <cstring>

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
    const tls_outcome failed{tls_result::failed, arrived.error, arrived.tls_error};
    report_line({"cardbox: ", name.known ? name.host.data() : "?", ":", name.known ? name.port.data() : "?",
                 ": TLS handshake failed: ", tls_failure_text(failed, "the client ended the connection")});
}

}  // namespace

void gather(transport& link, arrival& arrived)
{
    const std::span<char> into = std::span(arrived.bytes).subspan(arrived.received);
    const ssize_t count = read_some(link, into, arrived.tls_error);
    take_read(arrived, count, errno);
}

void give_up(arrival& arrived, given_up why)
{
    arrived.error = ETIMEDOUT;
    arrived.ended = true;
    arrived.why_given_up = why;
}

bool closes_normally(const arrival& arrived) { return arrived.error == 0 && !arrived.held_back; }

peer_name look_up(const sockaddr_storage& peer)
{
    peer_name name;
    name.known = getnameinfo(reinterpret_cast<const sockaddr*>(&peer), sizeof peer,
                             name.host.data(), name.host.size(), name.port.data(),
                             name.port.size(), NI_NUMERICHOST | NI_NUMERICSERV) == 0;
    return name;
}

void print_arrival(record_output& out, const sockaddr_storage& peer, const arrival& arrived, bool json,
                   const transport& link, bool peer_line_printed)
{
    // A handshake that failed prints nothing: it is reported.
    if (!handshake_done(link)) return;
    // The file of JSON lines holds records: a connection empty however it ended has
    // no line (it is counted).
    if (json && arrived.received == 0) return;
    const std::span<const char, person_record_size> bytes = std::span(arrived.bytes).first<person_record_size>();
    if (!json) {
        if (!peer_line_printed) {
            const peer_name name = look_up(peer);
            if (name.known) print_peer_line(out, name.host.data(), name.port.data());
        }
        print_text_record(out, shown_count(arrived), arrived.received > 0 ? &bytes : nullptr);
        return;
    }
    const peer_name name = look_up(peer);
    const char* error = nullptr;
    if (arrived.error != 0)
        error = std::strerror(arrived.error);
    else if (arrived.received == 0)
        error = closed_by_peer;
    else if (arrived.received < person_record_size)
        error = incomplete_record;
    const person_fields person = read_person_record(bytes);
    const subject_text subject = peer_subject(link);
    print_json_line(out, {name.known ? name.host.data() : nullptr, name.known ? name.port.data() : nullptr,
                          subject.text, shown_count(arrived), arrived.received > 0 ? &person : nullptr, error});
}

void report_arrival(const sockaddr_storage& peer, const arrival& arrived, const transport& link)
{
    if (arrived.why_given_up != given_up::no || arrived.held_back) return;
    // A time-out or a reset in the handshake is a handshake that failed too.
    if (!handshake_done(link)) {
        report_handshake(look_up(peer), arrived);
        return;
    }
    const bool has_report = arrived.received == 0 || arrived.error != 0;
    if (!has_report) return;
    // A close is no failure: its report carries the system's text for no error.
    report_failure(arrived.error == 0 ? "Socket cerrado\n" : "Error en funcion read()\n", arrived.error);
}

telling tell_taken(served_connection& c, const linger& on_close)
{
    const int error = send_close_notify(c.link);
    if (error == EAGAIN) return telling::for_room;
    if (error != 0) {
        // The client has gone: there is no one to tell.
        close_connection(c.link);
        return telling::lost;
    }
    // The client's verdict first: the linger it is closed with changes nothing for it.
    half_close(c.link);
    if (const int failure = set_linger(c.link, on_close); failure != 0)
        report_failure("setsockopt(...,SO_LINGER,...)", failure);
    // Bytes left unread would turn the close into a reset.
    if (c.arrived.may_hold_more) discard_unread(c.link);
    if (on_close.l_onoff != 0 && !acknowledged(c.link)) return telling::lingering;
    close_connection(c.link);
    return telling::over;
}

bool linger_ends(served_connection& c, bool& client_gone)
{
    // Bytes left unread would turn the close into a reset.
    client_gone = !discard_unread(c.link);
    if (!acknowledged(c.link)) return false;
    close_connection(c.link);
    return true;
}

void end_lingering(served_connection& c)
{
    // The kernel goes on with the end alone; the close itself must not wait.
    const linger in_the_background{0, 0};
    set_linger(c.link, in_the_background);
    close_connection(c.link);
}

void tell_not_taken(served_connection& c)
{
    if (!send_refusal(c.link)) {
        reset_connection(c.link);
        return;
    }
    // The refusal is the verdict: the end after it is a plain one, so that it is not
    // lost to a reset.
    half_close(c.link);
    end_lingering(c);
}
