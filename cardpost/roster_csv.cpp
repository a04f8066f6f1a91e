// A CSV roster (RFC 4180): a header row naming nombre, apellido and edad in any order,
// then one row a record, each field sent as a typed answer would be.
#include "roster.hpp"

#include <cstdio>

namespace {

constexpr std::size_t most_columns = 256;
constexpr std::array<const char*, 3> names{"nombre", "apellido", "edad"};

struct csv_field {
    std::size_t start;  // in the scratch
    std::size_t length;
};

using csv_fields = std::array<csv_field, most_columns>;

// Reads one record's fields, unescaped into the scratch. Returns the count of fields,
// or 0 with the problem when the record cannot be parsed.
std::size_t read_fields(std::string_view text, csv_fields& fields, char* scratch, const char*& problem)
{
    std::size_t at = 0;
    std::size_t used = 0;
    std::size_t count = 0;
    for (;;) {
        if (count == fields.size()) {
            problem = "more than 256 columns";
            return 0;
        }
        csv_field& field = fields[count++];
        field.start = used;
        if (at < text.size() && text[at] == '"') {
            for (++at;; ++at) {
                if (at >= text.size()) {
                    problem = "a quoted field is not closed";
                    return 0;
                }
                if (text[at] == '"' && at + 1 < text.size() && text[at + 1] == '"') {
                    scratch[used++] = '"';
                    ++at;
                } else if (text[at] == '"') {
                    ++at;
                    break;
                } else {
                    scratch[used++] = text[at];
                }
            }
        } else {
            for (; at < text.size() && text[at] != ','; ++at) {
                if (text[at] == '"') {
                    problem = "a quote inside a field that is not quoted";
                    return 0;
                }
                scratch[used++] = text[at];
            }
            // A line's CR before its LF is no part of the field.
            if (used > field.start && at == text.size() && scratch[used - 1] == '\r') --used;
        }
        field.length = used - field.start;
        if (at == text.size() || (text[at] == '\r' && at + 1 == text.size())) return count;
        if (text[at] != ',') {
            problem = "text after a closing quote";
            return 0;
        }
        ++at;
    }
}

std::string_view field_text(const char* scratch, const csv_field& field)
{
    return {scratch + field.start, field.length};
}

std::string_view trimmed(std::string_view name)
{
    while (!name.empty() && (name.front() == ' ' || name.front() == '\t')) name.remove_prefix(1);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
    return name;
}

}  // namespace

std::size_t csv_record_end(std::string_view text)
{
    bool quoted = false;
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (text[at] == '"') quoted = !quoted;  // a doubled quote turns it off and on again
        if (text[at] == '\n' && !quoted) return at + 1;
    }
    return std::string_view::npos;
}

bool read_csv_header(std::string_view text, char* scratch, csv_columns& columns, std::array<char, 160>& why)
{
    csv_fields fields{};
    const char* problem = nullptr;
    const std::size_t count = read_fields(text, fields, scratch, problem);
    columns.count = count;
    columns.of.fill(most_columns);
    for (std::size_t i = 0; i < count; ++i)
        for (std::size_t name = 0; name < names.size(); ++name)
            if (trimmed(field_text(scratch, fields[i])) == names[name]) columns.of[name] = i;
    for (std::size_t name = 0; name < names.size(); ++name) {
        if (columns.of[name] == most_columns) {
            std::snprintf(why.data(), why.size(), "the header row names no column %s", names[name]);
            return false;
        }
    }
    return true;
}

void read_csv_row(std::string_view text, const csv_columns& columns, char* scratch, roster_row& row)
{
    csv_fields fields{};
    const char* problem = nullptr;
    const std::size_t count = read_fields(text, fields, scratch, problem);
    if (count == 0) {
        refuse(row.refused, "the row cannot be parsed: %s", problem);
        return;
    }
    const auto value = [&](std::size_t name) {
        return columns.of[name] < count ? field_text(scratch, fields[columns.of[name]]) : std::string_view();
    };
    row.nombre = copy_text(value(0));
    row.apellido = copy_text(value(1));
    for (std::size_t name = 0; name < names.size(); ++name)
        if (columns.of[name] >= count) refuse(row.refused, "a field is missing: %s", names[name]);
    if (count != columns.count)
        refuse(row.refused, "the row has %zu fields, the header %zu", count, columns.count);
    require_names(row.refused, value(0), value(1));
    // A field is sent as a typed answer would be: its text, then a newline.
    fill_typed_answer(row.refused, row.record.nombre, names[0], value(0));
    fill_typed_answer(row.refused, row.record.apellido, names[1], value(1));
    fill_whole_age(row.refused, row.record, value(2));
}
