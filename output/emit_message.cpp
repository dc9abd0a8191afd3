#include <cstdarg>
#include <cstring>

#include "output/output.h"

char message_text[4000];
HANDLE console_out;
FILE *log_file;
char run_text[8192];
bool keeping_run_text;

static void keep_run_text(const char *text, size_t length)
{
    size_t used = strlen(run_text);
    size_t room = sizeof run_text - 1 - used;
    size_t kept = length < room ? length : room;
    memcpy(run_text + used, text, kept);
    run_text[used + kept] = '\0';
}

// A text longer than the buffer is cut at its end, never written past it.
// printf-style on purpose: every message is a format with its arguments,
// checked by the compiler's format attribute.
void emit_message(const char *format, ...) // NOLINT(cert-dcl50-cpp)
{
    va_list arguments;
    va_start(arguments, format);
    // The analyzer of clang 14 does not see va_start for this target's va_list.
    vsnprintf(message_text, sizeof message_text, format, arguments); // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(arguments);

    DWORD length = (DWORD)strlen(message_text);
    DWORD written;
    // A redirected standard output is no console: the bytes then go out
    // as plain file data, so logon scripts and schedulers still see them.
    if (!WriteConsoleA(console_out, message_text, length, &written, nullptr))
        WriteFile(console_out, message_text, length, &written, nullptr);
    if (log_file)
        fwrite(message_text, 1, length, log_file);
    if (keeping_run_text)
        keep_run_text(message_text, length);
}

void note_in_report(const char *format, ...) // NOLINT(cert-dcl50-cpp)
{
    char note[200];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(note, sizeof note, format, arguments); // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(arguments);
    if (keeping_run_text)
        keep_run_text(note, strlen(note));
}

// Room for the longest hint: a log name with the system's reason.
static char hint_text[1000];

void emit_hint(const char *format, ...) // NOLINT(cert-dcl50-cpp)
{
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(hint_text, sizeof hint_text, format, arguments); // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(arguments);

    DWORD length = (DWORD)strlen(hint_text);
    DWORD written;
    if (hints_on_standard_error)
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), hint_text, length, &written, nullptr);
    else if (keeping_run_text)
        keep_run_text(hint_text, length);
}
