#include "output/output.h"

void end_run(UINT exit_code)
{
    if (log_file) {
        fclose(log_file);
        log_file = nullptr;
    }
    ExitProcess(exit_code);
}
