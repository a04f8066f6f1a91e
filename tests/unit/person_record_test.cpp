#include "person_record.hpp"

#include <array>
#include <algorithm>
#include <gtest/gtest.h>
#include <string>
#include <string_view>

namespace {

std::array<char, person_record_size> bytes_of(const person_record& record)
{
    std::array<char, person_record_size> bytes{};
    std::ranges::copy(person_record_bytes(record), bytes.begin());
    return bytes;
}

TEST(PersonRecord, AgeTravelsModulo65536InNetworkOrder)
{
    struct age_case {
        std::int64_t entered;
        unsigned char high, low;
        std::uint16_t shown;
    };
    const age_case cases[] = {
        {25, 0x00, 0x19, 25},
        {70000, 0x11, 0x70, 4464},
        {-1, 0xFF, 0xFF, 65535},
        {65536, 0x00, 0x00, 0},
        {4294967297, 0x00, 0x01, 1},
        {INT64_MIN, 0x00, 0x00, 0},
        {INT64_MAX, 0xFF, 0xFF, 65535},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.entered);
        const auto bytes = bytes_of(fill_person_record("Ana\n", "Perez\n", c.entered));
        EXPECT_EQ(static_cast<unsigned char>(bytes[60]), c.high);
        EXPECT_EQ(static_cast<unsigned char>(bytes[61]), c.low);
        EXPECT_EQ(read_person_record(bytes).edad, c.shown);
    }
}

TEST(PersonRecord, TextsAreZeroFilledAndReadBack)
{
    const auto bytes = bytes_of(fill_person_record("Ana\n", "", 25));
    const std::string_view expected_nombre("Ana\n\0\0", 6);
    EXPECT_EQ(std::string_view(bytes.data(), 6), expected_nombre);
    EXPECT_TRUE(std::all_of(bytes.begin() + 4, bytes.begin() + 60, [](char c) { return c == 0; }));
    const person_fields shown = read_person_record(bytes);
    EXPECT_EQ(shown.nombre, "Ana\n");
    EXPECT_EQ(shown.apellido, "");
}

TEST(PersonRecord, MissingBytesReadAsZero)
{
    const auto whole = bytes_of(fill_person_record("Ana\n", "Perez\n", 25));
    struct arrival_case {
        std::size_t arrived;
        std::string_view nombre, apellido;
        std::uint16_t edad;
    };
    const arrival_case cases[] = {
        {0, "", "", 0},
        {2, "An", "", 0},
        {30, "Ana\n", "", 0},
        {33, "Ana\n", "Per", 0},
        {61, "Ana\n", "Perez\n", 0},
        {62, "Ana\n", "Perez\n", 25},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arrived);
        std::array<char, person_record_size> received{};
        std::copy_n(whole.begin(), c.arrived, received.begin());
        const person_fields shown = read_person_record(received);
        EXPECT_EQ(shown.nombre, c.nombre);
        EXPECT_EQ(shown.apellido, c.apellido);
        EXPECT_EQ(shown.edad, c.edad);
    }

    std::array<char, person_record_size> high_byte_only{};
    high_byte_only[60] = 0x01;
    EXPECT_EQ(read_person_record(high_byte_only).edad, 256);
}

TEST(PersonRecord, FieldWithoutZeroByteIsShownAsItsThirtyBytes)
{
    std::array<char, person_record_size> received{};
    received.fill('X');
    const person_fields shown = read_person_record(received);
    EXPECT_EQ(shown.nombre, std::string(30, 'X'));
    EXPECT_EQ(shown.apellido, std::string(30, 'X'));
}

TEST(PersonRecord, LongTextsAreCutWithoutSplittingACharacter)
{
    const std::string a28(28, 'a');
    const std::string a27(27, 'a');
    const std::string a26(26, 'a');
    struct cut_case {
        std::string what, entered, sent;
    };
    const cut_case cases[] = {
        {"fits with its zero byte", std::string(29, 'a'), std::string(29, 'a')},
        {"one byte too long", std::string(30, 'a'), std::string(29, 'a')},
        {"a two-byte letter across the cut", a28 + "\xC3\xA9xx", a28},
        {"a two-byte letter ending at the cut", a27 + "\xC3\xA9xx", a27 + "\xC3\xA9"},
        {"a three-byte sign across the cut", a27 + "\xE2\x82\xAC\n", a27},
        {"a four-byte sign across the cut", a26 + "\xF0\x9F\x98\x80\n", a26},
        {"a four-byte sign ending at the cut", "a" + a28.substr(4) + "\xF0\x9F\x98\x80\n",
         "a" + a28.substr(4) + "\xF0\x9F\x98\x80"},
        {"a stray continuation byte is cut as a byte", a28 + "\x80\x80\x80", a28 + "\x80"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(cut_person_text(c.entered), c.sent);
        const auto bytes = bytes_of(fill_person_record(c.entered, c.entered, 0));
        EXPECT_EQ(read_person_record(bytes).nombre, c.sent);
        EXPECT_EQ(read_person_record(bytes).apellido, c.sent);
    }
}

}  // namespace
