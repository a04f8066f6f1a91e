// cardbox's reports on standard error while it serves: gathered in a bounded buffer
// and written out without waiting, so that a reader of standard error that stalls (a
// pipe nobody reads, a terminal on hold, the journal) never stalls the server. When
// the buffer is full, a report is dropped and counted, and the count is reported once
// there is room again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string_view>

// The most bytes of reports waiting to be written out.
constexpr std::size_t report_buffer_size = 64 * 1024;

// Starts writing reports to standard error without waiting: the first thing the server
// does. Whatever is left is written out when the program ends, waiting at most a
// second for a reader that is slow.
void open_reports();

// Adds a report as perror writes it: the message, ": " and the system's text for the
// error, then a newline.
void report_failure(std::string_view message, int error);

// Adds a whole line made of the pieces given, its newline added.
void report_line(std::initializer_list<std::string_view> pieces);

// Writes out as much of the reports as standard error takes now.
void write_out_reports();

// True when reports wait for room in standard error, which then is to be watched for
// room (a file always has room).
bool reports_wait_for_room();

// The descriptor the reports are written to.
int reports_fd();

// Writes out the reports before the server ends, waiting at most the time given for a
// reader that is slow.
void write_out_reports_before_end(int timeout_ms);

// Writes the text straight to standard error, ahead of the reports that wait, in one
// try that never waits: for a stop signal's handler (async-signal-safe). A standard
// error with no room loses it rather than hold up the stop.
void write_at_stop(std::string_view text);

// The reports dropped so far for want of room.
std::uint64_t reports_dropped();
