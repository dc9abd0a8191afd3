#include "platform/windows/event_log.h"

#include "platform/platform.h"

// The running account's SID, for Event Viewer's user column; null when it
// cannot be read. Any writer names the SID it likes: no proof of origin.
static PSID running_account(BYTE (&buffer)[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE])
{
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return nullptr;
    DWORD size = 0;
    BOOL read = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size);
    CloseHandle(token);
    return read ? reinterpret_cast<TOKEN_USER *>(buffer)->User.Sid : nullptr;
}

static void report(WORD type, DWORD id, const char *text)
{
    HANDLE source = RegisterEventSourceA(nullptr, "GARVELUX");
    if (!source)
        return;
    alignas(TOKEN_USER) BYTE account[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    ReportEventA(source, type, 0, id, running_account(account), 1, 0, &text, nullptr);
    DeregisterEventSource(source);
}

// Event IDs are exit codes; the message table compiled from messages.mc
// gives each ID the run's text alone, so Event Viewer shows that text.
void report_run(UINT exit_code, const char *text)
{
    report(exit_code == 0 ? EVENTLOG_INFORMATION_TYPE : EVENTLOG_ERROR_TYPE, exit_code, text);
}

void report_warning(const char *text)
{
    report(EVENTLOG_WARNING_TYPE, 100, text);
}
