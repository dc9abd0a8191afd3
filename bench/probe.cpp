// The least a program can do for the same result: the same three NCP
// exchanges with srv1 over TCP, nothing printed, no checks beyond lengths.
#include <cstdint>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

static int exchange(int s, uint8_t type_low, uint8_t sequence, uint8_t function,
                    uint8_t connection_low, uint8_t connection_high)
{
    uint8_t request[23] = {'D', 'm', 'd', 'T', 0, 0, 0, 23, 0, 0, 0, 1, 0, 0, 4, 0,
                           type_low, type_low, sequence, connection_low, 1, connection_high,
                           function};
    uint8_t reply[1024];
    if (send(s, request, sizeof request, MSG_NOSIGNAL) != sizeof request ||
        recv(s, reply, 8, MSG_WAITALL) != 8)
        return -1;
    size_t length = (size_t)reply[6] << 8 | reply[7];
    if (length < 16 || length > sizeof reply || recv(s, reply + 8, length - 8, MSG_WAITALL) <= 0)
        return -1;
    return reply[11] | reply[13] << 8;
}

int main()
{
    struct addrinfo hints = {};
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *address = nullptr;
    if (getaddrinfo("SRV1", "524", &hints, &address) != 0)
        return 2;
    int s = socket(address->ai_family, SOCK_STREAM, 0);
    if (connect(s, address->ai_addr, address->ai_addrlen) != 0)
        return 2;
    freeaddrinfo(address);
    int connection = exchange(s, 0x11, 0, 0, 0xFF, 0xFF);
    if (connection < 0 || exchange(s, 0x22, 1, 20, (uint8_t)connection, (uint8_t)(connection >> 8)) < 0)
        return 3;
    exchange(s, 0x55, 2, 0, (uint8_t)connection, (uint8_t)(connection >> 8));
    close(s);
    return 0;
}
