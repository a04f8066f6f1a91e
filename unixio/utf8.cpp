#include "utf8.hpp"

utf8_character decode_utf8(std::string_view text)
{
    const auto lead = static_cast<unsigned char>(text.front());
    if (lead < 0x80U) return {1, lead};
    // The length that the lead byte claims, its payload bits, and the least code point
    // that needs that length (anything less is an overlong form).
    std::size_t length = 0;
    std::uint32_t code_point = 0;
    std::uint32_t least = 0;
    if (lead >= 0xC2U && lead <= 0xDFU) {
        length = 2, code_point = lead & 0x1FU, least = 0x80U;
    } else if (lead >= 0xE0U && lead <= 0xEFU) {
        length = 3, code_point = lead & 0x0FU, least = 0x800U;
    } else if (lead >= 0xF0U && lead <= 0xF4U) {
        length = 4, code_point = lead & 0x07U, least = 0x10000U;
    } else {
        return {0, 0};
    }
    if (text.size() < length) return {0, 0};
    for (std::size_t i = 1; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if ((byte & 0xC0U) != 0x80U) return {0, 0};
        code_point = (code_point << 6U) | (byte & 0x3FU);
    }
    if (code_point < least || code_point > 0x10FFFFU ||
        (code_point >= 0xD800U && code_point <= 0xDFFFU))
        return {0, 0};
    return {length, code_point};
}
