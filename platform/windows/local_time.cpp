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

static uint64_t distance(uint64_t a, uint64_t b)
{
    return a > b ? a - b : b - a;
}

// Windows converts by one rule of its own in the hour that repeats; the
// other reading lies the daylight-saving shift away. Of the readings that
// give back the same fields, the one nearest `close_to`. A time in the hour
// that is skipped reads back as no time, and Windows' own conversion stands.
BOOL local_time_to_file_time(const SYSTEMTIME *local, const FILETIME *close_to, FILETIME *instant)
{
    SYSTEMTIME universal;
    FILETIME converted;
    if (!TzSpecificLocalTimeToSystemTime(nullptr, local, &universal) ||
        !SystemTimeToFileTime(&universal, &converted))
        return 0;
    const uint64_t first = file_time_ticks(&converted), target = file_time_ticks(close_to);
    uint64_t best = first;
    TIME_ZONE_INFORMATION zone;
    if (GetTimeZoneInformation(&zone) != TIME_ZONE_ID_INVALID && reads_as(first, local)) {
        const LONG minutes = zone.StandardBias - zone.DaylightBias;
        const uint64_t shift = (uint64_t)(minutes < 0 ? -minutes : minutes) * 60 * ticks_per_second;
        const uint64_t others[2] = {first - shift, first + shift};
        for (uint64_t other : others)
            if (shift != 0 && reads_as(other, local) &&
                distance(other, target) < distance(best, target))
                best = other;
    }
    *instant = from_ticks(best);
    return 1;
}
