// One client's connection, as both ways of serving gather, print and end it.
#pragma once

#include "owned_fd.hpp"
#include "person_record.hpp"
#include "record_output.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <netdb.h>
#include <span>
#include <sys/socket.h>
#include <sys/types.h>

constexpr std::size_t receive_buffer_size = 100;
static_assert(receive_buffer_size > person_record_size);

// True for the accept failures that belong to one connection (the peer gave up, or
// the network reported an error pending on it): the next connection may do well.
bool accept_failure_is_transient(int error);

// What came on a connection. A record may arrive in pieces: it is gathered until a
// record's worth has arrived, the client closes its side, a read fails, or the
// time-out gives up on it.
struct arrival {
    std::array<char, receive_buffer_size> bytes{};  // zero where nothing arrived
    std::size_t received = 0;
    int error = 0;               // what ended the gathering in failure; 0 for none
    bool ended = false;
    bool may_hold_more = false;  // the last read filled its room: more may wait unread
};

// Where the next read goes.
std::span<char> room(arrival& arrived);

// Takes in what a read of the room returned (its count, and errno when it failed). A
// read interrupted or with nothing to give yet changes nothing.
void take_read(arrival& arrived, ssize_t count, int read_error);

// Gives up on a record that has not arrived whole in time.
void give_up(arrival& arrived);

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

// Prints the line that names the client, for people.
void print_peer_line(record_output& out, const peer_name& name);

// Prints what arrived: for people, the received-count line and the record; in JSON,
// the connection's one line, the client named in it.
void print_arrival(record_output& out, const peer_name& name, const arrival& arrived, bool json);

// True when the gathering ended in a way that is reported on standard error after the
// arrival's lines: nothing came, or a failure ended it.
bool has_report(const arrival& arrived);
void report(const arrival& arrived);

// Tells the client that its record was taken, once its lines are out: half-closes the
// connection, so that the end of the connection reaches the client before anything
// else can, and sets how the close is to linger. Then the connection is to be closed
// with finish_taken.
void tell_taken(const owned_fd& connection, const linger& on_close);

// Discards what the client sent after its record, if anything may be waiting, so that
// unread bytes do not turn the close into a reset; then closes the connection.
void finish_taken(owned_fd& connection, const arrival& arrived);

// Resets the connection: its client learns that its record was not taken.
void reset_connection(owned_fd& connection);
