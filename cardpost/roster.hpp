// A roster for cardpost --batch: the rows of a CSV file or of JSON Lines, each made
// into the record it stands for, or refused with the reason. Nothing is ever changed to
// fit: a row whose record would differ from what it says is refused, never sent.
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

struct roster_row {
    std::size_t line;  // where the row starts in the file, counted from 1
    person_record record;
    refusal refused;
};

struct free_rows {
    void operator()(roster_row* rows) const;
};

struct roster {
    std::unique_ptr<roster_row, free_rows> rows;
    std::size_t count = 0;
};

// Fills the field with a typed answer, as cardpost's prompt takes it: the text, then
// its newline. Refuses (the reason in `why`, unless one is there already) an answer
// the record cannot hold as it stands: too long, with a zero byte or a line break.
bool fill_typed_answer(refusal& why, std::span<char, person_text_size> field, const char* name, std::string_view answer);

// Fills the age from its decimal digits; refuses anything but a whole number from 0 to
// 65535.
bool fill_whole_age(refusal& why, person_record& record, std::string_view digits);

// Reads the whole roster from the file (or standard input, for "-"). Returns false when
// it cannot be read, or is no roster at all (a CSV header without one of the three
// columns, say): reported on standard error after "cardpost: ".
bool read_roster(const char* path, roster_format format, roster& read);
