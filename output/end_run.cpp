#include <cerrno>
#include <cstring>

#include "output/output.h"

void end_run(UINT exit_code)
{
    if (log_file) {
        // The run's text reaches the log in this one append: when it fails
        // (a full disk, a quota) the admin must hear of it elsewhere.
        bool written = fclose(log_file) == 0;
        log_file = nullptr;
        if (!written)
            emit_hint("Hint: the log file could not be written (%s): this run's lines are not "
                      "in it.\r\n",
                      strerror(errno));
    }
    report_run(exit_code, run_text);
    ExitProcess(exit_code);
}
