// The log tap of the engine linked into a test program.
#pragma once

#include <string>

#include "core/test_hooks.h"
#include "os/os.h"
#include "support/log_tap.h"
#include "support/temp_dir.h"

namespace kez::test {

// The tap of the engine linked into this test program, opened on first use
// in a temporary directory of the process (each process of a death test
// opens its own). At exit the tap is closed, so the directory can go even
// where open files cannot be removed.
inline const std::string &linked_engine_tap() {
    struct Tap {
        TempDir dir;
        std::string path = dir.file("kez_linked_engine.log");
        Tap() { KezTest_OpenLogTap(path.c_str()); }
        ~Tap() { KezTest_CloseLogTap(); }
    };
    static const Tap tap;
    return tap.path;
}

}  // namespace kez::test
