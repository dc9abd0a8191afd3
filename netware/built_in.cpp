// A server is found as a NetWare client finds it over IP: where the site
// configured SLP directory agents, from them first, else from the hosts
// file and DNS first; then from the other. Its addresses are raced on
// port 524.
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
    if (!drop_privileges())
        return still_privileged;
    return net_start();
}

// Directory agents the site configured answer before the resolver, which
// may ask the LAN (LLMNR, NetBIOS, mDNS) for a name that DNS lacks; the
// group, which any LAN host can answer, only after it.
static int find_server(const char *name, net_address *addresses)
{
    bool agents = slp_has_agents(&slp);
    int count = agents ? slp_find_server(name, &slp, addresses, most_addresses) : 0;
    if (count == 0)
        count = net_resolve(name, "524", addresses, most_addresses);
    if (count == 0 && !agents)
        count = slp_find_server(name, &slp, addresses, most_addresses);
    return count;
}

// Opening gets its time once the server is found: looking it up has
// bounds of its own.
NWRCODE built_in_open(const char *name, NWCONN_HANDLE *connection)
{
    static net_address addresses[most_addresses];
    int count = find_server(name, addresses);
    if (count == 0)
        return server_not_found;
    int64_t deadline = net_now() + open_time_ms;
    net_socket socket;
    NWRCODE result = ncp_connect(addresses, count, deadline, &socket);
    if (result != 0)
        return result;
    confine_to_socket(socket);
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
