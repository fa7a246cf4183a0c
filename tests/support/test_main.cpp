// Test entry point shared by the engine's test programs. Death tests re-run
// the program for each case ("threadsafe" style): the engine has threads of
// its own and a fork of a threaded process is not safe.
#include <gtest/gtest.h>

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    return RUN_ALL_TESTS();
}
