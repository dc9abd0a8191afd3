// Feeds the command-line reader arbitrary argument vectors: the input is
// split into arguments at NUL bytes (an argument cannot hold one).
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cmdline/cmdline.h"
#include "tests/fake_platform.h"

static bool terminated(const char *field, size_t capacity)
{
    return memchr(field, '\0', capacity) != nullptr;
}

static bool ends_with(const std::string &text, const std::string &end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

static const std::string syntax = "\nSyntax: GARVELUX <Server_Name> [/L<LogName>]\r\n";
static const std::string check_syntax =
    "        GARVELUX --check [-w SECONDS] [-c SECONDS] <Server_Name>\r\n";
static const std::string check_usage =
    "Usage: garvelux --check [-w SECONDS] [-c SECONDS] SERVER\n";

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<std::string> arguments;
    const char *text = reinterpret_cast<const char *>(data);
    for (size_t start = 0; start <= size && arguments.size() < 1000;) {
        const char *end = static_cast<const char *>(memchr(text + start, '\0', size - start));
        size_t length = end ? (size_t)(end - (text + start)) : size - start;
        arguments.emplace_back(text + start, length);
        start += length + 1;
    }
    if (size == 0)
        arguments.clear();
    fake_reset();
    fake.log_open_fails = true; // no files named by the fuzzer
    int ending = run_parse(arguments);
    bool check = !arguments.empty() && arguments[0] == "--check";

    if (!terminated(server_name, sizeof server_name) || !terminated(log_name, sizeof log_name))
        abort();
    // Whatever came before, the console ends with one documented message.
    bool ends_well;
    switch (ending) {
    case -1:
        // A check opens no log, prints nothing yet, and takes its thresholds in order.
        ends_well = server_name[0] != '\0' &&
                    (check ? fake_console.empty() && warning_seconds <= critical_seconds &&
                                 critical_seconds <= longest_step
                           : ends_with(fake_console, "Unable to open log file " +
                                                         std::string(log_name) + "\r\n"));
        break;
    case 0:
        ends_well = ends_with(fake_console, syntax + check_syntax) ||
                    ends_with(fake_console, " the GARVELUX developers; ISC licence.\r\n");
        break;
    case 255:
        ends_well = fake_console == "No Parameters\r\n" + syntax + "\r\n" ||
                    ends_with(fake_console, "Server not specified.\r\n" + syntax + "\r\n") ||
                    ends_with(fake_errors, syntax); // a mistake
        break;
    case 3:
        ends_well = check && fake_console.empty() && ends_with(fake_errors, check_usage);
        break;
    default:
        ends_well = false;
    }
    if (!ends_well)
        abort();
    return 0;
}
