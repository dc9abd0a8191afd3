// Whole buffers out and in, each within its deadline.
#include "net/net.h"

bool net_send_all(net_socket socket, const uint8_t *bytes, size_t count, int64_t deadline)
{
    size_t sent = 0;
    while (sent < count) {
        long n = net_send(socket, bytes + sent, count - sent);
        if (n > 0)
            sent += (size_t)n;
        else if (n != net_again || net_wait(&socket, 1, 1, deadline) < 0)
            return false;
    }
    return true;
}

bool net_recv_all(net_socket socket, uint8_t *bytes, size_t count, int64_t deadline)
{
    size_t have = 0;
    while (have < count) {
        long n = net_recv(socket, bytes + have, count - have);
        if (n > 0)
            have += (size_t)n;
        else if (n != net_again || net_wait(&socket, 1, 0, deadline) < 0)
            return false;
    }
    return true;
}
