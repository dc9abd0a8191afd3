// Reads the arguments once: server name, log file, syntax requests; opens
// the log.
#pragma once

#include "platform/platform.h"

extern char server_name[128];
extern char log_name[400];
// The largest step of the clock the admin allows, in seconds; 0: no bound.
extern DWORD max_step;
// The monitoring check's thresholds: seconds of offset.
extern DWORD warning_seconds;
extern DWORD critical_seconds;

// Returns only with server_name set and the log opened or its failure
// reported; every other case ends the process.
void parse_command_line(int argc, char **argv);
void open_log();

// Linux's monitoring check: --check as the first argument.
bool check_requested(int argc, char **argv);
// Reads --check [-w SECONDS] [-c SECONDS] SERVER into server_name and the
// thresholds (60 and 120 unless given), or prints the reason and the usage
// on standard error and ends with status 3. Opens no log.
void parse_check_line(int argc, char **argv);
