#include <cstdio>
#include <cstring>

#include "cmdline/cmdline.h"
#include "output/output.h"

char server_name[128];
char log_name[400];
DWORD max_step;

static const char syntax_line[] = "\nSyntax: GARVELUX <Server_Name> [/L<LogName>]\r\n";
static const char version_lines[] =
    "garvelux 0.10\r\nCopyright (c) 2026 the GARVELUX developers; ISC licence.\r\n";

static void take_log_option(const char *argument)
{
    if (strlen(argument) >= sizeof log_name) {
        emit_message("Log name ignored: too long.\r\n");
        return;
    }
    // The first word after /L; the length test above keeps it in bounds.
    sscanf(argument + 2, "%399s", log_name);
}

static void take_server_name(const char *argument)
{
    size_t length = strlen(argument);
    if (length >= sizeof server_name) {
        emit_message("Server name ignored: too long.\r\n");
        return;
    }
    for (size_t i = 0; i <= length; i++) {
        char c = argument[i];
        server_name[i] = (c >= 'a' && c <= 'z') ? (char)(c - 'a' + 'A') : c;
    }
}

// Where the system has such conventions; elsewhere it is a server name.
static bool posix_option(const char *argument, const char *option)
{
    return posix_options && strcmp(argument, option) == 0;
}

void parse_command_line(int argc, char **argv)
{
    if (argc < 2) {
        emit_message("No Parameters\r\n%s\r\n", syntax_line);
        ExitProcess(255);
    }
    for (int i = 1; i < argc; i++) {
        const char *argument = argv[i];
        bool log_option = argument[0] == '/' && (argument[1] == 'L' || argument[1] == 'l');
        if (log_option) {
            take_log_option(argument);
        } else if (argument[0] == '/' || argument[0] == '?' || posix_option(argument, "--help") ||
                   posix_option(argument, "-h")) {
            emit_message("%s", syntax_line);
            ExitProcess(0);
        } else if (posix_option(argument, "--version")) {
            emit_message("%s", version_lines);
            ExitProcess(0);
        } else {
            take_server_name(argument);
        }
    }
    if (server_name[0] == '\0') {
        emit_message("Server not specified.\r\n%s\r\n", syntax_line);
        ExitProcess(255);
    }
    open_log();
}
