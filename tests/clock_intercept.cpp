// Preloaded into garvelux by the tests: the clock call is answered here and
// written to the file named by GARVELUX_CLOCK_RECORD instead of reaching
// the kernel, so a whole successful run can be seen without a changed clock.
// The file is opened at start, as a confined run may open nothing later.
// With GARVELUX_CLOCK_FORBIDDEN set, the call also opens a socket, which a
// confined run must not survive.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

static int record = -1;

__attribute__((constructor)) static void open_record()
{
    const char *name = getenv("GARVELUX_CLOCK_RECORD");
    if (name)
        record = open(name, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
}

extern "C" int clock_settime(clockid_t clock, const struct timespec *time)
{
    if (getenv("GARVELUX_CLOCK_FORBIDDEN"))
        socket(AF_INET, SOCK_STREAM, 0);
    char line[64];
    int length = snprintf(line, sizeof line, "%d %lld %ld\n", (int)clock,
                          (long long)time->tv_sec, time->tv_nsec);
    if (record >= 0 && write(record, line, (size_t)length) < 0)
        return -1;
    return 0;
}
