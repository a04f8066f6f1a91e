// The person record: the one message of the record exchange on port 8000.
// 62 bytes, no header and no gaps: given name, surname, age in network byte order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

constexpr std::size_t person_text_size = 30;
constexpr std::size_t person_age_size = 2;
// The writer cuts a text to this length so that a zero byte always ends it.
constexpr std::size_t person_text_max_length = person_text_size - 1;

struct person_record {
    std::array<char, person_text_size> nombre;
    std::array<char, person_text_size> apellido;
    std::array<unsigned char, person_age_size> edad;  // most significant byte first
};

constexpr std::size_t person_record_size = 62;

static_assert(sizeof(person_record) == person_record_size);
static_assert(alignof(person_record) == 1);
static_assert(offsetof(person_record, nombre) == 0);
static_assert(offsetof(person_record, apellido) == 30);
static_assert(offsetof(person_record, edad) == 60);

// Returns the record's 62 bytes as they cross the wire.
inline std::span<const char, person_record_size> person_record_bytes(const person_record& record)
{
    return std::span<const char, person_record_size>(reinterpret_cast<const char*>(&record),
                                                     person_record_size);
}

// What a reader shows of a record: texts that point into the bytes received.
struct person_fields {
    std::string_view nombre;
    std::string_view apellido;
    std::uint16_t edad;
};

// Returns the longest prefix of text that fits a field with a zero byte after it,
// without ending inside a UTF-8 multi-byte character.
std::string_view cut_person_text(std::string_view text);

// Fills a field with the text, cut as above, and zero bytes after it.
void fill_person_text(std::span<char, person_text_size> field, std::string_view text);

// Stores the age's low 16 bits (the age modulo 65536), most significant byte first.
void fill_person_age(person_record& record, std::int64_t age);

// Returns a record made from zero bytes, the two texts and the age.
person_record fill_person_record(std::string_view nombre, std::string_view apellido,
                                 std::int64_t age);

// Reads a record from the start of a zero-filled receive buffer: bytes that did not
// arrive read as zero. A text ends at its first zero byte or at the end of its field.
person_fields read_person_record(std::span<const char, person_record_size> bytes);
