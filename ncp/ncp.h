// NCP over TCP: just enough to open a service connection, ask for the
// server's date and time and close the connection again, over the socket
// layer. Results are 0 or one of the codes below, the values that the
// NetWare client's own calls return for the same failures.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/net.h"

const uint32_t ncp_invalid_connection = 0x8801;
const uint32_t ncp_receive_error = 0x8805;
const uint32_t ncp_unknown_network_error = 0x8806;
const uint32_t ncp_no_route = 0x880A;
const uint32_t ncp_completion_base = 0x8900; // or'ed with the server's completion code

enum : uint16_t {
    ncp_create_connection = 0x1111,
    ncp_service_request = 0x2222,
    ncp_service_reply = 0x3333,
    ncp_destroy_connection = 0x5555,
    ncp_still_working = 0x9999,
};

// The largest reply we accept; a longer one is malformed.
const uint32_t ncp_reply_buffer_size = 1024;
const uint16_t ncp_no_connection = 0xFFFF;

// Connects to one of the server's addresses on port 524 before the
// deadline (milliseconds of net_now), racing them.
uint32_t ncp_connect(const net_address *addresses, int count, int64_t deadline,
                     net_socket *socket_out);
// One service connection at a time: opened over a connected socket, which
// it then owns (closed again when the open fails), asked, and closed.
uint32_t ncp_open(net_socket socket, int64_t deadline);
uint32_t ncp_get_date_and_time(uint8_t *date_time);
void ncp_close();

// Sends one request and waits for its reply. A create learns the
// connection number from the reply; every other request must match it.
// On success the first data_size bytes of the reply's data are copied out.
uint32_t ncp_exchange(net_socket socket, uint16_t type, uint8_t sequence, uint16_t *connection,
                      uint8_t function, uint8_t *data, size_t data_size, int64_t deadline);
uint32_t ncp_read_reply(net_socket socket, uint8_t sequence, uint16_t *connection,
                        bool any_connection, uint8_t *data, size_t data_size, int64_t deadline);
