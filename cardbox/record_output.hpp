// cardbox's output: the lines it prints for its clients, gathered in a buffer of its
// own and written out, without ever waiting for room, when their clients are to be
// told that their records were taken, so that one write can carry the records of many
// clients. A record is never left cut in the output: writes into a pipe end at a
// record, and a file is cut back to the last whole record after a failed write.
#pragma once

#include "output_channel.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

// What is reported when standard output cannot be written (a file of --output is
// named instead).
constexpr const char* output_failure = "server: standard output";

struct record_output {
    output_channel channel;
    const char* path = nullptr;  // the file of --output, reopened by name; none: standard output
    bool sync = false;           // --sync: records are made durable before their clients are told
    // Lines printed and not yet written out are data[start, end).
    char* data = nullptr;
    std::size_t start = 0;
    std::size_t end = 0;
    std::size_t capacity = 0;
    std::uint64_t written = 0;   // bytes written out since the server started
    std::uint64_t told_up_to = 0;  // where the lines of the last client told end
    // A file's offset where `written` would be 0: what was written is cut back by
    // offset, whatever else the file's end holds.
    std::int64_t file_base = 0;
    bool cut = false;             // the last write ended inside a record (a terminal, a socket)
    bool waits_for_room = false;  // the last write found no room for all it was to write
    bool out_of_memory = false;

    record_output() = default;
    record_output(const record_output&) = delete;
    record_output& operator=(const record_output&) = delete;
    ~record_output();
};

// Opens the output: standard output, or the file (created for the server's user
// alone, appended to). A file is locked, so that no second server writes records into
// it, and a file whose last record was left cut (a full disk, a crash) is cut back to
// its last whole line first. With --sync the output must be a file on a disk. Returns
// the status to end the program with at once (reported), or nothing.
std::optional<int> open_record_output(record_output& out, const char* path, bool sync);

// Opens the file of --output anew by its name, as after a rotation, between two
// writes, and locks it. A failure is reported, and the file the server has is kept.
void reopen_record_output(record_output& out);

// Appends to what is printed: a text, or a number in decimal with at least the digits
// given (zeros before it). If memory runs out, what is printed from then on is lost
// and the next write-out fails with ENOMEM.
void print(record_output& out, std::string_view text);
void print_number(record_output& out, std::int64_t number, int least_digits = 1);

// The position in the output after everything printed so far: where the record just
// printed ends.
std::uint64_t printed_up_to(const record_output& out);

// Takes back what was printed after the position, not yet written out.
void take_back_printed(record_output& out, std::uint64_t position);

// How far a write-out got, and why it stopped: 0 when everything asked for is out,
// EAGAIN when the output has no room now, or the error of a write that failed.
struct write_result {
    std::uint64_t up_to;
    int error;
};

// Writes out the records that end at the positions given (in order), as far as the
// output takes them now, without waiting: into a pipe in writes that each end at a
// record and are all or nothing. Written out means handed to the system, not yet on
// disk.
write_result write_records(record_output& out, std::span<const std::uint64_t> ends);

// Makes what was written out durable (fdatasync). Returns 0 or the error.
int sync_output(const record_output& out);

// After the output failed: cuts a file back to the end of the lines of the last
// client told (told_up_to), so that nothing whose client was not told stays in it.
// Reports a cut that fails, with the range of bytes it leaves. Returns false then.
bool take_back_untold(record_output& out);

// Reports that the output cannot be written (or synced), with the error.
void report_output_failure(const record_output& out, int error);

// Writes out everything printed, waiting for room as long as it takes: what the
// server printed before it serves anyone. Reports a failure and returns false.
bool write_all_printed(record_output& out);
