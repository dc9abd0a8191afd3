// NCP over TCP: just enough to open a service connection, ask for the
// server's date and time and close the connection again. The same code
// serves every build, over the socket layer of ncp/net.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ncp/net.h"
#include "platform/platform.h"

const NWRCODE ncp_invalid_connection = 0x8801;
const NWRCODE ncp_receive_error = 0x8805;
const NWRCODE ncp_unknown_network_error = 0x8806;
const NWRCODE ncp_no_route = 0x880A;
const NWRCODE ncp_server_not_found = 0x8847;
const NWRCODE ncp_completion_base = 0x8900; // or'ed with the server's completion code

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

// The client, one service connection at a time, with the NetWare client's
// result codes.
NWRCODE ncp_open_connection(const char *name, NWCONN_HANDLE *connection);
NWRCODE ncp_get_date_and_time(NWCONN_HANDLE connection, uint8_t *date_time);
void ncp_release();

// Resolves the name and connects to one of its addresses on port 524
// before the deadline (milliseconds of net_now).
NWRCODE ncp_connect(const char *name, int64_t deadline, net_socket *socket_out);
NWRCODE ncp_send(net_socket socket, const uint8_t *bytes, size_t count, int64_t deadline);
// Reads exactly count bytes: never more than the caller asked for.
NWRCODE ncp_receive(net_socket socket, uint8_t *bytes, size_t count, int64_t deadline);

// Sends one request and waits for its reply. A create learns the
// connection number from the reply; every other request must match it.
// On success the first data_size bytes of the reply's data are copied out.
NWRCODE ncp_exchange(net_socket socket, uint16_t type, uint8_t sequence, uint16_t *connection,
                     uint8_t function, uint8_t *data, size_t data_size, int64_t deadline);
NWRCODE ncp_read_reply(net_socket socket, uint8_t sequence, uint16_t *connection,
                       bool any_connection, uint8_t *data, size_t data_size, int64_t deadline);
