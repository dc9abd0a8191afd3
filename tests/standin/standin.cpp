// Stand-ins for the NetWare client libraries, for tests under Wine. The
// results and the date come from the environment:
//   GARVELUX_STANDIN_INIT, _OPEN, _QUERY   results in hexadecimal (default 0)
//   GARVELUX_STANDIN_DATE                  "now", or seven numbers: y,m,d,h,m,s,dow
//   GARVELUX_STANDIN_RECORD                file that every call is appended to
#include <windows.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static uint32_t scripted(const char *name)
{
    const char *value = getenv(name);
    return value ? (uint32_t)strtoul(value, nullptr, 16) : 0;
}

static void record(const char *format, ...)
{
    const char *name = getenv("GARVELUX_STANDIN_RECORD");
    FILE *file = name ? fopen(name, "a") : nullptr;
    if (!file)
        return;
    va_list arguments;
    va_start(arguments, format);
    vfprintf(file, format, arguments);
    va_end(arguments);
    fputc('\n', file);
    fclose(file);
}

// The coming second, late in this one: the program sets milliseconds to 2,
// a desk within the server's second is left as it is, and Wine sets the
// clock only to within half a second of the current time.
static void now(uint8_t *date_time)
{
    SYSTEMTIME t;
    for (GetLocalTime(&t); t.wMilliseconds < 700 || t.wMilliseconds > 850; GetLocalTime(&t))
        Sleep(20);
    FILETIME instant;
    SystemTimeToFileTime(&t, &instant);
    ULARGE_INTEGER ticks = {{instant.dwLowDateTime, instant.dwHighDateTime}};
    ticks.QuadPart += 10000000;
    instant = {ticks.LowPart, ticks.HighPart};
    FileTimeToSystemTime(&instant, &t);
    const WORD fields[7] = {(WORD)(t.wYear - 1900), t.wMonth, t.wDay, t.wHour,
                            t.wMinute, t.wSecond, t.wDayOfWeek};
    for (int i = 0; i < 7; i++)
        date_time[i] = (uint8_t)fields[i];
}

extern "C" {

uint32_t __stdcall NWCallsInit(void *in, void *out)
{
    record("NWCallsInit(%p,%p)", in, out);
    return scripted("GARVELUX_STANDIN_INIT");
}

uint32_t __stdcall NWCCOpenConnByName(uint32_t start, const char *name,
                                                             uint32_t name_format,
                                                             uint32_t open_state,
                                                             uint32_t transport_type,
                                                             uint32_t *connection)
{
    record("NWCCOpenConnByName(%u,%s,%u,%u,0x%X)", start, name, name_format, open_state,
           transport_type);
    *connection = 0x1234;
    return scripted("GARVELUX_STANDIN_OPEN");
}

uint32_t __stdcall NWGetFileServerDateAndTime(uint32_t connection,
                                                                    uint8_t *date_time)
{
    static const uint8_t zero[7] = {};
    record("NWGetFileServerDateAndTime(0x%X,%s)", connection,
           memcmp(date_time, zero, 7) == 0 ? "zeroed" : "dirty");
    const char *date = getenv("GARVELUX_STANDIN_DATE");
    if (date && strcmp(date, "now") == 0) {
        now(date_time);
    } else if (date) {
        unsigned f[7] = {};
        sscanf(date, "%u,%u,%u,%u,%u,%u,%u", &f[0], &f[1], &f[2], &f[3], &f[4], &f[5], &f[6]);
        for (int i = 0; i < 7; i++)
            date_time[i] = (uint8_t)f[i];
    }
    return scripted("GARVELUX_STANDIN_QUERY");
}

uint32_t __stdcall release_client(void *reserved)
{
    record("release_client(%p)", reserved);
    return 0;
}
}
