#include "slots.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <netinet/in.h>

namespace {

bool is_empty(const source_count& entry) { return entry.served == 0 && entry.waiting == 0; }

std::uint32_t home_of(const slot_pool& pool, const source_key& key)
{
    std::uint64_t high = 0;
    std::uint64_t low = 0;
    std::memcpy(&high, key.data(), sizeof high);
    std::memcpy(&low, key.data() + sizeof high, sizeof low);
    const std::uint64_t hash =
        ((high ^ key[16] ^ (std::uint64_t{key[17]} << 8U)) ^ (low * 0x9E3779B97F4A7C15U)) * 0xBF58476D1CE4E5B9U;
    return static_cast<std::uint32_t>(hash >> 32U) & pool.source_mask;
}

// The entry that holds the key, or the empty one where it would go: the table has
// twice the entries of the pool's slots, so there is always one.
std::uint32_t find_source(const slot_pool& pool, const source_key& key)
{
    for (std::uint32_t i = home_of(pool, key);; i = (i + 1) & pool.source_mask) {
        const source_count& entry = pool.sources.get()[i];
        if (is_empty(entry) || entry.key == key) return i;
    }
}

source_count& source_entry(slot_pool& pool, const source_key& key)
{
    return pool.sources.get()[find_source(pool, key)];
}

// Empties a source's entry once it has no connection left, moving back the entries
// after it that would no longer be found past the hole.
void drop_if_unused(slot_pool& pool, const source_key& key)
{
    std::uint32_t hole = find_source(pool, key);
    source_count* const table = pool.sources.get();
    if (!is_empty(table[hole])) return;
    for (std::uint32_t next = (hole + 1) & pool.source_mask; !is_empty(table[next]);
         next = (next + 1) & pool.source_mask) {
        const std::uint32_t home = home_of(pool, table[next].key);
        const bool stays = hole <= next ? hole < home && home <= next : hole < home || home <= next;
        if (stays) continue;
        table[hole] = table[next];
        table[next] = source_count{};
        hole = next;
    }
}

void push_back(slot_pool& pool, slot_list& list, std::uint32_t index)
{
    slot& s = pool[index];
    s.previous = list.last;
    s.next = no_slot;
    (list.last != no_slot ? pool[list.last].next : list.first) = index;
    list.last = index;
    ++list.length;
}

void unlink(slot_pool& pool, slot_list& list, std::uint32_t index)
{
    slot& s = pool[index];
    (s.previous != no_slot ? pool[s.previous].next : list.first) = s.next;
    (s.next != no_slot ? pool[s.next].previous : list.last) = s.previous;
    s.previous = s.next = no_slot;
    --list.length;
}

void push_back_open(slot_pool& pool, std::uint32_t index)
{
    slot& s = pool[index];
    s.open_previous = pool.open.last;
    s.open_next = no_slot;
    (pool.open.last != no_slot ? pool[pool.open.last].open_next : pool.open.first) = index;
    pool.open.last = index;
    ++pool.open.length;
}

void unlink_open(slot_pool& pool, std::uint32_t index)
{
    slot& s = pool[index];
    (s.open_previous != no_slot ? pool[s.open_previous].open_next : pool.open.first) = s.open_next;
    (s.open_next != no_slot ? pool[s.open_next].open_previous : pool.open.last) = s.open_previous;
    s.open_previous = s.open_next = no_slot;
    --pool.open.length;
}

}  // namespace

