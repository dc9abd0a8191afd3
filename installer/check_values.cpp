// The install's immediate phase, before anything changes: SERVER settled,
// the rollback's folders found, the folders' security descriptors read
// from the package, and, unless this is a removal, every value, folder,
// the log and the task checked.
#include "installer/task_action.h"

#include <cwchar>

// The package's components that hold the program and the log's folder.
static const WCHAR program_component[] = L"{26814705-57D3-4175-8577-079A7C11A29D}";
static const WCHAR log_component[] = L"{0E4AF696-4C39-47F1-BF05-CA231C327B9A}";
static const WCHAR folder_rule[] = L"INSTALLDIR must hold no % and no quotes:";
static const WCHAR log_file_rule[] =
    L"LOGDIR must not hold a garvelux.log that is a link, a folder or another file's name; "
    L"move it out first:";
static const WCHAR new_folder_rule[] =
    L"INSTALLDIR must be a new or empty folder where the program is not installed yet (another "
    L"account may have put a program or library there):";
static const WCHAR foreign_task_rule[] =
    L"a task \\GARVELUX that this product did not register is there; it is kept: delete it "
    L"(schtasks /delete /tn GARVELUX) or install without SERVER:";

// The Server policy's value, which only administrators and Group Policy
// can write (the 64-bit view, as a 64-bit policy engine writes it), or
// nothing; false for one that SERVER's rules refuse, or a note where it is
// no text or too long.
static bool policy_server(WCHAR (&value)[256])
{
    HKEY key;
    DWORD type = REG_NONE, size = sizeof value - sizeof(WCHAR);
    *value = L'\0';
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Policies\\GARVELUX", 0,
                      KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return true;
    LSTATUS status = RegQueryValueExW(key, L"Server", nullptr, &type,
                                      reinterpret_cast<BYTE *>(value), &size);
    RegCloseKey(key);
    if (status == ERROR_FILE_NOT_FOUND)
        return true;
    value[status == ERROR_SUCCESS ? size / sizeof(WCHAR) : 0] = L'\0';
    if (status != ERROR_SUCCESS || type != REG_SZ)
        wcscpy(value, L"(no text, or too long)");
    return status == ERROR_SUCCESS && type == REG_SZ && valid_server(value);
}

// Once per install (the checks run twice), marked by the property: a
// warning in the MSI log and the Event Log (event 255, as a run without a
// server name ends).
static void warn_once(const WCHAR *mark, const WCHAR *what, const WCHAR *detail)
{
    WCHAR warned[4], text[512];
    if (!get(mark, warned, ARRAYSIZE(warned)) || *warned)
        return;
    MsiSetPropertyW(install, mark, L"1");
    warn(what, detail);
    swprintf(text, ARRAYSIZE(text), L"GARVELUX setup: %ls%ls%ls", what, *detail ? L" " : L"",
             detail);
    const WCHAR *strings[] = {text};
    HANDLE source = RegisterEventSourceW(nullptr, L"GARVELUX");
    if (source) {
        ReportEventW(source, EVENTLOG_WARNING_TYPE, 0, 255, nullptr, 1, 0, strings, nullptr);
        DeregisterEventSource(source);
    }
}

// SERVER as given; else the Server policy's; else the remembered one. A
// user who is not an administrator gets the same when giving one to an
// installed product: any user may repair it, and the repair runs as SYSTEM.
static bool settle_server(WCHAR (&server)[256], WCHAR (&remembered)[256], bool removing)
{
    WCHAR installed[64], admin[64], policy[256];
    if (!get(L"SERVER", server, ARRAYSIZE(server)) ||
        !get(L"REMEMBERED_SERVER", remembered, ARRAYSIZE(remembered)))
        return false;
    bool usable = policy_server(policy);
    const WCHAR *fallback = usable && *policy ? policy : remembered;
    bool others_repair = !get(L"Installed", installed, ARRAYSIZE(installed)) ||
                         !get(L"AdminUser", admin, ARRAYSIZE(admin)) || (*installed && !*admin);
    if (*server && others_repair && wcscmp(server, fallback) != 0)
        log_line(L"SERVER ignored: the server of an installed product is changed only by an "
                 L"administrator; kept:", fallback);
    if (!*server || others_repair)
        wcscpy(server, fallback);
    MsiSetPropertyW(install, L"SERVER", server);
    if (!removing && !usable)
        warn_once(L"PolicyWarned", L"warning: the Server policy's value is ignored, as SERVER "
                  L"would be refused:", policy);
    if (!removing && !*server)
        warn_once(L"ServerWarned", L"warning: no server is given (SERVER, or the Server "
                  L"policy): nothing is scheduled; set one, then repair", L"");
    return true;
}

