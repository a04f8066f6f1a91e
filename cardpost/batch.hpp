// cardpost --batch: every row of a roster sent as a record on a connection of its own,
// as soon as it is read, up to --parallel at once, each waiting for its verdict as
// --confirm does; those not taken, or not connected, tried again after a pause drawn
// below a bound that doubles from a tenth of a second; a record with no verdict, which
// may have been taken, never, nor one whose server no try can mend. One verdict line
// per row goes to standard output (JSON Lines) as it is known, a summary to standard
// error, and with --resend the rows that may safely be sent again to a file, as they
// stood.
#pragma once

#include "client_options.hpp"
#include "roster.hpp"

struct batch_options {
    const char* path;  // "-" for standard input
    roster_format format;
    int parallel;
    int retries;
    int wait_seconds;  // for each record's whole exchange, connect included
    const char* resend = nullptr;  // where the rows to send again go; none: nowhere
};

// The exit status of a roster with rows refused (EX_DATAERR in sysexits.h).
constexpr int exit_refused = 65;

// Sends the roster to the server. Returns the exit status that tells the worst fate:
// 0 when every record was taken; 3 when one got no verdict; else 65 when a row was
// refused; else 1 when one was not taken; else 2 when one found no connection. 1 also
// when the roster cannot be read or the host resolved, nothing sent.
int send_roster(const batch_options& chosen, const client_options& where);
