#include "utf8.hpp"

#include <algorithm>
#include <iterator>

utf8_character decode_utf8(std::string_view text)
{
    const auto lead = static_cast<unsigned char>(text.front());
    if (lead < 0x80U) return {1, lead};
    // The length that the lead byte claims, the payload bits it carries, and the least
    // code point that needs that length (anything less is an overlong form).
    struct sequence {
        unsigned char first_lead, last_lead, payload_mask;
        std::size_t length;
        std::uint32_t least;
    };
    static constexpr sequence sequences[] = {
        {0xC2, 0xDF, 0x1F, 2, 0x80},
        {0xE0, 0xEF, 0x0F, 3, 0x800},
        {0xF0, 0xF4, 0x07, 4, 0x10000},
    };
    const sequence* const kind =
        std::find_if(std::begin(sequences), std::end(sequences), [lead](const sequence& candidate) {
            return lead >= candidate.first_lead && lead <= candidate.last_lead;
        });
    if (kind == std::end(sequences)) return {0, 0};
    const std::size_t length = kind->length;
    std::uint32_t code_point = lead & kind->payload_mask;
    const std::uint32_t least = kind->least;
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
