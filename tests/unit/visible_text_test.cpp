#include "utf8.hpp"
#include "visible_text.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

std::string visible(std::string_view text)
{
    char* printed = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&printed, &size);
    print_visible(text, out);
    std::fclose(out);
    std::string result(printed, size);
    std::free(printed);
    return result;
}

TEST(VisibleText, ControlCharactersAreEscapedAndTextIsKept)
{
    using namespace std::string_view_literals;
    const struct {
        std::string_view text;
        std::string_view shown;
    } cases[] = {
        {"Ana\n", "Ana\n"},                          // a typed line's own newline
        {"", ""},
        {"\n", "\n"},
        {"Ana\nPerez\n", "Ana\\nPerez\n"},           // a forged line
        {"a\tb\n", "a\tb\n"},                        // tab kept
        {"\x1b[2J\a\b\v\f\r\x7f"sv, "\\x1B[2J\\a\\b\\v\\f\\r\\x7F"},
        {"\0\x01"sv, "\\x00\\x01"},
        {"N\xc3\xba\xc3\xb1" "ez \xe2\x82\xac \xf0\x9f\x98\x80", "N\xc3\xba\xc3\xb1" "ez \xe2\x82\xac \xf0\x9f\x98\x80"},
        {"\xc2\x9b" "2J \xc2\x85", "\\xC2\\x9B2J \\xC2\\x85"},  // C1 controls in UTF-8
        {"\x9b \x80", "\\x9B \\x80"},                // C1 controls as lone bytes
        {"\xc4\x80 \xc2\xa0", "\xc4\x80 \xc2\xa0"},  // continuation 0x80 inside a character
        {"\xff\xc3 \xed\xa0", "\xff\xc3 \xed\xa0"},  // invalid, not control: kept
        {"\xed\xa0\x80", "\xed\xa0\\x80"},                // a surrogate's bytes stand alone
        // Characters that reorder a line or break it, unseen: escaped byte by byte.
        {"Ana \xe2\x80\xae" "zereP\n", "Ana \\xE2\\x80\\xAEzereP\n"},  // U+202E
        {"\xe2\x80\xaa\xe2\x81\xa6\xe2\x81\xa9", "\\xE2\\x80\\xAA\\xE2\\x81\\xA6\\xE2\\x81\\xA9"},
        {"a\xe2\x80\xa8" "b\xe2\x80\xa9", "a\\xE2\\x80\\xA8b\\xE2\\x80\\xA9"},  // separators
        {"\xe2\x80\xa9\xe2\x80\xaf \xe2\x81\xaa", "\\xE2\\x80\\xA9\xe2\x80\xaf \xe2\x81\xaa"},  // neighbours kept
    };
    for (const auto& c : cases) EXPECT_EQ(visible(c.text), c.shown) << c.text;
}

TEST(Utf8, OnlyWellFormedCharactersDecode)
{
    const struct {
        std::string_view text;
        std::size_t length;
        std::uint32_t code_point;
    } cases[] = {
        {"A", 1, 0x41},
        {"\xc3\xba", 2, 0xFA},
        {"\xe2\x82\xac", 3, 0x20AC},
        {"\xf4\x8f\xbf\xbf", 4, 0x10FFFF},
        {"\xc0\xaf", 0, 0},          // overlong
        {"\xe0\x80\xaf", 0, 0},      // overlong
        {"\xed\xa0\x80", 0, 0},      // surrogate
        {"\xf4\x90\x80\x80", 0, 0},  // past U+10FFFF
        {"\xe2\x82", 0, 0},          // cut short
        {"\xe2(\xac", 0, 0},         // not a continuation
        {"\x80", 0, 0},
    };
    for (const auto& c : cases) {
        const utf8_character decoded = decode_utf8(c.text);
        EXPECT_EQ(decoded.length, c.length) << c.text;
        if (c.length != 0) {
            EXPECT_EQ(decoded.code_point, c.code_point) << c.text;
        }
    }
}

}  // namespace
