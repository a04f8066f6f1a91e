// Reading a roster as it comes: what the input holds is gathered in a buffer, and each
// whole row is taken from it in turn, as its format parses it.
#include "roster.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr std::string_view byte_order_mark = "\xEF\xBB\xBF";
constexpr std::size_t read_at_once = 65536;

// The reader's room for a row's decoded fields, made large enough.
char* scratch_for(roster_reader& reader, std::size_t needed)
{
    if (needed > reader.scratch_size) {
        reader.scratch.reset(static_cast<char*>(std::malloc(needed)));
        reader.scratch_size = reader.scratch != nullptr ? needed : 0;
    }
    return reader.scratch.get();
}

}  // namespace

roster_reader::~roster_reader()
{
    if (own_fd && fd != -1) close(fd);
}

bool open_roster(const char* path, roster_format format, roster_reader& reader)
{
    const bool standard_input = std::strcmp(path, "-") == 0;
    reader.name = standard_input ? "standard input" : path;
    reader.format = format;
    reader.fd = standard_input ? STDIN_FILENO : open(path, O_RDONLY | O_CLOEXEC);
    reader.own_fd = !standard_input;
    return reader.fd != -1;
}

int read_roster_input(roster_reader& reader)
{
    // What was taken leaves the front; the buffer grows for a row longer than it.
    if (reader.start > 0) {
        std::memmove(reader.data.get(), reader.data.get() + reader.start, reader.end - reader.start);
        reader.end -= reader.start;
        reader.start = 0;
    }
    if (reader.capacity - reader.end < read_at_once) {
        const std::size_t capacity = reader.capacity + read_at_once;
        void* const grown = std::realloc(reader.data.get(), capacity);
        if (grown == nullptr) return ENOMEM;
        static_cast<void>(reader.data.release());  // realloc has it
        reader.data.reset(static_cast<char*>(grown));
        reader.capacity = capacity;
    }
    for (;;) {
        const ssize_t count = read(reader.fd, reader.data.get() + reader.end, reader.capacity - reader.end);
        if (count == -1 && errno == EINTR) continue;
        if (count == -1) return errno;
        reader.ended = count == 0;
        reader.end += static_cast<std::size_t>(count);
        return 0;
    }
}

roster_take take_row(roster_reader& reader, roster_row& row, std::array<char, 160>& why)
{
    for (;;) {
        std::string_view text(reader.data.get() + reader.start, reader.end - reader.start);
        if (reader.line == 1 && !reader.header_read && text.substr(0, byte_order_mark.size()) == byte_order_mark) {
            reader.start += byte_order_mark.size();
            continue;
        }
        if (reader.format == roster_format::detect) {
            // JSON Lines when the first byte that is not a blank is '{'; nothing at all
            // is a CSV roster without its header.
            const std::size_t first = text.find_first_not_of(" \t\r\n");
            if (first == std::string_view::npos && !reader.ended) return roster_take::more;
            reader.format = first != std::string_view::npos && text[first] == '{' ? roster_format::json
                                                                                   : roster_format::csv;
        }
        const bool csv = reader.format == roster_format::csv;
        // A row ends at its end of line (a CSV one outside quotes), or at the end of input.
        std::size_t length = csv ? csv_record_end(text) : text.find('\n');
        if (length != std::string_view::npos && !csv) ++length;
        if (length == std::string_view::npos) {
            if (!reader.ended) return roster_take::more;
            length = text.size();
        }
        if (length == 0) {
            if (csv && !reader.header_read) {
                std::snprintf(why.data(), why.size(), "no header row naming nombre, apellido and edad");
                return roster_take::no_roster;
            }
            return roster_take::done;
        }
        const std::string_view whole = text.substr(0, length);
        std::string_view content = whole;
        if (!content.empty() && content.back() == '\n') content.remove_suffix(1);
        const std::size_t line = reader.line;
        reader.line += static_cast<std::size_t>(std::count(whole.begin(), whole.end(), '\n'));
        reader.start += length;
        char* const room = scratch_for(reader, 2 * content.size() + 64);
        if (room == nullptr) {
            std::snprintf(why.data(), why.size(), "%s", std::strerror(ENOMEM));
            return roster_take::no_roster;
        }
        if (csv && !reader.header_read) {
            reader.header_read = true;
            reader.header = copy_text(whole);
            if (reader.header.bytes == nullptr) {
                std::snprintf(why.data(), why.size(), "%s", std::strerror(ENOMEM));
                return roster_take::no_roster;
            }
            if (!read_csv_header(content, room, reader.columns, why)) return roster_take::no_roster;
            continue;
        }
        // A blank line is no row.
        if (content.find_first_not_of(" \t\r") == std::string_view::npos) {
            ++reader.blank_lines;
            continue;
        }
        row = roster_row{};
        row.line = line;
        // Rows written back one after another must not run together: the last one of
        // an input that ended without its end of line gets one.
        row.as_it_stood = copy_text(whole, whole.back() == '\n' ? "" : "\n");
        if (row.as_it_stood.bytes == nullptr) {
            std::snprintf(why.data(), why.size(), "%s", std::strerror(ENOMEM));
            return roster_take::no_roster;
        }
        if (csv)
            read_csv_row(content, reader.columns, room, row);
        else
            read_json_row(content.back() == '\r' ? content.substr(0, content.size() - 1) : content, room, row);
        return roster_take::row;
    }
}
