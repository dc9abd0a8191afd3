// Everything the program calls of the operating system. Windows provides
// the kernel calls itself; other systems get stand-ins with the same names,
// records and meaning.
#pragma once

#include <cstdint>
#include <cstdio>

#ifdef _WIN32
#include <windows.h>

const char path_separator = '\\';
// Options beginning with "-" (--help, -l FILE, ...) are POSIX
// conventions; on Windows such arguments stay server names.
const bool posix_options = false;
// A scheduled run has no standard error an admin reads: hints go to the
// Event Log's record of the run instead.
const bool hints_on_standard_error = false;
// Windows converts a local time with the daylight-saving setting in force
// before the call: across a change only a second call sets the clock right.
const bool clock_set_twice = true;
// The default log's name begins with the current directory's.
const bool default_log_by_bare_name = false;

// A file on disk with no other name, opened itself: not a reparse point
// (symbolic link, junction) at its name, a folder, a pipe, a device or a
// file with another name. The installer takes a log only on these terms.
bool own_disk_file(HANDLE file);
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

// 100-nanosecond intervals since 1 January 1601, UTC.
struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define STD_ERROR_HANDLE ((DWORD)-12)

BOOL AllocConsole();
HANDLE GetStdHandle(DWORD std_handle);
BOOL WriteConsoleA(HANDLE console, const void *text, DWORD length, DWORD *written,
                   void *reserved);
BOOL WriteFile(HANDLE file, const void *bytes, DWORD length, DWORD *written,
               void *overlapped);
BOOL FreeConsole();
BOOL SetLocalTime(const SYSTEMTIME *time);
void GetSystemTimeAsFileTime(FILETIME *now);
DWORD GetLastError();
DWORD GetCurrentDirectoryA(DWORD capacity, char *directory);
[[noreturn]] void ExitProcess(UINT exit_code);

const char path_separator = '/';
const bool posix_options = true;
// Cron mails it, systemd's journal keeps it.
const bool hints_on_standard_error = true;
const bool clock_set_twice = false;
// The default log is named bare, relative to the folder the run started
// in: a name built from getcwd() would follow whatever that folder's path
// names by the time it is opened.
const bool default_log_by_bare_name = true;
#endif

// Opens a file for appending in binary mode, created when missing, that
// other programs may read and write at the same time. Only a disk file is
// taken, at once: a link as the last component, a pipe, a socket, a device
// or a file with another name is refused (nullptr). On POSIX a run with
// privilege also refuses a path through a folder or link that another
// account could replace.
FILE *open_shared_append(const char *name);
// Why the last open_shared_append failed: the system's own words where it
// refused the open, ours where we refused what it opened.
const char *open_failure_reason();

// The system's own record of a run that read its command line, made as
// the run ends: Windows' Event Log (source GARVELUX, event ID the exit
// code, the run's text); nothing elsewhere. A record that cannot be made
// changes nothing.
void report_run(UINT exit_code, const char *text);

// The largest step of the clock that the site's policy allows, in
// seconds, 0 for none: Windows' MaxStepSeconds in the GARVELUX policy key,
// where a value of another type or out of range is ignored with a warning
// in the Event Log; no policy store elsewhere.
DWORD max_step_policy();
// Ten years: the largest bound on a step, or threshold, that counts.
const DWORD longest_step = 315360000;
// Whether another time service disciplines the clock (NTP), so that it may
// undo a step. Asked before the server is looked for.
bool clock_disciplined();
// A warning in the system's journal (Linux: standard error, where it is
// the journal's stream), never on the console or in the log.
void write_journal(const char *text);

// Least privilege for a run that reads a network server's bytes, where the
// system offers it. Before the server is looked for: keep no more than
// setting the clock needs, and nothing where !may_set_clock. False when
// the run must not go on: it started as root and could not become a user
// of its own where the system surely has one, or it is privileged and a
// step of its hardening failed.
bool drop_privileges(bool may_set_clock);
// Once connected, before the first reply byte is read: from then on the
// process makes no calls but those of the rest of a run on this socket,
// the clock's only where may_set_clock. False when a privileged run could
// not be confined and must not go on.
bool confine_to_socket(intptr_t socket, bool may_set_clock);

// A FILETIME as one count of 100-nanosecond ticks.
inline uint64_t file_time_ticks(const FILETIME *time)
{
    return (uint64_t)time->dwHighDateTime << 32 | time->dwLowDateTime;
}
const uint64_t ticks_per_second = 10000000;

// The instant (UTC) that a local date and time names in the desk's time
// zone. In the hour that occurs twice it can name two: the one nearest
// `close_to` is taken, as a desk whose clock is roughly right lives it (on
// Windows the one of the pass `close_to` is in, as SetLocalTime sets it). A time
// in the hour that is skipped is taken as SetLocalTime takes it. False,
// `instant` untouched, for a date that is no date (month 13, 31 April) or
// one the system cannot hold.
BOOL local_time_to_file_time(const SYSTEMTIME *local, const FILETIME *close_to, FILETIME *instant);
