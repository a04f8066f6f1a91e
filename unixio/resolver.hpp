// The resolver's list of addresses, owned, as every program walks it.
#pragma once

#include <memory>
#include <netdb.h>

using addrinfo_list = std::unique_ptr<addrinfo, decltype(&freeaddrinfo)>;

// What the resolver answered: the addresses, or its error code (for gai_strerror).
struct resolved {
    addrinfo_list addresses;
    int status;  // 0 when addresses holds at least one
};

// Resolves the host (none: the wildcard, with AI_PASSIVE) and the port with the hints.
resolved resolve(const char* host, const char* port, const addrinfo& hints);
