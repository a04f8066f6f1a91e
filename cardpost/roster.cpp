#include "roster.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <numeric>
#include <string_view>
#include <unistd.h>

void free_rows::operator()(roster_row* rows) const { std::free(rows); }

namespace {

constexpr std::string_view byte_order_mark = "\xEF\xBB\xBF";
constexpr std::size_t most_columns = 256;
constexpr int deepest_json = 32;

struct free_bytes {
    void operator()(char* bytes) const { std::free(bytes); }
};
using owned_bytes = std::unique_ptr<char, free_bytes>;

// Reads the whole file, or standard input for "-". Returns false (errno says why).
bool read_whole(const char* path, owned_bytes& text, std::size_t& size)
{
    const bool standard_input = std::strcmp(path, "-") == 0;
    const int fd = standard_input ? STDIN_FILENO : open(path, O_RDONLY | O_CLOEXEC);
    if (fd == -1) return false;
    std::size_t capacity = 0;
    size = 0;
    for (;;) {
        if (size == capacity) {
            capacity = capacity == 0 ? 65536 : capacity * 2;
            void* const grown = std::realloc(text.get(), capacity);
            if (grown == nullptr) break;
            static_cast<void>(text.release());  // realloc has it
            text.reset(static_cast<char*>(grown));
        }
        const ssize_t count = read(fd, text.get() + size, capacity - size);
        if (count == -1 && errno == EINTR) continue;
        if (count <= 0) {
            const int error = errno;
            if (!standard_input) close(fd);
            errno = error;
            return count == 0;
        }
        size += static_cast<std::size_t>(count);
    }
    if (!standard_input) close(fd);
    errno = ENOMEM;
    return false;
}

// The rows read so far, grown as they come.
struct row_list {
    roster& into;
    std::size_t capacity = 0;

    // A new row, zeroed, starting at the line given; null when memory runs out.
    roster_row* add(std::size_t line)
    {
        if (into.count == capacity) {
            capacity = capacity == 0 ? 256 : capacity * 2;
            void* const grown = std::realloc(into.rows.get(), capacity * sizeof(roster_row));
            if (grown == nullptr) return nullptr;
            static_cast<void>(into.rows.release());  // realloc has it
            into.rows.reset(static_cast<roster_row*>(grown));
        }
        roster_row& row = into.rows.get()[into.count++];
        row = roster_row{line, person_record{}, refusal{}};
        return &row;
    }
};

// printf's way, so that the compiler checks every reason's format.
__attribute__((format(printf, 2, 3))) bool refuse(  // NOLINT(cert-dcl50-cpp)
refusal& why, const char* format, ...)
{
    if (why[0] != '\0') return false;  // the first reason stands
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(why.data(), why.size(), format, arguments);
    va_end(arguments);
    return false;
}

// Puts the bytes into the field, as they are to be sent; refuses what the field cannot
// hold as it stands.
bool fill_text(refusal& why, std::span<char, person_text_size> field, const char* name, std::string_view bytes)
{
    if (bytes.size() > person_text_max_length)
        return refuse(why, "%s is %zu bytes, more than the %zu a record holds", name, bytes.size(),
                      person_text_max_length);
    if (bytes.find('\0') != std::string_view::npos) return refuse(why, "%s holds a zero byte", name);
    std::copy(bytes.begin(), bytes.end(), field.begin());
    return true;
}

}  // namespace

bool fill_typed_answer(refusal& why, std::span<char, person_text_size> field, const char* name, std::string_view answer)
{
    if (answer.find_first_of("\r\n") != std::string_view::npos)
        return refuse(why, "%s holds a line break, which no typed answer does", name);
    if (answer.size() + 1 > person_text_max_length)
        return refuse(why, "%s is %zu bytes with its newline, more than the %zu a record holds", name,
                      answer.size() + 1, person_text_max_length);
    std::array<char, person_text_size> typed{};
    std::copy(answer.begin(), answer.end(), typed.begin());
    typed[answer.size()] = '\n';
    return fill_text(why, field, name, std::string_view(typed.data(), answer.size() + 1));
}

bool fill_whole_age(refusal& why, person_record& record, std::string_view digits)
{
    const bool digits_only = !digits.empty() && digits.size() <= 5 &&
                             std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
    const std::uint32_t age = std::accumulate(digits.begin(), digits.end(), std::uint32_t{0}, [](std::uint32_t sum, char digit) {
        return sum * 10 + static_cast<std::uint32_t>(digit - '0');
    });
    if (!digits_only || age > 65535)
        return refuse(why, "the age is not a whole number from 0 to 65535: \"%.*s\"",
                      static_cast<int>(std::min<std::size_t>(digits.size(), 16)), digits.data());
    fill_person_age(record, age);
    return true;
}