// A removal that replaces this version by another keeps the task. Windows
// says so with UPGRADINGPRODUCTCODE; Wine removes the old version as a
// plain uninstall, once the new one is registered. Only a per-machine
// product counts: a user may install one of their own with our UpgradeCode.
static bool upgrading()
{
    WCHAR upgrade_code[39], product_code[39], related[39], state[4];
    if (!get(L"UpgradeCode", upgrade_code, ARRAYSIZE(upgrade_code)) ||
        !get(L"ProductCode", product_code, ARRAYSIZE(product_code)) ||
        !get(L"UPGRADINGPRODUCTCODE", related, ARRAYSIZE(related)) || *related)
        return true;
    for (DWORD i = 0; MsiEnumRelatedProductsW(upgrade_code, 0, i, related) == ERROR_SUCCESS; i++) {
        DWORD size = ARRAYSIZE(state);
        if (wcscmp(related, product_code) != 0 &&
            MsiGetProductInfoExW(related, nullptr, MSIINSTALLCONTEXT_MACHINE,
                                 L"State", state, &size) == ERROR_SUCCESS &&
            wcscmp(state, L"5") == 0)  // INSTALLSTATE_DEFAULT: installed
            return true;
    }
    return false;
}

// A folder (as resolved, with its final backslash) that is not there or
// holds nothing; false also when it cannot be listed.
static bool missing_or_empty(const WCHAR *folder)
{
    WCHAR pattern[MAX_PATH + 2];
    WIN32_FIND_DATAW found;
    if (!join(pattern, ARRAYSIZE(pattern), folder, L"*"))
        return false;
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND;
    bool empty = true;
    do
        empty = wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0;
    while (empty && FindNextFileW(search, &found));
    FindClose(search);
    return empty;
}

// The folder (with its final backslash) where a per-machine product has
// the component, else the property; true for the former.
// A lookup by component alone would take a user's product of their own
// that holds the same component, in a repair that user runs (Windows),
// or find neither (Wine); one by UpgradeCode misses an upgraded product
// under Wine, whose removal of the old one takes the new one's away.
static bool installed_folder(const WCHAR *component, const WCHAR *property,
                             WCHAR (&folder)[MAX_PATH + 1])
{
    WCHAR product[39];
    for (DWORD i = 0; MsiEnumProductsExW(nullptr, nullptr, MSIINSTALLCONTEXT_MACHINE, i, product,
                                         nullptr, nullptr, nullptr) == ERROR_SUCCESS; i++) {
        DWORD size = ARRAYSIZE(folder);
        *folder = L'\0';
        INSTALLSTATE state = MsiGetComponentPathW(product, component, folder, &size);
        WCHAR *last = state == INSTALLSTATE_LOCAL || state == INSTALLSTATE_ABSENT
                          ? wcsrchr(folder, L'\\') : nullptr;
        if (last) {
            last[1] = L'\0';
            return true;
        }
    }
    if (!get(property, folder, ARRAYSIZE(folder)))
        *folder = L'\0';
    return false;
}

// The task that a rollback puts back runs the program and logs where the
// installed version has them, not where this install would put them (its
// rollback deletes those, and another account could make them again). The
// installed program's folder, or nothing.
static void restore_from(WCHAR (&installed)[MAX_PATH + 1])
{
    WCHAR logs[MAX_PATH + 1];
    bool found = installed_folder(program_component, L"INSTALLDIR", installed);
    MsiSetPropertyW(install, L"RestoreFolder", installed);
    installed_folder(log_component, L"LOGDIR", logs);
    MsiSetPropertyW(install, L"RestoreLogFolder", logs);
    if (!found)
        *installed = L'\0';
}

// The security descriptor that the package locks a folder with, into the
// property: the action makes the folder with the same.
static void read_lock(const WCHAR *folder, const WCHAR *property)
{
    WCHAR query[128], sddl[512] = L"";
    DWORD size = ARRAYSIZE(sddl);
    MSIHANDLE database = MsiGetActiveDatabase(install), view = 0, record = 0;
    swprintf(query, ARRAYSIZE(query),
             L"SELECT `SDDLText` FROM `MsiLockPermissionsEx` WHERE `LockObject` = '%ls'", folder);
    if (database && MsiDatabaseOpenViewW(database, query, &view) == ERROR_SUCCESS &&
        MsiViewExecute(view, 0) == ERROR_SUCCESS && MsiViewFetch(view, &record) == ERROR_SUCCESS &&
        MsiRecordGetStringW(record, 1, sddl, &size) != ERROR_SUCCESS)
        *sddl = L'\0';
    MsiCloseHandle(record);
    MsiCloseHandle(view);
    MsiCloseHandle(database);
    MsiSetPropertyW(install, property, sddl);
}

