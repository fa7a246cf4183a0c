// The platform file layer: open, read, write, seek, commit and close native
// files, the standard handles, and file names (size, remove, rename). Every
// call reports the file library's error code (FileError), mapped from the
// system's own error, and sits behind an "os.file_*" fault point whose
// armed error is mapped the same way. Line-end translation is not done
// here: the file table above does it, the same on both platforms.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kez::os {

// The file library's error codes; the C library maps them to errno values.
enum FileError : int {
    kFileOk = 0,
    kFileNotFound = 1,
    kFileIoFailure = 2,
    kFileBadHandle = 3,
    kFileNoMemory = 4,
    kFileExists = 5,
    kFileAccessDenied = 6,
    kFileInvalidArgument = 7,
    kFileTooManyOpen = 8,
    kFileDiskFull = 9,
    kFileNameTooLong = 10,
};

// Longest file name both platforms accept, in bytes.
constexpr std::size_t kMaxFileName = 259;

// A native file: a descriptor on POSIX, a HANDLE on Windows.
using NativeFile = std::intptr_t;
constexpr NativeFile kNoFile = -1;

// Open flags.
enum : unsigned {
    kOpenRead = 1u << 0,
    kOpenWrite = 1u << 1,
    kOpenAppend = 1u << 2,        // every write goes to the end
    kOpenTruncate = 1u << 3,
    kOpenCreate = 1u << 4,
    kOpenExclusive = 1u << 5,     // with create: fail when the file exists
    kOpenDeleteOnClose = 1u << 6,
    kOpenRandomAccess = 1u << 7,  // access-pattern hints
    kOpenSequential = 1u << 8,
    kOpenReadOnlyFile = 1u << 9,  // a file made by this open gets the read-only attribute
};

// What other opens of the same file may do while this one is open.
enum : unsigned {
    kShareRead = 1u << 0,
    kShareWrite = 1u << 1,
};

enum class FileType { unknown, disk, character, pipe };

// Dispositions: create+exclusive fails on an existing file; create alone
// opens always; create+truncate makes the file anew; truncate alone
// truncates an existing file; neither opens an existing file. Names longer
// than kMaxFileName give kFileNameTooLong, directories kFileAccessDenied.
int file_open(const char *path, unsigned flags, unsigned share, NativeFile *file);
// Reads at most `count` bytes; *done 0 means end of file (a broken pipe is
// end of file too).
int file_read(NativeFile file, void *buffer, std::uint32_t count, std::uint32_t *done);
// Writes at most `count` bytes; *done may be short only with an error.
int file_write(NativeFile file, const void *buffer, std::uint32_t count, std::uint32_t *done);
// origin 0 start, 1 current, 2 end; *position receives the new position.
int file_seek(NativeFile file, std::int64_t offset, int origin, std::int64_t *position);
// Flushes the system's buffers of the file to its device.
int file_commit(NativeFile file);
// Closes the file; it is closed even when an error is reported.
int file_close(NativeFile file);
FileType file_type(NativeFile file);
// Size of a named file: kFileOk and *size, or kFileNotFound, or an error.
int file_size_of_name(const char *path, std::int64_t *size);
int file_remove(const char *path);
// Never replaces an existing `to` (kFileExists).
int file_rename(const char *from, const char *to);

// The process's standard input (0), output (1) or error (2), or kNoFile
// when there is none or its type is unknown.
NativeFile standard_file(int which);
// Whether the standard handles translate line ends in text mode: Windows
// programs see CR LF on their console and pipes, POSIX ones do not.
bool standard_files_are_text();

// The system's temporary directory when no environment variable names one,
// with no separator at the end; false when it cannot be had.
bool temp_directory(char *buffer, std::size_t size);

}  // namespace kez::os
