#include "platform/platform.h"

// Event IDs are exit codes; the message table compiled from messages.mc
// gives each ID the run's text alone, so Event Viewer shows that text.
void report_run(UINT exit_code, const char *text)
{
    HANDLE source = RegisterEventSourceA(nullptr, "GARVELUX");
    if (!source)
        return;
    WORD type = exit_code == 0 ? EVENTLOG_INFORMATION_TYPE : EVENTLOG_ERROR_TYPE;
    ReportEventA(source, type, 0, exit_code, nullptr, 1, 0, &text, nullptr);
    DeregisterEventSource(source);
}
