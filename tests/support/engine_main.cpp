// Entry point of unit-test programs that link the engine's internals
// statically: they run the engine's start-up chain and clean-up around the
// tests, as the shared library's load and unload would.
#include <gtest/gtest.h>

#include <cstdio>

#include "os/os.h"

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    if (!kez::core::on_process_attach(kez::os::module_main())) {
        std::fprintf(stderr, "the engine's start-up chain failed\n");
        return 1;
    }
    const int result = RUN_ALL_TESTS();
    kez::core::on_process_detach();
    return result;
}
