// The one output path and the one ending.
#include "output/output.h"
#include "tests/temp_dir.h"

namespace {

TEST_F(in_temp_dir, without_a_log_a_message_reaches_the_console_only)
{
    emit_message("%s=%d\r\n", "x", 5);
    EXPECT_EQ(fake_console, "x=5\r\n");
    EXPECT_THROW(end_run(7), fake_exit);
    EXPECT_EQ(read_file("garvelux.log"), "");
    EXPECT_EQ(fake_calls, "report_run(7)\nExitProcess(7)\n");
}

TEST_F(in_temp_dir, a_console_that_is_no_console_gets_the_bytes_as_file_data)
{
    fake.console_result = 0;
    log_file = fopen("out.log", "ab");
    emit_message("\nERROR: %s\r\n", "x");
    EXPECT_THROW(end_run(3), fake_exit);
    EXPECT_EQ(fake_console, "");
    EXPECT_EQ(fake_file_output, "\nERROR: x\r\n");
    EXPECT_EQ(read_file("out.log"), "\nERROR: x\r\n");
    EXPECT_EQ(log_file, nullptr);
}

TEST_F(in_temp_dir, a_message_longer_than_the_buffer_is_cut_not_overflowed)
{
    std::string long_text(5000, 'z');
    log_file = fopen("out.log", "ab");
    emit_message("%s", long_text.c_str());
    EXPECT_THROW(end_run(0), fake_exit);
    EXPECT_EQ(fake_console, std::string(sizeof message_text - 1, 'z'));
    EXPECT_EQ(read_file("out.log"), fake_console);
    EXPECT_EQ(fake_report, ""); // nothing is kept before the command line is read
    keeping_run_text = true;
    for (int i = 0; i < 3; i++)
        emit_message("%s", long_text.c_str());
    EXPECT_THROW(end_run(0), fake_exit);
    EXPECT_EQ(fake_report, std::string(sizeof run_text - 1, 'z')); // cut, never overflowed
}

} // namespace
