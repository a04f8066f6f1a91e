// The clients' line reader: whole lines of any length from a stream.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string_view>
#include <sys/types.h>

// One line as read, its newline kept. Its text lives in the buffer it was read into,
// until the next line is read there.
struct input_line {
    ssize_t count;          // the bytes read, or -1 when no line could be read
    std::string_view text;  // the bytes before the first zero byte; empty when count is -1
    bool failed;            // no line because the input could not be read (not its end);
                            // errno says why
};

// A buffer that grows as the lines read into it need. getline grows it with realloc,
// so it is allocated with malloc and released with free.
class line_buffer {
public:
    explicit line_buffer(std::size_t initial_capacity);
    line_buffer(line_buffer&& other) noexcept;
    line_buffer& operator=(line_buffer&& other) noexcept;
    line_buffer(const line_buffer&) = delete;
    line_buffer& operator=(const line_buffer&) = delete;
    ~line_buffer();

    char* data() const { return data_; }

    // Makes the buffer hold at least size bytes, the first size of them zero. Returns
    // false, with errno set, when there is no memory for it.
    bool zero_fill(std::size_t size);

private:
    friend input_line read_line(line_buffer& buffer, std::FILE* input);
    char* data_;
    std::size_t capacity_;
};

// Returns the next line of the input, read into the buffer (grown as needed).
input_line read_line(line_buffer& buffer, std::FILE* input);
