// Local date and time to an instant, in the desk's time zone (TZ, else
// /etc/localtime), by the C library's own zone rules.
#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "platform/platform.h"

// From the Unix epoch to the FILETIME one, 1 January 1601.
static const int64_t seconds_1601_to_1970 = 11644473600;

static bool leap_year(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

static int days_in_month(int year, int month)
{
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && leap_year(year) ? 29 : days[month - 1];
}

// What Windows takes; day of week is not checked, as Windows ignores it.
static bool valid_time(const SYSTEMTIME *t)
{
    return t->wYear >= 1601 && t->wYear <= 30827 && t->wMonth >= 1 && t->wMonth <= 12 &&
           t->wDay >= 1 && t->wDay <= days_in_month(t->wYear, t->wMonth) && t->wHour <= 23 &&
           t->wMinute <= 59 && t->wSecond <= 59 && t->wMilliseconds <= 999;
}

static bool same_fields(const struct tm *a, const struct tm *b)
{
    return a->tm_year == b->tm_year && a->tm_mon == b->tm_mon && a->tm_mday == b->tm_mday &&
           a->tm_hour == b->tm_hour && a->tm_min == b->tm_min && a->tm_sec == b->tm_sec;
}

// mktime with this daylight-saving flag (-1: the C library's own guess);
// false when it fails, or, for a flag of 0 or 1, when the instant it gives
// reads back as other fields (the flag does not hold at that time).
static bool make_time(const struct tm *fields, int dst, time_t *seconds)
{
    struct tm t = *fields;
    t.tm_isdst = dst;
    t.tm_wday = -1; // mktime sets it on success; -1 is also a valid time
    *seconds = mktime(&t);
    if (t.tm_wday < 0)
        return false;
    struct tm back;
    return dst < 0 || (localtime_r(seconds, &back) && same_fields(&back, fields));
}

static int64_t distance(time_t seconds, WORD milliseconds, uint64_t close_to)
{
    int64_t ticks = ((int64_t)seconds + seconds_1601_to_1970) * (int64_t)ticks_per_second +
                    (int64_t)milliseconds * 10000;
    return ticks - (int64_t)close_to;
}

// Both readings of the fields, standard and daylight time, are tried; in
// the hour that repeats both hold and the nearer wins. mktime's own guess
// (-1) depends on what the process converted before: in a fresh one glibc
// took the later instant, whatever the clock. In the skipped hour neither
// holds, and the guess normalises it as setting the clock always did.
// A failure leaves errno for SetLocalTime: EINVAL or EOVERFLOW.
BOOL local_time_to_file_time(const SYSTEMTIME *local, const FILETIME *close_to, FILETIME *instant)
{
    if (!valid_time(local)) {
        errno = EINVAL;
        return 0;
    }
    struct tm fields = {};
    fields.tm_year = local->wYear - 1900;
    fields.tm_mon = local->wMonth - 1;
    fields.tm_mday = local->wDay;
    fields.tm_hour = local->wHour;
    fields.tm_min = local->wMinute;
    fields.tm_sec = local->wSecond;
    const uint64_t near_ticks = file_time_ticks(close_to);
    bool found = false;
    time_t best = 0;
    for (int dst = 0; dst <= 1; dst++) {
        time_t seconds;
        if (make_time(&fields, dst, &seconds) &&
            (!found || llabs(distance(seconds, 0, near_ticks)) < llabs(distance(best, 0, near_ticks)))) {
            best = seconds;
            found = true;
        }
    }
    if (!found && !make_time(&fields, -1, &best)) {
        errno = EOVERFLOW;
        return 0;
    }
    uint64_t ticks = (uint64_t)distance(best, local->wMilliseconds, 0);
    instant->dwLowDateTime = (DWORD)ticks;
    instant->dwHighDateTime = (DWORD)(ticks >> 32);
    return 1;
}
