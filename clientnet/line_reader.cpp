#include "line_reader.hpp"

#include <cstdlib>
#include <cstring>
#include <utility>

line_buffer::line_buffer(std::size_t initial_capacity)
    : data_(static_cast<char*>(std::malloc(initial_capacity))),
      capacity_(data_ != nullptr ? initial_capacity : 0)
{
}

line_buffer::line_buffer(line_buffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), capacity_(std::exchange(other.capacity_, 0))
{
}

line_buffer& line_buffer::operator=(line_buffer&& other) noexcept
{
    if (this == &other) return *this;
    std::free(data_);
    data_ = std::exchange(other.data_, nullptr);
    capacity_ = std::exchange(other.capacity_, 0);
    return *this;
}

line_buffer::~line_buffer() { std::free(data_); }

bool line_buffer::zero_fill(std::size_t size)
{
    if (size > capacity_) {
        void* const grown = std::realloc(data_, size);
        if (grown == nullptr) return false;
        data_ = static_cast<char*>(grown);
        capacity_ = size;
    }
    std::memset(data_, 0, size);
    return true;
}

input_line read_line(line_buffer& buffer, std::FILE* input)
{
    const ssize_t count = getline(&buffer.data_, &buffer.capacity_, input);
    // getline reports the end of input and a failure alike; a failure (a read error,
    // or a line too long for memory) leaves no end-of-file mark.
    if (count == -1) return {count, {}, std::feof(input) == 0};
    return {count, {buffer.data_, ::strnlen(buffer.data_, static_cast<std::size_t>(count))}, false};
}
