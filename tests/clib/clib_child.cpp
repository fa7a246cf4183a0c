// A program for the C library's process tests: it sends its standard output
// into a file (freopen) and then ends in the way its first argument names.
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "core/test_hooks.h"
#include "support/engine_stdio.h"

namespace {

using kez::test::engine_export;
using kez::test::stdio;

void count_call(int sig) {
    stdio().fputs(sig == 4 ? "handler 4\n" : "handler ?\n", stdio().std_out());
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) return 100;
    const std::string mode = argv[1];
    const auto &s = stdio();
    if (mode == "no-stdout") {
        // Started with the standard handles refused (a fault point): what
        // the program prints still reaches the debugger's window.
        KezTest_RecordConsole(1);
        if (s.puts("only the copy") < 0 || s.fputs("and errors\n", s.std_err()) < 0 || s.fflush(nullptr) != 0) return 110;
        char text[64];
        KezTest_ConsoleText(text, sizeof text);
        return std::strcmp(text, "and errors\nonly the copy\n") == 0 ? 0 : 111;
    }
    if (s.freopen(argv[2], "w", s.std_out()) == nullptr) return 101;
    using Signal = void (*(*)(int, void (*)(int)))(int);
    auto signal = reinterpret_cast<Signal>(engine_export(KEZ_TEST_HOST_NAME(signal)));
    auto raise = reinterpret_cast<int (*)(int)>(engine_export(KEZ_TEST_HOST_NAME(raise)));
    auto abort = reinterpret_cast<void (*)()>(engine_export(KEZ_TEST_HOST_NAME(abort)));
    auto assert_failed = reinterpret_cast<void (*)(const char *, const char *, const char *, int)>(
        engine_export("_assert_func"));
    s.fputs("pending", s.std_out());  // no line end: stays in the buffer
    if (mode == "return") return 0;
    if (mode == "abort-in-worker") {
        std::thread([&] { abort(); }).join();
        return 102;  // not reached: abort ends the process, not the thread
    }
    if (mode == "raise-default") {
        raise(6);
        return 103;
    }
    if (mode == "raise-handled") {
        // A handler runs once; then the default ends the program.
        signal(4, count_call);
        if (raise(4) != 0 || raise(99) != -1) return 104;
        signal(2, reinterpret_cast<void (*)(int)>(1));  // ignored
        if (raise(2) != 0) return 105;
        raise(4);
        return 106;
    }
    if (mode == "assert") {
        const std::string errors = std::string(argv[2]) + ".err";
        if (s.freopen(errors.c_str(), "w", s.std_err()) == nullptr) return 109;
        assert_failed("x > 0", "child.c", "main", 12);
        return 107;
    }
    if (mode == "exit-code") return std::atoi(argv[3]);
    return 108;
}