client_sources sources_of(const sockaddr_storage& peer, const source_prefixes& prefixes)
{
    client_sources sources;
    const auto* address = reinterpret_cast<const unsigned char*>(&reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr);
    std::size_t length = 16;
    unsigned char family = AF_INET6;
    if (peer.ss_family == AF_INET) {
        address = reinterpret_cast<const unsigned char*>(&reinterpret_cast<const sockaddr_in&>(peer).sin_addr);
        length = 4;
    } else if (peer.ss_family != AF_INET6) {
        sources.levels = 1;  // no address to tell it by: every such client is one source
        return sources;
    } else if (IN6_IS_ADDR_V4MAPPED(&reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr)) {
        address += 12;
        length = 4;
    }
    if (length == 4) family = AF_INET;
    const std::array<int, max_source_levels>& lengths = family == AF_INET ? prefixes.ipv4 : prefixes.ipv6;
    sources.levels = static_cast<std::uint8_t>(family == AF_INET ? prefixes.ipv4_levels : prefixes.ipv6_levels);
    for (std::size_t level = 0; level < sources.levels; ++level) {
        source_key& key = sources.keys[level];
        int bits = lengths[level];
        for (std::size_t i = 0; i < length && bits > 0; ++i, bits -= 8)
            key[i] = static_cast<unsigned char>(address[i] & (bits >= 8 ? 0xFFU : 0xFFU << (8 - bits)));
        key[16] = family;
        key[17] = static_cast<unsigned char>(level);
    }
    return sources;
}

level_shares shares_of(std::uint32_t first, std::uint32_t most)
{
    level_shares shares{};
    std::uint64_t share = first;
    for (std::uint32_t& level : shares) {
        level = static_cast<std::uint32_t>(std::min<std::uint64_t>(share, most));
        share *= 4;
    }
    return shares;
}

slot_pool::~slot_pool()
{
    for (std::uint32_t index = 0; index < fresh; ++index) (*this)[index].~slot();
}

bool make_slot_pool(slot_pool& pool, std::uint32_t capacity)
{
    // Each connection counts at every level of its source: twice as many entries, so
    // that an empty one is always found.
    std::uint32_t entries = 2;
    while (entries < std::size_t{capacity} * 2 * max_source_levels) entries *= 2;
    pool.capacity = capacity;
    pool.slots.reset(static_cast<slot*>(std::malloc(std::size_t{capacity} * sizeof(slot))));
    pool.free_stack.reset(static_cast<std::uint32_t*>(std::calloc(capacity, sizeof(std::uint32_t))));
    pool.sources.reset(static_cast<source_count*>(std::calloc(entries, sizeof(source_count))));
    pool.source_mask = entries - 1;
    return pool.slots != nullptr && pool.free_stack != nullptr && pool.sources != nullptr;
}

std::uint32_t take_slot(slot_pool& pool, const client_sources& source)
{
    std::uint32_t index = no_slot;
    if (pool.free_count > 0) {
        index = pool.free_stack.get()[--pool.free_count];
    } else if (pool.fresh < pool.capacity) {
        index = pool.fresh++;
        new (&pool[index]) slot();
    } else {
        return no_slot;
    }
    slot& s = pool[index];
    s.served.arrived = arrival{};
    s.whole_waiting = false;
    s.peer_line_printed = false;
    s.watch = no_registration;
    s.source = source;
    s.now = stage::waiting;
    for (std::size_t level = 0; level < source.levels; ++level) {
        source_count& count = source_entry(pool, source.keys[level]);
        if (level + 1U == source.levels && is_empty(count)) ++pool.coarse_sources;
        count.key = source.keys[level];
        ++count.waiting;
    }
    push_back_open(pool, index);
    push_back(pool, pool.lists[static_cast<std::size_t>(stage::waiting)], index);
    ++pool.in_use;
    check_slot_pool(pool);
    return index;
}

void move_to(slot_pool& pool, std::uint32_t index, stage to)
{
    slot& s = pool[index];
    const stage from = s.now;
    unlink(pool, pool.lists[static_cast<std::size_t>(from)], index);
    const bool was_open = from == stage::waiting || from == stage::reading;
    const bool was_served = from == stage::reading || from == stage::done;
    const bool is_served = to == stage::reading || to == stage::done;
    const bool left_counts = from == stage::waiting ? !is_served : was_served && !is_served;
    for (std::size_t level = 0; level < s.source.levels; ++level) {
        source_count& count = source_entry(pool, s.source.keys[level]);
        if (from == stage::waiting) --count.waiting;
        if (was_served && !is_served) --count.served;
        if (!was_served && is_served) ++count.served;
        // A source whose last connection left the counts makes no hole in the table.
        if (left_counts && is_empty(count)) {
            if (level + 1U == s.source.levels) --pool.coarse_sources;
            drop_if_unused(pool, s.source.keys[level]);
        }
    }
    pool.served = pool.served - (was_served ? 1U : 0U) + (is_served ? 1U : 0U);
    if (was_open && to != stage::reading) unlink_open(pool, index);
    if (to == stage::free) {
        --pool.in_use;
        pool.free_stack.get()[pool.free_count++] = index;
    } else {
        push_back(pool, pool.lists[static_cast<std::size_t>(to)], index);
    }
    s.now = to;
    check_slot_pool(pool);
}

