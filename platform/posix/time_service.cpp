// Another time service beside this program, and the journal that hears of
// it. Linux has no policy store: --max-step is the admin's bound.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <sys/timex.h>
#include <unistd.h>

#include "platform/platform.h"

DWORD max_step_policy()
{
    return 0;
}

// systemd names the stream that it connected standard error to in
// JOURNAL_STREAM ("device:inode"). Elsewhere standard error is a terminal's
// or a script's, which hear nothing beyond the console's fixed bytes.
static bool journal_stream()
{
    const char *stream = getenv("JOURNAL_STREAM");
    if (!stream)
        return false;
    char *end;
    unsigned long long device = strtoull(stream, &end, 10);
    if (end == stream || *end != ':')
        return false;
    const char *inode_text = end + 1;
    unsigned long long inode = strtoull(inode_text, &end, 10);
    struct stat error;
    return end != inode_text && *end == '\0' && fstat(STDERR_FILENO, &error) == 0 &&
           error.st_dev == device && error.st_ino == inode;
}

static bool journal;

// The kernel keeps STA_UNSYNC set until a time service (timesyncd, chrony,
// ntpd) disciplines the clock. Where the call is denied, no service is seen.
// The journal's stream is looked at here too: a confined run may not.
bool clock_disciplined()
{
    journal = journal_stream();
    struct timex status = {};
    return adjtimex(&status) >= 0 && !(status.status & STA_UNSYNC);
}

void write_journal(const char *text)
{
    if (!journal)
        return;
    char line[400];
    snprintf(line, sizeof line, "<4>%s\n", text); // <4>: a warning, to the journal
    ssize_t written = write(STDERR_FILENO, line, strlen(line));
    (void)written; // a journal that cannot be written changes nothing
}
