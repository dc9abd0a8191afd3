// The package's custom action, one entry point for three jobs. In the
// install's immediate phase it settles SERVER and checks it, the log's path
// and the program's folder before anything changes. Deferred, as SYSTEM,
// it registers the scheduled task GARVELUX from the definition built into
// this DLL, filled in memory, or deletes the task: nothing is read from or
// written to a folder that another account could prepare. As the rollback
// it also writes the remembered server back, so that it needs nothing
// that was rolled back before it.
#include <windows.h>
#include <aclapi.h>
#include <msi.h>
#include <msiquery.h>
#include <taskschd.h>

#include <cwchar>

static MSIHANDLE install;
static WCHAR data[1200];        // CustomActionData: program folder|server|log
static WCHAR definition[8192];  // the built-in definition, without its mark
static WCHAR task_xml[8192];    // the same, filled in
static size_t filled;
static const WCHAR task_name[] = L"GARVELUX";
static const WCHAR local_service[] = L"S-1-5-19";
static const WCHAR settings_key[] = L"SOFTWARE\\GARVELUX";
// The package's components that hold the program and the log's folder.
static const WCHAR program_component[] = L"{26814705-57D3-4175-8577-079A7C11A29D}";
static const WCHAR log_component[] = L"{0E4AF696-4C39-47F1-BF05-CA231C327B9A}";
static const WORD task_definition = 1;  // its resource ID in task_action.rc
// HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), whose header spelling the
// analyser objects to.
static const HRESULT task_not_found = (HRESULT)0x80070002;

// The longest server name and /L argument a run takes (cmdline/).
static const size_t longest_server = 127;
static const size_t longest_log = 399 - 2;
static const WCHAR server_rule[] =
    L"SERVER must be printable ASCII without blanks, quotes or %, not start with #, / or ?, "
    L"and have 127 characters at most:";
static const WCHAR log_rule[] =
    L"LOGDIR, with garvelux.log after it, must be printable ASCII without blanks, quotes or %, "
    L"and have 397 characters at most:";
static const WCHAR folder_rule[] = L"INSTALLDIR must hold no % and no quotes:";
// A junction or mount point stays its maker's, who may point it elsewhere
// after the lock; a log keeps its owner, who may rewrite it.
static const WCHAR program_link_rule[] = L"INSTALLDIR must be a folder, not a link:";
static const WCHAR log_link_rule[] = L"LOGDIR must be a folder, not a link:";
static const WCHAR log_owner_rule[] =
    L"LOGDIR must not hold a garvelux.log that another account made (its owner may rewrite "
    L"it), nor one that is a link or a folder; delete it first:";
static const WCHAR new_folder_rule[] =
    L"INSTALLDIR must be a new or empty folder where the program is not installed yet (another "
    L"account may have put a program or library there):";

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

static void log_line(const WCHAR *what, const WCHAR *detail)
{
    message(INSTALLMESSAGE_INFO, what, detail);
}

static UINT fail(const WCHAR *what, const WCHAR *detail)
{
    message(INSTALLMESSAGE(INSTALLMESSAGE_ERROR | MB_OK | MB_ICONERROR), what, detail);
    return ERROR_INSTALL_FAILURE;
}

static void hresult_text(WCHAR (&code)[16], HRESULT result)
{
    swprintf(code, 16, L"0x%08lX", (unsigned long)result);
}