namespace {

// ---- CSV, RFC 4180 ----

struct csv_field {
    std::size_t start;  // in the scratch
    std::size_t length;
};

struct csv_cursor {
    std::string_view text;
    std::size_t at = 0;
    std::size_t line = 1;
};

enum class csv_read { record, end, bad };

// Reads one record's fields, unescaped into the scratch. On a record that cannot be
// parsed, says why and skips to the end of its line.
csv_read read_csv_record(csv_cursor& cursor, std::array<csv_field, most_columns>& fields, std::size_t& count,
                         char* scratch, const char*& problem)
{
    const std::string_view text = cursor.text;
    if (cursor.at >= text.size()) return csv_read::end;
    std::size_t used = 0;
    count = 0;
    const auto skip_line = [&cursor, text] {
        while (cursor.at < text.size() && text[cursor.at] != '\n') ++cursor.at;
        if (cursor.at < text.size()) {
            ++cursor.at;
            ++cursor.line;
        }
        return csv_read::bad;
    };
    for (;;) {
        if (count == fields.size()) {
            problem = "more than 256 columns";
            return skip_line();
        }
        csv_field& field = fields[count++];
        field.start = used;
        if (cursor.at < text.size() && text[cursor.at] == '"') {
            ++cursor.at;
            for (;;) {
                if (cursor.at >= text.size()) {
                    problem = "a quoted field is not closed";
                    return csv_read::bad;
                }
                const char c = text[cursor.at++];
                if (c == '"' && cursor.at < text.size() && text[cursor.at] == '"') {
                    scratch[used++] = '"';
                    ++cursor.at;
                } else if (c == '"') {
                    break;
                } else {
                    cursor.line += c == '\n' ? 1 : 0;
                    scratch[used++] = c;
                }
            }
        } else {
            while (cursor.at < text.size() && text[cursor.at] != ',' && text[cursor.at] != '\n') {
                if (text[cursor.at] == '"') {
                    problem = "a quote inside a field that is not quoted";
                    return skip_line();
                }
                scratch[used++] = text[cursor.at++];
            }
            // A line's CR before its LF is no part of the field.
            if (used > field.start && scratch[used - 1] == '\r' && (cursor.at == text.size() || text[cursor.at] == '\n'))
                --used;
        }
        field.length = used - field.start;
        if (cursor.at >= text.size()) return csv_read::record;
        if (text[cursor.at] == '\r' && cursor.at + 1 < text.size() && text[cursor.at + 1] == '\n') ++cursor.at;
        if (text[cursor.at] == ',') {
            ++cursor.at;
            continue;
        }
        if (text[cursor.at] == '\n') {
            ++cursor.at;
            ++cursor.line;
            return csv_read::record;
        }
        problem = "text after a closing quote";
        return skip_line();
    }
}

std::string_view trimmed(std::string_view name)
{
    while (!name.empty() && (name.front() == ' ' || name.front() == '\t')) name.remove_prefix(1);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
    return name;
}

bool read_csv(const char* path, std::string_view text, char* scratch, row_list& rows)
{
    csv_cursor cursor{text};
    std::array<csv_field, most_columns> fields{};
    std::size_t count = 0;
    const char* problem = nullptr;
    if (read_csv_record(cursor, fields, count, scratch, problem) != csv_read::record) {
        std::fprintf(stderr, "cardpost: %s: no header row naming nombre, apellido and edad\n", path);
        return false;
    }
    constexpr std::array<const char*, 3> names{"nombre", "apellido", "edad"};
    std::array<std::size_t, 3> column{most_columns, most_columns, most_columns};
    for (std::size_t i = 0; i < count; ++i)
        for (std::size_t name = 0; name < names.size(); ++name)
            if (trimmed({scratch + fields[i].start, fields[i].length}) == names[name]) column[name] = i;
    for (std::size_t name = 0; name < names.size(); ++name) {
        if (column[name] == most_columns) {
            std::fprintf(stderr, "cardpost: %s: the header row names no column %s\n", path, names[name]);
            return false;
        }
    }
    for (;;) {
        const std::size_t line = cursor.line;
        const csv_read read = read_csv_record(cursor, fields, count, scratch, problem);
        if (read == csv_read::end) return true;
        // A blank line is no row.
        if (read == csv_read::record && count == 1 && fields[0].length == 0) continue;
        roster_row* const row = rows.add(line);
        if (row == nullptr) {
            std::fprintf(stderr, "cardpost: %s: %s\n", path, std::strerror(ENOMEM));
            return false;
        }
        if (read == csv_read::bad) {
            refuse(row->refused, "the row cannot be parsed: %s", problem);
            continue;
        }
        const auto value = [&](std::size_t name) {
            return std::string_view(scratch + fields[column[name]].start, fields[column[name]].length);
        };
        for (std::size_t name = 0; name < names.size(); ++name)
            if (column[name] >= count) refuse(row->refused, "a field is missing: %s", names[name]);
        if (row->refused[0] != '\0') continue;
        // A field is sent as a typed answer would be: its text, then a newline.
        fill_typed_answer(row->refused, row->record.nombre, names[0], value(0));
        fill_typed_answer(row->refused, row->record.apellido, names[1], value(1));
        fill_whole_age(row->refused, row->record, value(2));
    }
}

// ---- JSON Lines, as cardbox --json prints them ----

struct json_cursor {
    const char* at;
    const char* end;
    char* scratch;  // where strings are decoded
};

void skip_blanks(json_cursor& cursor)
{
    while (cursor.at < cursor.end && (*cursor.at == ' ' || *cursor.at == '\t' || *cursor.at == '\r'))
        ++cursor.at;
}

bool take(json_cursor& cursor, char expected)
{
    skip_blanks(cursor);
    if (cursor.at >= cursor.end || *cursor.at != expected) return false;
    ++cursor.at;
    return true;
}

// Appends a code point in UTF-8.
std::size_t put_utf8(char* into, std::uint32_t code_point)
{
    if (code_point < 0x80U) {
        into[0] = static_cast<char>(code_point);
        return 1;
    }
    if (code_point < 0x800U) {
        into[0] = static_cast<char>(0xC0U | (code_point >> 6U));
        into[1] = static_cast<char>(0x80U | (code_point & 0x3FU));
        return 2;
    }
    if (code_point < 0x10000U) {
        into[0] = static_cast<char>(0xE0U | (code_point >> 12U));
        into[1] = static_cast<char>(0x80U | ((code_point >> 6U) & 0x3FU));
        into[2] = static_cast<char>(0x80U | (code_point & 0x3FU));
        return 3;
    }
    into[0] = static_cast<char>(0xF0U | (code_point >> 18U));
    into[1] = static_cast<char>(0x80U | ((code_point >> 12U) & 0x3FU));
    into[2] = static_cast<char>(0x80U | ((code_point >> 6U) & 0x3FU));
    into[3] = static_cast<char>(0x80U | (code_point & 0x3FU));
    return 4;
}

bool read_hex4(json_cursor& cursor, std::uint32_t& value)
{
    if (cursor.end - cursor.at < 4) return false;
    value = 0;
    for (int i = 0; i < 4; ++i) {
        const char c = *cursor.at++;
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (digit < 0) return false;
        value = value * 16 + static_cast<std::uint32_t>(digit);
    }
    return true;
}

// Reads a string, decoded into the scratch; returns it, or false.
bool read_string(json_cursor& cursor, std::string_view& decoded)
{
    if (!take(cursor, '"')) return false;
    char* const start = cursor.scratch;
    char* out = start;
    while (cursor.at < cursor.end && *cursor.at != '"') {
        const auto c = static_cast<unsigned char>(*cursor.at++);
        if (c < 0x20U) return false;
        if (c != '\\') {
            *out++ = static_cast<char>(c);
            continue;
        }
        if (cursor.at >= cursor.end) return false;
        const char escape = *cursor.at++;
        constexpr std::string_view named = "\"\\/bfnrt";
        constexpr std::string_view meant = "\"\\/\b\f\n\r\t";
        if (const std::size_t which = named.find(escape); which != std::string_view::npos) {
            *out++ = meant[which];
            continue;
        }
        std::uint32_t code_point = 0;
        if (escape != 'u' || !read_hex4(cursor, code_point)) return false;
        if (code_point >= 0xD800U && code_point <= 0xDBFFU) {
            std::uint32_t low = 0;
            if (cursor.end - cursor.at < 2 || cursor.at[0] != '\\' || cursor.at[1] != 'u') return false;
            cursor.at += 2;
            if (!read_hex4(cursor, low) || low < 0xDC00U || low > 0xDFFFU) return false;
            code_point = 0x10000U + ((code_point - 0xD800U) << 10U) + (low - 0xDC00U);
        } else if (code_point >= 0xDC00U && code_point <= 0xDFFFU) {
            return false;
        }
        out += put_utf8(out, code_point);
    }
    if (cursor.at >= cursor.end) return false;
    ++cursor.at;
    cursor.scratch = out;
    decoded = std::string_view(start, static_cast<std::size_t>(out - start));
    return true;
}

// Reads a number; `whole` says whether it is an integer within 64 bits.
bool read_number(json_cursor& cursor, std::int64_t& value, bool& whole)
{
    skip_blanks(cursor);
    const char* const start = cursor.at;
    if (cursor.at < cursor.end && *cursor.at == '-') ++cursor.at;
    const char* const digits = cursor.at;
    while (cursor.at < cursor.end && *cursor.at >= '0' && *cursor.at <= '9') ++cursor.at;
    if (cursor.at == digits) return false;
    whole = true;
    if (cursor.at < cursor.end && (*cursor.at == '.' || *cursor.at == 'e' || *cursor.at == 'E')) {
        whole = false;
        while (cursor.at < cursor.end && std::strchr("0123456789.eE+-", *cursor.at) != nullptr) ++cursor.at;
    }
    value = 0;
    if (whole) {
        if (cursor.at - digits > 18) whole = false;
        for (const char* digit = digits; whole && digit < cursor.at; ++digit) value = value * 10 + (*digit - '0');
        if (*start == '-') value = -value;
    }
    return true;
}

bool skip_value(json_cursor& cursor, int depth);

bool skip_members(json_cursor& cursor, char close, int depth)
{
    if (take(cursor, close)) return true;
    do {
        std::string_view ignored;
        if (close == '}' && (!read_string(cursor, ignored) || !take(cursor, ':'))) return false;
        if (!skip_value(cursor, depth + 1)) return false;
    } while (take(cursor, ','));
    return take(cursor, close);
}

bool skip_value(json_cursor& cursor, int depth)
{
    if (depth > deepest_json) return false;
    skip_blanks(cursor);
    if (cursor.at >= cursor.end) return false;
    const char first = *cursor.at;
    if (first == '"') {
        std::string_view ignored;
        return read_string(cursor, ignored);
    }
    if (first == '{' || first == '[') {
        ++cursor.at;
        return skip_members(cursor, first == '{' ? '}' : ']', depth);
    }
    const std::string_view rest(cursor.at, static_cast<std::size_t>(cursor.end - cursor.at));
    constexpr std::array<std::string_view, 3> words{"true", "false", "null"};
    const auto* const word = std::find_if(words.begin(), words.end(), [rest](std::string_view w) { return rest.starts_with(w); });
    if (word != words.end()) {
        cursor.at += word->size();
        return true;
    }
    std::int64_t number = 0;
    bool whole = false;
    return read_number(cursor, number, whole);
}

// Decodes base64 (with its padding) into `into`; returns the length, or -1.
std::ptrdiff_t decode_base64(std::string_view text, char* into)
{
    constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (text.size() % 4 != 0) return -1;
    std::ptrdiff_t length = 0;
    for (std::size_t at = 0; at < text.size(); at += 4) {
        std::uint32_t group = 0;
        int padding = 0;
        for (std::size_t i = 0; i < 4; ++i) {
            const char c = text[at + i];
            const std::size_t value = alphabet.find(c);
            if (c == '=' && at + 4 == text.size() && i >= 2) {
                ++padding;
            } else if (value == std::string_view::npos || padding > 0) {
                return -1;
            }
            group = (group << 6U) | static_cast<std::uint32_t>(value == std::string_view::npos ? 0 : value);
        }
        for (int i = 0; i < 3 - padding; ++i) into[length++] = static_cast<char>((group >> (16 - 8 * i)) & 0xFFU);
    }
    return length;
}

// Fills the row from one line, an object with nombre, apellido and edad (and the
// nombre_base64 or apellido_base64 that carry a text's exact bytes). Returns false for
// a row refused.
bool read_json_line(std::string_view line, std::span<char> scratch, roster_row& row)
{
    json_cursor cursor{line.data(), line.data() + line.size(), scratch.data()};
    std::array<std::string_view, 2> texts{};
    std::array<std::string_view, 2> encoded{};
    std::array<bool, 2> have_text{};
    std::array<bool, 2> have_encoded{};
    bool have_age = false;
    std::int64_t age = 0;
    bool age_whole = false;
    std::string_view error;
    bool have_error = false;
    bool parsed = take(cursor, '{');
    if (parsed && !take(cursor, '}')) {
        do {
            std::string_view key;
            if (!read_string(cursor, key) || !take(cursor, ':')) {
                parsed = false;
                break;
            }
            const std::size_t which = key == "nombre" || key == "nombre_base64" ? 0 : 1;
            if (key == "nombre" || key == "apellido")
                parsed = (have_text[which] = read_string(cursor, texts[which]));
            else if (key == "nombre_base64" || key == "apellido_base64")
                parsed = (have_encoded[which] = read_string(cursor, encoded[which]));
            else if (key == "edad")
                parsed = (have_age = read_number(cursor, age, age_whole));
            else if (key == "error")
                parsed = (have_error = read_string(cursor, error));
            else
                parsed = skip_value(cursor, 1);
        } while (parsed && take(cursor, ','));
        parsed = parsed && take(cursor, '}');
    }
    skip_blanks(cursor);
    if (!parsed || cursor.at != cursor.end) return refuse(row.refused, "the row cannot be parsed as a JSON object");
    if (have_error) {
        // Its given name still names it in its verdict line, when it fits.
        if (have_text[0]) {
            refusal ignored{};
            fill_text(ignored, row.record.nombre, "nombre", texts[0]);
        }
        return refuse(row.refused, "the record did not arrive whole: %.*s", static_cast<int>(std::min<std::size_t>(error.size(), 48)),
                      error.data());
    }
    constexpr std::array<const char*, 2> names{"nombre", "apellido"};
    for (std::size_t which = 0; which < 2; ++which) {
        if (!have_text[which] && !have_encoded[which]) return refuse(row.refused, "a field is missing: %s", names[which]);
    }
    if (!have_age) return refuse(row.refused, "a field is missing: edad");
    for (std::size_t which = 0; which < 2; ++which) {
        std::string_view bytes = texts[which];
        // The exact bytes of a text that was not valid UTF-8.
        if (have_encoded[which]) {
            char* const decoded = cursor.scratch;
            const std::ptrdiff_t length = decode_base64(encoded[which], decoded);
            if (length < 0) return refuse(row.refused, "%s_base64 is not base64", names[which]);
            cursor.scratch += length;
            bytes = std::string_view(decoded, static_cast<std::size_t>(length));
        }
        if (!fill_text(row.refused, which == 0 ? std::span(row.record.nombre) : std::span(row.record.apellido),
                       names[which], bytes))
            return false;
    }
    if (!age_whole || age < 0 || age > 65535)
        return refuse(row.refused, "the age is not a whole number from 0 to 65535");
    fill_person_age(row.record, age);
    return true;
}

bool read_json_lines(const char* path, std::string_view text, char* scratch, row_list& rows)
{
    std::size_t line = 0;
    while (!text.empty()) {
        ++line;
        const std::size_t end = std::min(text.find('\n'), text.size());
        std::string_view content = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        if (!content.empty() && content.back() == '\r') content.remove_suffix(1);
        if (content.find_first_not_of(" \t") == std::string_view::npos) continue;
        roster_row* const row = rows.add(line);
        if (row == nullptr) {
            std::fprintf(stderr, "cardpost: %s: %s\n", path, std::strerror(ENOMEM));
            return false;
        }
        read_json_line(content, {scratch, 2 * content.size() + 64}, *row);
    }
    return true;
}

}  // namespace

bool read_roster(const char* path, roster_format format, roster& read)
{
    owned_bytes text;
    std::size_t size = 0;
    const bool whole_read = read_whole(path, text, size);
    if (std::strcmp(path, "-") == 0) path = "standard input";
    if (!whole_read) {
        std::fprintf(stderr, "cardpost: %s: %s\n", path, std::strerror(errno));
        return false;
    }
    std::string_view whole(text.get(), size);
    if (whole.substr(0, byte_order_mark.size()) == byte_order_mark) whole.remove_prefix(byte_order_mark.size());
    if (format == roster_format::detect) format = !whole.empty() && whole.front() == '{' ? roster_format::json : roster_format::csv;
    // Room for every field decoded from the text: a line's strings, and the bytes of its
    // base64 after them, take no more than twice the line.
    const owned_bytes scratch(static_cast<char*>(std::malloc(2 * whole.size() + 64)));
    if (scratch == nullptr) {
        std::fprintf(stderr, "cardpost: %s: %s\n", path, std::strerror(ENOMEM));
        return false;
    }
    row_list rows{read};
    return format == roster_format::json ? read_json_lines(path, whole, scratch.get(), rows)
                                         : read_csv(path, whole, scratch.get(), rows);
}
