#include <cstring>

#include "cmdline/cmdline.h"
#include "output/output.h"
#include "release_date.h"
#include "sync/sync.h"

uint8_t server_date_time[7];
SYSTEMTIME local_time;

void fill_local_time()
{
    local_time.wYear = (WORD)(server_date_time[0] + 1900);
    local_time.wMonth = server_date_time[1];
    local_time.wDayOfWeek = server_date_time[6];
    local_time.wDay = server_date_time[2];
    local_time.wHour = server_date_time[3];
    local_time.wMinute = server_date_time[4];
    local_time.wSecond = server_date_time[5];
    local_time.wMilliseconds = 2;
}

int main(int argc, char **argv)
{
    AllocConsole();
    console_out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (check_requested(argc, argv))
        check_server(argc, argv);
    emit_message("\r\n GARVELUX version 0.10, sets this clock from a NetWare server\r\n\r\n");
    parse_command_line(argc, argv);

    if (max_step == 0)
        max_step = max_step_policy();
    // Asked now: once connected, a run may no longer ask.
    const bool disciplined = clock_disciplined();

    NWRCODE result = NWCallsInit(nullptr, nullptr);
    if (result != 0) {
        emit_message("\nERROR: NWCallsInit returned %0X\r\n", result);
        emit_error_hint(1, result);
        end_run(1);
    }
    emit_message("\r\n");

    NWCONN_HANDLE connection = 0;
    result = NWCCOpenConnByName(0, server_name, name_format, open_state, transport_type,
                                &connection);
    if (result != 0) {
        emit_message("\nERROR: NWCCOpenConnByName(%s) returned %0X\r\n", server_name, result);
        emit_error_hint(2, result);
        release_client(nullptr);
        end_run(2);
    }

    memset(server_date_time, 0, sizeof server_date_time);
    FILETIME asked, answered;
    GetSystemTimeAsFileTime(&asked);
    result = NWGetFileServerDateAndTime(connection, server_date_time);
    GetSystemTimeAsFileTime(&answered);
    if (result != 0) {
        emit_message("\nERROR: NWGetFileServerDateAndTime returned %0X\r\n", result);
        emit_error_hint(3, result);
        release_client(nullptr);
        end_run(3);
    }

    fill_local_time();
    int64_t offset;
    time_verdict verdict = judge_server_time(&local_time, &asked, &answered, max_step, &offset);
    char moved[32];
    format_offset(offset, moved);
    if (verdict == time_before_release || verdict == time_beyond_bound) {
        report_date_time(server_date_time);
        if (verdict == time_before_release) {
            emit_message("ERROR: server time before %s, this program's release: clock not set.\r\n",
                         release_day);
            emit_hint("Hint: the server's own clock is wrong (a dead battery, a restored "
                      "snapshot, a typo?): set it right on the server.\r\n");
        } else {
            emit_message("ERROR: the clock would move by %s seconds, more than the bound of %lu: "
                         "clock not set.\r\n",
                         moved, (unsigned long)max_step);
            emit_hint("Hint: check which clock is wrong; if it is this desk's, run once without "
                      "the bound (%s).\r\n",
                      posix_options ? "--max-step" : "the MaxStepSeconds policy");
        }
        release_client(nullptr);
        end_run(verdict == time_before_release ? 3 : 4);
    }

    BOOL clock_set = 1;
    DWORD error = 0;
    if (verdict != time_within_second) {
        clock_set = SetLocalTime(&local_time);
        // Taken before anything is printed: a console write may overwrite it.
        error = clock_set ? 0 : GetLastError();
        // Where the platform needs it (see clock_set_twice), a second call;
        // its result changes nothing: the first call set the clock.
        if (clock_set && clock_set_twice)
            SetLocalTime(&local_time);
    }
    report_date_time(server_date_time);
    if (clock_set) {
        emit_message("System Time successfully set up.\r\n");
        if (verdict == time_within_second) {
            note_in_report("The clock was within the server's second (off by %s seconds): left as "
                           "it was.\r\n",
                           moved);
        } else if (verdict == time_to_set) {
            note_in_report("The clock moved by %s seconds.\r\n", moved);
            if (disciplined)
                write_journal("another time service disciplines this clock and may undo the step "
                              "just made: keep one (timedatectl set-ntp false, or no garvelux timer)");
        }
        release_client(nullptr);
        FreeConsole();
        end_run(0);
    }
    emit_message("ERROR  %d setting system time.\r\n", (int)error);
    emit_error_hint(4, error);
    release_client(nullptr);
    end_run(4);
}