static UINT fail_with(const WCHAR *what, HRESULT result)
{
    WCHAR code[16];
    hresult_text(code, result);
    return fail(what, code);
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

// As a run's command line takes a server name, and as the registry keeps
// it: a leading # would make the remembered value a number.
static bool valid_server(const WCHAR *server)
{
    return plain_word(server, longest_server) && !wcschr(L"#/?", server[0]);
}

static bool valid_log(const WCHAR *log)
{
    return plain_word(log, longest_log);
}

// The property, or false when it does not fit.
static bool get(const WCHAR *name, WCHAR *value, DWORD size)
{
    return MsiGetPropertyW(install, name, value, &size) == ERROR_SUCCESS;
}

// A folder, given with its final backslash, that is a junction, a mount
// point or another link (without the backslash, so that it is not followed).
static bool linked(const WCHAR *folder)
{
    WCHAR path[MAX_PATH + 1];
    size_t length = wcslen(folder);
    if (length < 2 || length > MAX_PATH)
        return false;
    wmemcpy(path, folder, length - 1);
    path[length - 1] = L'\0';
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// A file on disk with no other name, as a run takes its log: a link or a
// folder at its name the run opens itself, not followed, and refuses.
static bool plain_file(HANDLE file)
{
    BY_HANDLE_FILE_INFORMATION information;
    return GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &information) &&
           !(information.dwFileAttributes &
             (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) &&
           information.nNumberOfLinks <= 1;
}

// A log that is not there, or a plain file whose owner is SYSTEM, the
// administrators, LOCAL SERVICE (the task's runs) or the account
// installing: one that a user made before the install keeps that owner,
// who may take back the rights on it that the folder's lock does not give.
// Looked at itself: a link would show its target's owner.
static bool own_log(const WCHAR *log)
{
    HANDLE file = CreateFileW(log, READ_CONTROL | FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    bool plain = plain_file(file) &&
                 GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                                 nullptr, nullptr, nullptr, &descriptor) == ERROR_SUCCESS;
    CloseHandle(file);
    HANDLE token;
    alignas(TOKEN_USER) BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    bool opened = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    bool mine = opened && GetTokenInformation(token, TokenUser, user, sizeof user, &size);
    if (opened)
        CloseHandle(token);
    bool own = plain &&
               (IsWellKnownSid(owner, WinLocalSystemSid) ||
                IsWellKnownSid(owner, WinLocalServiceSid) ||
                IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
                (mine && EqualSid(owner, reinterpret_cast<TOKEN_USER *>(user)->User.Sid)));
    LocalFree(descriptor);
    return own;
}

// Joins folder and name into to, when the whole fits.
static bool join(WCHAR *to, size_t size, const WCHAR *folder, const WCHAR *name)
{
    size_t length = wcslen(folder), name_size = wcslen(name) + 1;
    if (length + name_size > size)
        return false;
    wcscpy(to, folder);
    wcscat(to, name);
    return true;
}

// SERVER as given, or the remembered one when none is, or when a user who
// is not an administrator gives one to an installed product: any user may
// repair it, and the repair runs as SYSTEM.
static bool settle_server(WCHAR (&server)[256])
{
    WCHAR remembered[256], installed[64], admin[64];
    if (!get(L"SERVER", server, ARRAYSIZE(server)) ||
        !get(L"REMEMBERED_SERVER", remembered, ARRAYSIZE(remembered)))
        return false;
    bool others_repair = !get(L"Installed", installed, ARRAYSIZE(installed)) ||
                         !get(L"AdminUser", admin, ARRAYSIZE(admin)) || (*installed && !*admin);
    if (*server && others_repair && wcscmp(server, remembered) != 0)
        log_line(L"SERVER ignored: the server of an installed product is changed only by an "
                 L"administrator; kept:", remembered);
    if (!*server || others_repair)
        wcscpy(server, remembered);
    MsiSetPropertyW(install, L"SERVER", server);
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

// The install's immediate phase, before anything changes: SERVER settled
// (also for a removal, where the remembered server's component is
// evaluated again under Wine) and the rollback's folders found; then for a
// removal UPGRADING set when it is an upgrade's, otherwise SERVER, the
// log's path and the program's folder checked, and a program folder other
// than the installed one found new or empty: the lock on it would not take
// away what another account put there first.
// Before the folders are resolved (CostFinalize), LOGDIR and INSTALLDIR
// are what a command line gave, if anything.
static UINT check_values()
{
    WCHAR server[256], remove[64], folder[MAX_PATH + 1], log[512], installed[MAX_PATH + 1];
    bool fits = settle_server(server);
    restore_from(installed);
    if (!get(L"REMOVE", remove, ARRAYSIZE(remove)) || *remove) {
        if (upgrading())
            MsiSetPropertyW(install, L"UPGRADING", L"1");
        return ERROR_SUCCESS;
    }
    if (!fits)
        return fail(server_rule, L"(too long)");
    if (*server && !valid_server(server))
        return fail(server_rule, server);
    if (!get(L"LOGDIR", folder, ARRAYSIZE(folder)))
        return fail(log_rule, L"(too long)");
    if (*folder && !(join(log, ARRAYSIZE(log), folder, L"garvelux.log") && valid_log(log)))
        return fail(log_rule, folder);
    if (*folder && linked(folder))
        return fail(log_link_rule, folder);
    if (*folder && !own_log(log))
        return fail(log_owner_rule, log);
    if (!get(L"INSTALLDIR", folder, ARRAYSIZE(folder)) || wcspbrk(folder, L"%\""))
        return fail(folder_rule, folder);
    size_t length = wcslen(folder);
    bool resolved = length > 0 && folder[length - 1] == L'\\';
    if (resolved && linked(folder))
        return fail(program_link_rule, folder);
    if (resolved && CompareStringOrdinal(folder, -1, installed, -1, TRUE) != CSTR_EQUAL &&
        !missing_or_empty(folder))
        return fail(new_folder_rule, folder);
    return ERROR_SUCCESS;
}

static bool append(const WCHAR *text, size_t length)
{
    if (length >= ARRAYSIZE(task_xml) - filled)
        return false;
    wmemcpy(task_xml + filled, text, length);
    filled += length;
    task_xml[filled] = L'\0';
    return true;
}

// As XML element text; false for what XML cannot hold (control
// characters) or what does not fit.
static bool append_text(const WCHAR *text)
{
    for (; *text; text++) {
        const WCHAR *escape = *text == L'&' ? L"&amp;" : *text == L'<' ? L"&lt;"
                            : *text == L'>' ? L"&gt;" : nullptr;
        if (*text < L' ' || !(escape ? append(escape, wcslen(escape)) : append(text, 1)))
            return false;
    }
    return true;
}

// Copies the definition from *from up to the text of the element tag, puts
// the parts in its place and leaves *from at the element's end.
static bool fill_element(const WCHAR **from, const WCHAR *tag, const WCHAR *const parts[])
{
    const WCHAR *start = wcsstr(*from, tag);
    const WCHAR *end = start ? wcsstr(start, L"</") : nullptr;
    if (!end)
        return false;
    start += wcslen(tag);
    if (!append(*from, (size_t)(start - *from)))
        return false;
    for (; *parts; parts++)
        if (!append_text(*parts))
            return false;
    *from = end;
    return true;
}

// The definition built into this DLL (UTF-16 with its mark), as text.
static bool load_definition()
{
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&load_definition), &self);
    HRSRC found = self ? FindResourceW(self, MAKEINTRESOURCEW(task_definition),
                                       MAKEINTRESOURCEW(10))  // RT_RCDATA
                       : nullptr;
    HGLOBAL loaded = found ? LoadResource(self, found) : nullptr;
    const WCHAR *text = loaded ? static_cast<const WCHAR *>(LockResource(loaded)) : nullptr;
    size_t length = text ? SizeofResource(self, found) / sizeof(WCHAR) : 0;
    if (length < 2 || length > ARRAYSIZE(definition) || text[0] != 0xFEFF)
        return false;
    wmemcpy(definition, text + 1, length - 1);
    definition[length - 1] = L'\0';
    return true;
}

// The definition pointed at this installation, the server and the log.
static UINT fill_definition(const WCHAR *folder, const WCHAR *server, const WCHAR *log)
{
    const WCHAR *const command[] = {L"\"", folder, L"garvelux.exe\"", nullptr};
    const WCHAR *const arguments[] = {server, L" /L", log, nullptr};
    const WCHAR *from = definition;
    filled = 0;
    if (!load_definition() || !fill_element(&from, L"<Command>", command) ||
        !fill_element(&from, L"<Arguments>", arguments) || !append(from, wcslen(from)))
        return fail(L"cannot fill in the definition's command and arguments for", server);
    return ERROR_SUCCESS;
}

// Registers task_xml as LOCAL SERVICE's task, or deletes the task (one
// that is not there is no error). reached tells whether Task Scheduler
// answered at all.
static HRESULT change_task(bool registering, bool *reached)
{
    VARIANT none, user;
    VariantInit(&none);
    VariantInit(&user);
    ITaskService *service = nullptr;
    ITaskFolder *root = nullptr;
    BSTR root_path = SysAllocString(L"\\"), name = SysAllocString(task_name);
    BSTR xml = SysAllocString(task_xml);
    user.vt = VT_BSTR;
    user.bstrVal = SysAllocString(local_service);
    HRESULT result = root_path && name && xml && user.bstrVal ? S_OK : E_OUTOFMEMORY;
    if (SUCCEEDED(result))
        result = CoCreateInstance(__uuidof(TaskScheduler), nullptr, CLSCTX_INPROC_SERVER,
                                  __uuidof(ITaskService), reinterpret_cast<void **>(&service));
    if (SUCCEEDED(result))
        result = service->Connect(none, none, none, none);
    *reached = SUCCEEDED(result);
    if (SUCCEEDED(result))
        result = service->GetFolder(root_path, &root);
    if (SUCCEEDED(result) && registering) {
        IRegisteredTask *task = nullptr;
        result = root->RegisterTask(name, xml, TASK_CREATE_OR_UPDATE, user, none,
                                    TASK_LOGON_SERVICE_ACCOUNT, none, &task);
        if (task)
            task->Release();
    } else if (SUCCEEDED(result)) {
        result = root->DeleteTask(name, 0);
        if (result == task_not_found)
            result = S_FALSE;
    }
    if (root)
        root->Release();
    if (service)
        service->Release();
    VariantClear(&user);
    SysFreeString(xml);
    SysFreeString(name);
    SysFreeString(root_path);
    return result;
}

// Deleted; a removal goes on without Task Scheduler, which would
// otherwise keep the product from ever being removed.
static UINT delete_task()
{
    bool reached = false;
    HRESULT result = change_task(false, &reached);
    WCHAR code[16];
    hresult_text(code, result);
    if (!reached) {
        message(INSTALLMESSAGE(INSTALLMESSAGE_WARNING | MB_OK | MB_ICONWARNING),
                L"warning: Task Scheduler cannot be reached, the task is left as it is:", code);
        return ERROR_SUCCESS;
    }
    if (FAILED(result))
        return fail(L"Task Scheduler refused to delete the task:", code);
    log_line(result == S_OK ? L"deleted" : L"not there: nothing to delete", L"");
    return ERROR_SUCCESS;
}

static UINT register_task(const WCHAR *folder, const WCHAR *server, const WCHAR *log)
{
    if (!valid_server(server))
        return fail(server_rule, server);
    if (!valid_log(log))
        return fail(log_rule, log);
    UINT error = fill_definition(folder, server, log);
    if (error != ERROR_SUCCESS)
        return error;
    bool reached = false;
    HRESULT result = change_task(true, &reached);
    if (FAILED(result))
        return fail_with(L"Task Scheduler refused the task:", result);
    // What it runs, as the XML has it: <Exec> is the definition's last
    // element, so its end can be cut off here.
    WCHAR *exec = wcsstr(task_xml, L"<Exec>"), *end = exec ? wcsstr(exec, L"</Exec>") : nullptr;
    if (end)
        end[wcslen(L"</Exec>")] = L'\0';
    log_line(L"registered to run as LOCAL SERVICE:", exec ? exec : L"");
    return ERROR_SUCCESS;
}

// The rollback's server back where the next repair or upgrade reads it,
// whatever the rollback of the registry before it left.
static UINT remember(const WCHAR *server)
{
    HKEY key;
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, settings_key, 0, nullptr, 0,
                                     KEY_SET_VALUE, nullptr, &key, nullptr);
    if (status == ERROR_SUCCESS) {
        DWORD characters = (DWORD)wcslen(server) + 1;
        status = RegSetValueExW(key, L"Server", 0, REG_SZ, reinterpret_cast<const BYTE *>(server),
                                characters * (DWORD)sizeof(WCHAR));
        RegCloseKey(key);
    }
    return status == ERROR_SUCCESS ? ERROR_SUCCESS
                                   : fail(L"cannot write the remembered server back:", server);
}

