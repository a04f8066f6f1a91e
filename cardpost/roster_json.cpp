// A roster in JSON Lines, as cardbox --json prints records: one object a line with
// nombre, apellido and edad (and the nombre_base64 or apellido_base64 that carry a
// text's exact bytes); a line with an error is a record that did not arrive whole.
#include "roster.hpp"

#include <algorithm>
#include <cstring>

namespace {

constexpr int deepest_json = 32;

struct json_cursor {
    const char* at;
    const char* end;
    char* scratch;  // where strings are decoded
};

void skip_blanks(json_cursor& cursor)
{
    while (cursor.at < cursor.end && (*cursor.at == ' ' || *cursor.at == '\t' || *cursor.at == '\r'))
        ++cursor.at;
}

bool take(json_cursor& cursor, char expected)
{
    skip_blanks(cursor);
    if (cursor.at >= cursor.end || *cursor.at != expected) return false;
    ++cursor.at;
    return true;
}

// Appends a code point in UTF-8.
std::size_t put_utf8(char* into, std::uint32_t code_point)
{
    if (code_point < 0x80U) {
        into[0] = static_cast<char>(code_point);
        return 1;
    }
    if (code_point < 0x800U) {
        into[0] = static_cast<char>(0xC0U | (code_point >> 6U));
        into[1] = static_cast<char>(0x80U | (code_point & 0x3FU));
        return 2;
    }
    if (code_point < 0x10000U) {
        into[0] = static_cast<char>(0xE0U | (code_point >> 12U));
        into[1] = static_cast<char>(0x80U | ((code_point >> 6U) & 0x3FU));
        into[2] = static_cast<char>(0x80U | (code_point & 0x3FU));
        return 3;
    }
    into[0] = static_cast<char>(0xF0U | (code_point >> 18U));
    into[1] = static_cast<char>(0x80U | ((code_point >> 12U) & 0x3FU));
    into[2] = static_cast<char>(0x80U | ((code_point >> 6U) & 0x3FU));
    into[3] = static_cast<char>(0x80U | (code_point & 0x3FU));
    return 4;
}

bool read_hex4(json_cursor& cursor, std::uint32_t& value)
{
    if (cursor.end - cursor.at < 4) return false;
    value = 0;
    for (int i = 0; i < 4; ++i) {
        const char c = *cursor.at++;
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0) return false;
        value = value * 16 + static_cast<std::uint32_t>(digit);
    }
    return true;
}

// Reads a string, decoded into the scratch; returns it, or false.
bool read_string(json_cursor& cursor, std::string_view& decoded)
{
    if (!take(cursor, '"')) return false;
    char* const start = cursor.scratch;
    char* out = start;
    while (cursor.at < cursor.end && *cursor.at != '"') {
        const auto c = static_cast<unsigned char>(*cursor.at++);
        if (c < 0x20U) return false;
        if (c != '\\') {
            *out++ = static_cast<char>(c);
            continue;
        }
        if (cursor.at >= cursor.end) return false;
        const char escape = *cursor.at++;
        constexpr std::string_view named = "\"\\/bfnrt";
        constexpr std::string_view meant = "\"\\/\b\f\n\r\t";
        if (const std::size_t which = named.find(escape); which != std::string_view::npos) {
            *out++ = meant[which];
            continue;
        }
        std::uint32_t code_point = 0;
        if (escape != 'u' || !read_hex4(cursor, code_point)) return false;
        if (code_point >= 0xD800U && code_point <= 0xDBFFU) {
            std::uint32_t low = 0;
            if (cursor.end - cursor.at < 2 || cursor.at[0] != '\\' || cursor.at[1] != 'u') return false;
            cursor.at += 2;
            if (!read_hex4(cursor, low) || low < 0xDC00U || low > 0xDFFFU) return false;
            code_point = 0x10000U + ((code_point - 0xD800U) << 10U) + (low - 0xDC00U);
        } else if (code_point >= 0xDC00U && code_point <= 0xDFFFU) {
            return false;
        }
        out += put_utf8(out, code_point);
    }
    if (cursor.at >= cursor.end) return false;
    ++cursor.at;
    cursor.scratch = out;
    decoded = std::string_view(start, static_cast<std::size_t>(out - start));
    return true;
}

