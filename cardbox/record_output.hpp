// cardbox's standard output: the lines it prints for its clients, gathered in a buffer
// of its own and written out when a client is to be told that its record was taken,
// so that one write can carry the records of many clients.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

// How a write to standard output is tried without waiting for room.
enum class write_way {
    plain,   // a file: a write never waits for a reader
    socket,  // the journal, say: send without waiting
    nowait,  // a pipe: a write that would wait fails instead, where the system can tell
};

// What is reported when the output cannot be written.
constexpr const char* output_failure = "server: standard output";

struct record_output {
    int fd;
    write_way way;
    sigset_t wait_mask;  // the signals unblocked while it waits for room: the server's own
    // Lines printed and not yet written out are data[start, end).
    char* data = nullptr;
    std::size_t start = 0;
    std::size_t end = 0;
    std::size_t capacity = 0;
    std::uint64_t written = 0;  // bytes written out since the server started
    bool out_of_memory = false;

    explicit record_output(int descriptor);
    record_output(const record_output&) = delete;
    record_output& operator=(const record_output&) = delete;
    ~record_output();
};

// Appends to what is printed: a text, or a number in decimal with at least the digits
// given (zeros before it). If memory runs out, what is printed from then on is lost
// and the next write-out fails with ENOMEM.
void print(record_output& out, std::string_view text);
void print_number(record_output& out, std::int64_t number, int least_digits = 1);

// The position in the output after everything printed so far.
std::uint64_t printed_up_to(const record_output& out);

// Writes out what was printed, until the output's position `until`. If asked to wait,
// it waits for room as long as needed, with the server's own signal mask (so that a
// stop held back meanwhile still ends the server while it waits); if not, it returns
// EAGAIN instead of waiting. Returns 0 once written out, or the error of the write
// that failed.
int write_printed(record_output& out, std::uint64_t until, bool wait);

// Writes out everything printed, waiting as long as it takes. Reports a failure and
// returns false: no further client may be told that its record was taken.
bool write_all_printed(record_output& out);

// Makes what was written out durable (fdatasync). Returns 0 or the error.
int sync_output(record_output& out);

// With --sync: standard output must be something that can be made durable, a file.
// Returns the status to end with at once when it cannot (reported), or nothing.
std::optional<int> refuse_unsyncable(record_output& out);

// The signals whose default action ends the server, held back while one or more
// clients are told that their records were taken, so that a stop lands before the
// record is written out (its client is reset) or after its client was told (closed
// normally), never in between. A signal that comes meanwhile takes effect when the
// hold ends. Faults and the broken-pipe signal are not held.
struct stop_signals_held {
    sigset_t previous;
    stop_signals_held();
    stop_signals_held(const stop_signals_held&) = delete;
    stop_signals_held& operator=(const stop_signals_held&) = delete;
    ~stop_signals_held();
};
