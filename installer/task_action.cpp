// The package's custom action, run by Windows Installer as SYSTEM: the
// scheduled task GARVELUX registered from the installed definition, or
// deleted, through the Task Scheduler API. The definition is read from the
// program's folder, which only administrators may write, and filled in
// memory: no file is written, so no other account can slip one in.
#include <windows.h>
#include <msiquery.h>
#include <taskschd.h>

#include <cwchar>

static MSIHANDLE install;
static WCHAR data[1200];        // CustomActionData: program folder|server|log
static WCHAR definition[8192];  // the installed definition, UTF-16 with its mark
static WCHAR task_xml[8192];    // the same, filled in
static size_t filled;
static const WCHAR task_name[] = L"GARVELUX";
static const WCHAR local_service[] = L"S-1-5-19";
// HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), whose header spelling the
// analyser objects to.
static const HRESULT task_not_found = (HRESULT)0x80070002;

// One line in the installer's log, never formatted as a property reference.
static void log_line(const WCHAR *what, const WCHAR *detail)
{
    MSIHANDLE record = MsiCreateRecord(2);
    MsiRecordSetStringW(record, 0, L"GARVELUX task: [1] [2]");
    MsiRecordSetStringW(record, 1, what);
    MsiRecordSetStringW(record, 2, detail);
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
    MsiCloseHandle(record);
}

static UINT fail(const WCHAR *what, const WCHAR *detail)
{
    log_line(what, detail);
    return ERROR_INSTALL_FAILURE;
}

static UINT fail_with(const WCHAR *what, HRESULT result)
{
    WCHAR code[16];
    swprintf(code, 16, L"0x%08lX", (unsigned long)result);
    return fail(what, code);
}

// As a run's command line takes a server name: printable ASCII without
// blanks or quotes, not read as an option, within the run's 127 characters.
static bool valid_server(const WCHAR *server)
{
    size_t length = wcslen(server);
    if (length == 0 || length > 127 || server[0] == L'/' || server[0] == L'?')
        return false;
    for (size_t i = 0; i < length; i++)
        if (server[i] <= L' ' || server[i] > L'~' || server[i] == L'"')
            return false;
    return true;
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

static UINT read_definition(const WCHAR *folder)
{
    WCHAR path[MAX_PATH];
    if (swprintf(path, MAX_PATH, L"%lsgarvelux-task.xml", folder) < 0)
        return fail(L"the definition's path is too long:", folder);
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return fail(L"cannot read the definition", path);
    DWORD size = 0;
    BOOL read = ReadFile(file, definition, sizeof definition - sizeof(WCHAR), &size, nullptr);
    CloseHandle(file);
    definition[size / sizeof(WCHAR)] = L'\0';
    if (!read || size == sizeof definition - sizeof(WCHAR) || definition[0] != 0xFEFF)
        return fail(L"the definition is unreadable, too large or not UTF-16:", path);
    return ERROR_SUCCESS;
}

// The definition pointed at this installation, the server and the log.
static UINT fill_definition(const WCHAR *folder, const WCHAR *server, const WCHAR *log)
{
    const WCHAR *const command[] = {L"\"", folder, L"garvelux.exe\"", nullptr};
    const WCHAR *const arguments[] = {server, L" /L", log, nullptr};
    const WCHAR *from = definition + 1;
    filled = 0;
    if (!fill_element(&from, L"<Command>", command) ||
        !fill_element(&from, L"<Arguments>", arguments) || !append(from, wcslen(from)))
        return fail(L"cannot fill in the definition's command and arguments for", server);
    return ERROR_SUCCESS;
}

// Registers task_xml as LOCAL SERVICE's task, or deletes the task (one
// that is not there is no error).
static HRESULT change_task(bool registering)
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

static UINT set_task(const WCHAR *folder, const WCHAR *server, const WCHAR *log)
{
    if (!*server) {
        HRESULT result = change_task(false);
        if (FAILED(result))
            return fail_with(L"Task Scheduler refused to delete the task:", result);
        log_line(result == S_OK ? L"deleted" : L"not there: nothing to delete", L"");
        return ERROR_SUCCESS;
    }
    if (!valid_server(server))
        return fail(L"refused the server name (printable ASCII without blanks or quotes, not "
                    L"starting with / or ?, 127 characters at most):", server);
    UINT error = read_definition(folder);
    if (error == ERROR_SUCCESS)
        error = fill_definition(folder, server, log);
    if (error != ERROR_SUCCESS)
        return error;
    HRESULT result = change_task(true);
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

// CustomActionData: "program folder|server|log"; an empty server deletes
// the task. The folder cannot hold '|', so the first and last split it.
extern "C" UINT __stdcall SetTask(MSIHANDLE handle)
{
    install = handle;
    DWORD length = ARRAYSIZE(data);
    WCHAR *first = nullptr, *last = nullptr;
    if (MsiGetPropertyW(handle, L"CustomActionData", data, &length) == ERROR_SUCCESS) {
        first = wcschr(data, L'|');
        last = wcsrchr(data, L'|');
    }
    if (!first || first == last)
        return fail(L"the action's data is not folder|server|log:", data);
    *first = L'\0';
    *last = L'\0';
    HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    UINT error = set_task(data, first + 1, last + 1);
    if (SUCCEEDED(com))
        CoUninitialize();
    return error;
}
