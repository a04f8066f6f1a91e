#include "reports.hpp"

#include "deadline.hpp"
#include "output_channel.hpp"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <unistd.h>

namespace {

// Standard error is one for the whole process, and so are its reports: like stderr
// itself, they are kept here rather than passed to every routine that may report.
struct report_buffer {
    output_channel channel;
    std::array<char, report_buffer_size> bytes{};
    std::size_t start = 0;
    std::size_t end = 0;
    std::uint64_t dropped = 0;        // since the server started
    std::uint64_t dropped_unsaid = 0;  // not yet reported
};

report_buffer reports;

// How long the last reports may wait for a slow reader when the server ends.
constexpr int last_reports_wait_ms = 1000;

// Adds the pieces and the ending as one report if they fit whole; otherwise drops it
// and counts it.
void add(std::initializer_list<std::string_view> pieces, std::string_view ending)
{
    const std::size_t size = std::accumulate(pieces.begin(), pieces.end(), ending.size(),
                                             [](std::size_t sum, std::string_view piece) { return sum + piece.size(); });
    if (reports.start > 0 && reports.bytes.size() - reports.end < size) {
        std::memmove(reports.bytes.data(), reports.bytes.data() + reports.start, reports.end - reports.start);
        reports.end -= reports.start;
        reports.start = 0;
    }
    if (reports.bytes.size() - reports.end < size) {
        ++reports.dropped;
        ++reports.dropped_unsaid;
        return;
    }
    for (const std::string_view piece : pieces) {
        std::memcpy(reports.bytes.data() + reports.end, piece.data(), piece.size());
        reports.end += piece.size();
    }
    std::memcpy(reports.bytes.data() + reports.end, ending.data(), ending.size());
    reports.end += ending.size();
}

// Writes as much as standard error takes now; returns 0, EAGAIN, or the error.
int write_some()
{
    const written_part written = write_what_fits(reports.channel, {reports.bytes.data() + reports.start,
                                                                   reports.end - reports.start});
    reports.start += written.count;
    if (written.error != 0) return written.error;
    reports.start = reports.end = 0;
    // Room has come back: the reports lost meanwhile are counted in one more.
    if (reports.dropped_unsaid > 0) {
        std::array<char, 128> line{};
        const int length = std::snprintf(line.data(), line.size(),
                                         "cardbox: %llu reports dropped: standard error was not read\n",
                                         static_cast<unsigned long long>(reports.dropped_unsaid));
        reports.dropped_unsaid = 0;
        add({std::string_view(line.data(), static_cast<std::size_t>(length))}, "");
        return write_some();
    }
    return 0;
}

}  // namespace

void open_reports()
{
    reports.channel = open_channel(STDERR_FILENO);
    // However the server ends but by a signal, what it had to say is written out.
    std::atexit([] { write_out_reports_before_end(last_reports_wait_ms); });
}

void report_failure(std::string_view message, int error) { add({message, ": ", std::strerror(error)}, "\n"); }

void report_line(std::initializer_list<std::string_view> pieces) { add(pieces, "\n"); }

// A standard error that cannot be written has no one to tell.
void write_out_reports() { write_some(); }

bool reports_wait_for_room()
{
    const bool waiting = reports.start < reports.end || reports.dropped_unsaid > 0;
    return waiting && reports.channel.kind != channel_kind::file;
}

int reports_fd() { return reports.channel.fd; }

void write_out_reports_before_end(int timeout_ms)
{
    const std::int64_t deadline = milliseconds_now() + timeout_ms;
    for (;;) {
        const int error = write_some();
        if (error != EAGAIN) return;
        const int left = timeout_ms < 0 ? -1 : milliseconds_until(deadline);
        if (left == 0 || wait_for_room(reports.channel, left) != 0) return;
    }
}

void write_at_stop(std::string_view text)
{
    const int error = errno;
    try_write(reports.channel, text);
    errno = error;
}

std::uint64_t reports_dropped() { return reports.dropped; }
