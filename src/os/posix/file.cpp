// Files on POSIX. Windows refuses, within a process, an open that the share
// modes of the file's other opens forbid, and the removal or renaming of an
// open file; programs written for the engine rely on that (a log file
// opened deny-write stays theirs). POSIX has no such rule, so this layer
// keeps a registry of the process's open files by device and inode and
// refuses the same cases with kFileAccessDenied. Delete-on-close is done
// here too: the name is removed when the file is closed.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <vector>

#include "os/fault.h"
#include "os/file.h"

namespace kez::os {
namespace {

int map_errno(int code) {
    switch (code) {
    case 0: return kFileOk;
    case ENOENT: case ENOTDIR: return kFileNotFound;
    case EBADF: return kFileBadHandle;
    case ENOMEM: return kFileNoMemory;
    case EEXIST: return kFileExists;
    case EACCES: case EPERM: case EROFS: case EISDIR: case ETXTBSY: case EBUSY: return kFileAccessDenied;
    case EINVAL: return kFileInvalidArgument;
    case EMFILE: case ENFILE: return kFileTooManyOpen;
    case ENOSPC: case EDQUOT: return kFileDiskFull;
    case ENAMETOOLONG: return kFileNameTooLong;
    default: return kFileIoFailure;
    }
}

// A fault point: true when armed, with the armed errno (EIO by default)
// mapped into *result.
bool injected(const char *point, int *result) {
    unsigned error = 0;
    if (!fault::hit(point, &error)) return false;
    *result = map_errno(error != 0 ? static_cast<int>(error) : EIO);
    return true;
}

struct OpenFile {
    int fd;
    dev_t device;
    ino_t inode;
    unsigned access;  // kOpenRead | kOpenWrite
    unsigned share;
    char *delete_path;  // malloc'd; removed at close
};

std::mutex g_open_lock;
std::vector<OpenFile> g_open;  // guarded by g_open_lock

// Whether an open with `access` and `share` may join the opens of a file.
// A file that goes when it is closed admits no other open (Windows asks
// every other open to share deletion, which the engine never does).
bool share_allows(const OpenFile &other, unsigned access, unsigned share) {
    if (other.delete_path != nullptr) return false;
    if ((access & kOpenRead) != 0 && (other.share & kShareRead) == 0) return false;
    if ((access & kOpenWrite) != 0 && (other.share & kShareWrite) == 0) return false;
    if ((other.access & kOpenRead) != 0 && (share & kShareRead) == 0) return false;
    if ((other.access & kOpenWrite) != 0 && (share & kShareWrite) == 0) return false;
    return true;
}

// Whether the process has the named file open; false when it has no name.
bool name_is_open(const char *path) {
    struct stat st;
    if (stat(path, &st) != 0) return false;
    std::lock_guard<std::mutex> hold(g_open_lock);
    for (const OpenFile &f : g_open)
        if (f.device == st.st_dev && f.inode == st.st_ino) return true;
    return false;
}

int open_flags_of(unsigned flags) {
    int o = O_CLOEXEC;
    if ((flags & kOpenRead) != 0 && (flags & kOpenWrite) != 0) o |= O_RDWR;
    else if ((flags & kOpenWrite) != 0) o |= O_WRONLY;
    else o |= O_RDONLY;
    if ((flags & kOpenAppend) != 0) o |= O_APPEND;
    if ((flags & kOpenCreate) != 0) {
        o |= O_CREAT;
        if ((flags & kOpenExclusive) != 0) o |= O_EXCL;
    }
    // Truncation waits until the share check has passed (file_open).
    return o;
}

}  // namespace

int file_open(const char *path, unsigned flags, unsigned share, NativeFile *file) {
    *file = kNoFile;
    if (strlen(path) > kMaxFileName) return kFileNameTooLong;
    int result = kFileOk;
    if (injected("os.file_open", &result)) return result;
    const mode_t mode = (flags & kOpenReadOnlyFile) != 0 ? 0444 : 0666;
    int fd;
    do {
        fd = open(path, open_flags_of(flags), mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return map_errno(errno);
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        const int error = S_ISDIR(st.st_mode) ? kFileAccessDenied : map_errno(errno);
        close(fd);
        return error;
    }
    OpenFile record{fd, st.st_dev, st.st_ino, flags & (kOpenRead | kOpenWrite), share, nullptr};
    if ((flags & kOpenDeleteOnClose) != 0) {
        record.delete_path = strdup(path);
        if (record.delete_path == nullptr) {
            close(fd);
            return kFileNoMemory;
        }
    }
    {
        std::lock_guard<std::mutex> hold(g_open_lock);
        bool allowed = true;
        for (const OpenFile &f : g_open)
            if (f.device == st.st_dev && f.inode == st.st_ino &&
                (record.delete_path != nullptr || !share_allows(f, record.access, share)))
                allowed = false;
        if (allowed) {
            try {
                g_open.push_back(record);
            } catch (...) {
                result = kFileNoMemory;
            }
        } else {
            result = kFileAccessDenied;
        }
    }
    if (result == kFileOk && (flags & kOpenTruncate) != 0 && S_ISREG(st.st_mode) && ftruncate(fd, 0) != 0) {
        result = map_errno(errno);
        std::lock_guard<std::mutex> hold(g_open_lock);
        for (auto it = g_open.begin(); it != g_open.end(); ++it)
            if (it->fd == fd) {
                g_open.erase(it);
                break;
            }
    }
    if (result != kFileOk) {
        free(record.delete_path);
        close(fd);
        return result;
    }
    if ((flags & (kOpenRandomAccess | kOpenSequential)) != 0)
        posix_fadvise(fd, 0, 0, (flags & kOpenRandomAccess) != 0 ? POSIX_FADV_RANDOM : POSIX_FADV_SEQUENTIAL);
    *file = fd;
    return kFileOk;
}

int file_read(NativeFile file, void *buffer, std::uint32_t count, std::uint32_t *done) {
    *done = 0;
    int result = kFileOk;
    if (injected("os.file_read", &result)) return result;
    ssize_t n;
    do {
        n = read(static_cast<int>(file), buffer, count);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return map_errno(errno);
    *done = static_cast<std::uint32_t>(n);
    return kFileOk;
}

int file_write(NativeFile file, const void *buffer, std::uint32_t count, std::uint32_t *done) {
    *done = 0;
    int result = kFileOk;
    if (injected("os.file_write", &result)) return result;
    const char *p = static_cast<const char *>(buffer);
    while (*done < count) {
        const ssize_t n = write(static_cast<int>(file), p + *done, count - *done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return map_errno(errno);
        if (n == 0) return kFileIoFailure;
        *done += static_cast<std::uint32_t>(n);
    }
    return kFileOk;
}

int file_seek(NativeFile file, std::int64_t offset, int origin, std::int64_t *position) {
    int result = kFileOk;
    if (injected("os.file_seek", &result)) return result;
    static const int whence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
    if (origin < 0 || origin > 2) return kFileInvalidArgument;
    const off_t at = lseek(static_cast<int>(file), static_cast<off_t>(offset), whence[origin]);
    if (at < 0) return map_errno(errno);
    *position = at;
    return kFileOk;
}

int file_commit(NativeFile file) {
    int result = kFileOk;
    if (injected("os.file_commit", &result)) return result;
    return fsync(static_cast<int>(file)) == 0 ? kFileOk : map_errno(errno);
}

int file_close(NativeFile file) {
    const int fd = static_cast<int>(file);
    char *delete_path = nullptr;
    {
        std::lock_guard<std::mutex> hold(g_open_lock);
        for (auto it = g_open.begin(); it != g_open.end(); ++it)
            if (it->fd == fd) {
                delete_path = it->delete_path;
                g_open.erase(it);
                break;
            }
    }
    int result = kFileOk;
    const bool fail = injected("os.file_close", &result);
    // The descriptor is released even when close reports an error; it must
    // not be closed twice.
    if (close(fd) != 0 && !fail) result = errno == EINTR ? kFileOk : map_errno(errno);
    if (delete_path != nullptr) {
        unlink(delete_path);
        free(delete_path);
    }
    return result;
}

FileType file_type(NativeFile file) {
    struct stat st;
    if (fstat(static_cast<int>(file), &st) != 0) return FileType::unknown;
    if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode) || S_ISDIR(st.st_mode)) return FileType::disk;
    if (S_ISCHR(st.st_mode)) return FileType::character;
    if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) return FileType::pipe;
    return FileType::unknown;
}

int file_size_of_name(const char *path, std::int64_t *size) {
    *size = 0;
    if (strlen(path) > kMaxFileName) return kFileNameTooLong;
    int result = kFileOk;
    if (injected("os.file_size", &result)) return result;
    struct stat st;
    if (stat(path, &st) != 0) return map_errno(errno);
    if (S_ISDIR(st.st_mode)) return kFileNotFound;  // a directory is not a file
    *size = st.st_size;
    return kFileOk;
}

int file_remove(const char *path) {
    if (strlen(path) > kMaxFileName) return kFileNameTooLong;
    int result = kFileOk;
    if (injected("os.file_remove", &result)) return result;
    if (name_is_open(path)) return kFileAccessDenied;
    return unlink(path) == 0 ? kFileOk : map_errno(errno);
}

int file_rename(const char *from, const char *to) {
    if (strlen(from) > kMaxFileName || strlen(to) > kMaxFileName) return kFileNameTooLong;
    int result = kFileOk;
    if (injected("os.file_rename", &result)) return result;
    if (name_is_open(from)) return kFileAccessDenied;
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return kFileOk;
    if (errno != EINVAL && errno != ENOSYS) return map_errno(errno);
    // A file system without RENAME_NOREPLACE: a hard link never replaces.
    if (link(from, to) != 0) return map_errno(errno);
    if (unlink(from) != 0) {
        const int error = map_errno(errno);
        unlink(to);
        return error;
    }
    return kFileOk;
}

NativeFile standard_file(int which) {
    if (which < 0 || which > 2) return kNoFile;
    if (fault::hit("os.file_standard")) return kNoFile;
    return fcntl(which, F_GETFD) == -1 ? kNoFile : which;
}

bool standard_files_are_text() { return false; }

bool temp_directory(char *buffer, std::size_t size) {
    const int n = snprintf(buffer, size, "%s", P_tmpdir);
    return n > 0 && static_cast<std::size_t>(n) < size;
}

}  // namespace kez::os
