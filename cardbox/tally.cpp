#include "tally.hpp"

#include "reports.hpp"
#include "slots.hpp"

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <numeric>
#include <string_view>

namespace {

// The most sources told apart; past them, the line says "or more".
constexpr std::uint32_t most_sources = 65536;

// Written by the server alone, read by a stop signal's handler too: lock-free atomics
// are safe to read there.
std::atomic<bool> kept{false};
std::atomic<std::uint64_t> accepted{0};
std::atomic<std::uint64_t> closed_normally{0};
std::atomic<std::uint64_t> taken{0};
std::atomic<std::uint64_t> empty{0};
std::atomic<std::uint32_t> sources{0};
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

// The sources seen, by a 64-bit hash of each (0 marks a free entry): two sources
// that hash alike among tens of thousands are too unlikely to matter to a count.
struct free_table {
    void operator()(std::uint64_t* table) const { std::free(table); }
};
std::unique_ptr<std::uint64_t, free_table> seen;
std::uint32_t seen_mask = 0;

void add(std::atomic<std::uint64_t>& counter)
{
    counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

std::uint64_t hash_of(const source_key& key)
{
    // FNV-1a
    const std::uint64_t hash = std::accumulate(key.begin(), key.end(), std::uint64_t{0xcbf29ce484222325U},
                                               [](std::uint64_t sum, unsigned char byte) { return (sum ^ byte) * 0x100000001b3U; });
    return hash == 0 ? 1 : hash;
}

// Puts the hash in the table; returns false when it was there.
bool insert(std::uint64_t* table, std::uint32_t mask, std::uint64_t hash)
{
    for (auto at = static_cast<std::uint32_t>(hash) & mask;; at = (at + 1) & mask) {
        if (table[at] == hash) return false;
        if (table[at] == 0) {
            table[at] = hash;
            return true;
        }
    }
}

// Doubles the table while it is at least half full. Returns false when it cannot be
// (no memory): the source then goes uncounted.
bool make_room_for_one()
{
    const std::uint32_t count = sources.load(std::memory_order_relaxed);
    if (seen != nullptr && count < (seen_mask + 1) / 2) return true;
    const std::uint32_t size = seen == nullptr ? 256 : 2 * (seen_mask + 1);
    std::unique_ptr<std::uint64_t, free_table> grown(static_cast<std::uint64_t*>(std::calloc(size, sizeof(std::uint64_t))));
    if (grown == nullptr) return false;
    for (std::uint32_t at = 0; seen != nullptr && at <= seen_mask; ++at)
        if (seen.get()[at] != 0) insert(grown.get(), size - 1, seen.get()[at]);
    seen = std::move(grown);
    seen_mask = size - 1;
    return true;
}

// Appends the number's decimal digits; no library call, for a signal's handler.
char* put_number(char* at, std::uint64_t number)
{
    std::array<char, 20> digits{};
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number != 0);
    while (count > 0) *at++ = digits[--count];
    return at;
}

char* put_text(char* at, std::string_view text)
{
    std::memcpy(at, text.data(), text.size());
    return at + text.size();
}

// "cardbox: 30 records taken, 2 connections reset, 25 sources, 4 with no byte" (the
// last only when there are any), newline included.
std::string_view format_tally(std::array<char, 192>& room)
{
    const std::uint64_t taken_now = taken.load(std::memory_order_relaxed);
    const std::uint64_t reset = accepted.load(std::memory_order_relaxed) - closed_normally.load(std::memory_order_relaxed);
    const std::uint32_t source_count = sources.load(std::memory_order_relaxed);
    char* at = put_text(room.data(), "cardbox: ");
    at = put_number(at, taken_now);
    at = put_text(at, taken_now == 1 ? " record taken, " : " records taken, ");
    at = put_number(at, reset);
    at = put_text(at, reset == 1 ? " connection reset, " : " connections reset, ");
    at = put_number(at, source_count);
    at = put_text(at, source_count >= most_sources ? " sources or more" : source_count == 1 ? " source" : " sources");
    // Connections that brought nothing have no line of their own in JSON: they are
    // counted here.
    if (const std::uint64_t empty_now = empty.load(std::memory_order_relaxed); empty_now > 0) {
        at = put_text(at, ", ");
        at = put_number(at, empty_now);
        at = put_text(at, " with no byte");
    }
    at = put_text(at, "\n");
    return {room.data(), static_cast<std::size_t>(at - room.data())};
}

}  // namespace

void tally_accepted(const sockaddr_storage& peer, const source_prefixes& prefixes)
{
    add(accepted);
    if (!kept.load(std::memory_order_relaxed) || sources.load(std::memory_order_relaxed) >= most_sources) return;
    if (!make_room_for_one()) return;
    if (insert(seen.get(), seen_mask, hash_of(sources_of(peer, prefixes).keys[0])))
        sources.store(sources.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

bool takes_record(const arrival& arrived) { return closes_normally(arrived) && arrived.received >= person_record_size; }

void tally_told(const arrival& arrived)
{
    if (arrived.received == 0) add(empty);
    if (!closes_normally(arrived)) return;
    add(closed_normally);
    if (takes_record(arrived)) add(taken);
}

std::uint64_t records_taken() { return taken.load(std::memory_order_relaxed); }

void keep_tally()
{
    kept.store(true, std::memory_order_relaxed);
    // Registered after the reports' own, so it runs before they are written out.
    std::atexit([] {
        std::array<char, 192> room{};
        std::string_view line = format_tally(room);
        line.remove_suffix(1);
        report_line({line});
    });
}

void write_tally_at_stop()
{
    if (!kept.load(std::memory_order_relaxed)) return;
    std::array<char, 192> room{};
    write_at_stop(format_tally(room));
}
