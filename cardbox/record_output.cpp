#include "record_output.hpp"

#include "command_line.hpp"
#include "reports.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/magic.h>
#include <charconv>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

namespace {

constexpr std::size_t initial_capacity = 4096;

// How the output is named in reports.
const char* output_name(const record_output& out) { return out.path != nullptr ? out.path : "standard output"; }

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

// Cuts a regular file back by `bytes` from its end, and writes on from there. Returns
// 0 or the error.
int cut_file_end(int fd, off_t bytes)
{
    struct stat status {};
    if (fstat(fd, &status) == -1) return errno;
    const off_t size = std::max<off_t>(status.st_size - bytes, 0);
    if (ftruncate(fd, size) == -1) return errno;
    // Where the file was not opened for appending, the next write goes at the new end.
    lseek(fd, size, SEEK_SET);
    return 0;
}

// Cuts a file back to the end of its last whole line, when a record was left cut at its
// end (a full disk, or a crash in the middle of a write), so that the next record is
// not glued to it. Returns false when that fails (reported).
bool cut_back_to_whole_line(const record_output& out)
{
    struct stat status {};
    if (fstat(out.channel.fd, &status) == -1 || !S_ISREG(status.st_mode) || status.st_size == 0) return true;
    // The output is open for writing only: its end is read through a descriptor of its
    // own. Where that cannot be had, the end is left as it is.
    std::array<char, 32> path{};
    std::snprintf(path.data(), path.size(), "/proc/self/fd/%d", out.channel.fd);
    const owned_fd reader(open(path.data(), O_RDONLY | O_CLOEXEC));
    if (reader.get() == -1) return true;
    std::array<char, 4096> block{};
    off_t whole = status.st_size;  // the end of the last whole line, once found
    for (off_t end = status.st_size; end > 0;) {
        const off_t from = std::max<off_t>(end - static_cast<off_t>(block.size()), 0);
        const ssize_t count = pread(reader.get(), block.data(), static_cast<std::size_t>(end - from), from);
        if (count <= 0) return true;
        const auto* const last = static_cast<const char*>(::memrchr(block.data(), '\n', static_cast<std::size_t>(count)));
        if (last != nullptr) {
            whole = from + (last - block.data()) + 1;
            break;
        }
        whole = end = from;
    }
    if (whole == status.st_size) return true;
    if (const int error = cut_file_end(out.channel.fd, status.st_size - whole); error != 0) {
        errno = error;
        report_failure(output_name(out), errno);
        return false;
    }
    std::array<char, 24> cut{};
    const auto [cut_end, ignored] = std::to_chars(cut.data(), cut.data() + cut.size(), status.st_size - whole);
    report_line({"cardbox: ", output_name(out), ": cut off the last ", std::string_view(cut.data(), static_cast<std::size_t>(cut_end - cut.data())),
                 " bytes, a line left unfinished by a write that failed or was stopped"});
    return true;
}

// Opens the file of --output for appending, created for the server's user alone if
// missing; with --sync, the folder's new entry is made durable too. Returns the
// descriptor, or -1 with errno.
int open_output_file(const char* path, bool sync)
{
    // Non-blocking, so that a FIFO without a reader fails rather than waits.
    constexpr int flags = O_WRONLY | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    int fd = open(path, flags | O_CREAT | O_EXCL, 0600);
    if (fd != -1 && sync) {
        std::array<char, PATH_MAX> folder{'.'};
        if (const char* const slash = std::strrchr(path, '/'); slash != nullptr) {
            const auto length = std::max<std::size_t>(static_cast<std::size_t>(slash - path), 1);
            std::memcpy(folder.data(), path, std::min(length, folder.size() - 1));
        }
        const owned_fd directory(open(folder.data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (directory.get() == -1 || fsync(directory.get()) == -1) {
            const owned_fd created(fd);
            return -1;
        }
    }
    if (fd == -1 && errno == EEXIST) fd = open(path, flags);
    return fd;
}

// With --sync, the output must be something that keeps what is synced: a file, on a
// disk. Returns the status to end with at once when it is not (reported), or nothing.
std::optional<int> refuse_unsyncable(const record_output& out)
{
    const int error = sync_output(out);
    if (error == EINVAL || error == EROFS) {
        // A pipe, a terminal, a socket (the journal): nothing there can be made durable.
        std::fprintf(stderr, "cardbox: --sync: %s cannot be synced (%s); send it to a file\n",
                     output_name(out), std::strerror(error));
        return exit_usage;
    }
    if (error != 0) {
        report_output_failure(out, error);
        return EXIT_FAILURE;
    }
    struct statfs system {};
    if (fstatfs(out.channel.fd, &system) == 0 &&
        (system.f_type == TMPFS_MAGIC || system.f_type == RAMFS_MAGIC)) {
        std::fprintf(stderr, "cardbox: --sync: %s is on a file system kept in memory (%s), which "
                             "nothing makes durable; send it to a file on a disk\n",
                     output_name(out), system.f_type == TMPFS_MAGIC ? "tmpfs" : "ramfs");
        return exit_usage;
    }
    return std::nullopt;
}

// What locking a file for the server alone came to.
enum class lock_result { locked, held_by_another, not_locked };

// Locks a file that the server writes records to, so that a second server on the same
// file refuses to start: two writers would cut back each other's records. A file
// system without locks leaves it unlocked.
lock_result lock_records_file(const output_channel& channel)
{
    if (channel.kind != channel_kind::file) return lock_result::not_locked;
    if (flock(channel.fd, LOCK_EX | LOCK_NB) == 0) return lock_result::locked;
    return errno == EWOULDBLOCK ? lock_result::held_by_another : lock_result::not_locked;
}

constexpr const char* held_by_another = "another cardbox writes its records there";

// The file's offset that `written` counts from: where the next write goes, at the end
// for a file opened for appending.
std::int64_t file_base_of(const output_channel& channel, std::uint64_t written)
{
    struct stat status {};
    if (channel.kind != channel_kind::file || fstat(channel.fd, &status) == -1) return 0;
    const int flags = fcntl(channel.fd, F_GETFL);
    const off_t next = flags != -1 && (flags & O_APPEND) == 0 ? lseek(channel.fd, 0, SEEK_CUR) : status.st_size;
    return static_cast<std::int64_t>(next) - static_cast<std::int64_t>(written);
}

// True when the position is where one of the records ends, or where writing began.
bool at_record_end(std::uint64_t position, std::uint64_t began, std::span<const std::uint64_t> ends)
{
    return position == began || std::binary_search(ends.begin(), ends.end(), position);
}

// Takes the bytes up to the position as written out.
void advance(record_output& out, std::uint64_t to)
{
    out.start += static_cast<std::size_t>(to - out.written);
    out.written = to;
}

}  // namespace

record_output::~record_output() { std::free(data); }

std::optional<int> open_record_output(record_output& out, const char* path, bool sync)
{
    out.path = path;
    out.sync = sync;
    if (path == nullptr) {
        out.channel = open_channel(STDOUT_FILENO);
    } else {
        owned_fd file(open_output_file(path, sync));
        if (file.get() == -1) {
            std::fprintf(stderr, "cardbox: %s: %s\n", path, std::strerror(errno));
            return EXIT_FAILURE;
        }
        out.channel = own_channel(std::move(file));
    }
    if (lock_records_file(out.channel) == lock_result::held_by_another) {
        std::array<char, PATH_MAX> name{};
        if (path == nullptr) {
            // Standard output is named by the file it leads to.
            std::array<char, 32> link{};
            std::snprintf(link.data(), link.size(), "/proc/self/fd/%d", STDOUT_FILENO);
            if (readlink(link.data(), name.data(), name.size() - 1) <= 0) std::strcpy(name.data(), "standard output");
        }
        std::fprintf(stderr, "cardbox: %s: %s\n", path != nullptr ? path : name.data(), held_by_another);
        return EXIT_FAILURE;
    }
    if (sync) {
        if (const std::optional<int> status = refuse_unsyncable(out)) return status;
    }
    if (out.channel.kind == channel_kind::file && !cut_back_to_whole_line(out)) return EXIT_FAILURE;
    out.file_base = file_base_of(out.channel, out.written);
    return std::nullopt;
}

void reopen_record_output(record_output& out)
{
    if (out.path == nullptr || out.cut) return;
    owned_fd file(open_output_file(out.path, out.sync));
    if (file.get() == -1) {
        report_line({"cardbox: cannot reopen ", out.path, ", going on with the file it had: ", std::strerror(errno)});
        return;
    }
    // The same file as before (no rotation came): the server goes on with it, and its
    // lock.
    struct stat opened {};
    struct stat current {};
    if (fstat(file.get(), &opened) == 0 && fstat(out.channel.fd, &current) == 0 && opened.st_dev == current.st_dev &&
        opened.st_ino == current.st_ino)
        return;
    record_output fresh;
    fresh.path = out.path;
    fresh.sync = out.sync;
    fresh.channel = own_channel(std::move(file));
    if (lock_records_file(fresh.channel) == lock_result::held_by_another) {
        report_line({"cardbox: cannot reopen ", out.path, ", going on with the file it had: ", held_by_another});
        return;
    }
    if (fresh.channel.kind == channel_kind::file && !cut_back_to_whole_line(fresh)) return;
    out.channel = std::move(fresh.channel);
    out.file_base = file_base_of(out.channel, out.written);
    out.waits_for_room = false;
}

void print(record_output& out, std::string_view text)
{
    if (!make_room(out, text.size())) return;
    std::memcpy(out.data + out.end, text.data(), text.size());
    out.end += text.size();
}

void print_number(record_output& out, std::int64_t number, int least_digits)
{
    // Digits from the last; the magnitude as unsigned, so that the least number has one.
    std::array<char, 20> digits{};  // as many as the largest 64-bit magnitude has
    std::size_t first = digits.size();
    const auto as_unsigned = static_cast<std::uint64_t>(number);
    std::uint64_t magnitude = number < 0 ? 0 - as_unsigned : as_unsigned;
    do {
        digits[--first] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude > 0);
    if (number < 0) print(out, "-");
    for (auto zeros = static_cast<std::int64_t>(least_digits) - static_cast<std::int64_t>(digits.size() - first);
         zeros > 0; --zeros)
        print(out, "0");
    print(out, {digits.data() + first, digits.size() - first});
}

std::uint64_t printed_up_to(const record_output& out) { return out.written + (out.end - out.start); }

void take_back_printed(record_output& out, std::uint64_t position)
{
    if (position >= out.written && position <= printed_up_to(out))
        out.end = out.start + static_cast<std::size_t>(position - out.written);
}

write_result write_records(record_output& out, std::span<const std::uint64_t> ends)
{
    const std::uint64_t began = out.written;
    if (out.out_of_memory) return {began, ENOMEM};
    const std::uint64_t until = ends.empty() ? began : ends.back();
    int error = 0;
    while (out.written < until && error == 0) {
        std::uint64_t piece_end = until;
        if (out.channel.kind == channel_kind::pipe) {
            // As many whole records as fit in one write that the pipe takes whole or not
            // at all: a stop, or a reader that stalls, never leaves a record cut there.
            // (A record's lines take far less than PIPE_BUF.)
            auto next = std::upper_bound(ends.begin(), ends.end(), out.written);
            piece_end = *next;
            for (; next != ends.end() && *next - out.written <= PIPE_BUF; ++next) piece_end = *next;
        }
        const written_part part = write_what_fits(out.channel, {out.data + out.start, static_cast<std::size_t>(piece_end - out.written)});
        advance(out, out.written + part.count);
        error = part.error;
    }
    out.cut = !at_record_end(out.written, began, ends);
    out.waits_for_room = error == EAGAIN;
    if (out.start == out.end) out.start = out.end = 0;
    return {out.written, error};
}

int sync_output(const record_output& out) { return fdatasync(out.channel.fd) == 0 ? 0 : errno; }

bool take_back_untold(record_output& out)
{
    if (out.channel.kind != channel_kind::file) return true;
    const std::int64_t keep = out.file_base + static_cast<std::int64_t>(out.told_up_to);
    struct stat status {};
    if (fstat(out.channel.fd, &status) == -1 || status.st_size <= keep) return true;
    if (ftruncate(out.channel.fd, keep) == 0) {
        // Where the file was not opened for appending, the next write goes at the new end.
        lseek(out.channel.fd, keep, SEEK_SET);
        return true;
    }
    std::array<char, 160> range{};
    std::snprintf(range.data(), range.size(), ": bytes %lld to %lld may hold records whose clients were reset",
                  static_cast<long long>(keep), static_cast<long long>(status.st_size));
    report_line({"cardbox: ", output_name(out), ": cannot cut back what no client was told of (",
                 std::strerror(errno), ")", range.data()});
    return false;
}

void report_output_failure(const record_output& out, int error)
{
    if (out.path == nullptr)
        report_failure(output_failure, error);
    else
        report_line({"server: ", out.path, ": ", std::strerror(error)});
}

bool write_all_printed(record_output& out)
{
    const std::uint64_t until = printed_up_to(out);
    for (;;) {
        int error = write_records(out, {&until, 1}).error;
        if (error == 0) return true;
        if (error == EAGAIN) error = wait_for_room(out.channel, -1);
        if (error == 0 || error == EINTR) continue;
        report_output_failure(out, error);
        return false;
    }
}
