#include "tests/fake_platform.h"

#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>

#include "cmdline/cmdline.h"
#include "output/output.h"
#include "sync/sync.h"

int garvelux_main(int argc, char **argv);

fake_script fake;
std::string fake_calls;
std::string fake_console;
std::string fake_file_output;
std::string fake_report;
std::string fake_errors;
static DWORD last_error;
static HANDLE const console_handle = (HANDLE)0x1234;
static HANDLE const error_handle = (HANDLE)0x1235;

const char banner[] = "\r\n GARVELUX version 0.10, sets this clock from a NetWare server\r\n\r\n";

static void record(const std::string &call)
{
    fake_calls += call + "\n";
}

BOOL AllocConsole()
{
    record("AllocConsole");
    return 1;
}

HANDLE GetStdHandle(DWORD std_handle)
{
    record("GetStdHandle(" + std::to_string((int32_t)std_handle) + ")");
    return std_handle == STD_ERROR_HANDLE ? error_handle : console_handle;
}

BOOL WriteConsoleA(HANDLE console, const void *text, DWORD length, DWORD *written, void *)
{
    if (console != console_handle || !fake.console_result) {
        last_error = 6; // a failing write leaves its own error, as on Windows
        return 0;
    }
    fake_console.append(static_cast<const char *>(text), length);
    *written = length;
    return 1;
}

BOOL WriteFile(HANDLE file, const void *bytes, DWORD length, DWORD *written, void *)
{
    if (file == error_handle) {
        fake_errors.append(static_cast<const char *>(bytes), length);
        *written = length;
        return 1;
    }
    if (file != console_handle)
        return 0;
    fake_file_output.append(static_cast<const char *>(bytes), length);
    *written = length;
    return 1;
}

BOOL FreeConsole()
{
    record("FreeConsole");
    return 1;
}

BOOL SetLocalTime(const SYSTEMTIME *t)
{
    char text[96];
    snprintf(text, sizeof text, "SetLocalTime(%u-%u-%u dow %u %u:%u:%u.%u)", t->wYear, t->wMonth,
             t->wDay, t->wDayOfWeek, t->wHour, t->wMinute, t->wSecond, t->wMilliseconds);
    record(text);
    if (!fake.clock_result)
        last_error = fake.clock_error;
    return fake.clock_result;
}

void GetSystemTimeAsFileTime(FILETIME *now)
{
    record("GetSystemTimeAsFileTime");
    now->dwLowDateTime = (DWORD)fake.now;
    now->dwHighDateTime = (DWORD)(fake.now >> 32);
    fake.now += fake.round_trip;
}

DWORD max_step_policy()
{
    record("max_step_policy");
    return fake.max_step_policy;
}

bool clock_disciplined()
{
    record("clock_disciplined");
    return fake.disciplined;
}

void write_journal(const char *text)
{
    record(std::string("write_journal(") + text + ")");
}

DWORD GetLastError()
{
    record("GetLastError");
    return last_error;
}

DWORD GetCurrentDirectoryA(DWORD capacity, char *directory)
{
    record("GetCurrentDirectoryA(" + std::to_string(capacity) + ")");
    const char *cwd = fake.current_directory;
    if (!cwd || strlen(cwd) >= capacity)
        return cwd ? (DWORD)strlen(cwd) + 1 : 0; // as Windows: the size it would need
    strcpy(directory, cwd);
    return (DWORD)strlen(cwd);
}

void report_run(UINT exit_code, const char *text)
{
    record("report_run(" + std::to_string(exit_code) + ")");
    fake_report = text;
}

void ExitProcess(UINT exit_code)
{
    record("ExitProcess(" + std::to_string(exit_code) + ")");
    throw fake_exit{exit_code};
}

const char *open_failure_reason()
{
    return "Permission denied";
}

FILE *open_shared_append(const char *name)
{
    record(std::string("open_shared_append(") + name + ")");
    return fake.log_open_fails ? nullptr : fopen(fake.log_full ? "/dev/full" : name, "ab");
}

bool client_sets_clock;

NWRCODE NWCallsInit(void *in, void *out)
{
    record("NWCallsInit(" + std::to_string(in != nullptr) + "," + std::to_string(out != nullptr) +
           ")" + (client_sets_clock ? "" : " without clock"));
    return fake.init_result;
}

NWRCODE NWCCOpenConnByName(NWCONN_HANDLE start, const char *name, uint32_t name_format,
                           uint32_t open_state, uint32_t transport_type, NWCONN_HANDLE *connection)
{
    char text[256];
    snprintf(text, sizeof text, "NWCCOpenConnByName(%u,%s,%u,%u,0x%X)", start, name, name_format,
             open_state, transport_type);
    record(text);
    if (fake.open_result == 0)
        *connection = 77;
    return fake.open_result;
}

NWRCODE NWGetFileServerDateAndTime(NWCONN_HANDLE connection, uint8_t *date_time)
{
    static const uint8_t zero[7] = {};
    record("NWGetFileServerDateAndTime(" + std::to_string(connection) +
           (memcmp(date_time, zero, 7) == 0 ? ",zeroed)" : ",dirty)"));
    if (fake.query_result == 0)
        memcpy(date_time, fake.date_time, 7);
    return fake.query_result;
}

void release_client(void *reserved)
{
    record(reserved ? "release_client(?)" : "release_client(0)");
}

uint64_t utc_ticks(const char *text)
{
    struct tm t = {};
    int milliseconds = 0;
    sscanf(text, "%d-%d-%d %d:%d:%d.%d", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour, &t.tm_min,
           &t.tm_sec, &milliseconds);
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    return ((uint64_t)timegm(&t) + 11644473600) * ticks_per_second + milliseconds * 10000;
}

void fake_reset()
{
    // Runs read local times as a desk in Europe/Berlin, whose hour repeats.
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    fake = fake_script();
    client_sets_clock = true;
    fake.now = utc_ticks("2030-05-02 06:06:42.000"); // ten minutes behind the server
    fake_calls.clear();
    fake_console.clear();
    fake_file_output.clear();
    fake_report.clear();
    fake_errors.clear();
    last_error = 0;
    memset(run_text, 0, sizeof run_text);
    keeping_run_text = false;
    memset(server_name, 0, sizeof server_name);
    memset(log_name, 0, sizeof log_name);
    max_step = 0;
    // What an earlier run left behind must not make this one pass.
    memset(server_date_time, 0xEE, sizeof server_date_time);
    if (log_file)
        fclose(log_file);
    log_file = nullptr;
    console_out = console_handle;
}

template <typename Run> static int with_arguments(const std::vector<std::string> &arguments, Run run)
{
    std::vector<std::string> copies = arguments;
    std::vector<char *> argv = {const_cast<char *>("garvelux")};
    for (std::string &argument : copies)
        argv.push_back(&argument[0]);
    argv.push_back(nullptr);
    try {
        run((int)argv.size() - 1, argv.data());
    } catch (const fake_exit &exit) {
        return (int)exit.code;
    }
    return -1;
}

UINT run_garvelux(const std::vector<std::string> &arguments)
{
    return (UINT)with_arguments(arguments, garvelux_main);
}

int run_parse(const std::vector<std::string> &arguments)
{
    return with_arguments(arguments, [](int argc, char **argv) {
        if (check_requested(argc, argv))
            parse_check_line(argc, argv);
        else
            parse_command_line(argc, argv);
    });
}

std::string read_file(const std::string &name)
{
    std::ifstream in(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
