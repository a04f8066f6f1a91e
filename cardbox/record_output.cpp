#include "record_output.hpp"

#include "command_line.hpp"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

constexpr std::size_t initial_capacity = 4096;

write_way way_to_write(int fd)
{
    struct stat status {};
    if (fstat(fd, &status) == -1 || S_ISREG(status.st_mode) || S_ISBLK(status.st_mode))
        return write_way::plain;
    if (S_ISSOCK(status.st_mode)) return write_way::socket;
    return write_way::nowait;
}

// Makes room for `more` bytes after the end; returns false when memory runs out.
bool make_room(record_output& out, std::size_t more)
{
    if (out.capacity - out.end >= more) return true;
    // Bytes already written out leave the front first.
    if (out.start > 0) {
        std::memmove(out.data, out.data + out.start, out.end - out.start);
        out.end -= out.start;
        out.start = 0;
        if (out.capacity - out.end >= more) return true;
    }
    std::size_t capacity = out.capacity > 0 ? out.capacity : initial_capacity;
    while (capacity - out.end < more) capacity *= 2;
    void* const grown = std::realloc(out.data, capacity);
    if (grown == nullptr) {
        out.out_of_memory = true;
        return false;
    }
    out.data = static_cast<char*>(grown);
    out.capacity = capacity;
    return true;
}

// One try at writing the bytes without waiting for room (bar a terminal, which cannot
// be written that way). Returns what write returns.
ssize_t try_write(record_output& out, const char* bytes, std::size_t size)
{
    switch (out.way) {
    case write_way::socket:
        return send(out.fd, bytes, size, MSG_DONTWAIT);
    case write_way::nowait: {
        iovec piece{const_cast<char*>(bytes), size};
        const ssize_t count = pwritev2(out.fd, &piece, 1, -1, RWF_NOWAIT);
        if (count != -1 || errno != EOPNOTSUPP) return count;
        out.way = write_way::plain;  // a terminal, or a system that cannot tell
        break;
    }
    case write_way::plain:
        break;
    }
    return write(out.fd, bytes, size);
}

}  // namespace

record_output::record_output(int descriptor)
    : fd(descriptor), way(way_to_write(descriptor)), wait_mask{}
{
    sigprocmask(SIG_SETMASK, nullptr, &wait_mask);
}

record_output::~record_output() { std::free(data); }

void print(record_output& out, std::string_view text)
{
    if (!make_room(out, text.size())) return;
    std::memcpy(out.data + out.end, text.data(), text.size());
    out.end += text.size();
}

void print_number(record_output& out, std::int64_t number, int least_digits)
{
    // Digits from the last; the magnitude as unsigned, so that the least number has one.
    std::array<char, 24> digits{};
    std::size_t first = digits.size();
    const auto as_unsigned = static_cast<std::uint64_t>(number);
    std::uint64_t magnitude = number < 0 ? 0 - as_unsigned : as_unsigned;
    do {
        digits[--first] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude > 0 || digits.size() - first < static_cast<std::size_t>(least_digits));
    if (number < 0) digits[--first] = '-';
    print(out, {digits.data() + first, digits.size() - first});
}

std::uint64_t printed_up_to(const record_output& out) { return out.written + (out.end - out.start); }

int write_printed(record_output& out, std::uint64_t until, bool wait)
{
    if (out.out_of_memory) return ENOMEM;
    while (out.written < until) {
        const auto size = static_cast<std::size_t>(until - out.written);
        const ssize_t count = try_write(out, out.data + out.start, size);
        if (count > 0) {
            out.start += static_cast<std::size_t>(count);
            out.written += static_cast<std::uint64_t>(count);
            continue;
        }
        if (count == -1 && errno == EINTR) continue;
        if (count == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return count == 0 ? EIO : errno;
        if (!wait) return EAGAIN;
        // Standard output may be non-blocking, set so by whoever started the server:
        // wait for room rather than give up.
        pollfd room{out.fd, POLLOUT, 0};
        if (ppoll(&room, 1, nullptr, &out.wait_mask) == -1 && errno != EINTR) return errno;
    }
    if (out.start == out.end) out.start = out.end = 0;
    return 0;
}

bool write_all_printed(record_output& out)
{
    const int error = write_printed(out, printed_up_to(out), true);
    if (error == 0) return true;
    errno = error;
    std::perror(output_failure);
    return false;
}

int sync_output(record_output& out) { return fdatasync(out.fd) == 0 ? 0 : errno; }

std::optional<int> refuse_unsyncable(record_output& out)
{
    const int error = sync_output(out);
    if (error == 0) return std::nullopt;
    // A pipe, a terminal, a socket (the journal): nothing there can be made durable.
    if (error == EINVAL || error == EROFS) {
        std::fprintf(stderr, "cardbox: --sync: standard output cannot be synced (%s); send it to a file\n",
                     std::strerror(error));
        return exit_usage;
    }
    errno = error;
    std::perror(output_failure);
    return EXIT_FAILURE;
}

stop_signals_held::stop_signals_held() : previous{}
{
    sigset_t stops;
    sigfillset(&stops);
    for (const int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT, SIGPIPE})
        sigdelset(&stops, fault);
    sigprocmask(SIG_BLOCK, &stops, &previous);
}

stop_signals_held::~stop_signals_held() { sigprocmask(SIG_SETMASK, &previous, nullptr); }
