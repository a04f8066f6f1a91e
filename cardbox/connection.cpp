#include "connection.hpp"

#include "json_lines.hpp"
#include "visible_text.hpp"

#include <cerrno>
#include <climits>
#include <cstdio>
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

// Prints a text from the network with its control characters shown escaped.
void print_visible(record_output& out, std::string_view text)
{
    visible_escape escape{};
    while (!text.empty()) print(out, take_visible_piece(text, escape));
}

void print_text_record(record_output& out, const arrival& arrived)
{
    print(out, "\nSe recibieron ");
    print_number(out, shown_count(arrived));
    print(out, " bytes\n");
    if (arrived.received == 0) return;
    const person_fields person = read_person_record(std::span(arrived.bytes).first<person_record_size>());
    print(out, "\nNombre: ");
    print_visible(out, person.nombre);
    print(out, "\nApellido: ");
    print_visible(out, person.apellido);
    print(out, "\n Edad:");
    print_number(out, person.edad);
    print(out, "\n");
}

}  // namespace

bool accept_failure_is_transient(int error)
{
    switch (error) {
    case ECONNABORTED: case EPROTO: case EINTR:
    case ENETDOWN: case ENOPROTOOPT: case EHOSTDOWN: case ENONET:
    case EHOSTUNREACH: case EOPNOTSUPP: case ENETUNREACH:
        return true;
    default:
        return false;
    }
}

std::span<char> room(arrival& arrived) { return std::span(arrived.bytes).subspan(arrived.received); }

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

void print_peer_line(record_output& out, const peer_name& name)
{
    if (!name.known) return;
    print(out, "cliente conectado desde ");
    print(out, name.host.data());
    print(out, ":");
    print(out, name.port.data());
    print(out, "\n");
}

void print_arrival(record_output& out, const peer_name& name, const arrival& arrived, bool json)
{
    if (!json) {
        print_text_record(out, arrived);
        return;
    }
    const char* error = nullptr;
    if (arrived.error != 0)
        error = std::strerror(arrived.error);
    else if (arrived.received == 0)
        error = closed_by_peer;
    else if (arrived.received < person_record_size)
        error = incomplete_record;
    const person_fields person = read_person_record(std::span(arrived.bytes).first<person_record_size>());
    print_json_line(out, {name.known ? name.host.data() : nullptr, name.known ? name.port.data() : nullptr,
                          shown_count(arrived), arrived.received > 0 ? &person : nullptr, error});
}

bool has_report(const arrival& arrived) { return arrived.received == 0 || arrived.error != 0; }

void report(const arrival& arrived)
{
    // A close is no failure: its report carries the system's text for no error.
    errno = arrived.error;
    std::perror(arrived.error == 0 ? "Socket cerrado\n" : "Error en funcion read()\n");
}

void tell_taken(const owned_fd& connection, const linger& on_close)
{
    shutdown(connection.get(), SHUT_WR);
    if (setsockopt(connection.get(), SOL_SOCKET, SO_LINGER, &on_close, sizeof on_close) == -1)
        std::perror("setsockopt(...,SO_LINGER,...)");
}

void finish_taken(owned_fd& connection, const arrival& arrived)
{
    // MSG_TRUNC discards what is waiting without copying it anywhere.
    if (arrived.may_hold_more) recv(connection.get(), nullptr, INT_MAX, MSG_DONTWAIT | MSG_TRUNC);
    connection.reset();
}

void reset_connection(owned_fd& connection)
{
    const linger reset_on_close{1, 0};
    setsockopt(connection.get(), SOL_SOCKET, SO_LINGER, &reset_on_close, sizeof reset_on_close);
    connection.reset();
}
