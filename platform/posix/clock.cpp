// The clock: read as Windows reads it, set from a local date and time,
// refusing what Windows refuses so that no field ever rolls over into the
// next one.
#include <cerrno>
#include <ctime>

#include "platform/platform.h"

static DWORD last_error;

static BOOL fail(int error)
{
    last_error = (DWORD)error;
    return 0;
}

static const int64_t seconds_1601_to_1970 = 11644473600;

void GetSystemTimeAsFileTime(FILETIME *now)
{
    struct timespec clock = {};
    clock_gettime(CLOCK_REALTIME, &clock);
    uint64_t ticks = (uint64_t)(((int64_t)clock.tv_sec + seconds_1601_to_1970) *
                                    (int64_t)ticks_per_second +
                                clock.tv_nsec / 100);
    now->dwLowDateTime = (DWORD)ticks;
    now->dwHighDateTime = (DWORD)(ticks >> 32);
}

// The local time is read as Windows reads it with the time zone's current
// bias: in the hour that repeats, the instant nearest the clock as it is.
BOOL SetLocalTime(const SYSTEMTIME *t)
{
    FILETIME now, instant;
    GetSystemTimeAsFileTime(&now);
    if (!local_time_to_file_time(t, &now, &instant))
        return fail(errno);
    // Whole seconds since 1601 first: a date before 1970 has no negative
    // nanoseconds.
    uint64_t ticks = file_time_ticks(&instant);
    struct timespec set = {(time_t)((int64_t)(ticks / ticks_per_second) - seconds_1601_to_1970),
                           (long)(ticks % ticks_per_second) * 100};
    if (clock_settime(CLOCK_REALTIME, &set) != 0)
        return fail(errno);
    return 1;
}

DWORD GetLastError()
{
    return last_error;
}
