// The NetWare client's calls, as the logic makes them. On Windows they are
// the installed client's, bound by ordinal, or our own built-in client's;
// elsewhere always our own. Results are 0 for success, otherwise an error
// code.
#pragma once

#include <cstdint>

typedef uint32_t NWRCODE;
typedef uint32_t NWCONN_HANDLE;

NWRCODE NWCallsInit(void *in, void *out);
NWRCODE NWCCOpenConnByName(NWCONN_HANDLE start_connection, const char *name,
                           uint32_t name_format, uint32_t open_state,
                           uint32_t transport_type, NWCONN_HANDLE *connection);
// Fills seven bytes: year since 1900, month, day, hour, minute, second,
// day of week.
NWRCODE NWGetFileServerDateAndTime(NWCONN_HANDLE connection, uint8_t *date_time);
void release_client(void *reserved);
// Whether the process may set the clock once the client is started: a
// check never does, and keeps no privilege for it. Set before NWCallsInit.
extern bool client_sets_clock;
