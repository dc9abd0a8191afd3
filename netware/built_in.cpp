// A server is found as a NetWare client finds it over IP (find_server.cpp)
// and its addresses are raced on port 524.
#include "netware/built_in.h"

#include "ncp/ncp.h"
#include "platform/platform.h"
#include "slp/slp.h"

static const NWRCODE server_not_found = 0x8847;
static const NWRCODE still_privileged = 0x88FF;
static const int64_t open_time_ms = 5000;
static const NWCONN_HANDLE the_handle = 1;
static const int most_addresses = 16;
static slp_settings slp;
bool client_sets_clock = true;

// The log is open and the server not yet looked for: nothing from here on
// needs more than setting the clock, and no reply is read as root. The SLP
// settings are read first, with the run's own rights: a site may keep them
// from other users.
NWRCODE built_in_init()
{
    read_slp_settings(&slp);
    if (!drop_privileges(client_sets_clock))
        return still_privileged;
    return net_start();
}

// Opening gets its time once the server is found: looking it up has
// bounds of its own.
NWRCODE built_in_open(const char *name, NWCONN_HANDLE *connection)
{
    static net_address addresses[most_addresses];
    int count = find_server(name, &slp, addresses, most_addresses);
    if (count == 0)
        return server_not_found;
    int64_t deadline = net_now() + open_time_ms;
    net_socket socket;
    NWRCODE result = ncp_connect(addresses, count, deadline, &socket);
    if (result != 0)
        return result;
    confine_to_socket(socket, client_sets_clock);
    result = ncp_open(socket, deadline);
    if (result == 0)
        *connection = the_handle;
    return result;
}

NWRCODE built_in_date_and_time(NWCONN_HANDLE connection, uint8_t *date_time)
{
    if (connection != the_handle)
        return ncp_invalid_connection;
    return ncp_get_date_and_time(date_time);
}

void built_in_release()
{
    ncp_close();
}
