// The engine's C library functions looked up one by one (see
// engine_clib.h): KEZ_ENGINE_FN(long(const char *, char **, int), strtol)
// is the engine's strtol, by its host-named export.
#pragma once

#include <string>

#include "support/engine_clib.h"

namespace kez::test {

// The export name of a host C name given at run time.
inline std::string host_export_name(const std::string &name) {
#if defined(_WIN32)
    return name;
#else
    return "kez_" + name;
#endif
}

// div_t, ldiv_t and lldiv_t.
template <class T>
struct EngineDivResult {
    T quot, rem;
};

}  // namespace kez::test

#define KEZ_ENGINE_FN(signature, name) (::kez::test::engine_fn<signature>(KEZ_TEST_HOST_NAME(name)))
