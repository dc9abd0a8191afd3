// The task's definition as the package's action fills it in, without Windows.
#include <gtest/gtest.h>

#include <string>

#include "installer/task_definition.h"

namespace {

const std::wstring definition =
    L"<Task><Exec><Command>\"X\"</Command><Arguments>FS1 /LY</Arguments></Exec></Task>";

struct definition_case {
    std::wstring definition, folder, server;
    size_t capacity;
    std::wstring xml;  // empty: refused
};

const definition_case cases[] = {
    {definition, L"C:\\P\\", L"FS1", 200,
     L"<Task><Exec><Command>\"C:\\P\\garvelux.exe\"</Command><Arguments>FS1 /LC:\\L\\g.log"
     L"</Arguments></Exec></Task>"},
    {definition, L"C:\\A&B\\", L"<S>", 200,
     L"<Task><Exec><Command>\"C:\\A&amp;B\\garvelux.exe\"</Command><Arguments>&lt;S&gt; "
     L"/LC:\\L\\g.log</Arguments></Exec></Task>"},
    {definition, L"C:\\P\\", L"F\nS", 200, L""},          // no control characters in XML
    {L"<Task><Exec></Exec></Task>", L"C:\\P\\", L"FS1", 200, L""},  // nothing to fill
    {definition, L"C:\\P\\", L"FS1", 103, L""},           // no room for its NUL
    {definition, L"C:\\P\\", L"FS1", 104,
     L"<Task><Exec><Command>\"C:\\P\\garvelux.exe\"</Command><Arguments>FS1 /LC:\\L\\g.log"
     L"</Arguments></Exec></Task>"},
};

TEST(task_definition, filled_escaped_and_bounded)
{
    for (const definition_case &c : cases) {
        std::wstring xml(c.capacity + 1, L'#');  // a guard past the capacity
        bool filled = fill_definition(c.definition.c_str(), c.folder.c_str(), c.server.c_str(),
                                      L"C:\\L\\g.log", &xml[0], c.capacity);
        EXPECT_EQ(filled, !c.xml.empty()) << c.capacity;
        EXPECT_EQ(filled ? std::wstring(xml.c_str()) : L"", c.xml) << c.capacity;
        EXPECT_EQ(xml[c.capacity], L'#');
    }
}

}  // namespace
