// Fuzzes the server's side of the record: any 0 to 100 received bytes, in a zero-filled
// receive buffer, are read as a record. Beyond "no crash": each shown text stays inside
// its own field, ends before the field's first zero byte, and the age is the two bytes
// at offset 60.
#include "person_record.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::size_t receive_buffer_size = 100;

void require(bool condition)
{
    if (!condition) std::abort();
}

void check_text(std::string_view shown, const char* field)
{
    require(shown.data() == field);
    require(shown.size() <= person_text_size);
    require(shown.find('\0') == std::string_view::npos);
    if (shown.size() < person_text_size) require(field[shown.size()] == '\0');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::array<char, receive_buffer_size> buffer{};
    const std::size_t received = std::min(size, buffer.size());
    std::memcpy(buffer.data(), data, received);

    const person_fields shown = read_person_record(std::span(buffer).first<person_record_size>());
    check_text(shown.nombre, buffer.data());
    check_text(shown.apellido, buffer.data() + person_text_size);
    const auto high = static_cast<std::uint8_t>(buffer[60]);
    const auto low = static_cast<std::uint8_t>(buffer[61]);
    require(shown.edad == ((high << 8U) | low));
    return 0;
}
