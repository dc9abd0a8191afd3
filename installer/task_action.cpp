// The package's custom action, two entry points. SetTask, immediate,
// settles SERVER and checks every value, folder and the task before
// anything changes; deferred, as SYSTEM, it registers the scheduled task
// GARVELUX from the definition built into this DLL, filled in memory, or
// deletes it. MakeFolders, deferred, makes the program's and the log's
// folders and the log as SYSTEM, with their whole security descriptor, or
// undoes that as a rollback. Nothing is read from or written to a folder
// that another account could prepare.
#include "installer/task_action.h"

#include <aclapi.h>
#include <sddl.h>

#include <cwchar>

#include "cmdline/cmdline.h"
#include "platform/platform.h"

MSIHANDLE install;
const WCHAR task_name[] = L"GARVELUX";

// The longest server name and /L argument a run takes.
static const size_t longest_server = sizeof server_name - 1;
static const size_t longest_log = sizeof log_name - 1 - 2;
const WCHAR server_rule[] =
    L"SERVER must be printable ASCII without blanks, quotes or %, not start with #, / or ?, "
    L"and have 127 characters at most:";
const WCHAR log_rule[] =
    L"LOGDIR, with garvelux.log after it, must be printable ASCII without blanks, quotes or %, "
    L"and have 397 characters at most:";
static_assert(longest_server == 127 && longest_log == 397, "the rules' texts name the limits");

// One message, never formatted as a property reference: an error also
// goes to the installer's error handling (a silent install logs it).
static void message(INSTALLMESSAGE type, const WCHAR *what, const WCHAR *detail)
{
    MSIHANDLE record = MsiCreateRecord(2);
    MsiRecordSetStringW(record, 0, L"GARVELUX task: [1] [2]");
    MsiRecordSetStringW(record, 1, what);
    MsiRecordSetStringW(record, 2, detail);
    MsiProcessMessage(install, type, record);
    MsiCloseHandle(record);
}

void log_line(const WCHAR *what, const WCHAR *detail)
{
    message(INSTALLMESSAGE_INFO, what, detail);
}

void warn(const WCHAR *what, const WCHAR *detail)
{
    message(INSTALLMESSAGE(INSTALLMESSAGE_WARNING | MB_OK | MB_ICONWARNING), what, detail);
}

UINT fail(const WCHAR *what, const WCHAR *detail)
{
    message(INSTALLMESSAGE(INSTALLMESSAGE_ERROR | MB_OK | MB_ICONERROR), what, detail);
    return ERROR_INSTALL_FAILURE;
}

UINT fail_with(const WCHAR *what, HRESULT result)
{
    WCHAR code[16];
    swprintf(code, 16, L"0x%08lX", (unsigned long)result);
    return fail(what, code);
}

bool get(const WCHAR *name, WCHAR *value, DWORD size)
{
    return MsiGetPropertyW(install, name, value, &size) == ERROR_SUCCESS;
}

// Printable ASCII without blanks, quotes or %, which Task Scheduler would
// expand, of 1 to longest characters.
static bool plain_word(const WCHAR *text, size_t longest)
{
    size_t length = wcslen(text);
    if (length == 0 || length > longest)
        return false;
    for (size_t i = 0; i < length; i++)
        if (text[i] <= L' ' || text[i] > L'~' || text[i] == L'"' || text[i] == L'%')
            return false;
    return true;
}

// A leading # would make the remembered value a number.
bool valid_server(const WCHAR *server)
{
    return plain_word(server, longest_server) && !wcschr(L"#/?", server[0]);
}

bool valid_log(const WCHAR *log)
{
    return plain_word(log, longest_log);
}

bool join(WCHAR *to, size_t size, const WCHAR *folder, const WCHAR *name)
{
    size_t length = wcslen(folder), name_size = wcslen(name) + 1;
    if (length + name_size > size)
        return false;
    wcscpy(to, folder);
    wcscat(to, name);
    return true;
}

bool action_data(WCHAR *fields[], int count)
{
    static WCHAR data[1600];
    DWORD length = ARRAYSIZE(data);
    WCHAR *text = data;
    fields[0] = data;
    if (MsiGetPropertyW(install, L"CustomActionData", data, &length) != ERROR_SUCCESS)
        return false;
    for (int i = 0; i < count - 1; i++) {
        fields[i] = text;
        text = wcschr(text, L'|');
        if (!text)
            return false;
        *text++ = L'\0';
    }
    fields[count - 1] = text;
    return true;
}

