// Whether the server's time is one to set: not before this program's
// release, within the admin's bound, and not already the desk's own.
#include <cinttypes>
#include <cstdio>

#include "release_date.h"
#include "sync/sync.h"

// Longer than the built-in client lets a query take: a clock read this far
// apart tells nothing of the server's second.
static const int64_t longest_round_trip = 5 * (int64_t)ticks_per_second;

time_verdict judge_server_time(const SYSTEMTIME *local, const FILETIME *asked,
                               const FILETIME *answered, DWORD bound, int64_t *offset)
{
    FILETIME server;
    *offset = 0;
    // A date that is no date: SetLocalTime refuses it, as it always has.
    if (!local_time_to_file_time(local, answered, &server))
        return time_unknown;
    // By the server's own date: the release day is the same in every zone.
    if (local->wYear * 10000u + local->wMonth * 100u + local->wDay < release_date)
        return time_before_release;
    const uint64_t server_ticks = file_time_ticks(&server), desk = file_time_ticks(answered);
    *offset = (int64_t)(server_ticks - desk);
    const int64_t most = (int64_t)bound * (int64_t)ticks_per_second;
    if (bound != 0 && (*offset > most || *offset < -most))
        return time_beyond_bound;
    // The server read its clock somewhere between our two readings, so
    // its whole second began at most a second and a round trip ago.
    const int64_t round_trip = (int64_t)(desk - file_time_ticks(asked));
    const int64_t into_second =
        (int64_t)(desk - server_ticks) + (int64_t)local->wMilliseconds * 10000;
    if (round_trip >= 0 && round_trip <= longest_round_trip && into_second >= 0 &&
        into_second <= (int64_t)ticks_per_second + round_trip)
        return time_within_second;
    return time_to_set;
}

void format_offset(int64_t ticks, char (&text)[32])
{
    int64_t milliseconds = ticks / 10000;
    uint64_t size = (uint64_t)(milliseconds < 0 ? -milliseconds : milliseconds);
    snprintf(text, sizeof text, "%c%" PRIu64 ".%03u", milliseconds < 0 ? '-' : '+', size / 1000,
             (unsigned)(size % 1000));
}
