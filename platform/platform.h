// Everything the logic calls of the operating system and of the NetWare
// client. Windows provides the kernel calls itself; other systems get
// stand-ins with the same names, records and meaning.
#pragma once

#include <cstdint>
#include <cstdio>

#ifdef _WIN32
#include <windows.h>

const char path_separator = '\\';
// --help, -h and --version are POSIX conventions; on Windows they stay
// server names.
const bool posix_options = false;
#else
typedef int BOOL;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef unsigned int UINT;
typedef void *HANDLE;

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};

#define STD_OUTPUT_HANDLE ((DWORD)-11)

BOOL AllocConsole();
HANDLE GetStdHandle(DWORD std_handle);
BOOL WriteConsoleA(HANDLE console, const void *text, DWORD length, DWORD *written,
                   void *reserved);
BOOL WriteFile(HANDLE file, const void *bytes, DWORD length, DWORD *written,
               void *overlapped);
BOOL FreeConsole();
BOOL SetLocalTime(const SYSTEMTIME *time);
DWORD GetLastError();
DWORD GetCurrentDirectoryA(DWORD capacity, char *directory);
[[noreturn]] void ExitProcess(UINT exit_code);

const char path_separator = '/';
const bool posix_options = true;
#endif

// Opens a file for appending in binary mode, created when missing, that
// other programs may read and write at the same time.
FILE *open_shared_append(const char *name);

// The NetWare client. Results are 0 for success, otherwise an error code.
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
