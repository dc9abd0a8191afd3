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
