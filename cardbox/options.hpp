// cardbox's command line.
#pragma once

#include "command_line.hpp"
#include "tls.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

// No time-out: a client may take as long as it likes to send its record.
constexpr int wait_for_ever = -1;

// The most connections served at once.
constexpr int max_connections = 16384;

// The most levels by which clients' sources are counted, for each family.
constexpr std::size_t max_source_levels = 3;

// The prefix lengths by which clients' sources are told apart, as their shares count,
// finest first: each level has a share of its own, so that many /64s of one /48, say,
// count against that /48 too.
struct source_prefixes {
    std::array<int, max_source_levels> ipv4{32, 24, 0};
    std::size_t ipv4_levels = 2;
    std::array<int, max_source_levels> ipv6{64, 48, 0};
    std::size_t ipv6_levels = 2;
};

// What the command line chose.
struct options {
    const char* address = nullptr;  // to listen on; none: the IPv6 wildcard, IPv4 included
    const char* port = "8000";
    bool place_chosen = false;       // -b or -p was given
    const char* output = nullptr;    // the file the records go to; none: standard output
    int timeout_ms = wait_for_ever;  // for a whole record, counted from the accept
    int connections = 1;             // served at once; 1 is one after the other
    int per_source = 0;              // of them from one source; 0: half, at least 1
    int busy_timeout_ms = 10'000;    // a connection's age past which it may make room
    source_prefixes prefixes;
    bool sync = false;               // a record counts as kept once it is on disk
    bool json = false;
    std::uint64_t count = 0;         // whole records to take before the server ends; 0: no end
    bool summary = false;            // end with the line that tells what the server did
    tls_files tls;                   // TLS on every listener when the certificate is given
};

// The program's own texts: its name, usage, help and output failure message.
extern const command_texts cardbox_command;

// Reads the command line into chosen. Returns the status to end the program with at
// once (after --help, --version or a command line it cannot use, reported), or
// nothing when the server is to run.
std::optional<int> read_options(int argc, char** argv, options& chosen);
