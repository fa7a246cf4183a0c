// Test support, built into the tests' platform library (kez_test_os) and
// never into the engine: lets a test hold many sockets at once.
#pragma once

namespace kez::os {

// Raises the process's limit of open descriptors toward `wanted` (POSIX:
// the soft limit, up to the hard one). The limit now in force; Windows has
// no such limit and answers `wanted`.
unsigned raise_descriptor_limit(unsigned wanted);

}  // namespace kez::os
