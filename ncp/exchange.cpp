#include <cstring>

#include "ncp/ncp.h"

static const uint32_t request_signature = 0x446D6454; // "DmdT"
static const uint32_t reply_signature = 0x744E6350;   // "tNcP"
static const uint32_t signed_flag = 0x80000000;
static const uint32_t transport_header_size = 8;
static const uint32_t packet_signature_size = 8;
static const uint32_t reply_header_size = 8;
static const uint8_t task_number = 1;

static void put16(uint8_t *at, uint16_t value)
{
    at[0] = (uint8_t)(value >> 8);
    at[1] = (uint8_t)value;
}

static void put32(uint8_t *at, uint32_t value)
{
    put16(at, (uint16_t)(value >> 16));
    put16(at + 2, (uint16_t)value);
}

static uint16_t get16(const uint8_t *at)
{
    return (uint16_t)(at[0] << 8 | at[1]);
}

static uint32_t get32(const uint8_t *at)
{
    return (uint32_t)get16(at) << 16 | get16(at + 2);
}

uint32_t ncp_exchange(net_socket socket, uint16_t type, uint8_t sequence, uint16_t *connection,
                      uint8_t function, uint8_t *data, size_t data_size, int64_t deadline)
{
    uint8_t request[23];
    put32(request, request_signature);
    put32(request + 4, sizeof request);
    put32(request + 8, 1); // version
    put32(request + 12, ncp_reply_buffer_size);
    put16(request + 16, type);
    request[18] = sequence;
    request[19] = (uint8_t)*connection;
    request[20] = task_number;
    request[21] = (uint8_t)(*connection >> 8);
    request[22] = function;
    if (!net_send_all(socket, request, sizeof request, deadline))
        return ncp_receive_error;
    return ncp_read_reply(socket, sequence, connection, type == ncp_create_connection, data,
                          data_size, deadline);
}

// Reads frames until the reply to the outstanding request arrives; the
// server's "still working" frames for that request are skipped.
uint32_t ncp_read_reply(net_socket socket, uint8_t sequence, uint16_t *connection,
                        bool any_connection, uint8_t *data, size_t data_size, int64_t deadline)
{
    static uint8_t frame[ncp_reply_buffer_size];
    for (;;) {
        // A server that never stops acknowledging must not hold us past
        // the deadline, however fast its frames arrive.
        if (net_now() >= deadline)
            return ncp_receive_error;
        if (!net_recv_all(socket, frame, transport_header_size, deadline))
            return ncp_receive_error;
        uint32_t length_field = get32(frame + 4);
        uint32_t length = length_field & ~signed_flag;
        uint32_t header_size =
            transport_header_size + ((length_field & signed_flag) ? packet_signature_size : 0);
        if (get32(frame) != reply_signature || length < header_size + reply_header_size ||
            length > sizeof frame)
            return ncp_unknown_network_error;
        if (!net_recv_all(socket, frame + transport_header_size, length - transport_header_size,
                          deadline))
            return ncp_receive_error;

        const uint8_t *reply = frame + header_size;
        uint16_t reply_connection = (uint16_t)(reply[5] << 8 | reply[3]);
        if (reply[2] != sequence || (!any_connection && reply_connection != *connection))
            return ncp_unknown_network_error;
        if (get16(reply) == ncp_still_working)
            continue;
        if (get16(reply) != ncp_service_reply)
            return ncp_unknown_network_error;

        uint8_t completion_code = reply[6];
        uint8_t connection_status = reply[7];
        if (completion_code != 0)
            return ncp_completion_base | completion_code;
        // 0x40 only says a broadcast message is waiting.
        if (connection_status & ~0x40)
            return ncp_invalid_connection;
        if (length - header_size - reply_header_size < data_size)
            return ncp_unknown_network_error;
        if (data_size != 0)
            memcpy(data, reply + reply_header_size, data_size);
        *connection = reply_connection;
        return 0;
    }
}
