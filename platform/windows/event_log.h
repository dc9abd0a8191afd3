// The Event Log's other record: a warning of the run's own (event ID 100).
#pragma once

void report_warning(const char *text);
