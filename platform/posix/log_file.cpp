#include <cap-ng.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"

static const int most_links = 40; // as the kernel's own walk
static const char not_own[] = "not a file of its own (a FIFO, socket, device or hard link)";
static const char replaceable[] = "a folder or link on its path that another account could replace";
static const char *failure_reason = "";

static FILE *refuse(const char *why)
{
    failure_reason = why;
    return nullptr;
}

static bool trusted(uid_t owner)
{
    return owner == 0 || owner == geteuid();
}

// Where no one else may write the folder, no one else can replace what it
// holds; in a sticky one (/tmp) others cannot rename or remove what they
// do not own. Its owner can always, so it must be trusted too.
static bool holds_safely(const struct stat &folder, bool sticky_will_do)
{
    return trusted(folder.st_uid) && ((folder.st_mode & (S_IWGRP | S_IWOTH)) == 0 ||
                                      (sticky_will_do && (folder.st_mode & S_ISVTX)));
}

// Another account that can write the log's folder can put a symlink, a
// FIFO, a socket or a hard link at the log's name before a root run comes:
// the last name is never followed, nothing waits for a FIFO's reader or a
// device, and only a regular file with no other name is taken, and only
// one of a trusted owner where folder_shared. A new log gets 0644 as the
// umask or the folder's default ACL narrows it. The file taken is written
// as any other, blocking; it is not handed down to anything the process
// might start.
static FILE *append_in(int folder, const char *name, bool folder_shared)
{
    int log = openat(folder, name,
                     O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                     0644);
    // In the system's words these would name a loop of links and a missing
    // device: a link, and a FIFO or socket with no reader.
    if (log < 0)
        return refuse(errno == ELOOP   ? "a symbolic link, which is never followed"
                      : errno == ENXIO ? not_own
                                       : strerror(errno));
    struct stat status;
    FILE *file = nullptr;
    bool own = fstat(log, &status) == 0 && S_ISREG(status.st_mode) && status.st_nlink <= 1;
    if (own && (!folder_shared || trusted(status.st_uid)) && fcntl(log, F_SETFL, O_APPEND) == 0)
        file = fdopen(log, "ab");
    if (!file) {
        close(log);
        return refuse(own ? "another account's, in a folder that others may write" : not_own);
    }
    return file;
}

// A run with privilege takes no folder or link on the log's path from an
// account it does not trust: each name is opened without following it and
// counts only when root or the run's own user owns it and its folder holds
// it safely; a link that counts is followed, its target walked alike. What
// was opened is what was checked: a name swapped meanwhile is refused or
// was never used.
static FILE *append_walked(const char *name)
{
    static char path[2 * PATH_MAX];
    size_t rest = strlen(name);
    if (rest >= sizeof path)
        return refuse(strerror(ENAMETOOLONG));
    memcpy(path, name, rest + 1);
    char *next = path;
    int folder = open(name[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return refuse(strerror(errno));
    int links = 0;
    FILE *file = nullptr;
    struct stat holder;
    while (folder >= 0 && fstat(folder, &holder) == 0) {
        next += strspn(next, "/");
        char *end = strchrnul(next, '/');
        if (*end == '\0') {
            file = append_in(folder, next, !holds_safely(holder, false));
            break;
        }
        *end = '\0';
        if (strcmp(next, ".") == 0) { // the same folder, however it is held
            next = end + 1;
            continue;
        }
        if (!holds_safely(holder, true)) {
            refuse(replaceable);
            break;
        }
        int entry = openat(folder, next, O_PATH | O_NOFOLLOW | O_CLOEXEC);
        struct stat status;
        if (entry < 0 || fstat(entry, &status) != 0 || !trusted(status.st_uid)) {
            refuse(entry < 0 ? strerror(errno) : replaceable);
            if (entry >= 0)
                close(entry);
            break;
        }
        next = end + 1;
        if (S_ISDIR(status.st_mode)) {
            close(folder);
            folder = entry;
            continue;
        }
        // The link's target takes its place in the path.
        char target[PATH_MAX];
        ssize_t size = S_ISLNK(status.st_mode) && ++links <= most_links
                           ? readlinkat(entry, "", target, sizeof target)
                           : -1;
        close(entry);
        rest = strlen(next);
        if (size <= 0 || (size_t)size >= sizeof target || (size_t)size + 1 + rest >= sizeof path) {
            refuse(strerror(links > most_links ? ELOOP : S_ISLNK(status.st_mode) ? ENAMETOOLONG
                                                                                 : ENOTDIR));
            break;
        }
        memmove(path + size + 1, next, rest + 1);
        memcpy(path, target, (size_t)size);
        path[size] = '/';
        next = path;
        if (target[0] == '/') {
            close(folder);
            folder = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
        }
    }
    if (folder >= 0)
        close(folder);
    return file;
}

// A run with privilege: root, or one holding any capability (not only
// CAP_SYS_TIME: with CAP_DAC_OVERRIDE a link of another account's would
// lead it where that account may not write).
static bool privileged()
{
    capng_get_caps_process();
    return geteuid() == 0 || capng_have_permitted_capabilities() != CAPNG_NONE;
}

FILE *open_shared_append(const char *name)
{
    return privileged() ? append_walked(name) : append_in(AT_FDCWD, name, false);
}

const char *open_failure_reason()
{
    return failure_reason;
}
