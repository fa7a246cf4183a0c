// Files on Windows.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "os/fault.h"
#include "os/file.h"

namespace kez::os {
namespace {

int map_win32_error(DWORD code) {
    switch (code) {
    case 0: return kFileOk;
    case 2: case 3: case 15: case 20: case 53: case 55: case 67: case 123: case 161: case 267: case 1200:
        return kFileNotFound;
    case 6: return kFileBadHandle;
    case 8: case 14: case 36: case 1130: return kFileNoMemory;
    case 80: case 183: return kFileExists;
    case 5: case 12: case 19: case 32: case 33: case 51: case 54: case 64: case 65: case 70: case 86: case 148:
    case 167: case 170: case 212: case 1203: case 1222: case 2250:
        return kFileAccessDenied;
    case 87: case 131: return kFileInvalidArgument;
    case 4: return kFileTooManyOpen;
    case 39: case 82: case 112: return kFileDiskFull;
    case 206: return kFileNameTooLong;
    default: return kFileIoFailure;
    }
}

int last_file_error() { return map_win32_error(GetLastError()); }

// A fault point: true when armed, with the armed Win32 code
// (ERROR_GEN_FAILURE by default) mapped into *result.
bool injected(const char *point, int *result) {
    unsigned error = 0;
    if (!fault::hit(point, &error)) return false;
    *result = map_win32_error(error != 0 ? error : ERROR_GEN_FAILURE);
    SetLastError(error != 0 ? error : ERROR_GEN_FAILURE);
    return true;
}

HANDLE native(NativeFile file) { return reinterpret_cast<HANDLE>(file); }

DWORD disposition_of(unsigned flags) {
    if ((flags & kOpenCreate) != 0) {
        if ((flags & kOpenExclusive) != 0) return CREATE_NEW;
        return (flags & kOpenTruncate) != 0 ? CREATE_ALWAYS : OPEN_ALWAYS;
    }
    return (flags & kOpenTruncate) != 0 ? TRUNCATE_EXISTING : OPEN_EXISTING;
}

}  // namespace

int file_open(const char *path, unsigned flags, unsigned share, NativeFile *file) {
    *file = kNoFile;
    if (std::strlen(path) > kMaxFileName) return kFileNameTooLong;
    int result = kFileOk;
    if (injected("os.file_open", &result)) return result;
    DWORD access = 0;
    if ((flags & kOpenRead) != 0) access |= GENERIC_READ;
    if ((flags & kOpenWrite) != 0) access |= GENERIC_WRITE;
    DWORD share_mode = 0;
    if ((share & kShareRead) != 0) share_mode |= FILE_SHARE_READ;
    if ((share & kShareWrite) != 0) share_mode |= FILE_SHARE_WRITE;
    DWORD attributes = FILE_ATTRIBUTE_NORMAL;
    if ((flags & kOpenReadOnlyFile) != 0) attributes = FILE_ATTRIBUTE_READONLY;
    if ((flags & kOpenDeleteOnClose) != 0) attributes |= FILE_FLAG_DELETE_ON_CLOSE;
    if ((flags & kOpenRandomAccess) != 0) attributes |= FILE_FLAG_RANDOM_ACCESS;
    if ((flags & kOpenSequential) != 0) attributes |= FILE_FLAG_SEQUENTIAL_SCAN;
    HANDLE h = CreateFileA(path, access, share_mode, nullptr, disposition_of(flags), attributes, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        // A directory name is refused as access denied; say so plainly.
        const DWORD a = GetFileAttributesA(path);
        if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0) return kFileAccessDenied;
        return last_file_error();
    }
    *file = reinterpret_cast<NativeFile>(h);
    return kFileOk;
}

int file_read(NativeFile file, void *buffer, std::uint32_t count, std::uint32_t *done) {
    *done = 0;
    int result = kFileOk;
    if (injected("os.file_read", &result)) return result;
    DWORD n = 0;
    if (!ReadFile(native(file), buffer, count, &n, nullptr)) {
        // The writer of a pipe has gone: the end of the data, not a failure.
        if (GetLastError() == ERROR_BROKEN_PIPE) return kFileOk;
        return last_file_error();
    }
    *done = n;
    return kFileOk;
}

