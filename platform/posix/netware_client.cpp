// The NetWare client on POSIX is our own, over NCP/TCP.
#include "ncp/ncp.h"

NWRCODE NWCallsInit(void *, void *)
{
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
