// The task's definition pointed at this installation, the server and the
// log: the text of <Command> and <Arguments> replaced, XML-escaped, into
// xml. False for what XML cannot hold (control characters), a definition
// without those elements, or what does not fit in capacity characters.
#pragma once

#include <cstddef>

bool fill_definition(const wchar_t *definition, const wchar_t *folder, const wchar_t *server,
                     const wchar_t *log, wchar_t *xml, size_t capacity);
