// The one path for every message (console, and the log once it is open)
// and the one way a run ends once the log may be open.
#pragma once

#include "platform/platform.h"

extern char message_text[4000];
extern HANDLE console_out;
extern FILE *log_file;

void emit_message(const char *format, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void end_run(UINT exit_code);
