// load: drives the programs for the benchmark runner over loopback and prints one
// figure, a rate per second, on standard output.
//
//   load records CONNECTIONS COUNT  COUNT genuine person records to port 8000, over
//                                   CONNECTIONS concurrent connections at a time
//   load spread CONNECTIONS COUNT   the same, each of the CONNECTIONS clients from a
//                                   loopback address of its own (127.0.0.2 and on)
//   load beside-slow CLIENTS SECONDS SILENT TRICKLING [SOURCES]
//                                   CLIENTS clients' records per second over SECONDS,
//                                   while SILENT peers connect and send nothing and
//                                   TRICKLING peers send a byte every 100 ms, each
//                                   from an address of its own (the silent ones from
//                                   SOURCES addresses, if given) and connecting again
//                                   as soon as the server resets or gives up on it
//   load hold COUNT                 COUNT silent connections from addresses of their
//                                   own, held until standard input ends; prints 1
//                                   once all are connected
//   load tls-spread CONNECTIONS COUNT
//                                   as spread, each record over TLS (the server not
//                                   verified: the load measures the server), taken
//                                   when its close_notify comes
//   load tls-hold COUNT             as hold, each connection's TLS handshake done
//   load processes COUNT PROGRAM [ARGUMENT...]
//                                   PROGRAM run COUNT times back to back, each with
//                                   the answers to its three prompts on a pipe
//   load processes-at-once AT_ONCE COUNT PROGRAM [ARGUMENT...]
//                                   the same, up to AT_ONCE of them running at a time
//   load lines COUNT PROGRAM        PROGRAM run once with COUNT lines on standard input
//   load echo COUNT                 the same COUNT lines sent to port 9000 and each
//                                   echo awaited, in this process: the floor for PROGRAM
//
// Every wait is bounded: sockets time out and children are killed after a time-out.
#include "person_record.hpp"

#include <openssl/ssl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <span>
#include <spawn.h>
#include <string>
#include <string_view>
#include <sys/resource.h>
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

// Where a connection comes from: ::1, or an IPv4 loopback address of its own.
struct origin {
    std::uint32_t ipv4_source = 0;  // 0: from ::1 to ::1; else from 127.x.y.z to 127.0.0.1
};

// The IPv4 loopback address numbered n (1 is 127.0.0.1), in host byte order.
origin loopback_source(std::uint32_t n) { return {(127U << 24U) + n}; }

// Returns a socket connected to the port from the origin, its waits bounded; -1 when
// it cannot connect and fail_hard is false.
int connect_loopback(in_port_t port, origin from = {}, bool fail_hard = true)
{
    const int family = from.ipv4_source != 0 ? AF_INET : AF_INET6;
    const int fd = socket(family, SOCK_STREAM, 0);
    if (fd == -1) fail("load: socket");
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &socket_timeout, sizeof socket_timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &socket_timeout, sizeof socket_timeout);
    int connected = 0;
    if (family == AF_INET) {
        sockaddr_in source{};
        source.sin_family = AF_INET;
        source.sin_addr.s_addr = htonl(from.ipv4_source);
        if (bind(fd, reinterpret_cast<const sockaddr*>(&source), sizeof source) == -1) fail("load: bind");
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } else {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(port);
        address.sin6_addr = in6addr_loopback;
        connected = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    }
    if (connected == 0) return fd;
    if (fail_hard) fail("load: connect");
    close(fd);
    return -1;
}

// One exchange as cardpost makes it: connect, write the record, close the sending side,
// wait for the server to close. Returns whether the server closed normally; with
// fail_hard, anything else ends the load.
bool send_record(std::span<const char, person_record_size> record, origin from = {},
                 bool fail_hard = true)
{
    const int fd = connect_loopback(record_port, from, fail_hard);
    if (fd == -1) return false;
    bool closed = write(fd, record.data(), record.size()) == static_cast<ssize_t>(record.size());
    if (!closed && fail_hard) fail("load: write");
    shutdown(fd, SHUT_WR);
    std::array<char, 128> discard{};
    ssize_t count = 0;
    while (closed && (count = read(fd, discard.data(), discard.size())) > 0) {
    }
    closed = closed && count == 0;
    if (!closed && fail_hard) fail("load: waiting for the server to close");
    close(fd);
    return closed;
}

