// load: drives the programs for the benchmark runner over loopback and prints one
// figure, a rate per second, on standard output.
//
//   load records CONNECTIONS COUNT  COUNT genuine person records to port 8000, over
//                                   CONNECTIONS concurrent connections at a time
//   load processes COUNT PROGRAM    PROGRAM run COUNT times back to back, each with
//                                   the answers to its three prompts on a pipe
//   load lines COUNT PROGRAM        PROGRAM run once with COUNT lines on standard input
//   load echo COUNT                 the same COUNT lines sent to port 9000 and each
//                                   echo awaited, in this process: the floor for PROGRAM
//
// Every wait is bounded: sockets time out and children are killed after a time-out.
#include "person_record.hpp"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr in_port_t record_port = 8000;
constexpr in_port_t echo_port = 9000;
constexpr timeval socket_timeout{5, 0};
constexpr int child_timeout_ms = 10'000;
constexpr std::string_view answers = "Ana\nPerez\n25\n";
constexpr std::string_view echo_line = "hola\n";

using clock_type = std::chrono::steady_clock;

[[noreturn]] void fail(const char* what)
{
    std::perror(what);
    std::exit(EXIT_FAILURE);
}

double seconds_since(clock_type::time_point start)
{
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

// Returns a socket connected to ::1 on the port, its waits bounded.
int connect_loopback(in_port_t port)
{
    const int fd = socket(AF_INET6, SOCK_STREAM, 0);
    if (fd == -1) fail("load: socket");
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &socket_timeout, sizeof socket_timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &socket_timeout, sizeof socket_timeout);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(port);
    address.sin6_addr = in6addr_loopback;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == -1)
        fail("load: connect");
    return fd;
}

// One exchange as cardpost makes it: connect, write the record, close the sending side,
// wait for the server to close.
void send_record(std::span<const char, person_record_size> record)
{
    const int fd = connect_loopback(record_port);
    if (write(fd, record.data(), record.size()) != static_cast<ssize_t>(record.size()))
        fail("load: write");
    shutdown(fd, SHUT_WR);
    std::array<char, 128> discard{};
    ssize_t count = 0;
    while ((count = read(fd, discard.data(), discard.size())) > 0) {
    }
    if (count == -1) fail("load: waiting for the server to close");
    close(fd);
}

double records_per_second(int connections, long count)
{
    const person_record record = fill_person_record("Ana\n", "Perez\n", 25);
    std::atomic<long> left{count};
    const auto start = clock_type::now();
    std::vector<std::thread> workers;
    workers.reserve(static_cast<std::size_t>(connections));
    for (int i = 0; i < connections; ++i)
        workers.emplace_back([&] {
            while (left.fetch_sub(1) > 0) send_record(person_record_bytes(record));
        });
    for (std::thread& worker : workers) worker.join();
    return static_cast<double>(count) / seconds_since(start);
}

// Runs the program with the descriptor as its standard input and its output thrown
// away; waits for it, killing it after the time-out. Returns its exit status.
int run_child(const char* program, int input)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input, STDIN_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t child = 0;
    char* const argv[] = {const_cast<char*>(program), nullptr};
    const int status = posix_spawn(&child, program, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (status != 0) {
        errno = status;
        fail(program);
    }
    const int child_fd = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
    pollfd ended{child_fd, POLLIN, 0};
    if (child_fd == -1 || poll(&ended, 1, child_timeout_ms) != 1) kill(child, SIGKILL);
    int wait_status = 0;
    waitpid(child, &wait_status, 0);
    if (child_fd != -1) close(child_fd);
    return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
}

double processes_per_second(long count, const char* program)
{
    const auto start = clock_type::now();
    for (long i = 0; i < count; ++i) {
        std::array<int, 2> pipe_ends{};
        if (pipe(pipe_ends.data()) == -1) fail("load: pipe");
        if (write(pipe_ends[1], answers.data(), answers.size()) != static_cast<ssize_t>(answers.size()))
            fail("load: pipe write");
        close(pipe_ends[1]);
        const int status = run_child(program, pipe_ends[0]);
        close(pipe_ends[0]);
        if (status != 0) {
            std::fprintf(stderr, "load: %s ended with status %d\n", program, status);
            std::exit(EXIT_FAILURE);
        }
    }
    return static_cast<double>(count) / seconds_since(start);
}

double program_lines_per_second(long count, const char* program)
{
    char path[] = "/tmp/load-lines-XXXXXX";
    const int lines = mkstemp(path);
    if (lines == -1) fail("load: mkstemp");
    unlink(path);
    std::string text;
    for (long i = 0; i < count; ++i) text += echo_line;
    if (write(lines, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        fail("load: lines write");
    lseek(lines, 0, SEEK_SET);
    const auto start = clock_type::now();
    const int status = run_child(program, lines);
    const double elapsed = seconds_since(start);
    close(lines);
    if (status != 0) {
        std::fprintf(stderr, "load: %s ended with status %d\n", program, status);
        std::exit(EXIT_FAILURE);
    }
    return static_cast<double>(count) / elapsed;
}

double echo_lines_per_second(long count)
{
    // The line's text with the zero byte that linebounce sends after it.
    const std::string sent = std::string(echo_line) + '\0';
    std::array<char, 64> echo{};
    const auto start = clock_type::now();
    const int fd = connect_loopback(echo_port);
    for (long i = 0; i < count; ++i) {
        if (write(fd, sent.data(), sent.size()) != static_cast<ssize_t>(sent.size()))
            fail("load: echo write");
        if (read(fd, echo.data(), sent.size()) <= 0) fail("load: echo read");
    }
    close(fd);
    return static_cast<double>(count) / seconds_since(start);
}

long positive(const char* text)
{
    const long value = std::strtol(text, nullptr, 10);
    if (value <= 0) {
        std::fprintf(stderr, "load: not a positive count: %s\n", text);
        std::exit(EXIT_FAILURE);
    }
    return value;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string_view mode = argc > 1 ? argv[1] : "";
    double rate = 0;
    if (mode == "records" && argc == 4)
        rate = records_per_second(static_cast<int>(positive(argv[2])), positive(argv[3]));
    else if (mode == "processes" && argc == 4)
        rate = processes_per_second(positive(argv[2]), argv[3]);
    else if (mode == "lines" && argc == 4)
        rate = program_lines_per_second(positive(argv[2]), argv[3]);
    else if (mode == "echo" && argc == 3)
        rate = echo_lines_per_second(positive(argv[2]));
    else {
        std::fputs("usage: load records CONNECTIONS COUNT | processes COUNT PROGRAM |"
                   " lines COUNT PROGRAM | echo COUNT\n", stderr);
        return 2;
    }
    std::printf("%.1f\n", rate);
}
