// One client's connection, as both ways of serving gather its record, print it and
// end it.
#pragma once

#include "person_record.hpp"
#include "record_output.hpp"
#include "transport.hpp"

#include <array>
#include <cstddef>
#include <netdb.h>
#include <span>
#include <sys/socket.h>
#include <sys/types.h>

constexpr std::size_t receive_buffer_size = 100;
static_assert(receive_buffer_size > person_record_size);

// What came on a connection. A record may arrive in pieces: it is gathered until a
// record's worth has arrived, the client closes its side, a read fails, or the server
// gives up on it.
// Why the server gave up on a connection before its record came whole.
enum class given_up : unsigned char {
    no,
    late,       // its record was not whole within --timeout
    for_room,   // it made room for a client waiting: --busy-timeout, or its source over its fair share
    for_space,  // the server was full, and its source held the most
};

struct arrival {
    std::array<char, receive_buffer_size> bytes{};  // zero where nothing arrived
    std::size_t received = 0;
    given_up why_given_up = given_up::no;  // reported in counts, not one by one
    bool held_back = false;  // a part of a record that the output had no budget for: not taken
    int error = 0;               // what ended the gathering in failure; 0 for none
    bool ended = false;
    bool may_hold_more = false;  // the last read filled its room: more may wait unread
    unsigned long tls_error = 0; // over TLS, what failed, for OpenSSL's text
};

// Reads what the client has sent into the arrival, without waiting (over TLS, going on
// with the handshake first); a read with nothing to give yet changes nothing, but
// what the connection is next to be watched for (link.wants_write).
void gather(transport& link, arrival& arrived);

// Gives up on a record that has not arrived whole: its connection is reset, and shows
// "Connection timed out".
void give_up(arrival& arrived, given_up why);

// True when the gathering ended without a failure: the client closed its side, or a
// record's worth came. Its connection then closes normally once its lines are out;
// any other is reset.
bool closes_normally(const arrival& arrived);

// The client's numeric address and port, when they can be looked up.
struct peer_name {
    std::array<char, NI_MAXHOST> host{};
    std::array<char, NI_MAXSERV> port{};
    bool known = false;
};

peer_name look_up(const sockaddr_storage& peer);

// Prints what arrived: for people, the line that names the client (unless it was
// printed already), the received-count line and the record; in JSON, the connection's
// one line, the client named in it, with the subject of its verified certificate, if
// any, and no line for a connection that brought no byte. Over TLS, a connection whose
// handshake did not end prints nothing.
void print_arrival(record_output& out, const sockaddr_storage& peer, const arrival& arrived, bool json,
                   const transport& link, bool peer_line_printed);

// Adds the report of a gathering that ended in a way that is reported on standard
// error, after the arrival's lines: nothing came, or a failure ended it; over TLS, a
// handshake that failed, on one line naming the client. A connection given up on or
// held back is counted instead.
void report_arrival(const sockaddr_storage& peer, const arrival& arrived, const transport& link);

// A connection as it is served: gathered, printed, then told its record's fate.
struct served_connection {
    transport link;
    arrival arrived;
};

// Where telling a client that its record was taken stands.
enum class telling {
    over,       // told and closed
    for_room,   // close_notify waits for room to be sent
    lingering,  // its end is sent; closed once the client has acknowledged it
    lost,       // the client had gone: closed, never told
};

// Tells the client that its record was taken, as far as it goes without waiting: over
// TLS, close_notify (called again while it waits for room); then the half-close, so that its end reaches the client before
// anything else can, with the close lingering as given. A close that lingers (l_onoff)
// is left open until the client has acknowledged the end. Reports a linger that cannot
// be set, and goes on.
telling tell_taken(served_connection& c, const linger& on_close);

// Goes on with a close that lingers: discards what the client sends meanwhile, and
// closes once the end is acknowledged. Returns true once closed; client_gone says
// whether the client has closed its side, so that there is nothing more to read.
bool linger_ends(served_connection& c, bool& client_gone);

// Closes a lingering connection at its deadline, without waiting any longer.
void end_lingering(served_connection& c);

// Tells the client that its record was not taken: over TLS, once the handshake is
// over, a refusal inside TLS, then the close; otherwise, or when the refusal finds no
// room, a reset.
void tell_not_taken(served_connection& c);
