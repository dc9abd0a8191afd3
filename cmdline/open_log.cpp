#include <cstring>

#include "cmdline/cmdline.h"
#include "output/output.h"

static const char default_log_file[] = "garvelux.log";

// Large enough for every run's text, so the whole run reaches the file in
// one write when the log closes: runs on many machines appending to one
// shared log at once never interleave.
static char log_buffer[8192];

static void choose_default_log_name()
{
    const DWORD longest_directory = sizeof log_name - 1 - sizeof default_log_file;
    DWORD length = GetCurrentDirectoryA(sizeof log_name, log_name);
    if (length == 0 || length > longest_directory) {
        // No directory, or none that leaves room for the file name: the
        // relative name still logs to the current directory.
        memcpy(log_name, default_log_file, sizeof default_log_file);
        return;
    }
    log_name[length] = path_separator;
    memcpy(log_name + length + 1, default_log_file, sizeof default_log_file);
}

void open_log()
{
    keeping_run_text = true;
    if (log_name[0] == '\0')
        choose_default_log_name();
    log_file = open_shared_append(log_name);
    if (!log_file) {
        emit_message("Unable to open log file %s\r\n", log_name);
        emit_hint("Hint: %s. The run goes on without a log: name one that this account can "
                  "create or append to.\r\n",
                  open_failure_reason());
        return;
    }
    setvbuf(log_file, log_buffer, _IOFBF, sizeof log_buffer);
}
