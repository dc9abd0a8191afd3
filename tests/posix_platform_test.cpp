// The POSIX platform itself. Run only inside a user namespace, where the
// clock cannot be set: a valid time then fails with EPERM.
#include <gtest/gtest.h>
#include <cerrno>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "ncp/ncp.h"
#include "platform/platform.h"

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

} // namespace