// CustomActionData: "program folder|server|log"; an empty server deletes
// the task. The folder cannot hold '|', so the first and last split it.
static UINT set_task()
{
    DWORD length = ARRAYSIZE(data);
    WCHAR *first = nullptr, *last = nullptr;
    if (MsiGetPropertyW(install, L"CustomActionData", data, &length) == ERROR_SUCCESS) {
        first = wcschr(data, L'|');
        last = wcsrchr(data, L'|');
    }
    if (!first || first == last)
        return fail(L"the action's data is not folder|server|log:", data);
    *first = L'\0';
    *last = L'\0';
    const WCHAR *server = first + 1;
    HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    UINT error = *server ? register_task(data, server, last + 1) : delete_task();
    if (SUCCEEDED(com))
        CoUninitialize();
    if (error == ERROR_SUCCESS && *server && MsiGetMode(install, MSIRUNMODE_ROLLBACK))
        error = remember(server);
    return error;
}

extern "C" UINT __stdcall SetTask(MSIHANDLE handle)
{
    install = handle;
    bool deferred = MsiGetMode(handle, MSIRUNMODE_SCHEDULED) ||
                    MsiGetMode(handle, MSIRUNMODE_ROLLBACK) ||
                    MsiGetMode(handle, MSIRUNMODE_COMMIT);
    return deferred ? set_task() : check_values();
}
