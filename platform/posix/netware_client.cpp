// The NetWare client on POSIX is our own, over NCP/TCP.
#include "ncp/ncp.h"
#include "platform/posix/least_privilege.h"

// The log is open and the name not yet resolved: nothing from here on
// needs more than setting the clock.
NWRCODE NWCallsInit(void *, void *)
{
    drop_privileges();
    return net_start();
}

NWRCODE NWCCOpenConnByName(NWCONN_HANDLE, const char *name, uint32_t, uint32_t, uint32_t,
                           NWCONN_HANDLE *connection)
{
    return ncp_open_connection(name, connection);
}

NWRCODE NWGetFileServerDateAndTime(NWCONN_HANDLE connection, uint8_t *date_time)
{
    return ncp_get_date_and_time(connection, date_time);
}

void release_client(void *)
{
    ncp_release();
}
