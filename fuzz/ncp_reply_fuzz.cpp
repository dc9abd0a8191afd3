// Feeds the NCP reply reader an arbitrary byte stream, handed out in
// pieces of a size the input chooses, and checks what it made of it.
// The first byte of the input is the piece size, the rest the stream.
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>

#include "ncp/ncp.h"

static const uint8_t *stream;
static size_t stream_size;
static size_t consumed;
static size_t piece;

// Stands in for the socket: at most one piece a call, 0 at the end.
extern "C" ssize_t __wrap_recv(int, void *buffer, size_t length, int)
{
    size_t count = length < piece ? length : piece;
    if (count > stream_size - consumed)
        count = stream_size - consumed;
    memcpy(buffer, stream + consumed, count);
    consumed += count;
    return (ssize_t)count;
}

static uint32_t get32(const uint8_t *at)
{
    return (uint32_t)at[0] << 24 | (uint32_t)at[1] << 16 | (uint32_t)at[2] << 8 | at[3];
}

// An accepted stream is acknowledgements for the request, then its reply.
static bool well_formed(uint8_t sequence, uint16_t connection)
{
    size_t at = 0;
    for (;;) {
        const uint8_t *frame = stream + at;
        uint32_t length = get32(frame + 4) & 0x7FFFFFFF;
        size_t header = (get32(frame + 4) & 0x80000000) ? 16 : 8;
        const uint8_t *reply = frame + header;
        if (memcmp(frame, "tNcP", 4) != 0 || length < header + 8 || length > 1024 ||
            reply[2] != sequence || (reply[5] << 8 | reply[3]) != connection)
            return false;
        at += length;
        if (reply[0] == 0x99 && reply[1] == 0x99)
            continue;
        return reply[0] == 0x33 && reply[1] == 0x33 && reply[6] == 0 && (reply[7] & ~0x40) == 0 &&
               length >= header + 8 + 7 && at == consumed;
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    piece = data[0] % 32 + 1;
    stream = data + 1;
    stream_size = size - 1;
    consumed = 0;
    uint8_t date_time[7] = {};
    uint16_t connection = 0x0203;
    uint32_t result = ncp_read_reply(-1, 1, &connection, false, date_time, sizeof date_time,
                                    net_now() + 1000);
    if (consumed > stream_size)
        abort();
    switch (result) {
    case 0:
        if (!well_formed(1, 0x0203))
            abort();
        break;
    case ncp_receive_error:
    case ncp_unknown_network_error:
    case ncp_invalid_connection:
        break;
    default:
        if ((result & 0xFF00) != ncp_completion_base || (result & 0xFF) == 0)
            abort();
    }
    return 0;
}
