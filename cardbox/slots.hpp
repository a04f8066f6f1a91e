// The connections that the server has accepted: a fixed pool of entries, the lists
// that order them, and the table of their sources. One routine moves a connection from
// one stage to the next and keeps the lists and counts in step; debug builds check
// that they are.
#pragma once

#include "connection.hpp"
#include "event_loop.hpp"
#include "options.hpp"

#include <array>
#include <cstdint>
#include <memory>
#include <sys/socket.h>

constexpr std::uint32_t no_slot = UINT32_MAX;

// Where a client connects from, as its share is counted at one level: its address
// cut to that level's prefix length for its family (an IPv4-mapped address counts as
// IPv4).
using source_key = std::array<unsigned char, 18>;  // the address, the family, the level

// A client's sources, finest first: one for each level of its family.
struct client_sources {
    std::array<source_key, max_source_levels> keys{};
    std::uint8_t levels = 0;

    const source_key& coarsest() const { return keys[levels - 1U]; }
};

client_sources sources_of(const sockaddr_storage& peer, const source_prefixes& prefixes);

// Each level's share: the first level's is the one given, and each coarser one four
// times the one before it, at most `most`.
using level_shares = std::array<std::uint32_t, max_source_levels>;
level_shares shares_of(std::uint32_t first, std::uint32_t most);

enum class stage : unsigned char {
    free,
    waiting,    // accepted, unread, waiting for a slot to be served in
    reading,    // served: its handshake, then gathering its record
    done,       // served: its lines printed, waiting to be written out and its client told
    telling,    // its record taken: close_notify waits for room to be sent
    lingering,  // its record taken and its end sent: closed once the client acknowledges it
};
constexpr std::size_t stage_count = 6;

struct slot {
    served_connection served;
    stage now = stage::free;
    bool whole_waiting = false;      // waiting, with a whole record already arrived unread
    bool peer_line_printed = false;  // one at a time: the line naming it is printed
    registration watch = no_registration;
    client_sources source{};
    sockaddr_storage peer{};
    std::int64_t accepted_ms = 0;  // when it was accepted: its time-out counts from then
    std::int64_t served_ms = 0;    // when it got a slot: its age for making room counts from then
    std::int64_t ends_ms = 0;      // telling or lingering: when it is closed, told or not
    std::uint64_t output_end = 0;  // where its lines end in the output, once done
    // Its neighbours in the list of open connections (waiting or reading, in accept
    // order), and in the list of its stage (in the order each entered it).
    std::uint32_t open_previous = no_slot;
    std::uint32_t open_next = no_slot;
    std::uint32_t previous = no_slot;
    std::uint32_t next = no_slot;
};

struct slot_list {
    std::uint32_t first = no_slot;
    std::uint32_t last = no_slot;
    std::uint32_t length = 0;
};

// How many connections one source has in the server, at its level.
struct source_count {
    source_key key{};
    std::uint32_t served = 0;  // reading or done
    std::uint32_t waiting = 0;
};

struct free_deleter {
    void operator()(void* memory) const { std::free(memory); }
};

struct slot_pool {
    std::uint32_t capacity = 0;  // slots in all
    std::unique_ptr<slot, free_deleter> slots;
    // Slots from `fresh` on have never been used: they are made on first use, so that
    // the memory of slots a server never needs is never touched.
    std::uint32_t fresh = 0;
    std::unique_ptr<std::uint32_t, free_deleter> free_stack;
    std::uint32_t free_count = 0;
    // Sources by open addressing; an entry with no connection is empty.
    std::unique_ptr<source_count, free_deleter> sources;
    std::uint32_t source_mask = 0;
    slot_list open;  // waiting and reading, in accept order
    std::array<slot_list, stage_count> lists{};  // by stage, each in the order entered
    std::uint32_t served = 0;  // reading or done
    std::uint32_t in_use = 0;
    std::uint32_t coarse_sources = 0;  // sources at their coarsest level with a connection waiting or served

    const slot_list& list(stage of) const { return lists[static_cast<std::size_t>(of)]; }

    slot& operator[](std::uint32_t index) { return slots.get()[index]; }
    const slot& operator[](std::uint32_t index) const { return slots.get()[index]; }
    slot_pool() = default;
    slot_pool(const slot_pool&) = delete;
    slot_pool& operator=(const slot_pool&) = delete;
    ~slot_pool();
};

// Allocates a pool of `capacity` slots. Returns false when memory runs out.
bool make_slot_pool(slot_pool& pool, std::uint32_t capacity);

// Takes a free slot for a connection just accepted from the sources, as a waiting one,
// counted against each of them. Returns no_slot when every slot is in use.
std::uint32_t take_slot(slot_pool& pool, const client_sources& source);

// Moves the connection in the slot to another stage: from waiting to reading, from
// waiting or reading to done, from done to telling or lingering, from telling to
// lingering, and from any to free (which frees the slot). Lists and counts follow.
void move_to(slot_pool& pool, std::uint32_t index, stage to);

// The counts of a source at its level.
const source_count& count_of(const slot_pool& pool, const source_key& source);

// True when the sources are under their shares, at every level, of the connections
// served (or of those waiting).
bool under_shares(const slot_pool& pool, const client_sources& source, const level_shares& shares, bool waiting);

// Checks, in debug builds, that every connection is in exactly the lists of its stage
// and that the counts add up. Aborts when they do not.
void check_slot_pool(const slot_pool& pool);
