// The NetWare client libraries, bound by ordinal at run time. A workstation
// where they cannot be loaded at all uses the built-in NCP/TCP client
// instead; one whose client lacks a call gets that error.
#include <windows.h>

#include <cstring>

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

// The folder in the first length bytes of path, then the library's name.
static HMODULE load_by_path(char *path, size_t length, const char *name)
{
    size_t name_size = strlen(name) + 1;
    if (length == 0 || length + 1 + name_size > MAX_PATH)
        return nullptr;
    path[length] = '\\';
    memcpy(path + length + 1, name, name_size);
    return LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

// Only from the program's own folder or the system folder, never from the
// current directory or PATH, where others may place a library of that
// name. Where the loader lacks the search flags (Windows 7 without
// KB2533623), by full path from the same two folders.
static HMODULE load_client_library(const char *name)
{
    HMODULE library = LoadLibraryExA(
        name, nullptr, LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (library || GetLastError() != ERROR_INVALID_PARAMETER)
        return library;
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    const char *last = length > 0 && length < MAX_PATH ? strrchr(path, '\\') : nullptr;
    library = last ? load_by_path(path, (size_t)(last - path), name) : nullptr;
    return library ? library : load_by_path(path, GetSystemDirectoryA(path, MAX_PATH), name);
}

// 0 when every call is bound; otherwise the Windows error of the first
// library or ordinal that is missing.
static DWORD bind_client()
{
    // The current directory out of the search for the libraries' own
    // dependencies, which the full-path fallback leaves to the old order.
    SetDllDirectoryW(L"");
    for (int i = 0; i < call_count; i++) {
        HMODULE library = load_client_library(bindings[i].library);
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

// One REG_SZ value of the policy key, up to capacity - 1 characters as the
// template allows; empty when it is missing. False when it is there but of
// another type, too long or unreadable. The value's terminator, where it
// has one, is read with it.
static bool read_policy_value(HKEY key, const char *name, char *out, size_t capacity)
{
    DWORD type = 0, size = (DWORD)capacity;
    LONG error = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE *>(out), &size);
    bool read = error == ERROR_SUCCESS && type == REG_SZ &&
                (size < capacity || out[capacity - 1] == '\0');
    out[!read ? 0 : size < capacity ? size : capacity - 1] = '\0';
    return read || error == ERROR_FILE_NOT_FOUND;
}

// Group Policy's key, read in the 64-bit view, where a 64-bit policy
// engine writes it. Agents that are set but cannot be read fail closed, as
// OpenSLP's file does.
void read_slp_settings(slp_settings *settings)
{
    *settings = {};
    HKEY key;
    LONG error = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Policies\\GARVELUX\\SLP", 0,
                               KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key);
    settings->unreadable = error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND;
    if (error != ERROR_SUCCESS)
        return;
    read_policy_value(key, "Scopes", settings->scopes, sizeof settings->scopes);
    settings->unreadable =
        !read_policy_value(key, "DAAddresses", settings->agents, sizeof settings->agents);
    RegCloseKey(key);
}
