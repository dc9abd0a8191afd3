// The command line: which server, which log, and which arguments end the
// run before any server is asked.
#include "cmdline/cmdline.h"
#include "tests/temp_dir.h"

namespace {

const std::string syntax = "\nSyntax: GARVELUX <Server_Name> [/L<LogName>]\r\n";
// The syntax printed alone, with the check's form on Linux.
const std::string usage =
    syntax + "        GARVELUX --check [-w SECONDS] [-c SECONDS] <Server_Name>\r\n";
const std::string no_parameters = "No Parameters\r\n" + syntax + "\r\n";
const std::string not_specified = "Server not specified.\r\n" + syntax + "\r\n";
const std::string cwd_log = "<cwd>/garvelux.log";

struct cmdline_case {
    std::vector<std::string> arguments;
    int exit_code; // -1: the run goes on
    std::string console;
    std::string server;
    std::string log; // <cwd> stands for the current directory
    std::string errors = "";
    DWORD max_step = 0;
};

std::string repeat(char c, size_t n)
{
    return std::string(n, c);
}

// 397 characters that name a file that can really be opened.
std::string dots(size_t n)
{
    std::string path;
    while (path.size() < n)
        path += "./";
    return path;
}
const std::string longest_log = dots(392) + "x.log";
const std::string longest_path = dots(394) + "x.log"; // -l takes the whole value

// A mistake: the reason on standard error, beside the syntax.
std::string refused(const std::string &argument, const std::string &reason)
{
    return argument + ": " + reason + "\r\n" + syntax;
}
const std::string unknown = "unknown option";
const std::string no_value = "needs a value";
const std::string stray = "not an option; a log file is named by -l FILE";
const std::string seconds = "takes whole seconds from 1 to 315360000 (ten years)";
// A check's mistake: its usage, the plugins' way.
std::string unusable(const std::string &argument, const std::string &reason)
{
    return argument + ": " + reason +
           "\nUsage: garvelux --check [-w SECONDS] [-c SECONDS] SERVER\n";
}
const std::string not_seconds = "takes whole seconds from 0 to 315360000 (ten years)";
const std::string bad_name = "not 1 to 127 characters without control characters or |";

const cmdline_case cmdline_cases[] = {
    {{}, 255, no_parameters, "", ""},
    {{"srv1"}, -1, "", "SRV1", cwd_log},
    {{"srv1", "srv2"}, -1, "", "SRV2", cwd_log},
    {{"srv1", ""}, 255, not_specified, "", ""},
    {{"/lrun.log", "srv1"}, -1, "", "SRV1", "run.log"},
    {{"srv1", "/Lrun.log"}, -1, "", "SRV1", "run.log"},
    {{"srv1", "/Lfirst.log", "/Lsecond.log"}, -1, "", "SRV1", "second.log"},
    {{"srv1", "/L"}, -1, "", "SRV1", cwd_log},
    {{"srv1", "/Lrun.log", "/L"}, -1, "", "SRV1", "run.log"},
    {{"srv1", "/L my log.txt"}, -1, "", "SRV1", "my"},
    {{"srv1", "/L\t\r\n\v\f"}, -1, "", "SRV1", cwd_log},
    {{"srv1", "/L" + longest_log}, -1, "", "SRV1", longest_log},
    {{"srv1", "/L" + repeat('x', 398)}, -1, "Log name ignored: too long.\r\n", "SRV1", cwd_log},
    {{"/Lkeep.log", "/L" + repeat('x', 398), "srv1"}, -1, "Log name ignored: too long.\r\n",
     "SRV1", "keep.log"},
    {{"srv1", "/x"}, 255, "", "SRV1", "", refused("/x", stray)},
    {{"srv1", "/?"}, 255, "", "SRV1", "", refused("/?", stray)},
    {{"/", "srv1"}, 255, "", "", "", refused("/", stray)},
    {{"/var/log/x.log"}, 0, usage, "", ""},
    {{"fs1", "/L", "/var/log/x.log"}, 255, "", "FS1", "", refused("/var/log/x.log", stray)},
    {{"-l", "x.log", "srv1"}, -1, "", "SRV1", "x.log"},
    {{"srv1", "-ly.log", "--log", "z.log"}, -1, "", "SRV1", "z.log"},
    {{"--log=my log.txt", "srv1"}, -1, "", "SRV1", "my log.txt"},
    {{"srv1", "--log=" + longest_path}, -1, "", "SRV1", longest_path},
    {{"srv1", "-l", longest_path + "x"}, 255, "", "SRV1", "", refused("-l", "log name too long")},
    {{"srv1", "-l"}, 255, "", "SRV1", "", refused("-l", no_value)},
    {{"srv1", "--log="}, 255, "", "SRV1", "", refused("--log=", no_value)},
    {{"-l", "", "srv1"}, 255, "", "", "", refused("-l", no_value)},
    {{"srv1", "--help=x"}, 255, "", "SRV1", "", refused("--help=x", "takes no value")},
    {{"-hx"}, 255, "", "", "", refused("-hx", unknown)},
    {{"srv1", "-"}, 255, "", "SRV1", "", refused("-", unknown)},
    {{"--", "-srv", "/x", "?"}, -1, "", "?", cwd_log},
    {{"--lo=x", "--", "srv1"}, 255, "", "", "", refused("--lo=x", unknown)},
    {{"srv1", "-x" + repeat('x', 200)}, 255, "", "SRV1", "", refused("-x" + repeat('x', 98), unknown)},
    {{"--max-step=900", "srv1"}, -1, "", "SRV1", cwd_log, "", 900},
    {{"--max-step", "315360000", "srv1"}, -1, "", "SRV1", cwd_log, "", 315360000},
    {{"--max-step=315360001", "srv1"}, 255, "", "", "", refused("--max-step=315360001", seconds)},
    {{"--max-step=4294968196", "srv1"}, 255, "", "", "", refused("--max-step=4294968196", seconds)},
    {{"--max-step=0", "srv1"}, 255, "", "", "", refused("--max-step=0", seconds)},
    {{"--max-step=-60", "srv1"}, 255, "", "", "", refused("--max-step=-60", seconds)},
    {{"--max-step=60s", "srv1"}, 255, "", "", "", refused("--max-step=60s", seconds)},
    {{"?"}, 0, usage, "", ""},
    {{"srv1", "?help", "/Lrun.log"}, 0, usage, "SRV1", ""},
    {{"/L"}, 255, not_specified, "", ""},
    {{"--help"}, 0, usage, "", ""},
    {{"srv1", "-h", "/Lrun.log"}, 0, usage, "SRV1", ""},
    {{"/Lrun.log", "--version", "srv1"}, 0,
     "garvelux 0.10\r\nCopyright (c) 2026 the GARVELUX developers; ISC licence.\r\n", "", "run.log"},
    {{"--Help", "--versions"}, 255, "", "", "", refused("--Help", unknown)},
    {{"srv1", "-L/var/log/x.log"}, 255, "", "SRV1", "", refused("-L/var/log/x.log", unknown)},
    {{"\\srv"}, -1, "", "\\SRV", cwd_log},
    {{"`azZ09_{\xe4\xc4"}, -1, "", "`AZZ09_{\xe4\xc4", cwd_log}, // a to z only
    {{repeat('s', 127)}, -1, "", repeat('S', 127), cwd_log},
    {{repeat('s', 128)}, 255, "Server name ignored: too long.\r\n" + not_specified, "", ""},
    {{"srv1", repeat('s', 128)}, -1, "Server name ignored: too long.\r\n", "SRV1", cwd_log},
    {{"--check", "-c", "300", "-w300", "fs1"}, -1, "", "FS1", ""},
    {{"--check", "--warning=1", "--critical", "315360000", repeat('s', 127)}, -1, "",
     repeat('S', 127), ""},
    {{"--check"}, 3, "", "", "", unusable("--check", "needs a server name")},
    {{"--check", "-w", "1.5", "fs1"}, 3, "", "", "", unusable("-w", not_seconds)},
    {{"--check", "-c", "10", "-w", "11", "fs1"}, 3, "", "FS1", "", unusable("-w", "above -c")},
    {{"--check", "fs1", "fs2"}, 3, "", "FS1", "", unusable("fs2", "a second server name")},
    {{"--check", "fs|1"}, 3, "", "", "", unusable("the server name", bad_name)},
    {{"--check", "fs1\n"}, 3, "", "", "", unusable("the server name", bad_name)},
    {{"--check", repeat('s', 128)}, 3, "", "", "", unusable("the server name", bad_name)},
    {{"--check", "-l", "x.log", "fs1"}, 3, "", "", "", unusable("-l", unknown)},
    {{"fs1", "--check"}, 255, "", "FS1", "", refused("--check", unknown)},
    {{"fs1", "-w", "5"}, 255, "", "FS1", "", refused("-w", unknown)},
};

void PrintTo(const cmdline_case &c, std::ostream *out)
{
    for (const std::string &argument : c.arguments)
        *out << "[" << argument.substr(0, 12) << "]";
}

class cmdline : public in_temp_dir, public ::testing::WithParamInterface<cmdline_case> {};

TEST_P(cmdline, finds_server_and_log_or_ends)
{
    const cmdline_case &c = GetParam();
    EXPECT_EQ(run_parse(c.arguments), c.exit_code);
    EXPECT_EQ(fake_console, c.console);
    EXPECT_EQ(std::string(server_name), c.server);
    std::string log = c.log;
    if (log.rfind("<cwd>", 0) == 0)
        log = dir + log.substr(5);
    EXPECT_EQ(std::string(log_name), log);
    EXPECT_EQ(fake_errors, c.errors);
    EXPECT_EQ(max_step, c.max_step);
    // The endings come before the log is opened: nothing is created.
    if (c.exit_code >= 0) {
        EXPECT_EQ(fake_calls.find("open_shared_append"), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(all, cmdline, ::testing::ValuesIn(cmdline_cases));

struct directory_case {
    const char *directory; // nullptr: the call fails
    std::string log;
};

const std::string dir386 = "/" + repeat('d', 385);
const std::string dir387 = "/" + repeat('d', 386);

const directory_case directory_cases[] = {
    {"/", "//garvelux.log"},
    {nullptr, "garvelux.log"},
    {"", "garvelux.log"},
    {dir386.c_str(), dir386 + "/garvelux.log"},
    {dir387.c_str(), "garvelux.log"},
    {"/" "x" "/", "/x//garvelux.log"},
};

void PrintTo(const directory_case &c, std::ostream *out)
{
    *out << (c.directory ? std::string(c.directory).substr(0, 12) : "(fails)");
}

class default_log : public in_temp_dir, public ::testing::WithParamInterface<directory_case> {};

TEST_P(default_log, joins_directory_and_file_name_or_falls_back)
{
    fake.current_directory = GetParam().directory;
    fake.log_open_fails = true;
    EXPECT_EQ(run_parse({"srv1"}), -1);
    EXPECT_EQ(std::string(log_name), GetParam().log);
    EXPECT_EQ(fake_console, "Unable to open log file " + GetParam().log + "\r\n");
}

INSTANTIATE_TEST_SUITE_P(all, default_log, ::testing::ValuesIn(directory_cases));

TEST_F(in_temp_dir, no_arguments_prints_banner_then_syntax_and_exits_255)
{
    EXPECT_EQ(run_garvelux({}), 255u);
    EXPECT_EQ(fake_console, banner + no_parameters);
    EXPECT_EQ(fake_calls, "AllocConsole\nGetStdHandle(-11)\nExitProcess(255)\n");
}

TEST_F(in_temp_dir, syntax_request_asks_no_server_and_writes_no_log)
{
    EXPECT_EQ(run_garvelux({"srv1", "/Lsync.log", "?"}), 0u);
    EXPECT_EQ(fake_console, banner + usage);
    EXPECT_EQ(fake_calls, "AllocConsole\nGetStdHandle(-11)\nExitProcess(0)\n");
    EXPECT_EQ(access("sync.log", F_OK), -1);
}

} // namespace
