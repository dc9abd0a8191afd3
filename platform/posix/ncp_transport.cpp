#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/posix/ncp.h"

int64_t ncp_now()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// Waits for the socket to become ready; false once the deadline has passed.
static bool wait_for(int socket, short events, int64_t deadline)
{
    for (;;) {
        int64_t left = deadline - ncp_now();
        if (left <= 0)
            return false;
        struct pollfd ready = {socket, events, 0};
        int count = poll(&ready, 1, (int)left);
        if (count > 0)
            return true;
        if (count < 0 && errno != EINTR)
            return false;
    }
}

static bool connect_to(const struct addrinfo *address, int64_t deadline, int *socket_out)
{
    int s = socket(address->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0)
        return false;
    int error = 0;
    socklen_t size = sizeof error;
    if (connect(s, address->ai_addr, address->ai_addrlen) != 0 &&
        (errno != EINPROGRESS || !wait_for(s, POLLOUT, deadline) ||
         getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0)) {
        close(s);
        return false;
    }
    int on = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    *socket_out = s;
    return true;
}

NWRCODE ncp_connect(const char *name, int64_t deadline, int *socket_out)
{
    struct addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *addresses = nullptr;
    if (getaddrinfo(name, "524", &hints, &addresses) != 0)
        return ncp_server_not_found;
    bool connected = false;
    for (const struct addrinfo *a = addresses; a && !connected; a = a->ai_next)
        connected = connect_to(a, deadline, socket_out);
    freeaddrinfo(addresses);
    return connected ? 0 : ncp_no_route;
}

NWRCODE ncp_send(int socket, const uint8_t *bytes, size_t count, int64_t deadline)
{
    size_t sent = 0;
    while (sent < count) {
        ssize_t n = send(socket, bytes + sent, count - sent, MSG_NOSIGNAL);
        if (n > 0)
            sent += (size_t)n;
        else if (n < 0 && (errno == EINTR || (errno == EAGAIN && wait_for(socket, POLLOUT, deadline))))
            continue;
        else
            return ncp_receive_error;
    }
    return 0;
}

NWRCODE ncp_receive(int socket, uint8_t *bytes, size_t count, int64_t deadline)
{
    size_t have = 0;
    while (have < count) {
        ssize_t n = recv(socket, bytes + have, count - have, 0);
        if (n > 0)
            have += (size_t)n;
        else if (n < 0 && (errno == EINTR || (errno == EAGAIN && wait_for(socket, POLLIN, deadline))))
            continue;
        else
            return ncp_receive_error;
    }
    return 0;
}
