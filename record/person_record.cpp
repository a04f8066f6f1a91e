#include "person_record.hpp"

#include <algorithm>
#include <cstring>

namespace {

constexpr bool is_utf8_continuation(unsigned char byte) { return (byte & 0xC0U) == 0x80U; }

// Returns how many bytes the sequence that starts with this lead byte claims.
constexpr std::size_t utf8_sequence_length(unsigned char lead)
{
    if (lead >= 0xF0U) return 4;
    if (lead >= 0xE0U) return 3;
    if (lead >= 0xC0U) return 2;
    return 1;
}

std::string_view text_of_field(std::span<const char, person_text_size> field)
{
    return {field.data(), ::strnlen(field.data(), field.size())};
}

}  // namespace

std::string_view cut_person_text(std::string_view text)
{
    if (text.size() <= person_text_max_length) return text;
    std::size_t cut = person_text_max_length;
    // Find where the last character before the cut starts; if it needs bytes from
    // beyond the cut, drop it whole rather than send half a letter. A character has at
    // most 3 continuation bytes, so the search stays inside the text.
    static_assert(person_text_max_length > 3);
    std::size_t start = cut;
    while (cut - start < 3 && is_utf8_continuation(static_cast<unsigned char>(text[start - 1])))
        --start;
    const std::size_t lead = start - 1;
    if (utf8_sequence_length(static_cast<unsigned char>(text[lead])) > cut - lead) cut = lead;
    return text.substr(0, cut);
}

void fill_person_text(std::span<char, person_text_size> field, std::string_view text)
{
    const std::string_view cut = cut_person_text(text);
    std::fill(field.begin(), field.end(), '\0');
    std::copy(cut.begin(), cut.end(), field.begin());
}

void fill_person_age(person_record& record, std::int64_t age)
{
    // Conversion to an unsigned type is modular: exactly the age modulo 65536.
    const auto low_bits = static_cast<std::uint16_t>(age);
    record.edad = {static_cast<unsigned char>(low_bits >> 8U),
                   static_cast<unsigned char>(low_bits & 0xFFU)};
}

person_record fill_person_record(std::string_view nombre, std::string_view apellido,
                                 std::int64_t age)
{
    person_record record{};
    fill_person_text(record.nombre, nombre);
    fill_person_text(record.apellido, apellido);
    fill_person_age(record, age);
    return record;
}

person_fields read_person_record(std::span<const char, person_record_size> bytes)
{
    const auto age_high = static_cast<unsigned char>(bytes[offsetof(person_record, edad)]);
    const auto age_low = static_cast<unsigned char>(bytes[offsetof(person_record, edad) + 1]);
    return {
        text_of_field(bytes.subspan<offsetof(person_record, nombre), person_text_size>()),
        text_of_field(bytes.subspan<offsetof(person_record, apellido), person_text_size>()),
        static_cast<std::uint16_t>((age_high << 8U) | age_low),
    };
}
