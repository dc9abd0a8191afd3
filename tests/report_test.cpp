// The date-time report line, built from the server's raw bytes.
#include "sync/sync.h"
#include "tests/temp_dir.h"

namespace {

struct report_case {
    uint8_t date_time[7]; // year since 1900, month, day, hour, minute, second, day of week
    const char *line;
};

const report_case report_cases[] = {
    {{100, 5, 2, 8, 16, 42, 2}, "DateTime: Tue 2.5. 2000, 8:16:42\r\n"},
    {{126, 12, 7, 20, 5, 0, 1}, "DateTime: Mon 7.12. 2026, 20:05:00\r\n"},
    {{126, 12, 9, 0, 0, 9, 3}, "DateTime: Wen 9.12. 2026, 0:00:09\r\n"},
    {{126, 12, 10, 23, 59, 59, 4}, "DateTime: Thu 10.12. 2026, 23:59:59\r\n"},
    {{126, 12, 11, 1, 1, 1, 5}, "DateTime: Fri 11.12. 2026, 1:01:01\r\n"},
    {{126, 12, 12, 1, 1, 1, 6}, "DateTime: Sat 12.12. 2026, 1:01:01\r\n"},
    {{126, 12, 13, 1, 1, 1, 7}, "DateTime: Sun 13.12. 2026, 1:01:01\r\n"},
    // NetWare's Sunday is 0.
    {{126, 12, 13, 1, 1, 1, 0}, "DateTime: Sun 13.12. 2026, 1:01:01\r\n"},
    {{126, 12, 14, 1, 1, 1, 8}, "DateTime:    14.12. 2026, 1:01:01\r\n"},
    {{126, 12, 14, 1, 1, 1, 200}, "DateTime:    14.12. 2026, 1:01:01\r\n"},
    {{0, 1, 1, 0, 0, 0, 1}, "DateTime: Mon 1.1. 1900, 0:00:00\r\n"},
    {{255, 255, 255, 255, 255, 255, 255}, "DateTime:    255.255. 2155, 255:255:255\r\n"},
};

void PrintTo(const report_case &c, std::ostream *out)
{
    *out << std::string(c.line).substr(0, std::string(c.line).size() - 2);
}

class report_line : public in_temp_dir, public ::testing::WithParamInterface<report_case> {};

TEST_P(report_line, prints_the_server_bytes_with_a_day_name)
{
    report_date_time(GetParam().date_time);
    EXPECT_EQ(fake_console, GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(all, report_line, ::testing::ValuesIn(report_cases));

} // namespace