// Reads a number; `whole` says whether it is an integer within 64 bits.
bool read_number(json_cursor& cursor, std::int64_t& value, bool& whole)
{
    skip_blanks(cursor);
    const char* const start = cursor.at;
    if (cursor.at < cursor.end && *cursor.at == '-') ++cursor.at;
    const char* const digits = cursor.at;
    while (cursor.at < cursor.end && *cursor.at >= '0' && *cursor.at <= '9') ++cursor.at;
    if (cursor.at == digits) return false;
    whole = true;
    if (cursor.at < cursor.end && (*cursor.at == '.' || *cursor.at == 'e' || *cursor.at == 'E')) {
        whole = false;
        while (cursor.at < cursor.end && std::strchr("0123456789.eE+-", *cursor.at) != nullptr) ++cursor.at;
    }
    value = 0;
    if (whole) {
        if (cursor.at - digits > 18) whole = false;
        for (const char* digit = digits; whole && digit < cursor.at; ++digit) value = value * 10 + (*digit - '0');
        if (*start == '-') value = -value;
    }
    return true;
}

bool skip_value(json_cursor& cursor, int depth);

bool skip_members(json_cursor& cursor, char close, int depth)
{
    if (take(cursor, close)) return true;
    do {
        std::string_view ignored;
        if (close == '}' && (!read_string(cursor, ignored) || !take(cursor, ':'))) return false;
        if (!skip_value(cursor, depth + 1)) return false;
    } while (take(cursor, ','));
    return take(cursor, close);
}

bool skip_value(json_cursor& cursor, int depth)
{
    if (depth > deepest_json) return false;
    skip_blanks(cursor);
    if (cursor.at >= cursor.end) return false;
    const char first = *cursor.at;
    if (first == '"') {
        std::string_view ignored;
        return read_string(cursor, ignored);
    }
    if (first == '{' || first == '[') {
        ++cursor.at;
        return skip_members(cursor, first == '{' ? '}' : ']', depth);
    }
    const std::string_view rest(cursor.at, static_cast<std::size_t>(cursor.end - cursor.at));
    constexpr std::array<std::string_view, 3> words{"true", "false", "null"};
    const auto* const word =
        std::find_if(words.begin(), words.end(), [rest](std::string_view w) { return rest.starts_with(w); });
    if (word != words.end()) {
        cursor.at += word->size();
        return true;
    }
    std::int64_t number = 0;
    bool whole = false;
    return read_number(cursor, number, whole);
}

// Decodes base64 (with its padding) into `into`; returns the length, or -1.
std::ptrdiff_t decode_base64(std::string_view text, char* into)
{
    constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (text.size() % 4 != 0) return -1;
    std::ptrdiff_t length = 0;
    for (std::size_t at = 0; at < text.size(); at += 4) {
        std::uint32_t group = 0;
        int padding = 0;
        for (std::size_t i = 0; i < 4; ++i) {
            const char c = text[at + i];
            const std::size_t value = alphabet.find(c);
            if (c == '=' && at + 4 == text.size() && i >= 2) {
                ++padding;
            } else if (value == std::string_view::npos || padding > 0) {
                return -1;
            }
            group = (group << 6U) | static_cast<std::uint32_t>(value == std::string_view::npos ? 0 : value);
        }
        for (int i = 0; i < 3 - padding; ++i) into[length++] = static_cast<char>((group >> (16 - 8 * i)) & 0xFFU);
    }
    return length;
}

}  // namespace

