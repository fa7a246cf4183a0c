// The log tap of the engine linked into a test program.
#pragma once

#include <string>

#include "core/test_hooks.h"
#include "os/os.h"
#include "support/log_tap.h"

namespace kez::test {

// The tap of the engine linked into this test program, opened on first use
// (each process of a death test opens its own). The process id keeps apart
// the taps of test programs that ctest runs side by side in one directory.
inline const std::string &linked_engine_tap() {
    static const std::string path = [] {
        std::string p = "kez_linked_engine_" + std::to_string(kez::os::current_process_id()) + ".log";
        KezTest_OpenLogTap(p.c_str());
        return p;
    }();
    return path;
}

}  // namespace kez::test