// Sends COUNT records over CONNECTIONS threads, each record by send_one from the
// thread's origin; with spread, each thread comes from a loopback address of its own.
double rate_over_threads(int connections, long count, bool spread,
                         const std::function<void(std::span<const char, person_record_size>, const origin&)>& send_one)
{
    const person_record record = fill_person_record("Ana\n", "Perez\n", 25);
    std::atomic<long> left{count};
    const auto start = clock_type::now();
    std::vector<std::thread> workers;
    workers.reserve(static_cast<std::size_t>(connections));
    for (int i = 0; i < connections; ++i)
        workers.emplace_back([&, i] {
            const origin from = spread ? loopback_source(2 + static_cast<std::uint32_t>(i)) : origin{};
            while (left.fetch_sub(1) > 0) send_one(person_record_bytes(record), from);
        });
    for (std::thread& worker : workers) worker.join();
    return static_cast<double>(count) / seconds_since(start);
}

double records_per_second(int connections, long count, bool spread)
{
    return rate_over_threads(connections, count, spread,
                             [](std::span<const char, person_record_size> bytes, const origin& from) {
                                 send_record(bytes, from);
                             });
}

// A peer that holds a slot of the server: it connects and sends nothing, or a byte
// every 100 ms, and connects again whenever the server gives up on it, until stopped.
void slow_peer(origin from, bool trickling, const std::atomic<bool>& stop)
{
    const person_record record = fill_person_record("Lento\n", "Goteo\n", 1);
    const std::span<const char, person_record_size> bytes = person_record_bytes(record);
    while (!stop) {
        const int fd = connect_loopback(record_port, from, false);
        if (fd == -1) continue;
        for (std::size_t sent = 0; !stop;) {
            pollfd ended{fd, POLLIN, 0};
            if (poll(&ended, 1, 100) == 1) break;  // given up on: reset or closed
            if (trickling && sent + 1 < bytes.size() && write(fd, &bytes[sent], 1) == 1) ++sent;
        }
        close(fd);
    }
}

