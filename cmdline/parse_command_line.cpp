#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "cmdline/cmdline.h"
#include "output/output.h"

char server_name[128];
char log_name[400];
DWORD max_step;
DWORD warning_seconds;
DWORD critical_seconds;

static const char syntax_line[] = "\nSyntax: GARVELUX <Server_Name> [/L<LogName>]\r\n";
static const char check_syntax_line[] =
    "        GARVELUX --check [-w SECONDS] [-c SECONDS] <Server_Name>\r\n";
static const char check_usage[] = "Usage: garvelux --check [-w SECONDS] [-c SECONDS] SERVER\n";
static const char version_lines[] =
    "garvelux 0.10\r\nCopyright (c) 2026 the GARVELUX developers; ISC licence.\r\n";

// The monitoring check's command line is being read.
static bool checking;

[[noreturn]] static void show_syntax()
{
    emit_message("%s%s", syntax_line, posix_options ? check_syntax_line : "");
    ExitProcess(0);
}

// A command line that cannot mean what was typed ends before any server is
// asked, and loudly: cron and systemd see a failure, the reason goes to
// standard error beside the syntax. A check's is UNKNOWN, as monitoring
// plugins say, with its usage in their way.
[[noreturn]] static void refuse(const char *argument, const char *reason)
{
    if (checking) {
        emit_hint("%.100s: %s\n%s", argument, reason, check_usage);
        ExitProcess(3);
    }
    emit_hint("%.100s: %s\r\n%s", argument, reason, syntax_line);
    ExitProcess(255);
}

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

static void take_help(const char *, const char *)
{
    show_syntax();
}

static void take_version(const char *, const char *)
{
    emit_message("%s", version_lines);
    ExitProcess(0);
}

// The whole value is the path, blanks included, unlike /L's first word.
static void take_log_file(const char *option, const char *value)
{
    if (strlen(value) >= sizeof log_name)
        refuse(option, "log name too long");
    memcpy(log_name, value, strlen(value) + 1);
}

// Whole seconds up to ten years, in digits alone: no sign, blank or unit,
// nothing that could be read as a wrapped number.
static bool whole_seconds(const char *value, DWORD *seconds)
{
    DWORD whole = 0;
    for (const char *digit = value; *digit; digit++) {
        if (*digit < '0' || *digit > '9' || whole > longest_step)
            return false;
        whole = whole * 10 + (DWORD)(*digit - '0');
    }
    if (whole > longest_step)
        return false;
    *seconds = whole;
    return true;
}

// From 1: 0 could be read as no bound.
static void take_max_step(const char *option, const char *value)
{
    DWORD seconds;
    if (!whole_seconds(value, &seconds) || seconds < 1)
        refuse(option, "takes whole seconds from 1 to 315360000 (ten years)");
    max_step = seconds;
}

static void take_threshold(const char *option, const char *value, DWORD *seconds)
{
    if (!whole_seconds(value, seconds))
        refuse(option, "takes whole seconds from 0 to 315360000 (ten years)");
}

static void take_warning(const char *option, const char *value)
{
    take_threshold(option, value, &warning_seconds);
}

static void take_critical(const char *option, const char *value)
{
    take_threshold(option, value, &critical_seconds);
}

// The pointers first: no padding between the fields.
struct posix_option {
    const char *long_name; // nullptr: short only
    void (*take)(const char *option, const char *value);
    char short_name; // '\0': long only
    bool takes_value;
};

// -l FILE, -lFILE, --log=FILE and --log FILE alike.
static const posix_option posix_option_table[] = {
    {"help", take_help, 'h', false},
    {"version", take_version, '\0', false},
    {"log", take_log_file, 'l', true},
    {"max-step", take_max_step, '\0', true},
};

// The monitoring check's, alone in its command line.
static const posix_option check_option_table[] = {
    {"warning", take_warning, 'w', true},
    {"critical", take_critical, 'c', true},
};