HANDLE open_unfollowed(const WCHAR *path, DWORD access)
{
    WCHAR name[MAX_PATH + 1];
    size_t length = wcslen(path);
    if (length < 1 || length > MAX_PATH)
        return INVALID_HANDLE_VALUE;
    wcscpy(name, path);
    if (length > 3 && name[length - 1] == L'\\')  // C:\ keeps its backslash
        name[length - 1] = L'\0';
    // Wine shows a Unix symbolic link as a reparse point by its name alone.
    DWORD attributes = GetFileAttributesW(name);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        SetLastError(ERROR_CANT_ACCESS_FILE);
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(name, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING,
                       FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool is_folder(HANDLE object)
{
    BY_HANDLE_FILE_INFORMATION information;
    return GetFileInformationByHandle(object, &information) &&
           (information.dwFileAttributes &
            (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
               FILE_ATTRIBUTE_DIRECTORY;
}

bool is_plain_file(HANDLE object)
{
    return own_disk_file(object);
}

bool trusted_owner(HANDLE object)
{
    static const WCHAR *const trusted[] = {
        L"S-1-5-18",      // SYSTEM
        L"S-1-5-32-544",  // the administrators
        L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",  // TrustedInstaller
    };
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(object, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                        nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    bool found = false;
    for (const WCHAR *sid_text : trusted) {
        PSID sid = nullptr;
        if (ConvertStringSidToSidW(sid_text, &sid)) {
            found = found || EqualSid(owner, sid);
            LocalFree(sid);
        }
    }
    HANDLE token;
    alignas(TOKEN_USER) BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof administrators;
    BOOL member = FALSE;
    if (!found && OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        found = GetTokenInformation(token, TokenUser, user, sizeof user, &size) &&
                EqualSid(owner, reinterpret_cast<TOKEN_USER *>(user)->User.Sid);
        CloseHandle(token);
        size = sizeof administrators;
        found = found &&
                CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) &&
                CheckTokenMembership(nullptr, administrators, &member) && member;
    }
    LocalFree(descriptor);
    return found;
}

bool set_security(HANDLE object, const WCHAR *sddl)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    bool done = ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1,
                                                                     &descriptor, nullptr) &&
                GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) &&
                GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) && present &&
                SetSecurityInfo(object, SE_FILE_OBJECT,
                                OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                    PROTECTED_DACL_SECURITY_INFORMATION,
                                owner, nullptr, dacl, nullptr) == ERROR_SUCCESS;
    LocalFree(descriptor);
    return done;
}

// A folder that another account made stays theirs (its owner may give it
// back to themselves, with a handle kept open even after a change of
// owner), and a junction or mount point may be pointed elsewhere later.
UINT fail_folder(const WCHAR *property, const WCHAR *folder)
{
    WCHAR rule[200];
    swprintf(rule, ARRAYSIZE(rule),
             L"%ls and each folder above it must be a folder, no link, that SYSTEM, the "
             L"administrators or TrustedInstaller own (delete it, or choose another, and install "
             L"again):", property);
    return fail(rule, folder);
}

// A folder above ours that another account owns, or a link, may be renamed
// or repointed later, and ours with it.
UINT check_parents(const WCHAR *property, const WCHAR *path, const WCHAR *sddl)
{
    WCHAR parent[MAX_PATH + 1];
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, nullptr, FALSE};
    size_t length = wcslen(path);
    if (length > MAX_PATH ||
        (sddl && !ConvertStringSecurityDescriptorToSecurityDescriptorW(
                     sddl, SDDL_REVISION_1, &attributes.lpSecurityDescriptor, nullptr)))
        return fail_folder(property, path);
    UINT error = ERROR_SUCCESS;
    for (size_t i = 3; i + 1 < length && error == ERROR_SUCCESS; i++) {
        if (path[i] != L'\\' && path[i] != L'/')
            continue;
        wmemcpy(parent, path, i);
        parent[i] = L'\0';
        if (sddl)
            CreateDirectoryW(parent, &attributes);
        HANDLE object = open_unfollowed(parent, READ_CONTROL | FILE_READ_ATTRIBUTES);
        DWORD seen = GetLastError();  // missing, or hidden from a user: SYSTEM looks again
        bool later = seen == ERROR_FILE_NOT_FOUND || seen == ERROR_PATH_NOT_FOUND ||
                     seen == ERROR_ACCESS_DENIED;
        if (object == INVALID_HANDLE_VALUE ? sddl || !later
                                           : !is_folder(object) || !trusted_owner(object))
            error = fail_folder(property, parent);
        if (object != INVALID_HANDLE_VALUE)
            CloseHandle(object);
    }
    LocalFree(attributes.lpSecurityDescriptor);
    return error;
}

static bool deferred(MSIHANDLE handle)
{
    return MsiGetMode(handle, MSIRUNMODE_SCHEDULED) || MsiGetMode(handle, MSIRUNMODE_ROLLBACK) ||
           MsiGetMode(handle, MSIRUNMODE_COMMIT);
}

extern "C" UINT __stdcall SetTask(MSIHANDLE handle)
{
    install = handle;
    return deferred(handle) ? set_task() : check_values();
}

extern "C" UINT __stdcall MakeFolders(MSIHANDLE handle)
{
    install = handle;
    return make_folders(MsiGetMode(handle, MSIRUNMODE_ROLLBACK));
}
