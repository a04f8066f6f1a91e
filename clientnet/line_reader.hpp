// The clients' line reader: whole lines of any length from a stream.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string_view>
#include <sys/types.h>

// The line reader's buffer. getline grows it with realloc, so it is allocated with
// malloc and released with free.
struct line_buffer {
    char* data;
    std::size_t capacity;
    explicit line_buffer(std::size_t initial_capacity);
    line_buffer(const line_buffer&) = delete;
    line_buffer& operator=(const line_buffer&) = delete;
    ~line_buffer();
};

// One line as read, its newline kept.
struct input_line {
    ssize_t count;          // the bytes read, or -1 when no line could be read
    std::string_view text;  // the bytes before the first zero byte; empty when count is -1
    bool failed;            // no line because the input could not be read (not its end);
                            // errno says why
};

// Returns the next line of the input, read into the buffer (grown as needed).
input_line read_line(line_buffer& buffer, std::FILE* input);
