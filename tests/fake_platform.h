// A recording stand-in for platform/platform.h: scripted results, every
// call kept in order with its arguments, the console kept as bytes.
#pragma once

#include <string>
#include <vector>

#include "netware/netware.h"
#include "platform/platform.h"

struct fake_script {
    NWRCODE init_result = 0;
    NWRCODE open_result = 0;
    NWRCODE query_result = 0;
    uint8_t date_time[7] = {130, 5, 2, 8, 16, 42, 2};
    uint64_t now = 0;        // what GetSystemTimeAsFileTime reads; fake_reset sets it
    uint64_t round_trip = 0; // added to now at each reading
    DWORD max_step_policy = 0;
    bool disciplined = false;
    BOOL clock_result = 1;
    DWORD clock_error = 0;
    BOOL console_result = 1;
    const char *current_directory = "/home/admin"; // nullptr: the call fails
    bool log_open_fails = false;
    bool log_full = false; // opened, but no byte reaches it (a full disk)
};

extern fake_script fake;
extern std::string fake_calls;   // one line a call
extern std::string fake_console; // every byte written to the console
extern std::string fake_file_output; // every byte written with WriteFile
extern std::string fake_report;      // the text of the last report_run
extern std::string fake_errors;      // every byte written to standard error

// What the fake ExitProcess throws, so a test sees the code and goes on.
struct fake_exit {
    UINT code;
};

// FILETIME ticks of a UTC time written "2030-10-27 00:40:00.500".
uint64_t utc_ticks(const char *text);
// Sets the time zone to Europe/Berlin and every field to its default.
void fake_reset();
// Runs the whole program with these arguments; returns its exit code.
UINT run_garvelux(const std::vector<std::string> &arguments);
// Runs parse_command_line (parse_check_line for --check) alone; returns the
// exit code, or -1 when it returned.
int run_parse(const std::vector<std::string> &arguments);
std::string read_file(const std::string &name);

extern const char banner[];
