// The C library's POSIX-style handles over the file table, and remove and
// rename. Errors set errno and give -1.
#include <cstdarg>
#include <climits>
#include <cstdio>
#include <cstring>

#include "clib/clib_exports.h"
#include "clib/clib_library.h"
#include "debug/resource_tracking.h"
#include "fmtio/file_table.h"

namespace clib = kez::clib;
namespace fmtio = kez::fmtio;
namespace os = kez::os;

namespace {


int fail_errno(int value) {
    clib::set_errno(value);
    return -1;
}

int fail_file(int file_error) { return fail_errno(clib::errno_of_file_error(file_error)); }

}  // namespace

int kez::clib::open_handle(const char *path, int oflag, int share_mode, int pmode, bool track) {
    if (path == nullptr || std::strlen(path) > os::kMaxFileName) return fail_errno(clib::kEINVAL);
    const int access = oflag & clib::kAccessMask;
    // Truncating needs write access; refused here, before any system
    // could empty a file opened for reading.
    if (access == 3 || (access == 0 && (oflag & clib::kTruncate) != 0)) return fail_errno(clib::kEINVAL);
    unsigned flags = 0;
    unsigned entry = 0;
    if (access != clib::kWriteOnly) {
        flags |= os::kOpenRead;
        entry |= fmtio::kEntryRead;
    }
    if (access != 0) {
        flags |= os::kOpenWrite;
        entry |= fmtio::kEntryWrite;
    }
    if ((oflag & clib::kAppend) != 0) entry |= fmtio::kEntryAppend;
    if ((oflag & clib::kCreate) != 0) {
        flags |= os::kOpenCreate;
        if ((oflag & clib::kExclusive) != 0) flags |= os::kOpenExclusive;
        else if ((pmode & 0222) == 0) flags |= os::kOpenReadOnlyFile;
    }
    if ((oflag & clib::kTruncate) != 0) flags |= os::kOpenTruncate;
    if ((oflag & clib::kTemporary) != 0) flags |= os::kOpenDeleteOnClose;
    if ((oflag & clib::kRandom) != 0) flags |= os::kOpenRandomAccess;
    if ((oflag & clib::kSequential) != 0) flags |= os::kOpenSequential;
    // Text only when asked for without binary; otherwise binary.
    if ((oflag & (clib::kText | clib::kBinary)) == clib::kText) entry |= fmtio::kEntryText;
    unsigned share = 0;
    switch (share_mode) {
    case 0: break;
    case 1: share = os::kShareRead; break;
    case 2: share = os::kShareWrite; break;
    case 3: case 4: share = os::kShareRead | os::kShareWrite; break;
    default: return fail_errno(clib::kEINVAL);
    }
    int handle = -1;
    if (const int error = fmtio::open_file(path, flags, share, entry, &handle); error != os::kFileOk)
        return fail_file(error);
    if (track && kez::debug::resource_tracking_enabled()) {
        char description[300];
        std::snprintf(description, sizeof description, "POSIX file handle %u \"%s\"", static_cast<unsigned>(handle), path);
        kez::debug::resource_acquire(static_cast<std::uint64_t>(handle), "Files", description);
    }
    return handle;
}

namespace {

// The opens' common path: the mode argument is there only with O_CREAT.
int open_with_arguments(const char *path, int oflag, int shareMode, va_list args) {
    const int pmode = (oflag & clib::kCreate) != 0 ? va_arg(args, int) : 0666;
    return clib::open_handle(path, oflag, shareMode, pmode, true);
}

}  // namespace

extern "C" int kez_open(const char *path, int oflag, ...) {
    va_list args;
    va_start(args, oflag);
    const int result = open_with_arguments(path, oflag, 3, args);
    va_end(args);
    return result;
}

extern "C" int sopen(const char *path, int oflag, int shareMode, ...) {
    va_list args;
    va_start(args, shareMode);
    const int result = open_with_arguments(path, oflag, shareMode, args);
    va_end(args);
    return result;
}

