#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
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

static const char refused[] = "not a file of its own (a FIFO, socket, device or hard link)";
static const char *failure_reason = "";

// Where another account can write the log's folder, it can put a symlink,
// a FIFO, a socket or a hard link at the log's name before a root run
// comes: the last component is never followed, nothing waits for a FIFO's
// reader or a device, and only a regular file with no other name is taken.
// A new log gets 0644 as the umask or the folder's default ACL narrows it.
// The file taken is written as any other, blocking; it is not handed down
// to anything the process might start.
FILE *open_shared_append(const char *name)
{
    int log = open(name, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY |
                             O_CLOEXEC, 0644);
    if (log < 0) {
        // In the system's words these would name a loop of links and a
        // missing device: a link, and a FIFO or socket with no reader.
        failure_reason = errno == ELOOP   ? "a symbolic link, which is never followed"
                         : errno == ENXIO ? refused
                                          : strerror(errno);
        return nullptr;
    }
    struct stat status;
    FILE *file = nullptr;
    if (fstat(log, &status) == 0 && S_ISREG(status.st_mode) && status.st_nlink <= 1 &&
        fcntl(log, F_SETFL, O_APPEND) == 0)
        file = fdopen(log, "ab");
    if (!file) {
        failure_reason = refused;
        close(log);
    }
    return file;
}

const char *open_failure_reason()
{
    return failure_reason;
}

// Under the systemd units the journal already holds a run's output.
void report_run(UINT, const char *) {}
