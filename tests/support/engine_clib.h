// The engine's C library functions as a test program reaches them. Its
// header replaces the host's C headers, which a C++ test needs, so tests
// look the functions up by their exported names instead: the plain name on
// Windows, kez_<name> on Linux for names the host C library also has.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "os/os.h"


namespace kez::test {

#if defined(_WIN32)
#define KEZ_TEST_ENGINE_MODULE "kez_dvrt.dll"
#define KEZ_TEST_HOST_NAME(name) #name
#else
#define KEZ_TEST_ENGINE_MODULE "libkez_dvrt.so.0"
#define KEZ_TEST_HOST_NAME(name) "kez_" #name
#endif

// The engine's export `name`; ends the test program when it is missing.
inline void *engine_export(const char *name) {
    static os::Module engine = os::module_if_loaded(KEZ_TEST_ENGINE_MODULE);
    void *fn = engine != nullptr ? os::module_symbol(engine, name) : nullptr;
    if (fn == nullptr) {
        std::fprintf(stderr, "the engine does not export %s\n", name);
        std::abort();
    }
    return fn;
}

// The export `export_name` as a function of type Signature.
template <class Signature>
Signature *engine_fn(const char *export_name) {
    return reinterpret_cast<Signature *>(engine_export(export_name));
}

struct EngineClib {
    int *(*get_errno)();
    char *(*strerror)(int);
    int (*remove)(const char *);
    int (*rename)(const char *, const char *);
    int (*open)(const char *, int, ...);
    int (*sopen)(const char *, int, int, ...);
    int (*read)(int, void *, unsigned int);
    int (*write)(int, const void *, unsigned int);
    int (*close)(int);
    long (*lseek)(int, long, int);
    int (*eof)(int);

    int errno_value() const { return *get_errno(); }
    void set_errno(int value) const { *get_errno() = value; }
};

inline const EngineClib &clib() {
    static const EngineClib c = [] {
        EngineClib e;
        e.get_errno = reinterpret_cast<int *(*)()>(engine_export("_GetErrno"));
        e.strerror = reinterpret_cast<char *(*)(int)>(engine_export(KEZ_TEST_HOST_NAME(strerror)));
        e.remove = reinterpret_cast<int (*)(const char *)>(engine_export(KEZ_TEST_HOST_NAME(remove)));
        e.rename = reinterpret_cast<int (*)(const char *, const char *)>(engine_export(KEZ_TEST_HOST_NAME(rename)));
        e.open = reinterpret_cast<int (*)(const char *, int, ...)>(engine_export(KEZ_TEST_HOST_NAME(open)));
        e.sopen = reinterpret_cast<int (*)(const char *, int, int, ...)>(engine_export("sopen"));
        e.read = reinterpret_cast<int (*)(int, void *, unsigned int)>(engine_export(KEZ_TEST_HOST_NAME(read)));
        e.write = reinterpret_cast<int (*)(int, const void *, unsigned int)>(engine_export(KEZ_TEST_HOST_NAME(write)));
        e.close = reinterpret_cast<int (*)(int)>(engine_export(KEZ_TEST_HOST_NAME(close)));
        e.lseek = reinterpret_cast<long (*)(int, long, int)>(engine_export(KEZ_TEST_HOST_NAME(lseek)));
        e.eof = reinterpret_cast<int (*)(int)>(engine_export("eof"));
        return e;
    }();
    return c;
}

// The engine's open flags and errno values (its C header's constants,
// which differ from the host's of the same names).
namespace clib_const {
constexpr int kO_RDONLY = 0, kO_WRONLY = 1, kO_RDWR = 2, kO_APPEND = 4, kO_CREAT = 8, kO_TRUNC = 16,
              kO_BINARY = 32, kO_TEXT = 64, kO_EXCL = 128, kO_TEMPORARY = 0x100;
constexpr int kSH_DENYRW = 0, kSH_DENYWR = 1, kSH_DENYRD = 2, kSH_DENYNO = 3;
constexpr int kENOENT = 2, kEIO = 5, kEBADF = 9, kENOMEM = 12, kEACCES = 13, kEEXIST = 17, kEINVAL = 22,
              kEMFILE = 24, kENOSPC = 28, kENAMETOOLONG = 35;
}  // namespace clib_const

}  // namespace kez::test
