// Our own NetWare client, for every build: finds a server by its name,
// speaks NCP over TCP to it. Results are the NetWare client's codes.
#pragma once

#include "netware/netware.h"
#include "slp/slp.h"

NWRCODE built_in_init();
NWRCODE built_in_open(const char *name, NWCONN_HANDLE *connection);
NWRCODE built_in_date_and_time(NWCONN_HANDLE connection, uint8_t *date_time);
void built_in_release();

// The server's addresses on port 524, at most capacity of them, from the
// sources the SLP settings leave to it; 0 when none knows the name.
int find_server(const char *name, const slp_settings *slp, net_address *addresses, int capacity);
// Where the site names its SLP directory agents and scopes.
void read_slp_settings(slp_settings *settings);
