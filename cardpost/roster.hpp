// A roster for cardpost --batch: the rows of a CSV file or of JSON Lines, read as they
// come (a pipe is read row by row, so that each row can be sent while the next is
// still to be written), each made into the record it stands for, or refused with the
// reason. Nothing is ever changed to fit: a row whose record would differ from what it
// says is refused, never sent. Each row keeps its text as it stood, so that the rows
// to send again can be written back in the roster's own format.
#pragma once

#include "person_record.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

enum class roster_format {
    detect,  // by the first byte: '{' for JSON Lines, anything else CSV
    csv,     // RFC 4180, a header row naming nombre, apellido and edad in any order
    json,    // one object per line, as cardbox --json prints records
};

// Why a row is refused, on one line; empty for a row to send.
using refusal = std::array<char, 96>;

struct free_bytes {
    void operator()(char* bytes) const;
};

// Bytes of the row's own, allocated with malloc.
struct owned_text {
    std::unique_ptr<char, free_bytes> bytes;
    std::size_t size = 0;

    std::string_view view() const { return {bytes.get(), size}; }
};

// Copies the text, and `after` it, into bytes of its own; no bytes at all when memory
// runs out.
owned_text copy_text(std::string_view text, std::string_view after = {});

struct roster_row {
    std::size_t line = 0;  // where the row starts in the file, counted from 1
    person_record record{};
    refusal refused{};
    owned_text nombre;    // as the roster has them, for the verdict line
    owned_text apellido;
    owned_text as_it_stood;  // the row's text, its end of line included
};

// ---- The checks on a row (row_checks.cpp) ----

// Writes the reason into `why`, unless one is there already (the first stands). Returns
// false, for a row refused.
__attribute__((format(printf, 2, 3))) bool refuse(refusal& why, const char* format, ...);

// Puts the bytes into the field, as they are to be sent; refuses what the field cannot
// hold as it stands: too long, or with a zero byte.
bool fill_text(refusal& why, std::span<char, person_text_size> field, const char* name, std::string_view bytes);

// Fills the field with a typed answer, as cardpost's prompt takes it: the text, then
// its newline. Refuses (the reason in `why`, unless one is there already) an answer
// the record cannot hold as it stands: too long, with a zero byte or a line break.
bool fill_typed_answer(refusal& why, std::span<char, person_text_size> field, const char* name,
                       std::string_view answer);

// Fills the age from its decimal digits; refuses anything but a whole number from 0 to
// 65535.
bool fill_whole_age(refusal& why, person_record& record, std::string_view digits);

// Refuses a row whose given name or surname is empty: no one is called nothing.
bool require_names(refusal& why, std::string_view nombre, std::string_view apellido);

// ---- Reading (roster.cpp, roster_csv.cpp, roster_json.cpp) ----

// The columns of a CSV roster, from its header row.
struct csv_columns {
    std::array<std::size_t, 3> of{};  // nombre, apellido, edad
    std::size_t count = 0;            // fields in the header
};

struct roster_reader {
    const char* name = nullptr;  // the file, or "standard input", for reports
    int fd = -1;
    bool own_fd = false;
    roster_format format = roster_format::detect;
    std::unique_ptr<char, free_bytes> data;  // read and not yet taken: [start, end)
    std::size_t start = 0;
    std::size_t end = 0;
    std::size_t capacity = 0;
    std::size_t line = 1;  // the line at `start`
    bool ended = false;    // the input has ended
    bool header_read = false;
    csv_columns columns;
    owned_text header;  // a CSV roster's header row as it stood
    std::size_t blank_lines = 0;
    // Room for the fields decoded from a row: its strings, and the bytes of its base64
    // after them, take no more than twice the row.
    std::unique_ptr<char, free_bytes> scratch;
    std::size_t scratch_size = 0;

    roster_reader() = default;
    roster_reader(const roster_reader&) = delete;
    roster_reader& operator=(const roster_reader&) = delete;
    ~roster_reader();
};

// Opens the roster: the file, or standard input for "-". Returns false with errno.
bool open_roster(const char* path, roster_format format, roster_reader& reader);

// Reads once what the input holds now (a pipe: what has come so far, waiting for
// something first). Returns 0, or the error (ENOMEM when the row would not fit in
// memory).
int read_roster_input(roster_reader& reader);

// What taking the next row came to.
enum class roster_take {
    row,         // a row was taken
    more,        // no whole row yet: more input is needed
    done,        // the input ended and every row was taken
    no_roster,   // the input is no roster at all: said in `why`
};

// Takes the next whole row from what was read, blank lines skipped and counted.
roster_take take_row(roster_reader& reader, roster_row& row, std::array<char, 160>& why);

// One row of each format, from its text (its end of line left off), into `row`.
// `scratch` has room for twice the text and 64 bytes more.
void read_csv_row(std::string_view text, const csv_columns& columns, char* scratch, roster_row& row);
void read_json_row(std::string_view line, char* scratch, roster_row& row);

// Reads the header row of a CSV roster. Returns false with why when it names not all
// three columns.
bool read_csv_header(std::string_view text, char* scratch, csv_columns& columns, std::array<char, 160>& why);

// Where the CSV record that starts the text ends: after its end of line (outside
// quotes), or npos when its end has not come yet.
std::size_t csv_record_end(std::string_view text);
