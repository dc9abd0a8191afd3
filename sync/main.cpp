#include <cstring>

#include "cmdline/cmdline.h"
#include "output/output.h"
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
    result = NWGetFileServerDateAndTime(connection, server_date_time);
    if (result != 0) {
        emit_message("\nERROR: NWGetFileServerDateAndTime returned %0X\r\n", result);
        emit_error_hint(3, result);
        release_client(nullptr);
        end_run(3);
    }

    fill_local_time();
    BOOL clock_set = SetLocalTime(&local_time);
    // Taken before anything is printed: a console write may overwrite it.
    DWORD error = clock_set ? 0 : GetLastError();
    // Where the platform needs it (see clock_set_twice), a second call;
    // its result changes nothing: the first call set the clock.
    if (clock_set && clock_set_twice)
        SetLocalTime(&local_time);
    report_date_time(server_date_time);
    if (clock_set) {
        emit_message("System Time successfully set up.\r\n");
        release_client(nullptr);
        FreeConsole();
        end_run(0);
    }
    emit_message("ERROR  %d setting system time.\r\n", (int)error);
    emit_error_hint(4, error);
    release_client(nullptr);
    end_run(4);
}
