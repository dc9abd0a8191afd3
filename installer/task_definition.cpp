// The task's definition filled in memory with the installed program, the
// server and the log: text in, text out, no system call.
#include "installer/task_definition.h"

#include <cwchar>

namespace {
struct text_out {
    wchar_t *to;
    size_t capacity, filled;
};
}

static bool append(text_out &out, const wchar_t *text, size_t length)
{
    if (length >= out.capacity - out.filled)
        return false;
    wmemcpy(out.to + out.filled, text, length);
    out.filled += length;
    out.to[out.filled] = L'\0';
    return true;
}

// As XML element text; false for what XML cannot hold (control
// characters) or what does not fit.
static bool append_text(text_out &out, const wchar_t *text)
{
    for (; *text; text++) {
        const wchar_t *escape = *text == L'&' ? L"&amp;" : *text == L'<' ? L"&lt;"
                            : *text == L'>' ? L"&gt;" : nullptr;
        if (*text < L' ' || !(escape ? append(out, escape, wcslen(escape)) : append(out, text, 1)))
            return false;
    }
    return true;
}

// Copies the definition from *from up to the text of the element tag, puts
// the parts in its place and leaves *from at the element's end.
static bool fill_element(text_out &out, const wchar_t **from, const wchar_t *tag,
                         const wchar_t *const parts[])
{
    const wchar_t *start = wcsstr(*from, tag);
    const wchar_t *end = start ? wcsstr(start, L"</") : nullptr;
    if (!end)
        return false;
    start += wcslen(tag);
    if (!append(out, *from, (size_t)(start - *from)))
        return false;
    for (; *parts; parts++)
        if (!append_text(out, *parts))
            return false;
    *from = end;
    return true;
}

bool fill_definition(const wchar_t *definition, const wchar_t *folder, const wchar_t *server,
                     const wchar_t *log, wchar_t *xml, size_t capacity)
{
    const wchar_t *const command[] = {L"\"", folder, L"garvelux.exe\"", nullptr};
    const wchar_t *const arguments[] = {server, L" /L", log, nullptr};
    const wchar_t *from = definition;
    text_out out = {xml, capacity, 0};
    return fill_element(out, &from, L"<Command>", command) &&
           fill_element(out, &from, L"<Arguments>", arguments) &&
           append(out, from, wcslen(from));
}
