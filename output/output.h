// The one path for every message (console, and the log once it is open)
// and the one way a run ends once the log may be open.
#pragma once

#include "platform/platform.h"

extern char message_text[4000];
extern HANDLE console_out;
extern FILE *log_file;
// Every byte emitted once the command line is read, as the log gets them,
// cut at the end when full; what report_run records as the run ends.
extern char run_text[8192];
extern bool keeping_run_text;

void emit_message(const char *format, ...) __attribute__((format(printf, 1, 2)));
// A line for the system's record of the run alone (report_run), whose
// console and log bytes stay as they are.
void note_in_report(const char *format, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void end_run(UINT exit_code);
// What the admin needs beside a message: its likely cause and the next
// step. Never on the console or in the log, whose bytes scripts read: on
// standard error where the system has one for that, otherwise in the
// system's record of the run (report_run), once the command line is read.
void emit_hint(const char *format, ...) __attribute__((format(printf, 1, 2)));
