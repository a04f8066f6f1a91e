// What the three programs share on their command line.
#pragma once

#include <optional>

// The exit status of a command line that cannot be used (EX_USAGE in sysexits.h).
constexpr int exit_usage = 64;

// What a program says about its command line.
struct command_texts {
    const char* name;                    // the program's name, which its reports start with
    const char* usage;                   // the usage line, newline included
    const char* description;             // what --help prints after the usage line,
    const char* options;                 // then a blank line and these lines
    const char* more_options = nullptr;  // and these, shared with other programs
    const char* output_failure;          // for perror, when standard output cannot be written
};

// Makes getopt's reports name the program, whatever path it was run by.
void name_program(char** argv, const command_texts& texts);

// Prints the usage, the description and the options (--help), or the program's name
// and the project's version (--version), on standard output. Returns the status to end
// the program with: 0, or 1 if the output could not be written.
int print_help(const command_texts& texts);
int print_version(const command_texts& texts);

// Reports a command line that cannot be used on standard error: a line naming the
// problem and the value at fault, if any (no line when getopt has named the problem
// already), then the usage. Returns exit_usage, the status to end the program with.
int usage_error(const command_texts& texts, const char* problem = nullptr,
                const char* value = nullptr);

// Returns the whole number that the text holds, or nothing when it holds anything else
// or a number outside least..most.
std::optional<int> whole_number(const char* text, int least, int most);

// True when the text names a TCP port: a number from 1 to 65535, or a service name.
bool is_port(const char* text);
