#include <fcntl.h>
#include <io.h>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

// Only a file on disk with no other name: a reparse point (symbolic link,
// junction) that another account put at the log's name is opened itself,
// not followed, and refused; so are a pipe, whose server could otherwise
// act as this account (it may identify the caller, no more), a device and
// a hard link.
bool own_disk_file(HANDLE file)
{
    BY_HANDLE_FILE_INFORMATION information;
    return GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &information) &&
           !(information.dwFileAttributes &
             (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) &&
           information.nNumberOfLinks <= 1;
}

static char system_reason[256];
static const char *failure_reason = "";

// The system's message for the error, without its line end and full stop.
static void keep_system_reason(DWORD error)
{
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, system_reason, sizeof system_reason, nullptr);
    while (length > 0 && system_reason[length - 1] != '\0' &&
           strchr("\r\n.", system_reason[length - 1]))
        length--;
    if (length == 0)
        snprintf(system_reason, sizeof system_reason, "Windows error %u", (unsigned)error);
    else
        system_reason[length] = '\0';
    failure_reason = system_reason;
}

const char *open_failure_reason()
{
    return failure_reason;
}

// Append-only access: Windows itself puts every write at the end of the
// file, so runs on many workstations appending to one log at once never
// overwrite each other's text. Others may read and write it meanwhile.
FILE *open_shared_append(const char *name)
{
    HANDLE file = CreateFileA(name, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT |
                                  SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        keep_system_reason(GetLastError());
        return nullptr;
    }
    int descriptor = own_disk_file(file) ? _open_osfhandle((intptr_t)file, _O_APPEND | _O_BINARY)
                                         : -1;
    if (descriptor < 0) {
        CloseHandle(file);
        failure_reason = "not a file of its own (a link, junction, pipe, device or hard link)";
        return nullptr;
    }
    FILE *log = _fdopen(descriptor, "ab");
    if (!log)
        _close(descriptor);
    return log;
}
