// The synchronisation run and its date-time report line.
#pragma once

#include <cstdint>

#include "netware/netware.h"
#include "platform/platform.h"

// year since 1900, month, day, hour, minute, second, day of week
extern uint8_t server_date_time[7];
extern SYSTEMTIME local_time;

// Selectors of the connection call: name format, open state, transport type.
enum : uint32_t { name_format = 2, open_state = 8, transport_type = 0x8000 };

// local_time from server_date_time, field by field, with 2 milliseconds.
void fill_local_time();
// The monitoring check (garvelux --check): asks the server, prints one
// line in the monitoring plugins' convention and ends with its status.
[[noreturn]] void check_server(int argc, char **argv);

void report_date_time(const uint8_t date_time[7]);

// After the error message that ends a run with exit_code: its likely cause
// and the next step, by the code the message names (NetWare's result for
// 1 to 3, the system's error for 4).
void emit_error_hint(UINT exit_code, uint32_t code);

// What a run does with the server's time, judged against the desk's clock
// read before the query (`asked`) and as its reply arrived (`answered`).
enum time_verdict {
    time_to_set,
    time_unknown,        // no instant: a date that is no date
    time_before_release, // earlier than this program could be run
    time_beyond_bound,   // a step larger than the admin's bound
    time_within_second,  // the desk already lies within the server's second
};
// `offset` (FILETIME ticks): the server's instant minus the desk's clock,
// 0 unless the time could be set; `bound` in seconds, 0 for none.
time_verdict judge_server_time(const SYSTEMTIME *local, const FILETIME *asked,
                               const FILETIME *answered, DWORD bound, int64_t *offset);
// Signed seconds with milliseconds: +600.002, -0.412.
void format_offset(int64_t ticks, char (&text)[32]);
