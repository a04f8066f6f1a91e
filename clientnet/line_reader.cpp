#include "line_reader.hpp"

#include <cstdlib>
#include <cstring>

line_buffer::line_buffer(std::size_t initial_capacity)
    : data(static_cast<char*>(std::malloc(initial_capacity))),
      capacity(data != nullptr ? initial_capacity : 0)
{
}

line_buffer::~line_buffer() { std::free(data); }

input_line read_line(line_buffer& buffer, std::FILE* input)
{
    const ssize_t count = getline(&buffer.data, &buffer.capacity, input);
    // getline reports the end of input and a failure alike; a failure (a read error,
    // or a line too long for memory) leaves no end-of-file mark.
    if (count == -1) return {count, {}, std::feof(input) == 0};
    return {count, {buffer.data, ::strnlen(buffer.data, static_cast<std::size_t>(count))}, false};
}
