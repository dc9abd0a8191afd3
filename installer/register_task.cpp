// Deferred, as SYSTEM: the task registered with Task Scheduler, its right
// to append to the log given, or the task deleted; as the rollback, the
// remembered server written back too.
#include "installer/task_action.h"
#include "installer/task_definition.h"

#include <sddl.h>
#include <taskschd.h>

#include <cwchar>

static WCHAR task_xml[8192];
static const WORD task_definition = 1;  // its resource ID in task_action.rc
static const WCHAR local_service[] = L"S-1-5-19";
static const WCHAR settings_key[] = L"SOFTWARE\\GARVELUX";
// SYSTEM and the administrators manage the task, users may read it.
static const WCHAR task_sddl[] = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;BU)";
// What a run needs of its log: append, read its attributes, wait on it.
static const WCHAR append_right[] = L"0x100084";
// HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), whose header spelling the
// analyser objects to.
static const HRESULT task_not_found = (HRESULT)0x80070002;

static HRESULT connect(ITaskService **service, ITaskFolder **root)
{
    VARIANT none;
    VariantInit(&none);
    BSTR root_path = SysAllocString(L"\\");
    HRESULT result = root_path ? S_OK : E_OUTOFMEMORY;
    if (SUCCEEDED(result))
        result = CoCreateInstance(__uuidof(TaskScheduler), nullptr, CLSCTX_INPROC_SERVER,
                                  __uuidof(ITaskService), reinterpret_cast<void **>(service));
    if (SUCCEEDED(result))
        result = (*service)->Connect(none, none, none, none);
    if (SUCCEEDED(result))
        result = (*service)->GetFolder(root_path, root);
    SysFreeString(root_path);
    return result;
}

static void release(ITaskService *service, ITaskFolder *root)
{
    if (root)
        root->Release();
    if (service)
        service->Release();
}

HRESULT task_there()
{
    ITaskService *service = nullptr;
    ITaskFolder *root = nullptr;
    IRegisteredTask *task = nullptr;
    BSTR name = SysAllocString(task_name);
    HRESULT result = name ? connect(&service, &root) : E_OUTOFMEMORY;
    if (SUCCEEDED(result) && root)
        result = root->GetTask(name, &task);
    if (task)
        task->Release();
    release(service, root);
    SysFreeString(name);
    return result == task_not_found ? S_FALSE : result;
}

// The definition built into this DLL (UTF-16 with its mark), as text.
static bool load_definition(WCHAR *definition, size_t capacity)
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
    if (length < 2 || length > capacity || text[0] != 0xFEFF)
        return false;
    wmemcpy(definition, text + 1, length - 1);
    definition[length - 1] = L'\0';
    return true;
}

// Registers task_xml as LOCAL SERVICE's task (only a new one where
// creating), or deletes the task (one that is not there is no error).
// reached tells whether Task Scheduler answered at all.
static HRESULT change_task(bool registering, bool creating, bool *reached)
{
    VARIANT none, user, sddl;
    VariantInit(&none);
    VariantInit(&user);
    VariantInit(&sddl);
    ITaskService *service = nullptr;
    ITaskFolder *root = nullptr;
    BSTR name = SysAllocString(task_name), xml = SysAllocString(task_xml);
    user.vt = sddl.vt = VT_BSTR;
    user.bstrVal = SysAllocString(local_service);
    sddl.bstrVal = SysAllocString(task_sddl);
    HRESULT result = name && xml && user.bstrVal && sddl.bstrVal ? S_OK : E_OUTOFMEMORY;
    if (SUCCEEDED(result))
        result = connect(&service, &root);
    *reached = root != nullptr;
    if (SUCCEEDED(result) && root && registering) {
        IRegisteredTask *task = nullptr;
        result = root->RegisterTask(name, xml, creating ? TASK_CREATE : TASK_CREATE_OR_UPDATE,
                                    user, none, TASK_LOGON_SERVICE_ACCOUNT, sddl, &task);
        if (task)
            task->Release();
    } else if (SUCCEEDED(result) && root) {
        result = root->DeleteTask(name, 0);
        if (result == task_not_found)
            result = S_FALSE;
    }
    release(service, root);
    VariantClear(&sddl);
    VariantClear(&user);
    SysFreeString(xml);
    SysFreeString(name);
    return result;
}

