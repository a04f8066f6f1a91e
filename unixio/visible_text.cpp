#include "visible_text.hpp"

#include "utf8.hpp"

#include <array>

namespace {

// The character at the start of a text: its bytes, and whether it is to be escaped.
struct next_character {
    std::size_t length;
    bool control;
};

// True for the characters that change how a line reads without being seen: the
// bidirectional embeddings, overrides and isolates, which can make a name show its
// letters in another order, and the line and paragraph separators, which can forge a
// line of output.
constexpr bool reorders_text(std::uint32_t code_point)
{
    return (code_point >= 0x202AU && code_point <= 0x202EU) ||
           (code_point >= 0x2066U && code_point <= 0x2069U) || code_point == 0x2028U ||
           code_point == 0x2029U;
}

next_character classify(std::string_view text)
{
    const auto byte = static_cast<unsigned char>(text.front());
    if (byte < 0x80U) return {1, (byte < 0x20U && byte != '\t') || byte == 0x7FU};
    const utf8_character character = decode_utf8(text);
    // A byte that is not part of a valid character stands alone.
    const std::uint32_t code_point = character.length != 0 ? character.code_point : byte;
    return {character.length != 0 ? character.length : 1,
            (code_point >= 0x80U && code_point <= 0x9FU) || reorders_text(code_point)};
}

// Writes the escape for one byte at the front of the buffer; returns its length.
std::size_t escape_byte(unsigned char byte, char* into)
{
    constexpr std::string_view named = "\a\b\n\v\f\r";
    constexpr std::string_view names = "abnvfr";
    into[0] = '\\';
    if (const std::size_t at = named.find(static_cast<char>(byte)); at != std::string_view::npos) {
        into[1] = names[at];
        return 2;
    }
    constexpr std::string_view digits = "0123456789ABCDEF";
    into[1] = 'x';
    into[2] = digits[byte >> 4U];
    into[3] = digits[byte & 0x0FU];
    return 4;
}

}  // namespace

std::string_view take_visible_piece(std::string_view& text, visible_escape& escape)
{
    std::size_t plain = 0;  // bytes at the start of text that are shown as they are
    while (plain < text.size()) {
        // The newline that ends a typed line is the text's own, not a forged one.
        if (plain + 1 == text.size() && text.back() == '\n') {
            ++plain;
            break;
        }
        const next_character next = classify(text.substr(plain));
        if (!next.control) {
            plain += next.length;
            continue;
        }
        if (plain > 0) break;
        std::size_t length = 0;
        for (std::size_t i = 0; i < next.length; ++i)
            length += escape_byte(static_cast<unsigned char>(text[i]), escape.data() + length);
        text.remove_prefix(next.length);
        return {escape.data(), length};
    }
    const std::string_view piece = text.substr(0, plain);
    text.remove_prefix(plain);
    return piece;
}

void print_visible(std::string_view text, std::FILE* out)
{
    visible_escape escape{};
    while (!text.empty()) {
        const std::string_view piece = take_visible_piece(text, escape);
        std::fwrite(piece.data(), 1, piece.size(), out);
    }
}