const source_count& count_of(const slot_pool& pool, const source_key& source)
{
    return pool.sources.get()[find_source(pool, source)];
}

bool under_shares(const slot_pool& pool, const client_sources& source, const level_shares& shares, bool waiting)
{
    for (std::size_t level = 0; level < source.levels; ++level) {
        const source_count& count = count_of(pool, source.keys[level]);
        if ((waiting ? count.waiting : count.served) >= shares[level]) return false;
    }
    return true;
}

void check_slot_pool([[maybe_unused]] const slot_pool& pool)
{
#ifndef NDEBUG
    // Each check walks the whole pool: a large one is checked at one change in many.
    static std::uint32_t changes = 0;
    if (pool.capacity > 1024 && ++changes % 256 != 0) return;
    std::array<std::uint32_t, stage_count> by_stage{};
    for (std::uint32_t index = 0; index < pool.fresh; ++index) ++by_stage[static_cast<std::size_t>(pool[index].now)];
    const auto count_list = [&pool](const slot_list& list, stage in, bool open) {
        std::uint32_t length = 0;
        std::uint32_t previous = no_slot;
        for (std::uint32_t index = list.first; index != no_slot;
             index = open ? pool[index].open_next : pool[index].next) {
            const slot& s = pool[index];
            if ((open ? s.open_previous : s.previous) != previous) std::abort();
            if (open ? s.now != stage::waiting && s.now != stage::reading : s.now != in) std::abort();
            previous = index;
            ++length;
        }
        if (previous != list.last || length != list.length) std::abort();
        return length;
    };
    std::uint32_t in_use = 0;
    for (std::size_t at = 1; at < stage_count; ++at) {
        if (count_list(pool.lists[at], static_cast<stage>(at), false) != by_stage[at]) std::abort();
        in_use += by_stage[at];
    }
    const auto of = [&by_stage](stage which) { return by_stage[static_cast<std::size_t>(which)]; };
    if (count_list(pool.open, stage::waiting, true) != of(stage::waiting) + of(stage::reading) ||
        pool.served != of(stage::reading) + of(stage::done) || pool.in_use != in_use ||
        pool.free_count + pool.in_use != pool.fresh)
        std::abort();
    // Each level's counts are its connections'.
    std::array<std::uint32_t, max_source_levels> counted_served{};
    std::array<std::uint32_t, max_source_levels> counted_waiting{};
    std::array<std::uint32_t, max_source_levels> expected_served{};
    std::array<std::uint32_t, max_source_levels> expected_waiting{};
    for (std::uint32_t i = 0; i <= pool.source_mask; ++i) {
        const source_count& entry = pool.sources.get()[i];
        if (is_empty(entry)) continue;
        counted_served[entry.key[17]] += entry.served;
        counted_waiting[entry.key[17]] += entry.waiting;
    }
    for (std::uint32_t index = 0; index < pool.fresh; ++index) {
        const slot& s = pool[index];
        for (std::size_t level = 0; level < s.source.levels; ++level) {
            expected_served[level] += s.now == stage::reading || s.now == stage::done ? 1U : 0U;
            expected_waiting[level] += s.now == stage::waiting ? 1U : 0U;
        }
    }
    if (counted_served != expected_served || counted_waiting != expected_waiting) std::abort();
#endif
}
