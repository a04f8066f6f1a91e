#include "resolver.hpp"

resolved resolve(const char* host, const char* port, const addrinfo& hints)
{
    addrinfo* first = nullptr;
    const int status = getaddrinfo(host, port, &hints, &first);
    return {addrinfo_list(status == 0 ? first : nullptr, &freeaddrinfo), status};
}
