// Reads the arguments once: server name, log file, syntax requests; opens
// the log.
#pragma once

#include "platform/platform.h"

extern char server_name[128];
extern char log_name[400];
// The largest step of the clock the admin allows, in seconds; 0: no bound.
extern DWORD max_step;

// Returns only with server_name set and the log opened or its failure
// reported; every other case ends the process.
void parse_command_line(int argc, char **argv);
void open_log();
