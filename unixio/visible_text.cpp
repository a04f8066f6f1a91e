#include "visible_text.hpp"

#include "utf8.hpp"

#include <array>

namespace {

// The character at the start of a text: its bytes, and whether it is to be escaped.
struct next_character {
    std::size_t length;
    bool control;
};

next_character classify(std::string_view text)
{
    const auto byte = static_cast<unsigned char>(text.front());
    if (byte < 0x80U) return {1, (byte < 0x20U && byte != '\t') || byte == 0x7FU};
    const utf8_character character = decode_utf8(text);
    // A byte that is not part of a valid character stands alone.
    const std::uint32_t code_point = character.length != 0 ? character.code_point : byte;
    return {character.length != 0 ? character.length : 1, code_point >= 0x80U && code_point <= 0x9FU};
}

void print_escaped(unsigned char byte, std::FILE* out)
{
    constexpr std::string_view named = "\a\b\n\v\f\r";
    constexpr std::string_view names = "abnvfr";
    if (const std::size_t at = named.find(static_cast<char>(byte)); at != std::string_view::npos) {
        const std::array<char, 2> escape{'\\', names[at]};
        std::fwrite(escape.data(), 1, escape.size(), out);
        return;
    }
    constexpr std::string_view digits = "0123456789ABCDEF";
    const std::array<char, 4> escape{'\\', 'x', digits[byte >> 4U], digits[byte & 0x0FU]};
    std::fwrite(escape.data(), 1, escape.size(), out);
}

}  // namespace

void print_visible(std::string_view text, std::FILE* out)
{
    // The newline that ends a typed line is the text's own, not a forged one.
    const bool ends_in_newline = !text.empty() && text.back() == '\n';
    if (ends_in_newline) text.remove_suffix(1);
    std::size_t plain = 0;  // bytes at the start of text that are printed as they are
    while (plain < text.size()) {
        const next_character next = classify(text.substr(plain));
        if (!next.control) {
            plain += next.length;
            continue;
        }
        std::fwrite(text.data(), 1, plain, out);
        for (const char byte : text.substr(plain, next.length))
            print_escaped(static_cast<unsigned char>(byte), out);
        text.remove_prefix(plain + next.length);
        plain = 0;
    }
    std::fwrite(text.data(), 1, plain, out);
    if (ends_in_newline) std::fputc('\n', out);
}
