// Addresses: getaddrinfo and the socket address records are the same on
// POSIX and on Windows, only declared in other headers.
#include <cstring>
#ifdef _WIN32
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include "net/net.h"

static_assert(sizeof(sockaddr_storage) <= sizeof(net_address::bytes), "address too large");

int net_addresses_of(const char *name, const char *port, bool numeric_only,
                     net_address *addresses, int capacity)
{
    struct addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = numeric_only ? AI_NUMERICHOST : 0;
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

void net_ipv4(uint32_t address, uint16_t port, net_address *out)
{
    sockaddr_in ipv4 = {};
    ipv4.sin_family = AF_INET;
    ipv4.sin_port = htons(port);
    ipv4.sin_addr.s_addr = htonl(address);
    out->family = AF_INET;
    out->size = sizeof ipv4;
    memcpy(out->bytes, &ipv4, sizeof ipv4);
}

uint32_t net_ipv4_of(const net_address *address)
{
    if (address->family != AF_INET)
        return 0;
    sockaddr_in ipv4;
    memcpy(&ipv4, address->bytes, sizeof ipv4);
    return ntohl(ipv4.sin_addr.s_addr);
}

uint16_t net_port_of(const net_address *address)
{
    if (address->family != AF_INET)
        return 0;
    sockaddr_in ipv4;
    memcpy(&ipv4, address->bytes, sizeof ipv4);
    return ntohs(ipv4.sin_port);
}
