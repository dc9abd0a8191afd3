// One NCP service connection at a time.
#include "ncp/ncp.h"

static const int64_t query_time_ms = 5000;
static const int64_t destroy_time_ms = 1000;
static const uint8_t date_and_time_function = 20;

static net_socket connection_socket = net_no_socket;
static uint16_t connection_number;
static uint8_t next_sequence;

static void close_socket()
{
    net_close(connection_socket);
    connection_socket = net_no_socket;
}

uint32_t ncp_open(net_socket socket, int64_t deadline)
{
    connection_socket = socket;
    connection_number = ncp_no_connection;
    next_sequence = 0;
    uint32_t result = ncp_exchange(connection_socket, ncp_create_connection, next_sequence++,
                                   &connection_number, 0, nullptr, 0, deadline);
    if (result != 0)
        close_socket();
    return result;
}

uint32_t ncp_get_date_and_time(uint8_t *date_time)
{
    if (connection_socket == net_no_socket)
        return ncp_invalid_connection;
    return ncp_exchange(connection_socket, ncp_service_request, next_sequence++,
                        &connection_number, date_and_time_function, date_time, 7,
                        net_now() + query_time_ms);
}

// Ends the service connection, if one is open; a server that does not
// answer the destroy in time is left to notice the closed socket.
void ncp_close()
{
    if (connection_socket == net_no_socket)
        return;
    ncp_exchange(connection_socket, ncp_destroy_connection, next_sequence++, &connection_number,
                 0, nullptr, 0, net_now() + destroy_time_ms);
    close_socket();
}
