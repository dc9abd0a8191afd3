// The site's bound on a step of the clock, from Group Policy's key.
#include <cstdio>

#include "platform/platform.h"
#include "platform/windows/event_log.h"

// Read in the 64-bit view, where a 64-bit policy engine writes it. Whoever
// can write the key may give any type: only a REG_DWORD in range counts,
// and anything else there is said in the Event Log, never taken as 0.
DWORD max_step_policy()
{
    HKEY key;
    LONG error = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Policies\\GARVELUX", 0,
                               KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key);
    if (error == ERROR_FILE_NOT_FOUND)
        return 0;
    DWORD type = 0, value = 0, size = sizeof value;
    if (error == ERROR_SUCCESS) {
        error = RegQueryValueExA(key, "MaxStepSeconds", nullptr, &type,
                                 reinterpret_cast<BYTE *>(&value), &size);
        RegCloseKey(key);
    }
    if (error == ERROR_FILE_NOT_FOUND)
        return 0;
    if (error == ERROR_SUCCESS && type == REG_DWORD && size == sizeof value && value >= 1 &&
        value <= longest_step)
        return value;
    char text[300];
    snprintf(text, sizeof text,
             "MaxStepSeconds in HKLM\\SOFTWARE\\Policies\\GARVELUX ignored (error %ld, type %lu, "
             "%lu bytes): it takes a REG_DWORD from 1 to %lu seconds. The clock is set without "
             "a bound.\r\n",
             (long)error, (unsigned long)type, (unsigned long)size, (unsigned long)longest_step);
    report_warning(text);
    return 0;
}

// W32Time keeps its own state; the README tells admins to keep one of the two.
bool clock_disciplined()
{
    return false;
}

void write_journal(const char *)
{
}
