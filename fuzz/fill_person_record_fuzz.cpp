// Fuzzes the client's side of the record: any given name, surname and age. The input is
// 8 bytes of age, 1 byte that says how long the given name is, then the two texts.
// Beyond "no crash": filling then reading gives back each text cut to at most 29 bytes
// (a prefix of what was entered, at most 3 bytes shorter than a plain cut, and never
// ending inside a UTF-8 character of well-formed text) and the age modulo 65536.
#include "person_record.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

void require(bool condition)
{
    if (!condition) std::abort();
}

// Returns how many bytes a UTF-8 sequence with this first byte has; 0 for a byte that
// cannot start one.
std::size_t sequence_length(std::uint8_t lead)
{
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead < 0xE0) return 2;
    if (lead >= 0xE0 && lead < 0xF0) return 3;
    if (lead >= 0xF0 && lead < 0xF5) return 4;
    return 0;
}

// Returns whether text is a sequence of whole UTF-8 characters.
bool is_utf8(std::string_view text)
{
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = sequence_length(static_cast<std::uint8_t>(text[i]));
        if (length == 0 || i + length > text.size()) return false;
        for (std::size_t k = 1; k < length; ++k)
            if ((static_cast<std::uint8_t>(text[i + k]) & 0xC0U) != 0x80U) return false;
        i += length;
    }
    return true;
}

// The entered text as cardpost hands it over: the bytes before the first zero byte.
std::string_view as_entered(std::string_view bytes) { return bytes.substr(0, bytes.find('\0')); }

void check_text(std::string_view entered, std::string_view shown)
{
    const std::size_t plain_cut = std::min(entered.size(), person_text_max_length);
    require(shown.size() <= person_text_max_length);
    require(entered.substr(0, shown.size()) == shown);
    require(shown.size() + 3 >= plain_cut);
    if (is_utf8(entered)) require(is_utf8(shown));
    if (entered.size() <= person_text_max_length) require(shown == entered);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < sizeof(std::int64_t) + 1) return 0;
    std::int64_t age = 0;
    std::memcpy(&age, data, sizeof age);
    const std::string_view texts(reinterpret_cast<const char*>(data) + sizeof age + 1,
                                 size - sizeof age - 1);
    const std::size_t split = std::min<std::size_t>(data[sizeof age], texts.size());
    const std::string_view nombre = as_entered(texts.substr(0, split));
    const std::string_view apellido = as_entered(texts.substr(split));

    const person_record record = fill_person_record(nombre, apellido, age);
    const person_fields shown = read_person_record(person_record_bytes(record));
    check_text(nombre, shown.nombre);
    check_text(apellido, shown.apellido);
    require(shown.edad == static_cast<std::uint16_t>(static_cast<std::uint64_t>(age) % 65536));
    return 0;
}