// NOLINTNEXTLINE(readability-non-const-parameter): the fields are decoded into scratch
void read_json_row(std::string_view line, char* scratch, roster_row& row)
{
    json_cursor cursor{line.data(), line.data() + line.size(), scratch};
    std::array<std::string_view, 2> texts{};
    std::array<std::string_view, 2> encoded{};
    std::array<bool, 2> have_text{};
    std::array<bool, 2> have_encoded{};
    bool have_age = false;
    std::int64_t age = 0;
    bool age_whole = false;
    std::string_view error;
    bool have_error = false;
    bool parsed = take(cursor, '{');
    if (parsed && !take(cursor, '}')) {
        do {
            std::string_view key;
            if (!read_string(cursor, key) || !take(cursor, ':')) {
                parsed = false;
                break;
            }
            const std::size_t which = key == "nombre" || key == "nombre_base64" ? 0 : 1;
            bool* const seen = key == "nombre" || key == "apellido"               ? &have_text[which]
                               : key == "nombre_base64" || key == "apellido_base64" ? &have_encoded[which]
                               : key == "edad"                                     ? &have_age
                               : key == "error"                                    ? &have_error
                                                                                   : nullptr;
            // A key named twice: which of its two values would be sent?
            if (seen != nullptr && *seen)
                refuse(row.refused, "the key %.*s is named twice", static_cast<int>(key.size()), key.data());
            if (key == "nombre" || key == "apellido")
                parsed = (have_text[which] = read_string(cursor, texts[which]));
            else if (key == "nombre_base64" || key == "apellido_base64")
                parsed = (have_encoded[which] = read_string(cursor, encoded[which]));
            else if (key == "edad")
                parsed = (have_age = read_number(cursor, age, age_whole));
            else if (key == "error")
                parsed = (have_error = read_string(cursor, error));
            else
                parsed = skip_value(cursor, 1);
        } while (parsed && take(cursor, ','));
        parsed = parsed && take(cursor, '}');
    }
    skip_blanks(cursor);
    if (!parsed || cursor.at != cursor.end) {
        refuse(row.refused, "the row cannot be parsed as a JSON object");
        return;
    }
    row.nombre = copy_text(texts[0]);
    row.apellido = copy_text(texts[1]);
    if (row.refused[0] != '\0') return;
    if (have_error) {
        refuse(row.refused, "the record did not arrive whole: %.*s",
               static_cast<int>(std::min<std::size_t>(error.size(), 48)), error.data());
        return;
    }
    constexpr std::array<const char*, 2> names{"nombre", "apellido"};
    for (std::size_t which = 0; which < 2; ++which) {
        if (!have_text[which] && !have_encoded[which]) {
            refuse(row.refused, "a field is missing: %s", names[which]);
            return;
        }
    }
    if (!have_age) {
        refuse(row.refused, "a field is missing: edad");
        return;
    }
    std::array<std::string_view, 2> bytes = texts;
    for (std::size_t which = 0; which < 2; ++which) {
        // The exact bytes of a text that was not valid UTF-8.
        if (!have_encoded[which]) continue;
        char* const decoded = cursor.scratch;
        const std::ptrdiff_t length = decode_base64(encoded[which], decoded);
        if (length < 0) {
            refuse(row.refused, "%s_base64 is not base64", names[which]);
            return;
        }
        cursor.scratch += length;
        bytes[which] = std::string_view(decoded, static_cast<std::size_t>(length));
    }
    if (!require_names(row.refused, bytes[0], bytes[1])) return;
    for (std::size_t which = 0; which < 2; ++which)
        if (!fill_text(row.refused, which == 0 ? std::span(row.record.nombre) : std::span(row.record.apellido),
                       names[which], bytes[which]))
            return;
    if (!age_whole || age < 0 || age > 65535) {
        refuse(row.refused, "the age is not a whole number from 0 to 65535");
        return;
    }
    fill_person_age(row.record, age);
}
