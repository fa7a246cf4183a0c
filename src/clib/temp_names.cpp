// Names of temporary files.
#include <cstdio>
#include <cstring>
#include <mutex>

#include "clib/clib_library.h"
#include "clib/stream.h"
#include "os/file.h"
#include "os/os.h"

namespace kez::clib {
namespace {

std::mutex g_lock;
char g_directory[kTempNameSize];  // with its separator; guarded by g_lock
bool g_have_directory = false;
unsigned g_engine_number = 0;
unsigned g_counter = 0;  // the next of 000-999 to try

bool find_directory() {
    char dir[kTempNameSize] = "";
    if (!os::env_get("TEMP", dir, sizeof dir) && !os::env_get("TMP", dir, sizeof dir) &&
        !os::env_get("TMPDIR", dir, sizeof dir) && !os::temp_directory(dir, sizeof dir))
        return false;
    std::size_t n = std::strlen(dir);
    if (n == 0) return false;
    const bool has_separator = dir[n - 1] == '/' || dir[n - 1] == '\\';
    const char separator = std::strchr(dir, '\\') != nullptr && std::strchr(dir, '/') == nullptr ? '\\' : '/';
    if (!has_separator) {
        if (n + 1 >= sizeof dir) return false;
        dir[n++] = separator;
        dir[n] = '\0';
    }
    std::memcpy(g_directory, dir, n + 1);
    // Apart from other engines in this process and earlier ones with the
    // same process id.
    g_engine_number = static_cast<unsigned>(os::perf_counter() ^ (os::perf_counter() >> 32)) & 0xFFFFFFu;
    return true;
}

}  // namespace

bool next_temp_name(char *buffer, std::size_t size) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (!g_have_directory) g_have_directory = find_directory();
    if (!g_have_directory) {
        set_errno(kENOENT);
        return false;
    }
    // The counter wraps; only when all 1000 names exist is there none.
    for (int tried = 0; tried < 1000; ++tried) {
        const unsigned n = g_counter;
        g_counter = (g_counter + 1) % 1000;
        const int length = std::snprintf(buffer, size, "%s%u_%x%03u", g_directory, os::current_process_id(),
                                         g_engine_number, n);
        if (length < 0 || static_cast<std::size_t>(length) >= size || static_cast<std::size_t>(length) > os::kMaxFileName) {
            set_errno(kENAMETOOLONG);
            return false;
        }
        std::int64_t ignored = 0;
        if (os::file_size_of_name(buffer, &ignored) == os::kFileNotFound) return true;
    }
    set_errno(kEEXIST);
    return false;
}

}  // namespace kez::clib
