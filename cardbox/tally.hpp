// What the server did with its clients, for the one line it ends with (--summary):
// the records taken, the connections it reset, and the sources they came from. Kept
// where a stop signal can still write the line, as the server ends by it.
#pragma once

#include "connection.hpp"
#include "options.hpp"

#include <cstdint>
#include <sys/socket.h>

// Counts a client accepted, and its source (as its share counts it). Until its client
// is told, a connection counts as reset: at any end, it is.
void tally_accepted(const sockaddr_storage& peer, const source_prefixes& prefixes);

// Counts a client told its fate: a normal close, a whole record taken, or a reset.
void tally_told(const arrival& arrived);

// True for an arrival whose client is told that a whole record was taken: what
// --count counts.
bool takes_record(const arrival& arrived);

// The whole records taken so far.
std::uint64_t records_taken();

// From now on the line is written however the server ends: at its exit, after every
// other report (after open_reports), or by a stop signal (write_tally_at_stop).
void keep_tally();

// Writes the line straight to standard error, for a stop signal: async-signal-safe.
void write_tally_at_stop();
