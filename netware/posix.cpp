// The NetWare client on POSIX is always our own.
#include "netware/built_in.h"
#include "slp/slp.h"

NWRCODE NWCallsInit(void *, void *)
{
    return built_in_init();
}

NWRCODE NWCCOpenConnByName(NWCONN_HANDLE, const char *name, uint32_t, uint32_t, uint32_t,
                           NWCONN_HANDLE *connection)
{
    return built_in_open(name, connection);
}

NWRCODE NWGetFileServerDateAndTime(NWCONN_HANDLE connection, uint8_t *date_time)
{
    return built_in_date_and_time(connection, date_time);
}

void release_client(void *)
{
    built_in_release();
}

void read_slp_settings(slp_settings *settings)
{
    slp_read_config("/etc/slp.conf", settings);
}
