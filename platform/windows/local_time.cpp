// Local date and time to an instant, by the desk's time zone settings.
#include "platform/platform.h"

static FILETIME from_ticks(uint64_t ticks)
{
    FILETIME time;
    time.dwLowDateTime = (DWORD)ticks;
    time.dwHighDateTime = (DWORD)(ticks >> 32);
    return time;
}

// Whether this instant reads, in local time, as the fields of `local`.
static bool reads_as(uint64_t ticks, const SYSTEMTIME *local)
{
    FILETIME instant = from_ticks(ticks);
    SYSTEMTIME universal, back;
    return FileTimeToSystemTime(&instant, &universal) &&
           SystemTimeToTzSpecificLocalTime(nullptr, &universal, &back) &&
           back.wYear == local->wYear && back.wMonth == local->wMonth && back.wDay == local->wDay &&
           back.wHour == local->wHour && back.wMinute == local->wMinute &&
           back.wSecond == local->wSecond;
}

// SetLocalTime adds the bias in force as it is called (across a change
// of daylight saving the second call, see clock_set_twice, puts the date's
// own). In the hour that repeats that is the pass the desk's clock is in,
// not always the nearer: judged by any other instant, the bound and the
// record would not be of the step made. A time in the hour that is skipped
// has no such reading, and Windows' own conversion stands.
BOOL local_time_to_file_time(const SYSTEMTIME *local, const FILETIME *close_to, FILETIME *instant)
{
    SYSTEMTIME universal, desk_local;
    FILETIME converted, fields, desk_fields;
    if (!TzSpecificLocalTimeToSystemTime(nullptr, local, &universal) ||
        !SystemTimeToFileTime(&universal, &converted))
        return 0;
    uint64_t best = file_time_ticks(&converted);
    if (FileTimeToSystemTime(close_to, &universal) &&
        SystemTimeToTzSpecificLocalTime(nullptr, &universal, &desk_local) &&
        SystemTimeToFileTime(&desk_local, &desk_fields) && SystemTimeToFileTime(local, &fields)) {
        // The fields plus the bias at close_to (UTC minus local time).
        const uint64_t current =
            file_time_ticks(&fields) + (file_time_ticks(close_to) - file_time_ticks(&desk_fields));
        if (reads_as(current, local))
            best = current;
    }
    *instant = from_ticks(best);
    return 1;
}