// The clients' records per second over the seconds given, beside slow peers. The
// clients come from 127.0.0.2 and on, the slow peers from 127.0.1.1 and on: the
// silent ones from as many addresses as `sources` says (0: one each), the trickling
// ones from one each.
double records_beside_slow(int clients, long seconds, long silent, long trickling, long sources)
{
    std::atomic<bool> stop{false};
    std::vector<std::thread> slow;
    slow.reserve(static_cast<std::size_t>(silent + trickling));
    for (long i = 0; i < silent + trickling; ++i) {
        const long address = i < silent && sources > 0 ? i % sources : i;
        slow.emplace_back(slow_peer, loopback_source(257 + static_cast<std::uint32_t>(address)), i >= silent,
                          std::cref(stop));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // let them take their slots

    const person_record record = fill_person_record("Ana\n", "Perez\n", 25);
    std::atomic<long> taken{0};
    const auto end = clock_type::now() + std::chrono::seconds(seconds);
    std::vector<std::thread> workers;
    workers.reserve(static_cast<std::size_t>(clients));
    for (int i = 0; i < clients; ++i)
        workers.emplace_back([&, i] {
            const origin from = loopback_source(2 + static_cast<std::uint32_t>(i));
            while (clock_type::now() < end)
                if (send_record(person_record_bytes(record), from, false)) ++taken;
        });
    for (std::thread& worker : workers) worker.join();
    stop = true;
    for (std::thread& peer : slow) peer.join();
    return static_cast<double>(taken) / static_cast<double>(seconds);
}

SSL_CTX* tls_client_context()
{
    SSL_CTX* const context = SSL_CTX_new(TLS_client_method());
    if (context == nullptr) fail("load: TLS");
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
    return context;
}

// Connects from the origin and does the TLS handshake; returns the session, or ends
// the load.
SSL* connect_tls(SSL_CTX* context, origin from)
{
    const int fd = connect_loopback(record_port, from);
    // The record follows the handshake's last flight at once, as cardpost sends it.
    const int on = 1;
    if (std::getenv("LOAD_NAGLE") == nullptr) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    SSL* const tls = SSL_new(context);
    SSL_set_fd(tls, fd);
    if (SSL_connect(tls) != 1) fail("load: TLS handshake");
    return tls;
}

void end_tls(SSL* tls)
{
    const int fd = SSL_get_fd(tls);
    SSL_free(tls);
    close(fd);
}

// One exchange over TLS: handshake, the record, the server's close_notify.
void send_tls_record(SSL_CTX* context, std::span<const char, person_record_size> record, origin from)
{
    SSL* const tls = connect_tls(context, from);
    if (SSL_write(tls, record.data(), static_cast<int>(record.size())) != static_cast<int>(record.size()))
        fail("load: TLS write");
    char byte = 0;
    const int count = SSL_read(tls, &byte, 1);
    if (count != 0 || SSL_get_error(tls, count) != SSL_ERROR_ZERO_RETURN) fail("load: no close_notify");
    end_tls(tls);
}

double tls_records_per_second(int connections, long count)
{
    SSL_CTX* const context = tls_client_context();
    const double rate = rate_over_threads(connections, count, true,
                                          [context](std::span<const char, person_record_size> bytes,
                                                    const origin& from) { send_tls_record(context, bytes, from); });
    SSL_CTX_free(context);
    return rate;
}

// Holds silent TLS connections, handshakes done, until standard input ends.
double hold_tls_connections(long count)
{
    rlimit descriptors{};
    getrlimit(RLIMIT_NOFILE, &descriptors);
    descriptors.rlim_cur = descriptors.rlim_max;
    setrlimit(RLIMIT_NOFILE, &descriptors);
    SSL_CTX* const context = tls_client_context();
    std::vector<SSL*> held;
    held.reserve(static_cast<std::size_t>(count));
    for (long i = 0; i < count; ++i)
        held.push_back(connect_tls(context, loopback_source(257 + static_cast<std::uint32_t>(i))));
    std::printf("1\n");
    std::fflush(stdout);
    std::array<char, 64> ignored{};
    while (read(STDIN_FILENO, ignored.data(), ignored.size()) > 0) {
    }
    for (SSL* const tls : held) end_tls(tls);
    SSL_CTX_free(context);
    return static_cast<double>(count);
}

// Holds silent connections from addresses of their own until standard input ends.
double hold_connections(long count)
{
    rlimit descriptors{};
    getrlimit(RLIMIT_NOFILE, &descriptors);
    descriptors.rlim_cur = descriptors.rlim_max;
    setrlimit(RLIMIT_NOFILE, &descriptors);
    std::vector<int> held;
    held.reserve(static_cast<std::size_t>(count));
    for (long i = 0; i < count; ++i)
        held.push_back(connect_loopback(record_port, loopback_source(257 + static_cast<std::uint32_t>(i))));
    std::printf("1\n");
    std::fflush(stdout);
    std::array<char, 64> ignored{};
    while (read(STDIN_FILENO, ignored.data(), ignored.size()) > 0) {
    }
    for (const int fd : held) close(fd);
    return static_cast<double>(count);
}

struct child {
    pid_t pid;
    int ended_fd;  // its pidfd, readable once it has ended; -1 when none could be had
};

// Starts the program with the descriptor as its standard input and its output thrown
// away.
child start_child(char* const* argv, int input)
{
    const char* const program = argv[0];
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input, STDIN_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t child = 0;
    const int status = posix_spawn(&child, program, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (status != 0) {
        errno = status;
        fail(program);
    }
    return {child, static_cast<int>(syscall(SYS_pidfd_open, child, 0))};
}

// Waits for the child, killing it after the time-out. Returns its exit status.
int end_child(child started)
{
    pollfd ended{started.ended_fd, POLLIN, 0};
    if (started.ended_fd == -1 || poll(&ended, 1, child_timeout_ms) != 1) kill(started.pid, SIGKILL);
    int wait_status = 0;
    waitpid(started.pid, &wait_status, 0);
    if (started.ended_fd != -1) close(started.ended_fd);
    return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
}

int run_child(char* const* argv, int input) { return end_child(start_child(argv, input)); }

// Starts the program with the answers to its prompts on a pipe.
child start_answered(char* const* argv)
{
    std::array<int, 2> pipe_ends{};
    if (pipe(pipe_ends.data()) == -1) fail("load: pipe");
    if (write(pipe_ends[1], answers.data(), answers.size()) != static_cast<ssize_t>(answers.size()))
        fail("load: pipe write");
    close(pipe_ends[1]);
    const child started = start_child(argv, pipe_ends[0]);
    close(pipe_ends[0]);
    return started;
}

void require_success(int status, const char* program)
{
    if (status == 0) return;
    std::fprintf(stderr, "load: %s ended with status %d\n", program, status);
    std::exit(EXIT_FAILURE);
}

// Runs the program COUNT times, up to at_once of them at a time. argv: the program
// and its arguments, ended by a null pointer.
double processes_per_second(long count, long at_once, char* const* argv)
{
    const auto start = clock_type::now();
    std::vector<child> running;
    std::vector<pollfd> ends;
    long started = 0;
    while (started < count || !running.empty()) {
        while (started < count && static_cast<long>(running.size()) < at_once) {
            running.push_back(start_answered(argv));
            ++started;
        }
        if (at_once == 1) {
            require_success(end_child(running.back()), argv[0]);
            running.pop_back();
            continue;
        }
        ends.resize(running.size());
        std::transform(running.begin(), running.end(), ends.begin(),
                       [](const child& c) { return pollfd{c.ended_fd, POLLIN, 0}; });
        if (poll(ends.data(), ends.size(), child_timeout_ms) <= 0) {
            for (const child& c : running) kill(c.pid, SIGKILL);
            std::fprintf(stderr, "load: %s did not end in time\n", argv[0]);
            std::exit(EXIT_FAILURE);
        }
        for (std::size_t i = ends.size(); i-- > 0;) {
            if (ends[i].revents == 0) continue;
            require_success(end_child(running[i]), argv[0]);
            running.erase(running.begin() + static_cast<std::ptrdiff_t>(i));
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
    char* const argv[] = {const_cast<char*>(program), nullptr};
    const int status = run_child(argv, lines);
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
    if ((mode == "records" || mode == "spread") && argc == 4)
        rate = records_per_second(static_cast<int>(positive(argv[2])), positive(argv[3]), mode == "spread");
    else if (mode == "beside-slow" && (argc == 6 || argc == 7))
        rate = records_beside_slow(static_cast<int>(positive(argv[2])), positive(argv[3]),
                                   std::strtol(argv[4], nullptr, 10), std::strtol(argv[5], nullptr, 10),
                                   argc == 7 ? std::strtol(argv[6], nullptr, 10) : 0);
    else if (mode == "hold" && argc == 3)
        rate = hold_connections(positive(argv[2]));
    else if (mode == "tls-spread" && argc == 4)
        rate = tls_records_per_second(static_cast<int>(positive(argv[2])), positive(argv[3]));
    else if (mode == "tls-hold" && argc == 3)
        rate = hold_tls_connections(positive(argv[2]));
    else if (mode == "processes" && argc >= 4)
        rate = processes_per_second(positive(argv[2]), 1, argv + 3);
    else if (mode == "processes-at-once" && argc >= 5)
        rate = processes_per_second(positive(argv[3]), positive(argv[2]), argv + 4);
    else if (mode == "lines" && argc == 4)
        rate = program_lines_per_second(positive(argv[2]), argv[3]);
    else if (mode == "echo" && argc == 3)
        rate = echo_lines_per_second(positive(argv[2]));
    else {
        std::fputs("usage: load records|spread CONNECTIONS COUNT |"
                   " beside-slow CLIENTS SECONDS SILENT TRICKLING [SOURCES] | hold COUNT |"
                   " tls-spread CONNECTIONS COUNT | tls-hold COUNT |"
                   " processes COUNT PROGRAM [ARGUMENT...] |"
                   " processes-at-once AT_ONCE COUNT PROGRAM [ARGUMENT...] | lines COUNT PROGRAM | echo COUNT\n",
                   stderr);
        return 2;
    }
    std::printf("%.1f\n", rate);
}
