#include "command_line.hpp"

#include "standard_streams.hpp"
#include "version.hpp"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <netdb.h>
#include <string_view>

void name_program(char** argv, const command_texts& texts)
{
    // getopt names the program by argv[0]; the strings of argv may be replaced.
    argv[0] = const_cast<char*>(texts.name);
}

int print_help(const command_texts& texts)
{
    std::fputs(texts.usage, stdout);
    std::fputs(texts.description, stdout);
    std::putchar('\n');
    std::fputs(texts.options, stdout);
    if (texts.more_options != nullptr) std::fputs(texts.more_options, stdout);
    return exit_status_after_output(EXIT_SUCCESS, texts.output_failure);
}

int print_version(const command_texts& texts)
{
    std::printf("%s %s\n", texts.name, project_version);
    return exit_status_after_output(EXIT_SUCCESS, texts.output_failure);
}

int usage_error(const command_texts& texts, const char* problem, const char* value)
{
    if (problem != nullptr && value != nullptr)
        std::fprintf(stderr, "%s: %s '%s'\n", texts.name, problem, value);
    else if (problem != nullptr)
        std::fprintf(stderr, "%s: %s\n", texts.name, problem);
    std::fputs(texts.usage, stderr);
    return exit_usage;
}

std::optional<int> whole_number(const char* text, int least, int most)
{
    const std::string_view digits(text);
    int number = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (error != std::errc{} || end != digits.data() + digits.size() || number < least || number > most)
        return std::nullopt;
    return number;
}

bool is_port(const char* text)
{
    const std::string_view port(text);
    if (port.empty()) return false;
    if (!std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return getservbyname(text, "tcp") != nullptr;
    unsigned number = 0;
    const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), number);
    return error == std::errc{} && end == port.data() + port.size() && number >= 1 && number <= 65535;
}
