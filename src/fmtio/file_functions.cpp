// The formatting and I/O library's file functions over the file table.
#include <atomic>
#include <climits>
#include <cstring>

#include "core/frame.h"
#include "fmtio/file_table.h"
#include "fmtio/fmtio_library.h"
#include "kez/formatio.h"

namespace fmtio = kez::fmtio;
namespace os = kez::os;

namespace {

std::atomic<bool> g_commit_mode{true};

// Sets the thread's error and gives the function's failure value.
int fail(int code, int result = -1) {
    fmtio::set_error(code);
    return result;
}

bool blank(const char *s) {
    for (; *s != '\0'; ++s)
        if (*s != ' ' && (*s < '\t' || *s > '\r')) return false;
    return true;
}

}  // namespace

extern "C" int Kez_OpenFile(const char *fileName, int readWriteMode, int action, int fileType) {
    if (fileName == nullptr || blank(fileName)) return fail(os::kFileInvalidArgument);
    if (readWriteMode < 0 || readWriteMode > 2 || action < 0 || action > 2 || fileType < 0 || fileType > 1)
        return fail(os::kFileInvalidArgument);
    if (std::strlen(fileName) > os::kMaxFileName) return fail(os::kFileNameTooLong);
    unsigned flags = 0;
    unsigned entry = fileType == 1 ? fmtio::kEntryText : 0u;
    if (readWriteMode != 2) {
        flags |= os::kOpenRead;
        entry |= fmtio::kEntryRead;
    }
    if (readWriteMode != 1) {
        flags |= os::kOpenWrite | os::kOpenCreate;
        entry |= fmtio::kEntryWrite;
        if (action == 0) flags |= os::kOpenTruncate;
        if (action == 1) entry |= fmtio::kEntryAppend;
    }
    int handle = -1;
    const int error = fmtio::open_file(fileName, flags, os::kShareRead | os::kShareWrite, entry, &handle);
    if (error != os::kFileOk) return fail(error);
    fmtio::set_error(0);
    return handle;
}

extern "C" int Kez_CloseFile(int fileHandle) {
    if (fileHandle < 3) return fail(os::kFileBadHandle);
    fmtio::LockedFile file;
    if (const int error = fmtio::lock_file(fileHandle, &file); error != os::kFileOk) return fail(error);
    const int error = fmtio::close_file(file, g_commit_mode.load(std::memory_order_relaxed));
    return error != os::kFileOk ? fail(error) : fail(0, 0);
}

extern "C" int Kez_ReadFile(int fileHandle, char *buffer, size_t count) {
    if (fileHandle == 1 || fileHandle == 2) return fail(os::kFileBadHandle);
    if (count > INT_MAX || (buffer == nullptr && count > 0)) return fail(os::kFileInvalidArgument);
    fmtio::LockedFile file;
    if (const int error = fmtio::lock_file(fileHandle, &file); error != os::kFileOk) return fail(error);
    std::uint32_t done = 0;
    const int error = fmtio::read_file(file.entry(), buffer, static_cast<std::uint32_t>(count), &done);
    if (error != os::kFileOk) return fail(error);
    return fail(0, static_cast<int>(done));
}

extern "C" int Kez_WriteFile(int fileHandle, const char *buffer, size_t count) {
    if (fileHandle == 0) return fail(os::kFileBadHandle);
    if (count > INT_MAX || (buffer == nullptr && count > 0)) return fail(os::kFileInvalidArgument);
    fmtio::LockedFile file;
    if (const int error = fmtio::lock_file(fileHandle, &file); error != os::kFileOk) return fail(error);
    std::uint32_t done = 0;
    const int error = fmtio::write_file(file.entry(), buffer, static_cast<std::uint32_t>(count), &done);
    if (error != os::kFileOk) return fail(error);
    return fail(0, static_cast<int>(done));
}

extern "C" long long SetFilePtr(int fileHandle, long long offset, int origin) {
    if (origin < 0 || origin > 2) return fail(os::kFileInvalidArgument);
    if (fileHandle >= 0 && fileHandle <= 2) return fail(0, 0);
    fmtio::LockedFile file;
    if (const int error = fmtio::lock_file(fileHandle, &file); error != os::kFileOk) return fail(error);
    std::int64_t position = 0;
    if (const int error = fmtio::seek_file(file.entry(), offset, origin, &position); error != os::kFileOk)
        return fail(error);
    fmtio::set_error(0);
    return position;
}

extern "C" int GetFileInfo(const char *fileName, long long *fileSize) {
    if (fileSize != nullptr) *fileSize = 0;
    if (fileName == nullptr) return fail(os::kFileInvalidArgument);
    std::int64_t size = 0;
    const int error = os::file_size_of_name(fileName, &size);
    if (error == os::kFileNotFound) return fail(0, 0);
    if (error != os::kFileOk) return fail(error);
    if (fileSize != nullptr) *fileSize = size;
    return fail(0, 1);
}

extern "C" int ReadLine(int fileHandle, char *lineBuffer, int maxBytes) {
    if (fileHandle == 1 || fileHandle == 2) return fail(os::kFileBadHandle);
    if (maxBytes < -1 || lineBuffer == nullptr) return fail(os::kFileInvalidArgument);
    fmtio::LockedFile file;
    if (const int error = fmtio::lock_file(fileHandle, &file); error != os::kFileOk) return fail(error);
    const std::size_t room = maxBytes < 0 ? SIZE_MAX : static_cast<std::size_t>(maxBytes);
    std::size_t stored = 0;
    long long length = 0;
    bool any = false;  // a byte was read, the line feed included
    const int error = fmtio::read_line(file.entry(), lineBuffer, room, &stored, &length, &any);
    lineBuffer[stored] = '\0';
    if (error != os::kFileOk) return fail(error);
    if (!any) return fail(0, -2);
    return fail(0, static_cast<int>(length));
}

extern "C" int WriteLine(int fileHandle, const char *lineBuffer, int count) {
    if (fileHandle == 0) return fail(os::kFileBadHandle);
    if (count < -1 || (lineBuffer == nullptr && count != 0)) return fail(os::kFileInvalidArgument);
    std::size_t length = count >= 0 ? static_cast<std::size_t>(count) : std::strlen(lineBuffer);
    if (length > INT_MAX) return fail(os::kFileInvalidArgument);
    fmtio::LockedFile file;
    if (const int error = fmtio::lock_file(fileHandle, &file); error != os::kFileOk) return fail(error);
    std::uint32_t done = 0;
    int error = fmtio::write_file(file.entry(), lineBuffer, static_cast<std::uint32_t>(length), &done);
    if (error == os::kFileOk) error = fmtio::write_file(file.entry(), "\n", 1, &done);
    if (error != os::kFileOk) return fail(error);
    return fail(0, static_cast<int>(length));
}

extern "C" int Kez_SetCommitMode(int commit) {
    if (commit != 0 && commit != 1) return -1;
    g_commit_mode.store(commit == 1, std::memory_order_relaxed);
    return 0;
}

extern "C" long long _UP_SetFilePtr(int fileHandle, long long offset, int origin) {
    const long long result = SetFilePtr(fileHandle, offset, origin);
    if (result < 0) kez::core::report_library_error("SetFilePtr", -1, fmtio::GetFmtIOTwinMessage(-1));
    return result;
}

extern "C" int _UP_ReadLine(int fileHandle, char *lineBuffer, int maxBytes) {
    const int result = ReadLine(fileHandle, lineBuffer, maxBytes);
    if (result == -1) kez::core::report_library_error("ReadLine", result, fmtio::GetFmtIOTwinMessage(result));
    return result;
}