// Deleted; a removal goes on without Task Scheduler, which would
// otherwise keep the product from ever being removed.
static UINT delete_task()
{
    bool reached = false;
    HRESULT result = change_task(false, false, &reached);
    WCHAR code[16];
    swprintf(code, 16, L"0x%08lX", (unsigned long)result);
    if (!reached) {
        warn(L"warning: Task Scheduler cannot be reached, the task is left as it is:", code);
        return ERROR_SUCCESS;
    }
    if (FAILED(result))
        return fail(L"Task Scheduler refused to delete the task:", code);
    log_line(result == S_OK ? L"deleted" : L"not there: nothing to delete", L"");
    return ERROR_SUCCESS;
}

// The SID a run of the task carries (ProcessTokenSidType Unrestricted), as
// Windows names it once the task is registered; LOCAL SERVICE where the
// name cannot be resolved, which every service of that account shares.
static void task_sid(WCHAR (&text)[200])
{
    BYTE sid[SECURITY_MAX_SID_SIZE];
    WCHAR domain[64], code[16];
    DWORD size = sizeof sid, domain_size = ARRAYSIZE(domain);
    SID_NAME_USE use;
    LPWSTR found = nullptr;
    if (LookupAccountNameW(nullptr, L"NT TASK\\GARVELUX", sid, &size, domain, &domain_size,
                           &use) &&
        ConvertSidToStringSidW(sid, &found) && wcslen(found) < ARRAYSIZE(text)) {
        wcscpy(text, found);
        LocalFree(found);
        return;
    }
    swprintf(code, 16, L"%lu", GetLastError());
    LocalFree(found);
    wcscpy(text, local_service);
    log_line(L"the task's own SID (NT TASK\\GARVELUX) cannot be resolved, so the log grants "
             L"LOCAL SERVICE; error", code);
}

// The folder's and the log's descriptors with the task's right to append
// to the log added: its folder's as the package locks it, the log's own.
static UINT grant_append(const WCHAR *folder, const WCHAR *folder_sddl)
{
    WCHAR sid[200], log[MAX_PATH + 1], sddl[800];
    task_sid(sid);
    if (!join(log, ARRAYSIZE(log), folder, L"garvelux.log"))
        return fail(log_rule, folder);
    const WCHAR *const paths[] = {folder, log};
    for (int i = 0; i < 2; i++) {
        swprintf(sddl, ARRAYSIZE(sddl), L"%ls(A;%ls;%ls;;;%ls)", i ? log_file_sddl : folder_sddl,
                 i ? L"" : L"OIIO", append_right, sid);
        HANDLE object = open_unfollowed(paths[i], READ_CONTROL | WRITE_DAC | WRITE_OWNER |
                                                      FILE_READ_ATTRIBUTES);
        bool granted = object != INVALID_HANDLE_VALUE &&
                       (i ? is_plain_file(object) : is_folder(object)) &&
                       trusted_owner(object) && set_security(object, sddl);
        if (object != INVALID_HANDLE_VALUE)
            CloseHandle(object);
        if (!granted)
            return fail(L"cannot give the task its right to append to", paths[i]);
    }
    log_line(L"the log grants append to", sid);
    return ERROR_SUCCESS;
}

static UINT register_task(const WCHAR *folder, const WCHAR *server, const WCHAR *logs,
                          bool creating)
{
    static WCHAR definition[8192];
    WCHAR log[MAX_PATH + 1];
    if (!valid_server(server))
        return fail(server_rule, server);
    if (!join(log, ARRAYSIZE(log), logs, L"garvelux.log") || !valid_log(log))
        return fail(log_rule, logs);
    if (!load_definition(definition, ARRAYSIZE(definition)) ||
        !fill_definition(definition, folder, server, log, task_xml, ARRAYSIZE(task_xml)))
        return fail(L"cannot fill in the definition's command and arguments for", server);
    bool reached = false;
    HRESULT result = change_task(true, creating, &reached);
    if (FAILED(result))
        return fail_with(creating ? L"Task Scheduler refused the task (one made meanwhile by "
                                    L"another account is kept):"
                                  : L"Task Scheduler refused the task:", result);
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

// CustomActionData: "program folder|log folder|log folder's SDDL|new or
// update|server"; an empty server deletes the task. The server comes
// last: it may hold '|'.
UINT set_task()
{
    WCHAR *field[5];
    if (!action_data(field, 5))
        return fail(L"the action's data is not folder|folder|SDDL|mode|server:", field[0]);
    const WCHAR *server = field[4];
    HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    UINT error = *server ? register_task(field[0], server, field[1], wcscmp(field[3], L"new") == 0)
                         : delete_task();
    if (SUCCEEDED(com))
        CoUninitialize();
    if (error == ERROR_SUCCESS && *server && MsiGetMode(install, MSIRUNMODE_ROLLBACK))
        error = remember(server);
    return error == ERROR_SUCCESS && *server ? grant_append(field[1], field[2]) : error;
}
