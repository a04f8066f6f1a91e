// Text written as a JSON string, for the programs' JSON lines.
#pragma once

#include "utf8.hpp"

#include <array>
#include <cstdint>
#include <string_view>

// Emits the text as a JSON string, in pieces given to `emit`: the quotes, UTF-8 as it
// is, JSON's own escapes for the quote, the backslash and the control characters (C1
// ones included), and U+FFFD for each byte that is not part of a valid UTF-8
// character. Returns whether there was none.
template <typename Emit>
bool emit_json_string(std::string_view text, Emit&& emit)
{
    bool valid = true;
    emit(std::string_view("\""));
    while (!text.empty()) {
        const utf8_character character = decode_utf8(text);
        const std::size_t length = character.length != 0 ? character.length : 1;
        const std::uint32_t code_point = character.code_point;
        if (character.length == 0) {
            valid = false;
            emit(std::string_view("\\ufffd"));
        } else if (code_point == '"' || code_point == '\\') {
            emit(std::string_view(code_point == '"' ? "\\\"" : "\\\\"));
        } else if (code_point == '\n') {
            emit(std::string_view("\\n"));
        } else if (code_point == '\t') {
            emit(std::string_view("\\t"));
        } else if (code_point < 0x20U || (code_point >= 0x7FU && code_point <= 0x9FU)) {
            constexpr std::string_view digits = "0123456789abcdef";
            const std::array<char, 6> escape{'\\', 'u', '0', '0', digits[(code_point >> 4U) & 0xFU],
                                             digits[code_point & 0xFU]};
            emit(std::string_view(escape.data(), escape.size()));
        } else {
            emit(std::string_view(text.data(), length));
        }
        text.remove_prefix(length);
    }
    emit(std::string_view("\""));
    return valid;
}
