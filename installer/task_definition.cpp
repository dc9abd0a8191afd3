// The task's definition, built into this DLL, filled in memory with the
// installed program, the server and the log: nothing is read from a
// folder that another account could prepare.
#include "installer/task_action.h"

#include <cwchar>

WCHAR task_xml[8192];
static const WORD task_definition = 1;  // its resource ID in task_action.rc

namespace {
struct text_out {
    WCHAR *to;
    size_t capacity, filled;
};
}

static bool append(text_out &out, const WCHAR *text, size_t length)
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
static bool append_text(text_out &out, const WCHAR *text)
{
    for (; *text; text++) {
        const WCHAR *escape = *text == L'&' ? L"&amp;" : *text == L'<' ? L"&lt;"
                            : *text == L'>' ? L"&gt;" : nullptr;
        if (*text < L' ' || !(escape ? append(out, escape, wcslen(escape)) : append(out, text, 1)))
            return false;
    }
    return true;
}

// Copies the definition from *from up to the text of the element tag, puts
// the parts in its place and leaves *from at the element's end.
static bool fill_element(text_out &out, const WCHAR **from, const WCHAR *tag,
                         const WCHAR *const parts[])
{
    const WCHAR *start = wcsstr(*from, tag);
    const WCHAR *end = start ? wcsstr(start, L"</") : nullptr;
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

// The definition (UTF-16 with its mark in the resource), as text.
bool load_definition(WCHAR *definition, size_t capacity)
{
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&load_definition), &self);
    HRSRC found = self ? FindResourceW(self, MAKEINTRESOURCEW(task_definition),
                                       MAKEINTRESOURCEW(10))  // RT_RCDATA
                       : nullptr;
    HGLOBAL loaded = found ? LoadResource(self, found) : nullptr;
    const WCHAR *text = loaded ? static_cast<const WCHAR *>(LockResource(loaded)) : nullptr;
    size_t length = text ? SizeofResource(self, found) / sizeof(WCHAR) : 0;
    if (length < 2 || length > capacity || text[0] != 0xFEFF)
        return false;
    wmemcpy(definition, text + 1, length - 1);
    definition[length - 1] = L'\0';
    return true;
}

// The definition pointed at this installation, the server and the log.
bool fill_definition(const WCHAR *definition, const WCHAR *folder, const WCHAR *server,
                     const WCHAR *log, WCHAR *xml, size_t capacity)
{
    const WCHAR *const command[] = {L"\"", folder, L"garvelux.exe\"", nullptr};
    const WCHAR *const arguments[] = {server, L" /L", log, nullptr};
    const WCHAR *from = definition;
    text_out out = {xml, capacity, 0};
    return fill_element(out, &from, L"<Command>", command) &&
           fill_element(out, &from, L"<Arguments>", arguments) &&
           append(out, from, wcslen(from));
}
