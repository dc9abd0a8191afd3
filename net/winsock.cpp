// The sockets on Windows: Winsock 2.
#include <winsock2.h>
#include <ws2tcpip.h>
// After windows.h, which winsock2.h brings: RtlGenRandom, DnsQuery_A.
#include <ntsecapi.h>
#include <windns.h>

#include <cstdlib>
#include <cstring>

#include "net/net.h"

static_assert(net_most_sockets <= FD_SETSIZE, "select watches too few sockets");

static SOCKET handle(net_socket socket)
{
    return (SOCKET)socket;
}

int64_t net_now()
{
    return (int64_t)GetTickCount64();
}

// The system's generator (RtlGenRandom, in ADVAPI32 since Windows XP).
bool net_random(uint8_t *bytes, size_t count)
{
    return RtlGenRandom(bytes, (ULONG)count) != FALSE;
}

uint32_t net_start()
{
    WSADATA data;
    return (uint32_t)WSAStartup(MAKEWORD(2, 2), &data);
}

// The answer's A and AAAA records, A first. DNS alone, the hosts file
// included: never LLMNR, mDNS or NetBIOS, which any LAN host can answer.
static int resolve_by_dns(const char *name, uint16_t port, net_address *addresses, int capacity)
{
    static const WORD types[] = {DNS_TYPE_A, DNS_TYPE_AAAA};
    int count = 0;
    for (WORD type : types) {
        PDNS_RECORD records = nullptr;
        if (DnsQuery_A(name, type, DNS_QUERY_NO_MULTICAST | DNS_QUERY_NO_NETBT, nullptr, &records,
                       nullptr) != 0)
            records = nullptr;
        for (PDNS_RECORD r = records; r && count < capacity; r = r->pNext) {
            if (r->wType != type || r->Flags.S.Section != DnsSectionAnswer)
                continue;
            net_address *out = &addresses[count++];
            *out = {};
            if (type == DNS_TYPE_A) {
                sockaddr_in ipv4 = {};
                ipv4.sin_family = AF_INET;
                ipv4.sin_port = htons(port);
                ipv4.sin_addr.s_addr = r->Data.A.IpAddress;
                out->size = sizeof ipv4;
                memcpy(out->bytes, &ipv4, sizeof ipv4);
            } else {
                sockaddr_in6 ipv6 = {};
                ipv6.sin6_family = AF_INET6;
                ipv6.sin6_port = htons(port);
                memcpy(&ipv6.sin6_addr, &r->Data.AAAA.Ip6Address, sizeof ipv6.sin6_addr);
                out->size = sizeof ipv6;
                memcpy(out->bytes, &ipv6, sizeof ipv6);
            }
            out->family = type == DNS_TYPE_A ? AF_INET : AF_INET6;
        }
        if (records)
            DnsRecordListFree(records, DnsFreeRecordList);
    }
    return count;
}

// A numeric address needs no lookup; a name, where the site asks it, DNS.
int net_resolve(const char *name, const char *port, bool site_only, net_address *addresses,
                int capacity)
{
    if (site_only && net_loose_number(name))
        return 0;
    int count = net_addresses_of(name, port, site_only, addresses, capacity);
    return count != 0 || !site_only
               ? count
               : resolve_by_dns(name, (uint16_t)strtoul(port, nullptr, 10), addresses, capacity);
}

net_socket net_connect(const net_address *address)
{
    SOCKET s = socket(address->family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return net_no_socket;
    u_long non_blocking = 1;
    if (ioctlsocket(s, FIONBIO, &non_blocking) != 0 ||
        (connect(s, reinterpret_cast<const sockaddr *>(address->bytes), (int)address->size) != 0 &&
         WSAGetLastError() != WSAEWOULDBLOCK)) {
        closesocket(s);
        return net_no_socket;
    }
    return (net_socket)s;
}

bool net_connected(net_socket socket)
{
    int error = 0;
    int size = sizeof error;
    if (getsockopt(handle(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error),
                   &size) != 0 ||
        error != 0)
        return false;
    BOOL on = TRUE;
    setsockopt(handle(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on),
               sizeof on);
    return true;
}

// select, not WSAPoll: WSAPoll does not report a failed connection on
// every Windows version. A failed connection shows in the exception set.
int net_wait(const net_socket *sockets, int count, uint32_t writing, int64_t deadline)
{
    for (;;) {
        int64_t left = deadline - net_now();
        if (left <= 0)
            return -1;
        fd_set readable, writable, failed;
        FD_ZERO(&readable);
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        for (int i = 0; i < count; i++) {
            FD_SET(handle(sockets[i]), writing >> i & 1 ? &writable : &readable);
            FD_SET(handle(sockets[i]), &failed);
        }
        struct timeval timeout = {(long)(left / 1000), (long)(left % 1000) * 1000};
        int found = select(0, &readable, &writable, &failed, &timeout);
        if (found < 0)
            return -1;
        for (int i = 0; found > 0 && i < count; i++)
            if (FD_ISSET(handle(sockets[i]), &readable) ||
                FD_ISSET(handle(sockets[i]), &writable) || FD_ISSET(handle(sockets[i]), &failed))
                return i;
    }
}

static long result(int count)
{
    if (count >= 0)
        return count;
    int error = WSAGetLastError();
    return error == WSAEWOULDBLOCK || error == WSAEINTR ? net_again : -1;
}

long net_send(net_socket socket, const uint8_t *bytes, size_t count)
{
    return result(send(handle(socket), reinterpret_cast<const char *>(bytes), (int)count, 0));
}

long net_recv(net_socket socket, uint8_t *bytes, size_t count)
{
    return result(recv(handle(socket), reinterpret_cast<char *>(bytes), (int)count, 0));
}

void net_close(net_socket socket)
{
    closesocket(handle(socket));
}

net_socket net_udp_open()
{
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET)
        return net_no_socket;
    u_long non_blocking = 1;
    DWORD ttl = 255; // as far as a site routes multicast, the default of SLP
    if (ioctlsocket(s, FIONBIO, &non_blocking) != 0) {
        closesocket(s);
        return net_no_socket;
    }
    setsockopt(s, IPPROTO_IP, IP_MULTICAST_TTL, reinterpret_cast<const char *>(&ttl), sizeof ttl);
    return (net_socket)s;
}

long net_send_to(net_socket socket, const uint8_t *bytes, size_t count, const net_address *to)
{
    return result(sendto(handle(socket), reinterpret_cast<const char *>(bytes), (int)count, 0,
                         reinterpret_cast<const sockaddr *>(to->bytes), (int)to->size));
}

// A datagram longer than the buffer fails with WSAEMSGSIZE and is cut, as
// on POSIX.
long net_recv_from(net_socket socket, uint8_t *bytes, size_t count, net_address *from)
{
    int size = sizeof from->bytes;
    int n = recvfrom(handle(socket), reinterpret_cast<char *>(bytes), (int)count, 0,
                     reinterpret_cast<sockaddr *>(from->bytes), &size);
    if (n < 0 && WSAGetLastError() == WSAEMSGSIZE)
        n = (int)count;
    from->family = reinterpret_cast<const sockaddr *>(from->bytes)->sa_family;
    from->size = (uint32_t)size;
    return result(n);
}
