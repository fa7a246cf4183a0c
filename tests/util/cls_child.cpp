// A program for the Cls tests: prints "before" (kept in the buffer of the
// engine's standard output, no line end), clears the console, prints
// "after" and a line end.
#include "kez/utility.h"
#include "support/engine_stdio.h"

int main() {
    const auto &s = kez::test::stdio();
    if (s.fputs("before", s.std_out()) < 0) return 101;
    Cls();
    if (s.fputs("after\n", s.std_out()) < 0) return 102;
    return s.fflush(nullptr) == 0 ? 0 : 103;
}
