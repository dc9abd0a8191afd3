// The synchronisation run and its date-time report line.
#pragma once

#include <cstdint>

#include "netware/netware.h"
#include "platform/platform.h"

// year since 1900, month, day, hour, minute, second, day of week
extern uint8_t server_date_time[7];
extern SYSTEMTIME local_time;

void report_date_time(const uint8_t date_time[7]);
