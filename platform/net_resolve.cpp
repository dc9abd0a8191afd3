// Name resolution for the NCP client: getaddrinfo is the same call on
// POSIX and on Windows, only declared in other headers.
#include <cstring>
#ifdef _WIN32
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <sys/socket.h>
#endif

#include "ncp/net.h"

static_assert(sizeof(sockaddr_storage) <= sizeof(net_address::bytes), "address too large");

int net_resolve(const char *name, const char *port, net_address *addresses, int capacity)
{
    struct addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *found = nullptr;
    if (getaddrinfo(name, port, &hints, &found) != 0)
        return 0;
    int count = 0;
    for (const struct addrinfo *a = found; a && count < capacity; a = a->ai_next) {
        addresses[count].family = a->ai_family;
        addresses[count].size = (uint32_t)a->ai_addrlen;
        memcpy(addresses[count].bytes, a->ai_addr, a->ai_addrlen);
        count++;
    }
    freeaddrinfo(found);
    return count;
}