// The debug-build twins of the two variadic opens report a failure like
// the generated twins report theirs.
extern "C" KEZ_API int _UP_open(const char *path, int oflag, ...) {
    va_list args;
    va_start(args, oflag);
    const int result = open_with_arguments(path, oflag, 3, args);
    va_end(args);
    if (result < 0) clib::report_twin_failure("open", result);
    return result;
}

extern "C" KEZ_API int _UP_sopen(const char *path, int oflag, int shareMode, ...) {
    va_list args;
    va_start(args, shareMode);
    const int result = open_with_arguments(path, oflag, shareMode, args);
    va_end(args);
    if (result < 0) clib::report_twin_failure("sopen", result);
    return result;
}

extern "C" int kez_read(int handle, void *buffer, unsigned int count) {
    if (handle == 1 || handle == 2) return fail_errno(clib::kEBADF);
    if (count > INT_MAX || (buffer == nullptr && count > 0)) return fail_errno(clib::kEINVAL);
    fmtio::LockedFile file;
    if (const int error = fmtio::lock_file(handle, &file); error != os::kFileOk) return fail_file(error);
    std::uint32_t done = 0;
    if (const int error = fmtio::read_file(file.entry(), buffer, count, &done); error != os::kFileOk)
        return fail_file(error);
    return static_cast<int>(done);
}

extern "C" int kez_write(int handle, const void *buffer, unsigned int count) {
    if (handle == 0) return fail_errno(clib::kEBADF);
    if (count > INT_MAX || (buffer == nullptr && count > 0)) return fail_errno(clib::kEINVAL);
    fmtio::LockedFile file;
    if (const int error = fmtio::lock_file(handle, &file); error != os::kFileOk) return fail_file(error);
    std::uint32_t done = 0;
    if (const int error = fmtio::write_file(file.entry(), buffer, count, &done); error != os::kFileOk)
        return fail_file(error);
    return static_cast<int>(done);
}

extern "C" int kez_close(int handle) {
    if (handle >= 0 && handle <= 2) return fail_errno(clib::kEBADF);
    fmtio::LockedFile file;
    if (const int error = fmtio::lock_file(handle, &file); error != os::kFileOk) return fail_file(error);
    kez::debug::resource_release(static_cast<std::uint64_t>(handle));
    if (const int error = fmtio::close_file(file, true); error != os::kFileOk) return fail_file(error);
    return 0;
}

extern "C" long kez_lseek(int handle, long offset, int origin) {
    if (origin < 0 || origin > 2) return fail_errno(clib::kEINVAL);
    if (handle >= 0 && handle <= 2) return 0;
    fmtio::LockedFile file;
    if (const int error = fmtio::lock_file(handle, &file); error != os::kFileOk) return fail_file(error);
    std::int64_t before = 0;
    std::int64_t position = 0;
    int error = fmtio::seek_file(file.entry(), 0, 1, &before);
    if (error == os::kFileOk) error = fmtio::seek_file(file.entry(), offset, origin, &position);
    if (error != os::kFileOk) return fail_file(error);
    // A position a 32-bit long cannot hold is refused, not cut, and the
    // file stays where it was.
    if (position > LONG_MAX) {
        fmtio::seek_file(file.entry(), before, 0, &position);
        return fail_errno(clib::kEINVAL);
    }
    return static_cast<long>(position);
}

extern "C" int eof(int handle) {
    if (handle >= 0 && handle <= 2) return 0;
    fmtio::LockedFile file;
    if (const int error = fmtio::lock_file(handle, &file); error != os::kFileOk) return fail_file(error);
    int error = os::kFileOk;
    const int result = fmtio::at_end_of_file(file.entry(), &error);
    if (result < 0) return fail_file(error);
    return result;
}

extern "C" int kez_remove(const char *path) {
    if (path == nullptr) return fail_errno(clib::kEINVAL);
    const int error = os::file_remove(path);
    return error == os::kFileOk ? 0 : fail_file(error);
}

extern "C" int kez_rename(const char *oldName, const char *newName) {
    if (oldName == nullptr || newName == nullptr) return fail_errno(clib::kEINVAL);
    const int error = os::file_rename(oldName, newName);
    return error == os::kFileOk ? 0 : fail_file(error);
}
