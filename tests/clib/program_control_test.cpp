// abort, raise, failed assertions and system, in child processes: each ends
// the whole process with status 1 and loses no buffered output.
#include <gtest/gtest.h>

#include <string>

#include "os/os.h"
#include "support/engine_clib.h"
#include "support/temp_dir.h"

namespace {

using kez::test::file_bytes;

int run_child(const char *mode, const std::string &out, const char *extra = nullptr) {
    const char *args[] = {mode, out.c_str(), extra, nullptr};
    int code = -1;
    EXPECT_TRUE(kez::os::process_run(KEZ_CLIB_CHILD, args, 60000, &code)) << mode;
    return code;
}


TEST(ProgramControl, EndingsFlushStreamsAndGiveStatusOne) {
    kez::test::TempDir dir;
    const std::string out = dir.file("out.txt");
    struct Case {
        const char *mode;
        int status;
        std::string output;
    };
    const Case cases[] = {
        {"return", 0, "pending"},
        {"abort-in-worker", 1, "pending"},
        {"raise-default", 1, "pending"},
        {"raise-handled", 1, "pendinghandler 4\r\n"},  // a text stream: LF written as CR LF
        {"assert", 1, "pending"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(run_child(c.mode, out), c.status) << c.mode;
        EXPECT_EQ(file_bytes(out), c.output) << c.mode;
    }
    EXPECT_EQ(file_bytes(out + ".err"), "Assertion failed: x > 0, function \"main\", file \"child.c\", line 12\r\n");
}

TEST(ProgramControl, WithoutStandardHandlesOutputReachesTheConsoleCopy) {
    kez::test::TempDir dir;
    kez::os::env_set("KEZ_TEST_FAIL", "os.file_standard:100");
    const int status = run_child("no-stdout", dir.file("unused"));
    kez::os::env_set("KEZ_TEST_FAIL", nullptr);
    EXPECT_EQ(status, 0);
}

TEST(ProgramControl, SystemRunsACommandLineAndGivesItsExitCode) {
    auto system = reinterpret_cast<int (*)(const char *)>(kez::test::engine_export(KEZ_TEST_HOST_NAME(system)));
    EXPECT_EQ(system(nullptr), 1);
    kez::test::TempDir dir;
    const std::string line = std::string("\"") + KEZ_CLIB_CHILD + "\" exit-code \"" + dir.file("o") + "\" 7";
    EXPECT_EQ(system(line.c_str()), 7);
#if defined(_WIN32)
    // The program itself is started: a missing one is a failure to start.
    EXPECT_EQ(system("\"C:\\no\\such\\program.exe\" x"), -1);
#else
    // The shell is started and reports the missing program its own way.
    EXPECT_EQ(system("/no/such/program x"), 127);
#endif
}

}  // namespace
