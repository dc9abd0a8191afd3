// The program's folder, the log's folder and the log, made by SYSTEM with
// their whole security descriptor: no account that could have made them
// first keeps an owner's rights or a handle opened before the lock. An
// existing one is taken only from a trusted owner; a log that another
// account made is moved aside for a new one. As the rollback, what this
// install made is taken away again.
#include "installer/task_action.h"

#include <sddl.h>

#include <cwchar>

const WCHAR log_file_sddl[] = L"O:SYD:P(A;;FA;;;SY)(A;;FA;;;BA)";
static const WCHAR log_aside[] = L"garvelux.log.old";

// Folders above it that are missing are made with parents_sddl.
static UINT make_folder(const WCHAR *property, const WCHAR *folder, const WCHAR *sddl,
                        const WCHAR *parents_sddl)
{
    WCHAR path[MAX_PATH + 1];
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, nullptr, FALSE};
    size_t length = wcslen(folder);
    if (length < 4 || length > MAX_PATH)
        return fail(L"cannot make the folder:", folder);
    wcscpy(path, folder);
    path[length - 1] = L'\0';  // its final backslash
    UINT error = check_parents(property, path, parents_sddl);
    if (error != ERROR_SUCCESS)
        return error;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1,
                                                              &attributes.lpSecurityDescriptor,
                                                              nullptr))
        return fail(L"cannot make the folder:", folder);
    bool made = CreateDirectoryW(path, &attributes);
    LocalFree(attributes.lpSecurityDescriptor);
    if (made)
        return ERROR_SUCCESS;
    HANDLE object = open_unfollowed(path, READ_CONTROL | WRITE_DAC | WRITE_OWNER |
                                              FILE_READ_ATTRIBUTES);
    bool taken = object != INVALID_HANDLE_VALUE && is_folder(object) && trusted_owner(object) &&
                 set_security(object, sddl);
    if (object != INVALID_HANDLE_VALUE)
        CloseHandle(object);
    return taken ? ERROR_SUCCESS : fail_folder(property, folder);
}

static HANDLE create_log(const WCHAR *log)
{
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, nullptr, FALSE};
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            log_file_sddl, SDDL_REVISION_1, &attributes.lpSecurityDescriptor, nullptr))
        return INVALID_HANDLE_VALUE;
    HANDLE file = CreateFileW(log, READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE, &attributes,
                              CREATE_NEW, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    LocalFree(attributes.lpSecurityDescriptor);
    return file;
}

// An empty log; one that is there already keeps its lines under the new
// descriptor if a trusted account made it, else is moved aside (another
// account may rewrite it, through a handle kept open).
static UINT make_log(const WCHAR *folder)
{
    WCHAR log[MAX_PATH + 1], aside[MAX_PATH + 1];
    if (!join(log, ARRAYSIZE(log), folder, L"garvelux.log") ||
        !join(aside, ARRAYSIZE(aside), folder, log_aside))
        return fail(log_rule, folder);
    HANDLE file = create_log(log);
    if (file == INVALID_HANDLE_VALUE) {
        file = open_unfollowed(log, READ_CONTROL | WRITE_DAC | WRITE_OWNER |
                                        FILE_READ_ATTRIBUTES);
        bool plain = file != INVALID_HANDLE_VALUE && is_plain_file(file);
        bool taken = plain && trusted_owner(file) && set_security(file, log_file_sddl);
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
        if (taken)
            return ERROR_SUCCESS;
        if (!plain || !MoveFileExW(log, aside, 0))
            return fail(L"cannot take or move aside the log:", log);
        log_line(L"the log was another account's; moved aside to", aside);
        file = create_log(log);
    }
    if (file == INVALID_HANDLE_VALUE)
        return fail(L"cannot make the log:", log);
    CloseHandle(file);
    return ERROR_SUCCESS;
}

// A log that this install made or replaced, still empty, goes; one moved
// aside comes back; folders that this install made go, when empty.
static void unmake(const WCHAR *program, const WCHAR *logs, const WCHAR *made)
{
    WCHAR log[MAX_PATH + 1], aside[MAX_PATH + 1];
    WIN32_FILE_ATTRIBUTE_DATA information;
    bool named = join(log, ARRAYSIZE(log), logs, L"garvelux.log") &&
                 join(aside, ARRAYSIZE(aside), logs, log_aside);
    if (named && wcspbrk(made, L"FA") &&
        GetFileAttributesExW(log, GetFileExInfoStandard, &information) &&
        !information.nFileSizeLow && !information.nFileSizeHigh &&
        !(information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        DeleteFileW(log);
    if (named && wcschr(made, L'A'))
        MoveFileExW(aside, log, 0);
    if (wcschr(made, L'L'))
        RemoveDirectoryW(logs);
    if (wcschr(made, L'P'))
        RemoveDirectoryW(program);
}

// CustomActionData: "program folder|log folder|made|program SDDL|log SDDL".
UINT make_folders(bool rollback)
{
    WCHAR *field[5];
    if (!action_data(field, 5))
        return fail(L"the action's data is not folder|folder|made|SDDL|SDDL:", field[0]);
    if (rollback) {
        unmake(field[0], field[1], field[2]);
        return ERROR_SUCCESS;
    }
    // Folders above either are made as the program's, which users may read.
    UINT error = make_folder(L"INSTALLDIR", field[0], field[3], field[3]);
    if (error == ERROR_SUCCESS)
        error = make_folder(L"LOGDIR", field[1], field[4], field[3]);
    return error == ERROR_SUCCESS ? make_log(field[1]) : error;
}
