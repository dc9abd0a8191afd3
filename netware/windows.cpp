// The NetWare client libraries, bound by ordinal at run time. A workstation
// where they cannot be loaded at all uses the built-in NCP/TCP client
// instead; one whose client lacks a call gets that error.
#include <windows.h>

#include "netware/built_in.h"

typedef NWRCODE(__stdcall *calls_init_call)(void *, void *);
typedef NWRCODE(__stdcall *open_by_name_call)(NWCONN_HANDLE, const char *, uint32_t, uint32_t,
                                               uint32_t, NWCONN_HANDLE *);
typedef NWRCODE(__stdcall *date_and_time_call)(NWCONN_HANDLE, uint8_t *);
typedef NWRCODE(__stdcall *release_call)(void *);

enum { calls_init, open_by_name, date_and_time, release, call_count };

struct binding {
    const char *library;
    WORD ordinal;
};

static const binding bindings[call_count] = {
    {"CALWIN32.DLL", 377},
    {"CLXWIN32.DLL", 100},
    {"CALWIN32.DLL", 116},
    {"CALWIN32.DLL", 522},
};

static void (*bound[call_count])();
static bool built_in;

// 0 when every call is bound; otherwise the Windows error of the first
// library or ordinal that is missing.
static DWORD bind_client()
{
    for (int i = 0; i < call_count; i++) {
        HMODULE library = LoadLibraryA(bindings[i].library);
        FARPROC call = library ? GetProcAddress(library, MAKEINTRESOURCEA(bindings[i].ordinal))
                               : nullptr;
        if (!call)
            return GetLastError();
        bound[i] = reinterpret_cast<void (*)()>(call);
    }
    return 0;
}

NWRCODE NWCallsInit(void *in, void *out)
{
    DWORD error = bind_client();
    if (error == ERROR_MOD_NOT_FOUND) {
        built_in = true;
        return built_in_init();
    }
    if (error != 0)
        return error;
    return reinterpret_cast<calls_init_call>(bound[calls_init])(in, out);
}

NWRCODE NWCCOpenConnByName(NWCONN_HANDLE start_connection, const char *name, uint32_t name_format,
                           uint32_t open_state, uint32_t transport_type, NWCONN_HANDLE *connection)
{
    if (built_in)
        return built_in_open(name, connection);
    return reinterpret_cast<open_by_name_call>(bound[open_by_name])(
        start_connection, name, name_format, open_state, transport_type, connection);
}

NWRCODE NWGetFileServerDateAndTime(NWCONN_HANDLE connection, uint8_t *date_time)
{
    if (built_in)
        return built_in_date_and_time(connection, date_time);
    return reinterpret_cast<date_and_time_call>(bound[date_and_time])(connection, date_time);
}

void release_client(void *reserved)
{
    if (built_in)
        built_in_release();
    else
        reinterpret_cast<release_call>(bound[release])(reserved);
}
