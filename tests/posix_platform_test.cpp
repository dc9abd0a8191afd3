// The POSIX platform itself, and the readers of the protocols' replies.
// Run only inside a user namespace, where the clock cannot be set: a valid
// time then fails with EPERM.
#include <gtest/gtest.h>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ncp/ncp.h"
#include "platform/platform.h"
#include "slp/slp.h"
#include "tests/slp_messages.h"

namespace {

struct clock_case {
    SYSTEMTIME time;
    DWORD error;
};

const clock_case clock_cases[] = {
    {{2000, 5, 2, 2, 8, 16, 42, 2}, EPERM},
    {{2024, 2, 0, 29, 0, 0, 0, 0}, EPERM},   // leap day
    {{2000, 2, 0, 29, 0, 0, 0, 0}, EPERM},   // divisible by 400
    {{1900, 2, 0, 29, 0, 0, 0, 0}, EINVAL},  // divisible by 100 only
    {{2100, 2, 0, 29, 0, 0, 0, 0}, EINVAL},  // the same, where the kernel would take it
    {{2023, 2, 0, 29, 0, 0, 0, 0}, EINVAL},
    {{2026, 4, 0, 31, 0, 0, 0, 0}, EINVAL},
    {{2026, 11, 0, 31, 0, 0, 0, 0}, EINVAL},
    {{2026, 12, 0, 31, 0, 0, 0, 0}, EPERM},
    {{2026, 13, 0, 1, 0, 0, 0, 0}, EINVAL},  // never rolls into the next year
    {{2026, 0, 0, 1, 0, 0, 0, 0}, EINVAL},
    {{2026, 1, 0, 0, 0, 0, 0, 0}, EINVAL},
    {{2026, 1, 0, 1, 24, 0, 0, 0}, EINVAL},
    {{2026, 1, 0, 1, 0, 60, 0, 0}, EINVAL},
    {{2026, 1, 0, 1, 0, 0, 60, 0}, EINVAL},
    {{2026, 1, 0, 1, 0, 0, 0, 1000}, EINVAL},
    {{1600, 12, 0, 31, 0, 0, 0, 0}, EINVAL},
    {{30828, 1, 0, 1, 0, 0, 0, 0}, EINVAL},
    {{2026, 1, 200, 1, 23, 59, 59, 999}, EPERM}, // day of week is not checked
    {{1900, 1, 0, 1, 0, 0, 0, 0}, EINVAL}, // converted; the kernel refuses times before 1970
};

class set_local_time : public ::testing::TestWithParam<clock_case> {};

TEST_P(set_local_time, refuses_what_windows_refuses_and_reports_errno)
{
    EXPECT_EQ(SetLocalTime(&GetParam().time), 0);
    EXPECT_EQ(GetLastError(), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(all, set_local_time, ::testing::ValuesIn(clock_cases));

TEST(current_directory, fits_or_stays_empty)
{
    char cwd[400] = "x";
    ASSERT_EQ(chdir("/tmp"), 0);
    EXPECT_EQ(GetCurrentDirectoryA(sizeof cwd, cwd), 4u);
    EXPECT_STREQ(cwd, "/tmp");
    EXPECT_EQ(GetCurrentDirectoryA(4, cwd), 0u);
    EXPECT_STREQ(cwd, "");
}

TEST(console, is_no_console_when_redirected_and_then_written_as_a_file)
{
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    AllocConsole();
    HANDLE out = (HANDLE)(intptr_t)pipe_ends[1];
    DWORD written = 99;
    EXPECT_EQ(WriteConsoleA(out, "abc", 3, &written, nullptr), 0);
    EXPECT_EQ(WriteFile(out, "abc", 3, &written, nullptr), 1);
    EXPECT_EQ(written, 3u);
    char got[4] = {};
    EXPECT_EQ(read(pipe_ends[0], got, sizeof got), 3);
    EXPECT_STREQ(got, "abc");
    close(pipe_ends[0]);
    EXPECT_EQ(WriteFile(out, "abc", 3, &written, nullptr), 0); // no reader: EPIPE, no signal
    close(pipe_ends[1]);
}

// Log paths as another account prepares them in a folder it may write,
// before a root run comes: only a regular file of its own is taken, at
// once, and victim, a file that account may not write, stays as it was.
struct log_case {
    const char *prepare, *path; // shell commands in that folder; the log
    bool reader;                // a FIFO is read meanwhile
    const char *refusal;        // the reason given; nullptr: opened
};

const char *const link = "a symbolic link, which is never followed";
const char *const not_own = "not a file of its own (a FIFO, socket, device or hard link)";

const log_case log_cases[] = {
    {"", "garvelux.log", false, nullptr},
    {"mkdir real && ln -s real linked", "linked/garvelux.log", false, nullptr},
    {"ln -s victim garvelux.log", "garvelux.log", false, link},
    {"rm victim && ln -s victim garvelux.log", "garvelux.log", false, link},
    {"ln victim garvelux.log", "garvelux.log", false, not_own},
    {"mkfifo garvelux.log", "garvelux.log", false, not_own},
    {"mkfifo garvelux.log", "garvelux.log", true, not_own},
    {"python3 -c 'import socket; socket.socket(socket.AF_UNIX).bind(\"garvelux.log\")'",
     "garvelux.log", false, not_own},
    {"", "/dev/null", false, not_own},
    {"", "missing/garvelux.log", false, "No such file or directory"},
};

void PrintTo(const log_case &c, std::ostream *out)
{
    *out << c.path << " after " << c.prepare << (c.reader ? ", read" : "");
}

class open_log : public ::testing::TestWithParam<log_case> {};

TEST_P(open_log, takes_only_a_regular_file_of_its_own_at_once)
{
    const log_case &c = GetParam();
    char folder[] = "/tmp/garvelux-log-XXXXXX";
    ASSERT_TRUE(mkdtemp(folder) && chdir(folder) == 0);
    umask(022);
    ASSERT_EQ(system((std::string("printf secret >victim; ") + c.prepare).c_str()), 0);
    int reader = c.reader ? open(c.path, O_RDONLY | O_NONBLOCK) : -1;
    alarm(5); // a wait for a FIFO's reader ends the test
    FILE *log = open_shared_append(c.path);
    alarm(0);
    ASSERT_EQ(log != nullptr, c.refusal == nullptr);
    if (!log) {
        EXPECT_STREQ(open_failure_reason(), c.refusal);
    }
    std::string check = "{ ! test -e victim || test \"$(cat victim)\" = secret; }";
    struct stat status = {};
    if (log) {
        EXPECT_TRUE(fputs("run", log) >= 0 && fstat(fileno(log), &status) == 0 &&
                    (status.st_mode & 0777) == 0644 && fclose(log) == 0);
        check += std::string(" && test \"$(cat ") + c.path + ")\" = run";
    }
    EXPECT_EQ(system(check.c_str()), 0);
    close(reader);
    ASSERT_EQ(system((std::string("rm -rf ") + folder).c_str()), 0);
}

INSTANTIATE_TEST_SUITE_P(all, open_log, ::testing::ValuesIn(log_cases));

// Replies to a query with sequence 1 on connection 0x0203, fed to the
// reader in pieces of the given size.
struct reply_case {
    const char *name;
    std::string bytes;
    size_t piece;
    uint32_t result;
};

std::string frame(const std::string &ncp, uint32_t length_flags = 0, const std::string &sig = "")
{
    uint32_t length = (uint32_t)(8 + sig.size() + ncp.size()) | length_flags;
    std::string f = "tNcP";
    for (int shift = 24; shift >= 0; shift -= 8)
        f += (char)(length >> shift);
    return f + sig + ncp;
}

const std::string date("\x7e\x0c\x07\x14\x05\x00\x01", 7);
const std::string ok_header("\x33\x33\x01\x03\x01\x02\x00\x00", 8);
const std::string busy_header("\x99\x99\x01\x03\x01\x02\x00\x00", 8);

const reply_case reply_cases[] = {
    {"whole", frame(ok_header + date), 100, 0},
    {"byte by byte", frame(ok_header + date), 1, 0},
    {"signed", frame(ok_header + date, 0x80000000, "12345678"), 3, 0},
    {"after acks", frame(busy_header) + frame(busy_header) + frame(ok_header + date), 5, 0},
    {"extra data", frame(ok_header + date + "more"), 7, 0},
    {"completion code", frame(std::string("\x33\x33\x01\x03\x01\x02\x96\x00", 8)), 4, 0x8996},
    {"status bad", frame(std::string("\x33\x33\x01\x03\x01\x02\x00\x01", 8) + date), 4, 0x8801},
    {"status broadcast", frame(std::string("\x33\x33\x01\x03\x01\x02\x00\x40", 8) + date), 4, 0},
    {"empty", "", 1, ncp_receive_error},
    {"header only", frame(ok_header + date).substr(0, 8), 1, ncp_receive_error},
    {"cut", frame(ok_header + date).substr(0, 22), 2, ncp_receive_error},
    {"no date", frame(ok_header + date.substr(0, 6)), 2, ncp_unknown_network_error},
    {"signature", "XNcP" + frame(ok_header + date).substr(4), 2, ncp_unknown_network_error},
    {"huge length", frame(ok_header + date, 0x7FFFFF00), 50, ncp_unknown_network_error},
    {"tiny length", frame(ok_header + date).replace(7, 1, "\x0f"), 50, ncp_unknown_network_error},
    {"signed too short", frame(ok_header, 0x80000000, ""), 50, ncp_unknown_network_error},
    {"sequence", frame(std::string("\x33\x33\x02\x03\x01\x02\x00\x00", 8) + date), 50,
     ncp_unknown_network_error},
    {"connection", frame(std::string("\x33\x33\x01\x03\x01\x03\x00\x00", 8) + date), 50,
     ncp_unknown_network_error},
    {"type", frame(std::string("\x22\x22\x01\x03\x01\x02\x00\x00", 8) + date), 50,
     ncp_unknown_network_error},
    {"ack of another", frame(std::string("\x99\x99\x00\x03\x01\x02\x00\x00", 8)), 50,
     ncp_unknown_network_error},
};

void PrintTo(const reply_case &c, std::ostream *out)
{
    *out << c.name;
}

class read_reply : public ::testing::TestWithParam<reply_case> {};

TEST_P(read_reply, accepts_only_the_matching_reply)
{
    const reply_case &c = GetParam();
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    for (size_t at = 0; at < c.bytes.size(); at += c.piece)
        ASSERT_GT(send(ends[0], c.bytes.data() + at, std::min(c.piece, c.bytes.size() - at), 0), 0);
    if (c.result == 0)
        send(ends[0], "trailing", 8, 0); // never consumed by a complete reply
    shutdown(ends[0], SHUT_WR);
    uint8_t data[7] = {};
    uint16_t connection = 0x0203;
    EXPECT_EQ(ncp_read_reply(ends[1], 1, &connection, false, data, sizeof data, net_now() + 2000),
              c.result);
    if (c.result == 0) {
        EXPECT_EQ(std::string((char *)data, 7), date.substr(0, 7));
        char rest[9] = {};
        EXPECT_EQ(recv(ends[1], rest, 8, 0), 8);
        EXPECT_STREQ(rest, "trailing");
    }
    close(ends[0]);
    close(ends[1]);
}

INSTANTIATE_TEST_SUITE_P(all, read_reply, ::testing::ValuesIn(reply_cases));

// SLP replies asked for server FS1: the URL found, or the addresses listed
// (dotted, blank-separated); empty when the reply yields nothing.
struct slp_case {
    const char *name;
    std::string reply;
    std::string found; // "agent" for an advertisement that serves us
};

const std::string fs1 = "service:bindery.novell:///fs1";
const std::string authenticated =
    entry("service:bindery.novell:///FS2", std::string("\x01\x00\x02\x00\x0a", 5) + "123456");

const slp_case slp_cases[] = {
    {"url in another case", urls(entry(fs1)), fs1},
    {"after an authenticated url", urls(authenticated + entry(fs1), 2), fs1},
    {"with a host part", urls(entry("SERVICE:BINDERY.NOVELL://10.0.0.1/FS1")),
     "SERVICE:BINDERY.NOVELL://10.0.0.1/FS1"},
    {"longer name", urls(entry(fs1 + "0")), ""},
    {"shorter name", urls(entry("service:bindery.novell:///fs")), ""},
    {"another type", urls(entry("service:ndap.novell:///FS1")), ""},
    {"no path", urls(entry("service:bindery.novell://FS1")), ""},
    {"error code", urls(entry(fs1), 1, 2), ""},
    {"another xid", slp(2, std::string("\0\0\0\1", 4) + entry(fs1), 0x1235), ""},
    {"another function", slp(7, std::string("\0\0\0\1", 4) + entry(fs1)), ""},
    {"more urls than sent", urls(entry(fs1).substr(0, 5), 1), ""},
    {"length beyond the url", urls(entry(fs1).substr(0, 20), 1), ""},
    {"authentication block too short",
     urls(entry(fs1, std::string("\x01\x00\x02\x00\x03", 5))), ""},
    {"authentication block beyond the end",
     urls(entry(fs1, std::string("\x01\x00\x02\x01\x00", 5))), ""},
    {"length field not the size", urls(entry(fs1)) + "x", ""},
    {"language tag beyond the end", urls("").substr(0, 13), ""},
    {"tcp and udp of one address",
     attributes("(svcaddr-ws=2-1-6-7F000002020C,2-2-17-7f000002020c)"), "127.0.0.2"},
    {"among other attributes, ipx skipped",
     attributes("(svcname-ws=FS1),keyword,(SVCADDR-WS=1000-1-0-0000000A000000000001,"
                "2-1-6-C0A80A05020C,2-1-6-0A000001020C)"),
     "192.168.10.5 10.0.0.1"},
    {"malformed values",
     attributes("(svcaddr-ws=2-1-6-0A00000G020C,2-1-6-0A000001020,\\32-1-6-0A000001020C,"
                "2-1-17-0A000001020C,,2-1-6-00000000020C)"),
     ""},
    {"a tag without a value", attributes("(svcaddr-ws),(svcaddr-ws"), ""},
    {"attribute error code", attributes("(svcaddr-ws=2-1-6-0A000001020C)", 4), ""},
    {"udp values alone", attributes("(svcaddr-ws=2-2-17-0A000001020C)"), "10.0.0.1"},
    {"zero, multicast, reserved and broadcast addresses",
     attributes("(svcaddr-ws=2-1-6-00000001020C,2-1-6-E0000001020C,2-1-6-F0000001020C,"
                "2-1-6-FFFFFFFF020C,2-1-6-0A000002020C)"),
     "10.0.0.2"},
    {"an optional extension", extended(urls(entry(fs1)), 0x0002), fs1},
    {"a mandatory extension", extended(urls(entry(fs1)), 0x4001), ""},
    {"overflowed, the server among the whole entries",
     overflowed(entry(fs1) + entry(fs1 + "0") + entry(fs1 + "1"), 60), fs1},
    {"overflowed, the server in the cut entry",
     overflowed(entry(fs1 + "0") + entry(fs1) + entry(fs1 + "1"), 70), ""},
    {"overflowed, an extension past the cut",
     extension_past_cut(overflowed(entry(fs1) + entry(fs1 + "0") + entry(fs1 + "1"), 60)), fs1},
    {"an agent serving a scope of ours", advert(up, "SITE1, bldg 32"), "agent"},
    {"an agent's advert with an optional extension", extended(advert(up, "DEFAULT"), 2), "agent"},
    {"an agent going down", advert(std::string(4, '\0'), "DEFAULT"), ""},
    {"an agent serving other scopes", advert(up, "BLDG32,SITE1"), ""},
};

void PrintTo(const slp_case &c, std::ostream *out)
{
    *out << c.name;
}

class read_slp_reply : public ::testing::TestWithParam<slp_case> {};

TEST_P(read_slp_reply, yields_only_what_a_whole_matching_reply_holds)
{
    const slp_case &c = GetParam();
    // A copy of exactly the reply's size, so that ASan sees any read past it.
    std::vector<uint8_t> reply(c.reply.begin(), c.reply.end());
    char url[64] = "";
    uint32_t addresses[4];
    std::string found;
    if (slp_read_service_reply(reply.data(), reply.size(), 0x1234, "FS1", url, sizeof url))
        found = url;
    if (slp_read_agent_advert(reply.data(), reply.size(), 0x1234, "BLDG 32,DEFAULT"))
        found = "agent";
    int count = slp_read_attribute_reply(reply.data(), reply.size(), 0x1234, addresses, 4);
    for (int i = 0; i < count; i++)
        found += (i ? " " : "") + std::to_string(addresses[i] >> 24) + "." +
                 std::to_string(addresses[i] >> 16 & 0xFF) + "." +
                 std::to_string(addresses[i] >> 8 & 0xFF) + "." +
                 std::to_string(addresses[i] & 0xFF);
    EXPECT_EQ(found, c.found);
    bool overflow = false;
    if (slp_reply_status(reply.data(), reply.size(), reply[1], 0x1234, &overflow) >= 0) {
        EXPECT_EQ(overflow, (reply[5] & 0x80) != 0);
    }
}

INSTANTIATE_TEST_SUITE_P(all, read_slp_reply, ::testing::ValuesIn(slp_cases));

// OpenSLP's file as a run reads it: the agents as written, and whether the
// settings fail closed. A content that begins with / is the path read
// instead.
struct config_case {
    const char *name;
    std::string content, agents;
    bool unreadable;
};

const std::string agents_line = "net.slp.DAAddresses = " + std::string(600, '1') + "\n",
                  long_line = "net.slp.DAAddresses = " + std::string(1100, '1') + "\n",
                  late_key = std::string(1020, ' ') + "net.slp.DAAddresses = 10.0.0.5\n";

const config_case config_cases[] = {
    {"missing", "/nonexistent/slp.conf", "", false},
    {"agents", "# agents\nnet.slp.DAAddresses = 10.0.0.5, da2\n", " 10.0.0.5, da2\n", false},
    {"agents longer than their room", agents_line, "", true},
    {"agents longer than a line's room", long_line, "", true},
    {"the key past a line's room", late_key, "", true},
    {"a folder", "/", "", true},
    {"a device", "/dev/zero", "", true},
    {"a commented key", ";net.slp.DAAddresses = da1\n # net.slp.daaddresses = da2\n", "", false},
    {"the key in another case", "net.slp.daaddresses = 10.0.0.5\n", "", true},
    {"a byte-order mark", "\xEF\xBB\xBFnet.slp.DAAddresses = 10.0.0.5\n", "", true},
    {"another separator", "net.slp.DAAddresses : 10.0.0.5\n", "", true},
    {"a NUL byte", std::string("#\0\nnet.slp.DAAddresses = 10.0.0.5\n", 34), "", true},
};

void PrintTo(const config_case &c, std::ostream *out)
{
    *out << c.name;
}

class read_slp_config : public ::testing::TestWithParam<config_case> {};

TEST_P(read_slp_config, fails_closed_when_agents_cannot_be_read)
{
    const config_case &c = GetParam();
    char path[] = "/tmp/garvelux-slp-XXXXXX";
    int file = mkstemp(path);
    ASSERT_GE(file, 0);
    EXPECT_EQ(write(file, c.content.data(), c.content.size()), (ssize_t)c.content.size());
    close(file);
    slp_settings settings;
    slp_read_config(c.content[0] == '/' ? c.content.c_str() : path, &settings);
    unlink(path);
    EXPECT_EQ(std::make_pair(std::string(settings.agents), settings.unreadable),
              std::make_pair(c.agents, c.unreadable));
}

INSTANTIATE_TEST_SUITE_P(all, read_slp_config, ::testing::ValuesIn(config_cases));

} // namespace
