// The checks on a roster's row, and on cardpost -q's answers: what cannot travel as
// given is refused, with the reason, never changed to fit.
#include "roster.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>

void free_bytes::operator()(char* bytes) const { std::free(bytes); }

owned_text copy_text(std::string_view text, std::string_view after)
{
    owned_text copy;
    copy.bytes.reset(static_cast<char*>(std::malloc(std::max<std::size_t>(text.size() + after.size(), 1))));
    if (copy.bytes == nullptr) return copy;
    if (!text.empty()) std::memcpy(copy.bytes.get(), text.data(), text.size());
    if (!after.empty()) std::memcpy(copy.bytes.get() + text.size(), after.data(), after.size());
    copy.size = text.size() + after.size();
    return copy;
}

bool refuse(refusal& why, const char* format, ...)  // NOLINT(cert-dcl50-cpp): printf's way, checked by the compiler
{
    if (why[0] != '\0') return false;  // the first reason stands
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(why.data(), why.size(), format, arguments);
    va_end(arguments);
    return false;
}

bool fill_text(refusal& why, std::span<char, person_text_size> field, const char* name, std::string_view bytes)
{
    if (bytes.size() > person_text_max_length)
        return refuse(why, "%s is %zu bytes, more than the %zu a record holds", name, bytes.size(),
                      person_text_max_length);
    if (bytes.find('\0') != std::string_view::npos) return refuse(why, "%s holds a zero byte", name);
    std::copy(bytes.begin(), bytes.end(), field.begin());
    return true;
}

bool fill_typed_answer(refusal& why, std::span<char, person_text_size> field, const char* name, std::string_view answer)
{
    if (answer.find_first_of("\r\n") != std::string_view::npos)
        return refuse(why, "%s holds a line break, which no typed answer does", name);
    if (answer.size() + 1 > person_text_max_length)
        return refuse(why, "%s is %zu bytes with its newline, more than the %zu a record holds", name,
                      answer.size() + 1, person_text_max_length);
    std::array<char, person_text_size> typed{};
    std::copy(answer.begin(), answer.end(), typed.begin());
    typed[answer.size()] = '\n';
    return fill_text(why, field, name, std::string_view(typed.data(), answer.size() + 1));
}

bool fill_whole_age(refusal& why, person_record& record, std::string_view digits)
{
    const bool digits_only = !digits.empty() && digits.size() <= 5 &&
                             std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
    const std::uint32_t age = std::accumulate(
        digits.begin(), digits.end(), std::uint32_t{0},
        [](std::uint32_t sum, char digit) { return sum * 10 + static_cast<std::uint32_t>(digit - '0'); });
    if (!digits_only || age > 65535)
        return refuse(why, "the age is not a whole number from 0 to 65535: \"%.*s\"",
                      static_cast<int>(std::min<std::size_t>(digits.size(), 16)), digits.data());
    fill_person_age(record, age);
    return true;
}

bool require_names(refusal& why, std::string_view nombre, std::string_view apellido)
{
    // A typed name is its newline at least: one with nothing before it is empty too.
    const auto empty = [](std::string_view text) { return text.empty() || text == "\n"; };
    if (empty(nombre)) return refuse(why, "nombre is empty");
    if (empty(apellido)) return refuse(why, "apellido is empty");
    return true;
}
