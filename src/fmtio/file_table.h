// The file table shared by the file functions of the formatting and I/O
// library, FmtFile/ScanFile and the C library's POSIX-style handles and
// streams. A handle is an entry's index plus 3; handles 0, 1 and 2 are the
// standard input, output and error, which have entries of their own outside
// the table.
//
// Entries live in chunks that are never moved or freed while the engine is
// loaded, so a handle is checked without a lock: out of range, never made
// or closed gives kFileBadHandle at once. The table lock is held only to
// reserve an entry; an entry's lock is held for a whole operation on its
// file (no system call happens under the table lock).
//
// Every entry keeps a read-ahead of raw bytes taken from the file but not
// yet delivered (ReadLine reads in blocks; a text read gives back the byte
// after a final CR). Every operation honours it: reads take it first,
// positions subtract it, seeks and writes drop it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "os/file.h"

namespace kez::fmtio {

// How an entry's file was opened, beyond the platform open flags.
enum : unsigned {
    kEntryRead = 1u << 0,
    kEntryWrite = 1u << 1,
    kEntryText = 1u << 2,    // CR LF read as LF, LF written as CR LF
    kEntryAppend = 1u << 3,  // every write to a disk file goes to the end
};

struct FileEntry;

// The locked entry of an open handle. Holds the entry's lock until it is
// destroyed or released.
class LockedFile {
public:
    LockedFile() = default;
    LockedFile(const LockedFile &) = delete;
    LockedFile &operator=(const LockedFile &) = delete;
    ~LockedFile() { release(); }
    void release();
    FileEntry *entry() const { return entry_; }
    explicit operator bool() const { return entry_ != nullptr; }

private:
    friend int lock_file(int handle, LockedFile *locked);
    FileEntry *entry_ = nullptr;
};

// Locks the entry of `handle` (0-2 included). kFileBadHandle for a negative,
// unknown or closed handle.
int lock_file(int handle, LockedFile *locked);

// Opens a file into a new entry. The entry is reserved before the file is
// opened, so a full table never truncates or creates a file it cannot keep.
int open_file(const char *path, unsigned os_flags, unsigned share, unsigned entry_flags, int *handle);

// Closes the entry's file and frees the entry; the entry is closed even
// when committing or closing reports an error, which is then returned.
// `commit`: flush the system's buffers of a disk file opened for writing.
int close_file(LockedFile &locked, bool commit);

// Reads up to `count` bytes (translated in text mode); *done 0 at the end.
int read_file(FileEntry *entry, void *buffer, std::uint32_t count, std::uint32_t *done);
// Reads up to `count` bytes as they are in the file, whatever the mode
// (streams translate their own buffers); *done 0 at the end.
int read_file_raw(FileEntry *entry, void *buffer, std::uint32_t count, std::uint32_t *done);
// Reads one byte (translated in text mode); false with *error 0 at the end.
bool read_byte(FileEntry *entry, unsigned char *byte, int *error);
// The next byte without taking it (CR LF as LF in text mode); false with
// *error 0 at the end. skip_byte takes the byte peek_byte gave.
bool peek_byte(FileEntry *entry, unsigned char *byte, int *error);
void skip_byte(FileEntry *entry);
// Reads a line up to a line feed (not stored; CR LF counts as one in text
// mode): stores at most `room` bytes (*stored), counts all in *length
// (saturating at 2^31 - 1), and tells in *any whether a byte, the line
// feed included, was read.
int read_line(FileEntry *entry, char *out, std::size_t room, std::size_t *stored, long long *length, bool *any);
// Writes `count` bytes (LF as CR LF in text mode); *done counts the
// caller's bytes written.
int write_file(FileEntry *entry, const void *buffer, std::uint32_t count, std::uint32_t *done);
// Moves the position (origin 0 start, 1 current, 2 end). Standard handles:
// position 0, nothing done.
int seek_file(FileEntry *entry, std::int64_t offset, int origin, std::int64_t *position);
// 1 at the end of the file, 0 before it; an error code is negative.
int at_end_of_file(FileEntry *entry, int *error);
// Flushes the system's buffers when the file is a disk file.
int commit_file(FileEntry *entry);

int entry_handle(const FileEntry *entry);
unsigned entry_flags(const FileEntry *entry);
bool entry_is_standard(const FileEntry *entry);

// Where text written to standard output and error, and text read from
// standard input, is copied besides (the debugger's output window and the
// log hook). Null: nowhere. Called under the standard entry's lock.
using ConsoleCopy = void (*)(int handle, const char *data, std::size_t size);
void set_console_copy(ConsoleCopy copy);

// Number of entries made so far (test statistics).
int entries_made();

// Closes every open entry (the end of the engine); no commits.
void close_all_files();

}  // namespace kez::fmtio
