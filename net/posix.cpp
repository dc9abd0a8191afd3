// The sockets on POSIX.
#include <cerrno>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <nss.h>
#include <poll.h>
#include <resolv.h>
#include <strings.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/net.h"

int64_t net_now()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// The kernel's generator; short reads of a few bytes do not happen.
bool net_random(uint8_t *bytes, size_t count)
{
    return getrandom(bytes, count, 0) == (ssize_t)count;
}

uint32_t net_start()
{
    return 0;
}

// Whether the name is .local or under it, a trailing dot aside.
static bool under_local(const char *name)
{
    size_t n = strlen(name);
    n -= n > 0 && name[n - 1] == '.';
    return (n == 5 && strncasecmp(name, "local", 5) == 0) ||
           (n > 5 && strncasecmp(name + n - 6, ".local", 6) == 0);
}

// The resolver for site-only lookups. systemd-resolved's stub (127.0.0.53)
// answers a single-label name by LLMNR and one under .local by mDNS: DNS
// is asked names of two labels or more outside .local alone (without the
// resolver's escapes), a single label only with a search domain
// (no-tld-query), and the root and .local domains leave the search list.
// no-reload keeps that when resolv.conf changes during the run.
static bool site_resolver()
{
    if (res_init() != 0)
        return false;
    _res.options |= RES_DEFNAMES | RES_NOTLDQUERY | RES_NORELOAD;
    _res.ndots = _res.ndots > 0 ? _res.ndots : 1;
    int kept = 0;
    for (int i = 0; i < MAXDNSRCH && _res.dnsrch[i]; i++)
        if (_res.dnsrch[i][strspn(_res.dnsrch[i], ".")] != '\0' && !under_local(_res.dnsrch[i]))
            _res.dnsrch[kept++] = _res.dnsrch[i];
    _res.dnsrch[kept] = nullptr;
    return true;
}

// glibc's own lookup order for the process, whatever nsswitch.conf lists
// (an mDNS or LLMNR module); nscd, whose order is the file's, is then left
// out too. A name DNS may not be asked (above) is the hosts file's alone;
// a loose number is not looked up at all, nor is anything where the order
// cannot be set.
int net_resolve(const char *name, const char *port, bool site_only, net_address *addresses,
                int capacity)
{
    static bool by_site;
    if (site_only && !by_site)
        by_site = site_resolver();
    if (!site_only)
        return net_addresses_of(name, port, false, addresses, capacity);
    const char *dot = strchr(name, '.');
    bool single = !dot || dot[1] == '\0';
    // The resolver reads \065 as A, and \. as a dot within a label.
    bool dns = !under_local(name) && !strchr(name, '\\') &&
               (!single || (!dot && _res.dnsrch[0]));
    if (!by_site || net_loose_number(name) ||
        __nss_configure_lookup("hosts", dns ? "files dns" : "files") != 0)
        return 0;
    return net_addresses_of(name, port, false, addresses, capacity);
}

net_socket net_connect(const net_address *address)
{
    int s = socket(address->family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0)
        return net_no_socket;
    if (connect(s, reinterpret_cast<const sockaddr *>(address->bytes), address->size) != 0 &&
        errno != EINPROGRESS) {
        close(s);
        return net_no_socket;
    }
    return s;
}

bool net_connected(net_socket socket)
{
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt((int)socket, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0)
        return false;
    int on = 1;
    setsockopt((int)socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return true;
}

int net_wait(const net_socket *sockets, int count, uint32_t writing, int64_t deadline)
{
    struct pollfd ready[net_most_sockets];
    for (int i = 0; i < count; i++)
        ready[i] = {(int)sockets[i], (short)(writing >> i & 1 ? POLLOUT : POLLIN), 0};
    for (;;) {
        int64_t left = deadline - net_now();
        if (left <= 0)
            return -1;
        int found = poll(ready, (nfds_t)count, (int)left);
        if (found < 0 && errno != EINTR)
            return -1;
        for (int i = 0; found > 0 && i < count; i++)
            if (ready[i].revents != 0)
                return i;
    }
}

static long result(ssize_t count)
{
    if (count >= 0)
        return (long)count;
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? net_again : -1;
}

long net_send(net_socket socket, const uint8_t *bytes, size_t count)
{
    return result(send((int)socket, bytes, count, MSG_NOSIGNAL));
}

long net_recv(net_socket socket, uint8_t *bytes, size_t count)
{
    return result(recv((int)socket, bytes, count, 0));
}

void net_close(net_socket socket)
{
    close((int)socket);
}

net_socket net_udp_open()
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0)
        return net_no_socket;
    // As far as a site routes multicast, the default of SLP.
    int ttl = 255;
    setsockopt(s, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
    return s;
}

long net_send_to(net_socket socket, const uint8_t *bytes, size_t count, const net_address *to)
{
    return result(sendto((int)socket, bytes, count, MSG_NOSIGNAL,
                         reinterpret_cast<const sockaddr *>(to->bytes), to->size));
}

long net_recv_from(net_socket socket, uint8_t *bytes, size_t count, net_address *from)
{
    socklen_t size = sizeof from->bytes;
    long n = result(recvfrom((int)socket, bytes, count, 0, reinterpret_cast<sockaddr *>(from->bytes),
                             &size));
    from->family = reinterpret_cast<const sockaddr *>(from->bytes)->sa_family;
    from->size = size;
    return n;
}
