// The whole run over the fake: every outcome with its console bytes, log
// bytes, exit code and platform calls in order.
#include "release_date.h"
#include "tests/temp_dir.h"

namespace {

const std::string report = "DateTime: Tue 2.5. 2030, 8:16:42\r\n";
const char *const start = "AllocConsole\nGetStdHandle(-11)\n";
const std::string init = "max_step_policy\nclock_disciplined\nNWCallsInit(0,0)\n";
const std::string opened = init + "NWCCOpenConnByName(0,SRV1,2,8,0x8000)\n";
const std::string queried = opened + "GetSystemTimeAsFileTime\nNWGetFileServerDateAndTime(77,zeroed)\n"
                                     "GetSystemTimeAsFileTime\n";
const std::string set_up = "System Time successfully set up.\r\n";
const std::string clock_set = "\r\n" + report + set_up;
const std::string ended = "release_client(0)\nFreeConsole\nreport_run(0)\nExitProcess(0)\n";
// Once: only Windows needs a second call (see the Wine runner).
const std::string set_once = queried + "SetLocalTime(2030-5-2 dow 2 8:16:42.2)\n" + ended;
// A hint goes to standard error (the Event Log's record on Windows).
const std::string hinted = "GetStdHandle(-12)\n";
const std::string clock_failed = queried + "SetLocalTime(2030-5-2 dow 2 8:16:42.2)\nGetLastError\n" +
                                 hinted + "release_client(0)\nreport_run(4)\nExitProcess(4)\n";
const std::string manual = "the manual's DIAGNOSTICS explain the code.\r\n";
const std::string refused = queried + hinted + "release_client(0)\nreport_run(4)\nExitProcess(4)\n";
const std::string bound_hint = "Hint: check which clock is wrong; if it is this desk's, run once "
                               "without the bound (--max-step).\r\n";
const std::string moved = "The clock moved by +600.002 seconds.\r\n";
// In Europe/Berlin 02:40 on 27 October 2030 is 00:40 UTC, and again 01:40.
const uint8_t repeated_hour[7] = {130, 10, 27, 2, 40, 0, 0};
const std::string repeated_report = "\r\nDateTime: Sun 27.10. 2030, 2:40:00\r\n" + set_up;
const std::string repeated_set = queried + "SetLocalTime(2030-10-27 dow 0 2:40:0.2)\n" + ended;

std::string within(const char *offset)
{
    return std::string("The clock was within the server's second (off by ") + offset +
           " seconds): left as it was.\r\n";
}

std::string bound_refused(const char *offset, const char *bound)
{
    return "\r\n" + report + "ERROR: the clock would move by " + offset +
           " seconds, more than the bound of " + bound + ": clock not set.\r\n";
}

// A check asks as a run does, the desk's clock read around the query, and
// ends with no clock call, no log and no record.
const std::string check_opened =
    "NWCallsInit(0,0) without clock\nNWCCOpenConnByName(0,SRV1,2,8,0x8000)\n";
const std::string checked = check_opened +
                            "GetSystemTimeAsFileTime\nNWGetFileServerDateAndTime(77,zeroed)\n"
                            "GetSystemTimeAsFileTime\nrelease_client(0)\n";
const std::vector<std::string> check = {"--check", "srv1"};

// The desk at 06:06:42.300 UTC, 08:06:42.300 in Berlin; the server at
// that day's local time given.
void server_at(uint8_t hour, uint8_t minute, uint8_t second)
{
    fake.now = utc_ticks("2030-05-02 06:06:42.300");
    const uint8_t date[7] = {130, 5, 2, hour, minute, second, 4};
    memcpy(fake.date_time, date, 7);
}

struct outcome_case {
    const char *name;
    void (*script)();
    UINT exit_code;
    std::string log;   // the console shows the banner, then the same bytes; a check's alone
    std::string calls; // after the start and the log's opening (a check opens none)
    std::string hint = "";
    std::string note = ""; // what the system's record has beyond the log
    std::vector<std::string> arguments = {"srv1"};
};

const outcome_case outcome_cases[] = {
    {"clock set", [] {}, 0, clock_set, set_once, "", moved},
    {"init fails", [] { fake.init_result = 0xFF; }, 1, "\nERROR: NWCallsInit returned FF\r\n",
     init + hinted + "report_run(1)\nExitProcess(1)\n",
     "Hint: the NetWare client could not start: " + manual},
    {"init fails with 10", [] { fake.init_result = 10; }, 1, "\nERROR: NWCallsInit returned A\r\n",
     init + hinted + "report_run(1)\nExitProcess(1)\n",
     "Hint: the NetWare client could not start: " + manual},
    {"open fails", [] { fake.open_result = 0x8847; }, 2,
     "\r\n\nERROR: NWCCOpenConnByName(SRV1) returned 8847\r\n",
     opened + hinted + "release_client(0)\nreport_run(2)\nExitProcess(2)\n",
     "Hint: the name was not found in the hosts file, DNS or SLP: check its spelling, or add it "
     "to the hosts file or DNS.\r\n"},
    {"query fails", [] { fake.query_result = 0x89FF; }, 3,
     "\r\n\nERROR: NWGetFileServerDateAndTime returned 89FF\r\n",
     queried + hinted + "release_client(0)\nreport_run(3)\nExitProcess(3)\n",
     "Hint: the server was reached but did not tell its date and time: try again; " + manual},
    {"clock refused",
     [] {
         fake.clock_result = 0;
         fake.clock_error = 1314;
     },
     4, "\r\n" + report + "ERROR  1314 setting system time.\r\n", clock_failed,
     "Hint: this account lacks the right to change the system time: let the GARVELUX task run "
     "it, or run it from an elevated prompt.\r\n"},
    {"clock error printed signed",
     [] {
         fake.clock_result = 0;
         fake.clock_error = 0xFFFFFFFF;
     },
     4, "\r\n" + report + "ERROR  -1 setting system time.\r\n", clock_failed,
     "Hint: the system refused to set the clock: the number is its error code.\r\n"},
    {"server before the release",
     [] { fake.date_time[0] = 100; }, 3,
     "\r\nDateTime: Tue 2.5. 2000, 8:16:42\r\nERROR: server time before " +
         std::string(release_day) + ", this program's release: clock not set.\r\n",
     queried + hinted + "release_client(0)\nreport_run(3)\nExitProcess(3)\n",
     "Hint: the server's own clock is wrong (a dead battery, a restored snapshot, a typo?): set "
     "it right on the server.\r\n"},
    {"server early on its release day, east of UTC",
     [] {
         struct tm t = {};
         t.tm_year = (int)(release_date / 10000) - 1900;
         t.tm_mon = (int)(release_date / 100 % 100) - 1;
         t.tm_mday = (int)(release_date % 100);
         t.tm_min = 30;
         t.tm_isdst = -1;
         fake.now = ((uint64_t)mktime(&t) + 11644473600) * ticks_per_second + 5000000;
         const uint8_t day[7] = {(uint8_t)t.tm_year, (uint8_t)(t.tm_mon + 1), (uint8_t)t.tm_mday,
                                 0, 30, 0, 2};
         memcpy(fake.date_time, day, 7);
     },
     0, "\r\nDateTime: Tue " + std::string(release_day) + ", 0:30:00\r\n" + set_up,
     queried + ended, "", within("-0.498")},
    {"desk long before the release still set",
     [] { fake.now = utc_ticks("2000-05-02 06:16:42.000"); }, 0, clock_set, set_once, "",
     "The clock moved by +946684800.002 seconds.\r\n"},
    {"step forward beyond the bound", [] { fake.max_step_policy = 599; }, 4,
     bound_refused("+600.002", "599"), refused, bound_hint},
    {"step back beyond the bound",
     [] {
         fake.max_step_policy = 599;
         fake.now = utc_ticks("2030-05-02 06:26:42.000");
     },
     4, bound_refused("-599.998", "599"), refused, bound_hint},
    {"step within the bound", [] { fake.max_step_policy = 601; }, 0, clock_set, set_once, "",
     moved},
    {"desk within the server's second",
     [] { fake.now = utc_ticks("2030-05-02 06:16:42.500"); }, 0, clock_set, queried + ended, "",
     within("-0.498")},
    {"desk within the second and the round trip",
     [] {
         fake.now = utc_ticks("2030-05-02 06:16:42.900");
         fake.round_trip = 3000000; // 300 ms
     },
     0, clock_set, queried + ended, "", within("-1.198")},
    {"desk just past the server's second",
     [] { fake.now = utc_ticks("2030-05-02 06:16:43.001"); }, 0, clock_set, set_once, "",
     "The clock moved by -0.999 seconds.\r\n"},
    {"repeated hour read in its first pass",
     [] {
         memcpy(fake.date_time, repeated_hour, 7);
         fake.now = utc_ticks("2030-10-27 00:35:00.000");
     },
     0, repeated_report, repeated_set, "", "The clock moved by +300.002 seconds.\r\n"},
    {"repeated hour read in its second pass",
     [] {
         memcpy(fake.date_time, repeated_hour, 7);
         fake.now = utc_ticks("2030-10-27 01:35:00.000");
     },
     0, repeated_report, repeated_set, "", "The clock moved by +300.002 seconds.\r\n"},
    {"clock disciplined by another service", [] { fake.disciplined = true; }, 0, clock_set,
     queried + "SetLocalTime(2030-5-2 dow 2 8:16:42.2)\nwrite_journal(another time service "
               "disciplines this clock and may undo the step just made: keep one (timedatectl "
               "set-ntp false, or no garvelux timer))\n" + ended,
     "", moved},
    {"check within", [] { server_at(8, 6, 43); }, 0,
     "GARVELUX OK: SRV1 offset +1 s|offset=1s;60;120;;\n", checked + "ExitProcess(0)\n", "", "", check},
    {"check at the warning threshold", [] { server_at(8, 7, 42); }, 0,
     "GARVELUX OK: SRV1 offset +60 s|offset=60s;60;120;;\n", checked + "ExitProcess(0)\n", "", "", check},
    {"check behind beyond the warning", [] { server_at(8, 5, 41); }, 1,
     "GARVELUX WARNING: SRV1 offset -61 s|offset=-61s;60;120;;\n", checked + "ExitProcess(1)\n",
     "", "", check},
    {"check ahead beyond the critical", [] { server_at(8, 8, 43); }, 2,
     "GARVELUX CRITICAL: SRV1 offset +121 s|offset=121s;60;120;;\n", checked + "ExitProcess(2)\n",
     "", "", check},
    {"check behind its own thresholds", [] { server_at(8, 6, 31); }, 2,
     "GARVELUX CRITICAL: SRV1 offset -11 s|offset=-11s;5;10;;\n", checked + "ExitProcess(2)\n",
     "", "", {"--check", "-w", "5", "-c", "10", "srv1"}},
    // Sent at 42.0, answered at 43.4: from their middle +0.8 s, where
    // either end alone makes +2 or 0.
    {"check over a round trip",
     [] {
         server_at(8, 6, 43);
         fake.now = utc_ticks("2030-05-02 06:06:42.000");
         fake.round_trip = 14000000;
     },
     0, "GARVELUX OK: SRV1 offset +1 s|offset=1s;60;120;;\n", checked + "ExitProcess(0)\n", "", "", check},
    {"check of a server before the release, the desk too",
     [] {
         fake.now = utc_ticks("2000-05-02 06:16:42.300");
         const uint8_t date[7] = {100, 5, 2, 8, 16, 42, 2};
         memcpy(fake.date_time, date, 7);
     },
     2, "GARVELUX CRITICAL: SRV1 told 2000-05-02 08:16:42, before this program's release\n",
     checked + "ExitProcess(2)\n", "", "", check},
    {"check of no date",
     [] {
         server_at(8, 6, 42);
         fake.date_time[1] = 13;
     },
     3, "GARVELUX UNKNOWN: SRV1 told 2030-13-02 08:06:42, no date\n",
     checked + "ExitProcess(3)\n", "", "", check},
    {"check of an unknown server", [] { fake.open_result = 0x8847; }, 3,
     "GARVELUX UNKNOWN: SRV1 NWCCOpenConnByName returned 8847\n",
     check_opened + "release_client(0)\nExitProcess(3)\n", "", "", check},
    {"check of a silent server", [] { fake.query_result = 0x8805; }, 3,
     "GARVELUX UNKNOWN: SRV1 NWGetFileServerDateAndTime returned 8805\n",
     checked + "ExitProcess(3)\n", "", "", check},
};

void PrintTo(const outcome_case &c, std::ostream *out)
{
    *out << c.name;
}

class run_outcome : public in_temp_dir, public ::testing::WithParamInterface<outcome_case> {};

TEST_P(run_outcome, prints_logs_calls_and_exits_exactly)
{
    const outcome_case &c = GetParam();
    c.script();
    EXPECT_EQ(run_garvelux(c.arguments), c.exit_code);
    EXPECT_EQ(fake_errors, c.hint);
    if (c.arguments[0] == "--check") {
        EXPECT_EQ(fake_console, c.log);
        EXPECT_EQ(access("garvelux.log", F_OK), -1);
        EXPECT_EQ(fake_calls, "AllocConsole\nGetStdHandle(-11)\n" + c.calls);
        return;
    }
    EXPECT_EQ(fake_console, banner + c.log);
    EXPECT_EQ(read_file(dir + "/garvelux.log"), c.log);
    EXPECT_EQ(fake_report, c.log + c.note);
    EXPECT_EQ(fake_calls, start + std::string("open_shared_append(garvelux.log)\n") + c.calls);
}

INSTANTIATE_TEST_SUITE_P(all, run_outcome, ::testing::ValuesIn(outcome_cases),
                         [](const auto &info) {
                             std::string name = info.param.name;
                             for (char &c : name)
                                 c = isalnum((unsigned char)c) ? c : '_';
                             return name;
                         });

TEST_F(in_temp_dir, server_fields_reach_the_clock_unchanged_with_two_milliseconds)
{
    const uint8_t date[7] = {130, 13, 40, 25, 61, 99, 200};
    memcpy(fake.date_time, date, 7);
    fake.clock_result = 0;
    fake.clock_error = 87;
    EXPECT_EQ(run_garvelux({"srv1"}), 4u);
    EXPECT_NE(fake_calls.find("SetLocalTime(2030-13-40 dow 200 25:61:99.2)"), std::string::npos);
    EXPECT_NE(fake_console.find("DateTime:    40.13. 2030, 25:61:99\r\nERROR  87 setting"),
              std::string::npos);
}

TEST_F(in_temp_dir, clock_error_is_the_one_the_clock_left_even_when_the_console_fails)
{
    fake.console_result = 0; // each failing console write leaves error 6
    fake.clock_result = 0;
    fake.clock_error = 1314;
    EXPECT_EQ(run_garvelux({"srv1"}), 4u);
    EXPECT_NE(fake_file_output.find("ERROR  1314 setting system time.\r\n"), std::string::npos);
}

TEST_F(in_temp_dir, runs_without_a_log_when_it_cannot_be_opened)
{
    fake.log_open_fails = true;
    EXPECT_EQ(run_garvelux({"srv1", "/Lsync.log"}), 0u);
    const std::string text = "Unable to open log file sync.log\r\n\r\n" + report +
                             "System Time successfully set up.\r\n";
    EXPECT_EQ(fake_console, banner + text);
    EXPECT_EQ(fake_report, text + moved); // the record still has the whole run
    EXPECT_EQ(fake_errors, "Hint: Permission denied. The run goes on without a log: name one that "
                           "this account can create or append to.\r\n");
    fake_reset();
    fake.log_full = true; // the one append as the run ends fails
    EXPECT_EQ(run_garvelux({"srv1"}), 0u);
    EXPECT_EQ(fake_errors, "Hint: the log file could not be written (No space left on device): "
                           "this run's lines are not in it.\r\n");
}

TEST_F(in_temp_dir, appends_after_earlier_runs)
{
    EXPECT_EQ(run_garvelux({"srv1", "/Lsync.log"}), 0u);
    fake_reset();
    fake.open_result = 0x880A;
    EXPECT_EQ(run_garvelux({"srv2", "/Lsync.log"}), 2u);
    EXPECT_EQ(read_file("sync.log"), "\r\n" + report + "System Time successfully set up.\r\n" +
                                         "\r\n\nERROR: NWCCOpenConnByName(SRV2) returned 880A\r\n");
}

TEST_F(in_temp_dir, percent_in_a_server_name_reaches_console_and_log_literally)
{
    fake.open_result = 0x8847;
    EXPECT_EQ(run_garvelux({"a%s%n%x"}), 2u);
    const std::string expected = "\r\n\nERROR: NWCCOpenConnByName(A%S%N%X) returned 8847\r\n";
    EXPECT_EQ(read_file("garvelux.log"), expected);
    EXPECT_EQ(fake_console, banner + expected);
}

} // namespace
