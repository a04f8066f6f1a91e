// UTF-8, as far as the programs need to tell text from raw bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// One character decoded from the start of a text.
struct utf8_character {
    std::size_t length;      // its bytes; 0 when the text does not start with valid UTF-8
    std::uint32_t code_point;
};

// Decodes the character at the start of a non-empty text: the shortest form only, no
// surrogates, nothing past U+10FFFF.
utf8_character decode_utf8(std::string_view text);