// What of the folder, or the file, is there: 'm' missing, 't' there and
// taken, 'o' there with another owner (a file then is moved aside), 'x'
// what the rule refuses. A standard user's repair runs this as that user,
// whom the locked log folder denies even its owner: SYSTEM, which looks
// again before it makes or takes anything, judges what it cannot read.
static char look_at(const WCHAR *path, bool folder)
{
    HANDLE object = open_unfollowed(path, READ_CONTROL | FILE_READ_ATTRIBUTES);
    DWORD error = GetLastError();
    if (object == INVALID_HANDLE_VALUE)
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 'm'
               : error == ERROR_ACCESS_DENIED                                  ? 't' : 'x';
    char seen = !(folder ? is_folder(object) : is_plain_file(object)) ? 'x'
                : trusted_owner(object)                               ? 't' : 'o';
    CloseHandle(object);
    return seen;
}

// A GARVELUX task is registered by this product only where it remembers a
// server; any other is an administrator's or a user's, and stays as it is.
static UINT check_task(const WCHAR *server, const WCHAR *remembered)
{
    bool first = *server && !*remembered;
    MsiSetPropertyW(install, L"TaskMode", first ? L"new" : L"update");
    if (!first)
        return ERROR_SUCCESS;
    HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    HRESULT there = task_there();
    if (SUCCEEDED(com))
        CoUninitialize();
    if (there == S_OK)
        return fail(foreign_task_rule, L"\\GARVELUX");
    if (FAILED(there))
        return fail_with(L"cannot tell whether a task \\GARVELUX is there:", there);
    return ERROR_SUCCESS;
}

// Called first before the folders are resolved (CostFinalize), when
// LOGDIR and INSTALLDIR are what a command line gave, if anything, then
// once they are. The folders, the log and the task; which of them this
// install makes (FoldersMade: P the program's folder, L the log's, F the
// log, A the log moved aside), for its rollback to take away again.
static UINT check_folders(const WCHAR *installed)
{
    WCHAR folder[MAX_PATH + 1], log[512], made[8] = L"";
    if (!get(L"LOGDIR", folder, ARRAYSIZE(folder)))
        return fail(log_rule, L"(too long)");
    if (*folder && !(join(log, ARRAYSIZE(log), folder, L"garvelux.log") && valid_log(log)))
        return fail(log_rule, folder);
    char seen = *folder ? look_at(folder, true) : 't';
    if (seen == 'x' || seen == 'o')
        return fail_folder(L"LOGDIR", folder);
    UINT error = *folder ? check_parents(L"LOGDIR", folder, nullptr) : ERROR_SUCCESS;
    if (error != ERROR_SUCCESS)
        return error;
    if (seen == 'm')
        wcscat(made, L"LF");
    seen = *folder && seen != 'm' ? look_at(log, false) : 't';
    if (seen == 'x')
        return fail(log_file_rule, log);
    if (seen == 'm' || seen == 'o')
        wcscat(made, seen == 'm' ? L"F" : L"A");
    if (!get(L"INSTALLDIR", folder, ARRAYSIZE(folder)) || wcspbrk(folder, L"%\""))
        return fail(folder_rule, folder);
    size_t length = wcslen(folder);
    bool resolved = length > 0 && folder[length - 1] == L'\\';
    seen = resolved ? look_at(folder, true) : 't';
    if (seen == 'x' || seen == 'o')
        return fail_folder(L"INSTALLDIR", folder);
    error = resolved ? check_parents(L"INSTALLDIR", folder, nullptr) : ERROR_SUCCESS;
    if (error != ERROR_SUCCESS)
        return error;
    if (seen == 'm')
        wcscat(made, L"P");
    if (resolved && CompareStringOrdinal(folder, -1, installed, -1, TRUE) != CSTR_EQUAL &&
        !missing_or_empty(folder))
        return fail(new_folder_rule, folder);
    MsiSetPropertyW(install, L"FoldersMade", made);
    return ERROR_SUCCESS;
}

// SERVER settled also for a removal, where the remembered server's
// component is evaluated again under Wine; for a removal UPGRADING set
// when it is an upgrade's.
UINT check_values()
{
    WCHAR server[256], remembered[256], remove[64], installed[MAX_PATH + 1];
    bool removing = !get(L"REMOVE", remove, ARRAYSIZE(remove)) || *remove;
    bool fits = settle_server(server, remembered, removing);
    restore_from(installed);
    read_lock(L"INSTALLDIR", L"ProgramFolderSddl");
    read_lock(L"LOGDIR", L"LogFolderSddl");
    if (removing) {
        if (upgrading())
            MsiSetPropertyW(install, L"UPGRADING", L"1");
        return ERROR_SUCCESS;
    }
    if (!fits)
        return fail(server_rule, L"(too long)");
    if (*server && !valid_server(server))
        return fail(server_rule, server);
    UINT error = check_folders(installed);
    return error != ERROR_SUCCESS ? error : check_task(server, remembered);
}
