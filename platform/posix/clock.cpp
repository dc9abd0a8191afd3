// Sets the clock from a local date and time, refusing what Windows refuses
// so that no field ever rolls over into the next one.
#include <cerrno>
#include <ctime>

#include "platform/platform.h"

static DWORD last_error;

static bool leap_year(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

static int days_in_month(int year, int month)
{
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && leap_year(year) ? 29 : days[month - 1];
}

// Day of week is not checked: Windows ignores it too.
static bool valid_time(const SYSTEMTIME *t)
{
    return t->wYear >= 1601 && t->wYear <= 30827 && t->wMonth >= 1 && t->wMonth <= 12 &&
           t->wDay >= 1 && t->wDay <= days_in_month(t->wYear, t->wMonth) && t->wHour <= 23 &&
           t->wMinute <= 59 && t->wSecond <= 59 && t->wMilliseconds <= 999;
}

static BOOL fail(int error)
{
    last_error = (DWORD)error;
    return 0;
}

BOOL SetLocalTime(const SYSTEMTIME *t)
{
    if (!valid_time(t))
        return fail(EINVAL);
    struct tm local = {};
    local.tm_year = t->wYear - 1900;
    local.tm_mon = t->wMonth - 1;
    local.tm_mday = t->wDay;
    local.tm_hour = t->wHour;
    local.tm_min = t->wMinute;
    local.tm_sec = t->wSecond;
    local.tm_isdst = -1;
    local.tm_wday = -1; // mktime sets it on success; -1 is also a valid time
    time_t seconds = mktime(&local);
    if (local.tm_wday < 0)
        return fail(EOVERFLOW);
    struct timespec now = {seconds, (long)t->wMilliseconds * 1000000L};
    if (clock_settime(CLOCK_REALTIME, &now) != 0)
        return fail(errno);
    return 1;
}

DWORD GetLastError()
{
    return last_error;
}
