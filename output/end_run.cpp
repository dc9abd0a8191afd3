#include "output/output.h"

void end_run(UINT exit_code)
{
    if (log_file) {
        fclose(log_file);
        log_file = nullptr;
    }
    report_run(exit_code, run_text);
    ExitProcess(exit_code);
}