int file_write(NativeFile file, const void *buffer, std::uint32_t count, std::uint32_t *done) {
    *done = 0;
    int result = kFileOk;
    if (injected("os.file_write", &result)) return result;
    const char *p = static_cast<const char *>(buffer);
    while (*done < count) {
        DWORD n = 0;
        if (!WriteFile(native(file), p + *done, count - *done, &n, nullptr)) return last_file_error();
        if (n == 0) return kFileDiskFull;  // a disk file accepted nothing
        *done += n;
    }
    return kFileOk;
}

int file_seek(NativeFile file, std::int64_t offset, int origin, std::int64_t *position) {
    int result = kFileOk;
    if (injected("os.file_seek", &result)) return result;
    static const DWORD method[] = {FILE_BEGIN, FILE_CURRENT, FILE_END};
    if (origin < 0 || origin > 2) return kFileInvalidArgument;
    LARGE_INTEGER distance;
    distance.QuadPart = offset;
    LARGE_INTEGER at;
    if (!SetFilePointerEx(native(file), distance, &at, method[origin])) return last_file_error();
    *position = at.QuadPart;
    return kFileOk;
}

int file_commit(NativeFile file) {
    int result = kFileOk;
    if (injected("os.file_commit", &result)) return result;
    return FlushFileBuffers(native(file)) ? kFileOk : last_file_error();
}

int file_close(NativeFile file) {
    int result = kFileOk;
    const bool fail = injected("os.file_close", &result);
    if (!CloseHandle(native(file)) && !fail) result = last_file_error();
    return result;
}

FileType file_type(NativeFile file) {
    switch (GetFileType(native(file))) {
    case FILE_TYPE_DISK: return FileType::disk;
    case FILE_TYPE_CHAR: return FileType::character;
    case FILE_TYPE_PIPE: return FileType::pipe;
    default: return FileType::unknown;
    }
}

int file_size_of_name(const char *path, std::int64_t *size) {
    *size = 0;
    if (std::strlen(path) > kMaxFileName) return kFileNameTooLong;
    int result = kFileOk;
    if (injected("os.file_size", &result)) return result;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return last_file_error();
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return kFileNotFound;
    *size = static_cast<std::int64_t>((static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
    return kFileOk;
}

int file_remove(const char *path) {
    if (std::strlen(path) > kMaxFileName) return kFileNameTooLong;
    int result = kFileOk;
    if (injected("os.file_remove", &result)) return result;
    return DeleteFileA(path) ? kFileOk : last_file_error();
}

int file_rename(const char *from, const char *to) {
    if (std::strlen(from) > kMaxFileName || std::strlen(to) > kMaxFileName) return kFileNameTooLong;
    int result = kFileOk;
    if (injected("os.file_rename", &result)) return result;
    // Without MOVEFILE_REPLACE_EXISTING an existing target is never replaced.
    return MoveFileExA(from, to, MOVEFILE_COPY_ALLOWED) ? kFileOk : last_file_error();
}

NativeFile standard_file(int which) {
    static const DWORD ids[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    if (which < 0 || which > 2) return kNoFile;
    if (fault::hit("os.file_standard")) return kNoFile;
    HANDLE h = GetStdHandle(ids[which]);
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return kNoFile;
    if (GetFileType(h) == FILE_TYPE_UNKNOWN) return kNoFile;
    return reinterpret_cast<NativeFile>(h);
}

bool standard_files_are_text() { return true; }

bool temp_directory(char *buffer, std::size_t size) {
    char path[MAX_PATH + 1];
    DWORD n = GetTempPathA(sizeof path, path);
    if (n == 0 || n > MAX_PATH) return false;
    while (n > 1 && (path[n - 1] == '\\' || path[n - 1] == '/')) path[--n] = '\0';
    const int written = std::snprintf(buffer, size, "%s", path);
    return written > 0 && static_cast<std::size_t>(written) < size;
}

}  // namespace kez::os
