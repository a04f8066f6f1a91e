// Fuzzes the roster reader with any bytes, read in pieces as from a pipe. Beyond "no
// crash": the rows that may be sent again, written back as --resend writes them (a CSV
// header first, the rows in another order than read), read again as the same records,
// one for one.
#include "roster.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

void require(bool condition)
{
    if (!condition) std::abort();
}

struct read_roster {
    bool is_roster = false;
    bool csv = false;
    std::string header;
    std::vector<std::string> sent_rows;                  // the rows not refused, as they stood
    std::vector<std::array<char, person_record_size>> records;  // ... and their records
};

// Reads the roster through a pipe that is written `piece` bytes at a time.
read_roster read_all(std::string_view input, std::size_t piece)
{
    read_roster found;
    std::array<int, 2> ends{};
    require(pipe(ends.data()) == 0);
    roster_reader reader;
    reader.name = "roster";
    reader.fd = ends[0];
    reader.own_fd = true;
    for (;;) {
        const std::size_t count = std::min(piece, input.size());
        if (count > 0) require(write(ends[1], input.data(), count) == static_cast<ssize_t>(count));
        input.remove_prefix(count);
        if (input.empty() && ends[1] != -1) {
            close(ends[1]);
            ends[1] = -1;
        }
        require(read_roster_input(reader) == 0);
        for (;;) {
            roster_row row;
            std::array<char, 160> why{};
            const roster_take taken = take_row(reader, row, why);
            if (taken == roster_take::more) break;
            if (taken == roster_take::no_roster) {
                if (ends[1] != -1) close(ends[1]);
                return found;
            }
            if (taken == roster_take::done) {
                found.is_roster = true;
                found.csv = reader.format == roster_format::csv;
                found.header = std::string(reader.header.view());
                return found;
            }
            require(row.as_it_stood.size > 0 && row.as_it_stood.view().back() == '\n');
            require(row.line >= 1 && row.line <= reader.line);
            if (row.refused[0] != '\0') continue;
            found.sent_rows.emplace_back(row.as_it_stood.view());
            const std::span<const char, person_record_size> bytes = person_record_bytes(row.record);
            found.records.emplace_back();
            std::copy(bytes.begin(), bytes.end(), found.records.back().begin());
        }
    }
}

}  // namespace

// The first byte says how many bytes the pipe is written at a time; the rest is the
// roster.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) return 0;
    const std::size_t piece = 1 + data[0] % 64U;
    const read_roster first = read_all({reinterpret_cast<const char*>(data + 1), size - 1}, piece);
    if (!first.is_roster || first.sent_rows.empty()) return 0;
    // Back as --resend writes them: the header, then the rows in the order their
    // verdicts came, here the reverse of the order read.
    std::string again = first.csv ? first.header : std::string();
    for (auto row = first.sent_rows.rbegin(); row != first.sent_rows.rend(); ++row) again += *row;
    const read_roster second = read_all(again, piece);
    require(second.is_roster && second.csv == first.csv);
    std::vector<std::array<char, person_record_size>> expected(first.records.rbegin(), first.records.rend());
    require(second.records == expected);
    return 0;
}
