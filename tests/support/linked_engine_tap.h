// The log tap of the engine linked into a test program.
#pragma once

#include <string>

#include "core/test_hooks.h"
#include "support/log_tap.h"

namespace kez::test {

// The tap of the engine linked into this test program, opened on first use
// (each process of a death test opens its own).
inline const std::string &linked_engine_tap() {
    static const std::string path = [] {
        std::string p = "kez_linked_engine.log";
        KezTest_OpenLogTap(p.c_str());
        return p;
    }();
    return path;
}

}  // namespace kez::test