template <typename Test> static const posix_option *find_option(Test named)
{
    const posix_option *begin = checking ? std::begin(check_option_table)
                                         : std::begin(posix_option_table);
    const posix_option *end = checking ? std::end(check_option_table) : std::end(posix_option_table);
    const posix_option *found = std::find_if(begin, end, named);
    return found == end ? nullptr : found;
}

static const posix_option *find_long_option(const char *name, size_t length)
{
    return find_option([=](const posix_option &option) {
        return option.long_name && strlen(option.long_name) == length &&
               strncmp(option.long_name, name, length) == 0;
    });
}

static const posix_option *find_short_option(char name)
{
    return find_option([=](const posix_option &option) {
        return option.short_name != '\0' && option.short_name == name;
    });
}

// An argument beginning with "-"; returns the index of the last argument
// it used (a value may follow it).
static int take_posix_option(int argc, char **argv, int index)
{
    const char *argument = argv[index];
    const posix_option *option;
    const char *value = nullptr;
    if (argument[1] == '-') {
        const char *equals = strchr(argument + 2, '=');
        size_t length = equals ? (size_t)(equals - (argument + 2)) : strlen(argument + 2);
        option = find_long_option(argument + 2, length);
        if (option && equals && !option->takes_value)
            refuse(argument, "takes no value");
        value = equals ? equals + 1 : nullptr;
    } else {
        option = find_short_option(argument[1]);
        if (option && argument[2] != '\0') {
            if (!option->takes_value)
                refuse(argument, "unknown option");
            value = argument + 2;
        }
    }
    if (!option)
        refuse(argument, "unknown option");
    if (option->takes_value && !value) {
        if (index + 1 >= argc)
            refuse(argument, "needs a value");
        value = argv[++index];
    }
    if (option->takes_value && value[0] == '\0')
        refuse(argument, "needs a value");
    option->take(argument, value);
    return index;
}

void parse_command_line(int argc, char **argv)
{
    checking = false;
    if (argc < 2) {
        emit_message("No Parameters\r\n%s\r\n", syntax_line);
        ExitProcess(255);
    }
    bool options_ended = false;
    for (int i = 1; i < argc; i++) {
        const char *argument = argv[i];
        if (options_ended) {
            take_server_name(argument);
            continue;
        }
        bool log_option = argument[0] == '/' && (argument[1] == 'L' || argument[1] == 'l');
        if (posix_options && strcmp(argument, "--") == 0) {
            // As POSIX utilities do: what follows is a server name, even
            // one that begins with "-" (a unit's instance, say).
            options_ended = true;
        } else if (log_option) {
            take_log_option(argument);
        } else if (argument[0] == '/') {
            // Where every path begins with "/", one beside other arguments
            // is a mistyped log option, not a request for the syntax.
            if (posix_options && argc > 2)
                refuse(argument, "not an option; a log file is named by -l FILE");
            show_syntax();
        } else if (argument[0] == '?') {
            show_syntax();
        } else if (posix_options && argument[0] == '-') {
            i = take_posix_option(argc, argv, i);
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

bool check_requested(int argc, char **argv)
{
    return posix_options && argc > 1 && strcmp(argv[1], "--check") == 0;
}

// One name, that the plugin's one line can carry: no control character,
// and no "|", where the performance data would begin.
static void take_check_server(const char *argument)
{
    size_t length = strlen(argument);
    bool printable = std::none_of(argument, argument + length, [](char c) {
        return (unsigned char)c < ' ' || c == '\x7f' || c == '|';
    });
    if (!printable || length == 0 || length >= sizeof server_name)
        refuse("the server name", "not 1 to 127 characters without control characters or |");
    if (server_name[0] != '\0')
        refuse(argument, "a second server name");
    take_server_name(argument);
}

void parse_check_line(int argc, char **argv)
{
    checking = true;
    warning_seconds = 60;
    critical_seconds = 120;
    for (int i = 2; i < argc; i++) {
        if (argv[i][0] == '-')
            i = take_posix_option(argc, argv, i);
        else
            take_check_server(argv[i]);
    }
    if (server_name[0] == '\0')
        refuse("--check", "needs a server name");
    if (warning_seconds > critical_seconds)
        refuse("-w", "above -c");
}
