// The console is standard output; hints go to standard error. As on Windows, writing to it as a
// console fails when it is not a terminal; WriteFile then takes the bytes.
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <unistd.h>

#include "platform/platform.h"

static int descriptor(HANDLE handle)
{
    return (int)reinterpret_cast<intptr_t>(handle);
}

// A reader that goes away (garvelux ... | head -1) must not end the run
// before its log is written: the write fails instead. A standard descriptor
// left closed (2>&-) is held on /dev/null, or the log or the socket would
// take its number and get the console's bytes or the hints.
BOOL AllocConsole()
{
    signal(SIGPIPE, SIG_IGN);
    for (int standard = STDIN_FILENO; standard <= STDERR_FILENO; standard++)
        if (fcntl(standard, F_GETFD) < 0)
            open("/dev/null", O_RDWR);
    return 1;
}

BOOL FreeConsole()
{
    return 1;
}

// Asked once a descriptor: a confined run may no longer ask the terminal.
static bool is_terminal(int console)
{
    static int asked = -1;
    static bool terminal;
    if (console != asked) {
        asked = console;
        terminal = isatty(console);
    }
    return terminal;
}

HANDLE GetStdHandle(DWORD std_handle)
{
    // The handle carries the descriptor, as HANDLE is what the logic holds.
    int stream = std_handle == STD_OUTPUT_HANDLE  ? STDOUT_FILENO
                 : std_handle == STD_ERROR_HANDLE ? STDERR_FILENO
                                                  : -1;
    if (stream < 0)
        return nullptr;
    // Asked now, as the logic takes the console: a run that prints nothing
    // before it is confined (a check) could not ask at its first write.
    if (stream == STDOUT_FILENO)
        is_terminal(stream);
    return reinterpret_cast<HANDLE>(intptr_t{stream}); // NOLINT(performance-no-int-to-ptr)
}

BOOL WriteFile(HANDLE file, const void *bytes, DWORD length, DWORD *written, void *)
{
    const char *next = static_cast<const char *>(bytes);
    *written = 0;
    while (*written < length) {
        ssize_t count = write(descriptor(file), next + *written, length - *written);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return 0;
        *written += (DWORD)count;
    }
    return 1;
}

BOOL WriteConsoleA(HANDLE console, const void *text, DWORD length, DWORD *written, void *)
{
    *written = 0;
    if (!is_terminal(descriptor(console)))
        return 0;
    return WriteFile(console, text, length, written, nullptr);
}
