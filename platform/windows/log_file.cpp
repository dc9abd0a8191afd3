#include <fcntl.h>
#include <io.h>

#include "platform/platform.h"

// Append-only access: Windows itself puts every write at the end of the
// file, so runs on many workstations appending to one log at once never
// overwrite each other's text. Others may read and write it meanwhile.
FILE *open_shared_append(const char *name)
{
    HANDLE file = CreateFileA(name, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return nullptr;
    int descriptor = _open_osfhandle((intptr_t)file, _O_APPEND | _O_BINARY);
    if (descriptor < 0) {
        CloseHandle(file);
        return nullptr;
    }
    FILE *log = _fdopen(descriptor, "ab");
    if (!log)
        _close(descriptor);
    return log;
}
