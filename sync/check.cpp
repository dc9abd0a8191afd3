// The monitoring check (Linux: garvelux --check): the server asked once, as
// a run asks it, its time compared with this host's, one line in the
// monitoring plugins' convention and their status as the exit code. It
// never sets the clock, never opens a log, and keeps no privilege.
#include <cstring>

#include "cmdline/cmdline.h"
#include "output/output.h"
#include "sync/sync.h"

enum : UINT { check_ok, check_warning, check_critical, check_unknown };
static const char *const status_names[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};

// The server gave no usable answer: its code, as a run prints it.
[[noreturn]] static void unknown(const char *call, NWRCODE result)
{
    emit_message("GARVELUX UNKNOWN: %s %s returned %0X\n", server_name, call, result);
    ExitProcess(check_unknown);
}

// The server's time minus this host's, in whole seconds, from `ticks`, the
// server's instant minus this host's clock at the reply. The server tells
// whole seconds: its clock stood in [S, S+1) when it answered, this host's
// between sending the query and the reply's arrival. The middle of each
// is the estimate, within half a second plus half the round trip.
static int64_t offset_seconds(int64_t ticks, const FILETIME *sent, const FILETIME *received)
{
    const int64_t second = (int64_t)ticks_per_second;
    ticks += second / 2 + (int64_t)(file_time_ticks(received) - file_time_ticks(sent)) / 2;
    return (ticks >= 0 ? ticks + second / 2 : ticks - second / 2) / second;
}

static UINT verdict(int64_t offset)
{
    uint64_t size = (uint64_t)(offset < 0 ? -offset : offset);
    if (size > critical_seconds)
        return check_critical;
    return size > warning_seconds ? check_warning : check_ok;
}

void check_server(int argc, char **argv)
{
    parse_check_line(argc, argv);
    client_sets_clock = false;
    NWRCODE result = NWCallsInit(nullptr, nullptr);
    if (result != 0)
        unknown("NWCallsInit", result);
    NWCONN_HANDLE connection = 0;
    result = NWCCOpenConnByName(0, server_name, name_format, open_state, transport_type,
                                &connection);
    if (result != 0) {
        release_client(nullptr);
        unknown("NWCCOpenConnByName", result);
    }
    FILETIME sent, received;
    memset(server_date_time, 0, sizeof server_date_time);
    GetSystemTimeAsFileTime(&sent);
    result = NWGetFileServerDateAndTime(connection, server_date_time);
    GetSystemTimeAsFileTime(&received);
    release_client(nullptr);
    if (result != 0)
        unknown("NWGetFileServerDateAndTime", result);

    fill_local_time();
    local_time.wMilliseconds = 0; // the start of the server's second
    int64_t ticks;
    time_verdict judged = judge_server_time(&local_time, &sent, &received, 0, &ticks);
    // No offset to speak of: the server's clock itself is broken.
    if (judged == time_unknown || judged == time_before_release) {
        UINT status = judged == time_unknown ? check_unknown : check_critical;
        emit_message("GARVELUX %s: %s told %u-%02u-%02u %02u:%02u:%02u, %s\n", status_names[status],
                     server_name, local_time.wYear, local_time.wMonth, local_time.wDay,
                     local_time.wHour, local_time.wMinute, local_time.wSecond,
                     status == check_unknown ? "no date" : "before this program's release");
        ExitProcess(status);
    }
    int64_t offset = offset_seconds(ticks, &sent, &received);
    UINT status = verdict(offset);
    emit_message("GARVELUX %s: %s offset %+lld s|offset=%llds;%u;%u;;\n", status_names[status],
                 server_name, (long long)offset, (long long)offset, (unsigned)warning_seconds,
                 (unsigned)critical_seconds);
    ExitProcess(status);
}
