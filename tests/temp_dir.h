// Each test runs in an empty folder of its own, with the fake reset.
#pragma once

#include <gtest/gtest.h>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "tests/fake_platform.h"

class in_temp_dir : public ::testing::Test {
protected:
    std::string dir;
    std::string previous;

    void SetUp() override
    {
        char cwd[4096];
        previous = getcwd(cwd, sizeof cwd);
        char name[] = "/tmp/garvelux-test-XXXXXX";
        dir = mkdtemp(name);
        ASSERT_EQ(chdir(dir.c_str()), 0);
        fake_reset();
        fake.current_directory = dir.c_str();
    }

    void TearDown() override
    {
        fake_reset();
        ASSERT_EQ(chdir(previous.c_str()), 0);
        ASSERT_EQ(system(("rm -rf " + dir).c_str()), 0);
    }
};
