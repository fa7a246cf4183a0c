// The engine's stream functions as a test program reaches them (see
// engine_clib.h): FILE pointers are opaque here.
#pragma once

#include <cstddef>
#include <type_traits>

#include "support/engine_clib.h"

namespace kez::test {

using EngineFile = void;

struct EngineStdio {
    EngineFile **(*files)();
    EngineFile *(*fopen)(const char *, const char *);
    EngineFile *(*freopen)(const char *, const char *, EngineFile *);
    EngineFile *(*fdopen)(int, const char *);
    int (*fclose)(EngineFile *);
    int (*fflush)(EngineFile *);
    std::size_t (*fread)(void *, std::size_t, std::size_t, EngineFile *);
    std::size_t (*fwrite)(const void *, std::size_t, std::size_t, EngineFile *);
    int (*fgetc)(EngineFile *);
    char *(*fgets)(char *, int, EngineFile *);
    int (*fputc)(int, EngineFile *);
    int (*fputs)(const char *, EngineFile *);
    int (*puts)(const char *);
    int (*ungetc)(int, EngineFile *);
    int (*fseek)(EngineFile *, long, int);
    long (*ftell)(EngineFile *);
    int (*fgetpos)(EngineFile *, long long *);
    int (*fsetpos)(EngineFile *, const long long *);
    void (*rewind)(EngineFile *);
    void (*clearerr)(EngineFile *);
    int (*feof)(EngineFile *);
    int (*ferror)(EngineFile *);
    int (*setvbuf)(EngineFile *, char *, int, std::size_t);
    EngineFile *(*tmpfile)();
    char *(*tmpnam)(char *);
    void (*perror)(const char *);

    EngineFile *std_in() const { return files()[0]; }
    EngineFile *std_out() const { return files()[1]; }
    EngineFile *std_err() const { return files()[2]; }
};

template <class F>
inline void bind(F &slot, const char *name) {
    slot = engine_fn<std::remove_pointer_t<F>>(name);
}

inline const EngineStdio &stdio() {
    static const EngineStdio s = [] {
        EngineStdio e;
        bind(e.files, "_GetFilesArray");
        bind(e.fopen, KEZ_TEST_HOST_NAME(fopen));
        bind(e.freopen, KEZ_TEST_HOST_NAME(freopen));
        bind(e.fdopen, KEZ_TEST_HOST_NAME(fdopen));
        bind(e.fclose, KEZ_TEST_HOST_NAME(fclose));
        bind(e.fflush, KEZ_TEST_HOST_NAME(fflush));
        bind(e.fread, KEZ_TEST_HOST_NAME(fread));
        bind(e.fwrite, KEZ_TEST_HOST_NAME(fwrite));
        bind(e.fgetc, KEZ_TEST_HOST_NAME(fgetc));
        bind(e.fgets, KEZ_TEST_HOST_NAME(fgets));
        bind(e.fputc, KEZ_TEST_HOST_NAME(fputc));
        bind(e.fputs, KEZ_TEST_HOST_NAME(fputs));
        bind(e.puts, KEZ_TEST_HOST_NAME(puts));
        bind(e.ungetc, KEZ_TEST_HOST_NAME(ungetc));
        bind(e.fseek, KEZ_TEST_HOST_NAME(fseek));
        bind(e.ftell, KEZ_TEST_HOST_NAME(ftell));
        bind(e.fgetpos, KEZ_TEST_HOST_NAME(fgetpos));
        bind(e.fsetpos, KEZ_TEST_HOST_NAME(fsetpos));
        bind(e.rewind, KEZ_TEST_HOST_NAME(rewind));
        bind(e.clearerr, KEZ_TEST_HOST_NAME(clearerr));
        bind(e.feof, KEZ_TEST_HOST_NAME(feof));
        bind(e.ferror, KEZ_TEST_HOST_NAME(ferror));
        bind(e.setvbuf, KEZ_TEST_HOST_NAME(setvbuf));
        bind(e.tmpfile, KEZ_TEST_HOST_NAME(tmpfile));
        bind(e.tmpnam, KEZ_TEST_HOST_NAME(tmpnam));
        bind(e.perror, KEZ_TEST_HOST_NAME(perror));
        return e;
    }();
    return s;
}

}  // namespace kez::test
