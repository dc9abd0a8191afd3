#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "platform/platform.h"

// As on Windows: the length on success; the directory stays empty when it
// cannot be had or does not fit.
DWORD GetCurrentDirectoryA(DWORD capacity, char *directory)
{
    if (!getcwd(directory, capacity)) {
        if (capacity > 0)
            directory[0] = '\0';
        return 0;
    }
    return (DWORD)strlen(directory);
}

void ExitProcess(UINT exit_code)
{
    exit((int)exit_code);
}

// Under the systemd units the journal already holds a run's output.
void report_run(UINT, const char *) {}
