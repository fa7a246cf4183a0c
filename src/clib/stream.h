// The C library's streams: buffered FILE objects over the file table.
//
// A stream's read buffer holds bytes as they are in the file; a text
// stream turns CR LF into LF as it hands bytes out, so the position of
// every byte in the buffer is known exactly. Its write buffer holds the
// caller's bytes; the file table writes LF as CR LF when they go out.
//
// Every stream has its own lock, the standard ones included. Functions
// that work on a locked stream end in `_locked`; the printf and scanf
// engines hold the lock for a whole call through StreamLock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "core/word_lock.h"

namespace kez::clib {

constexpr int kStreamSlots = 255;
constexpr std::size_t kDefaultBuffer = 512;
constexpr int kPushbackMax = 6;

// Mode flags.
enum : unsigned {
    kStreamRead = 1u << 0,
    kStreamWrite = 1u << 1,
    kStreamAppend = 1u << 2,
    kStreamText = 1u << 3,
    kStreamFromHandle = 1u << 4,  // made by fdopen: closing closes the handle too
};

// State flags.
enum : unsigned {
    kStateOwnBuffer = 1u << 0,
    kStateEof = 1u << 1,
    kStateError = 1u << 2,
    kStateLineBuffered = 1u << 3,
    kStateUnbuffered = 1u << 4,
    kStateReading = 1u << 5,
    kStateWriting = 1u << 6,
    kStateBufferChosen = 1u << 7,  // setvbuf ran, or the first use chose the buffer
};

struct Stream {
    core::WordLock lock;
    std::atomic<bool> in_use{false};
    unsigned mode = 0;
    unsigned state = 0;
    int handle = -1;
    unsigned char *base = nullptr;  // the buffer, `size` bytes
    std::size_t size = 0;
    std::size_t pos = 0;  // reading: next unread byte; writing: bytes waiting
    std::size_t end = 0;  // reading: end of the read data
    unsigned char pushback[kPushbackMax];
    int pushed = 0;
    unsigned char one_byte = 0;
    char *temp_name = nullptr;  // a tmpfile's name, removed at close
};

// The table (_GetFilesArray): slot 0 stdin, 1 stdout, 2 stderr.
Stream **stream_table();

namespace detail {
// Every stream record; they never move (stream.cpp).
extern Stream records[kStreamSlots];
// Sets errno to EINVAL (a pointer that names no open stream).
void refuse_stream();
}  // namespace detail

// The record a FILE pointer names, or null when it names none: a pointer
// outside the records or not at the start of one is refused unread.
inline Stream *checked_stream(void *file) {
    const auto p = reinterpret_cast<std::uintptr_t>(file);
    const auto first = reinterpret_cast<std::uintptr_t>(&detail::records[0]);
    if (p < first || p >= first + sizeof detail::records || (p - first) % sizeof(Stream) != 0) return nullptr;
    return static_cast<Stream *>(file);
}

// The stream a FILE pointer names, locked; null (errno EINVAL) when it is
// not an open stream of the table.
class StreamLock {
public:
    explicit StreamLock(void *file) : stream_(checked_stream(file)) {
        if (stream_ != nullptr && stream_->in_use.load(std::memory_order_acquire)) {
            stream_->lock.lock();
            if (stream_->in_use.load(std::memory_order_relaxed)) return;
            stream_->lock.unlock();
        }
        stream_ = nullptr;
        detail::refuse_stream();
    }
    ~StreamLock() {
        if (stream_ != nullptr) stream_->lock.unlock();
    }
    StreamLock(const StreamLock &) = delete;
    StreamLock &operator=(const StreamLock &) = delete;
    Stream *get() const { return stream_; }
    explicit operator bool() const { return stream_ != nullptr; }

private:
    Stream *stream_;
};

// Opens a stream over a new handle: null with errno set on failure.
Stream *open_stream(const char *path, const char *mode, int share);
// Parses an fopen mode: false for an invalid one.
bool parse_mode(const char *mode, unsigned *stream_mode, int *oflag);
// A stream over an existing handle (fdopen); the caller checked it.
Stream *stream_over_handle(int handle, unsigned stream_mode);
// Flushes, frees, closes; the slot is free afterwards. 0 or -1.
int close_stream_locked(Stream *s);
// freopen: closes the stream's file and opens `path` in the same slot.
Stream *reopen_stream_locked(Stream *s, const char *path, const char *mode);
// tmpfile: a new binary update stream on a file made for it, removed at
// close.
Stream *open_temp_stream();

// Temporary names (temp_names.cpp): the directory (TEMP, TMP, TMPDIR, else
// the system's) and a separator, the process id and the engine's number
// ("%u_%x"), and a three-digit counter chosen so that no file of the name
// exists. False (errno EEXIST) when all 1000 names exist.
constexpr std::size_t kTempNameSize = 260;
bool next_temp_name(char *buffer, std::size_t size);

// Sets up stdin, stdout and stderr (the library's start-up).
void init_standard_streams();

int flush_locked(Stream *s, bool commit);
// Turns the stream to reading (flushing what waits to be written); false
// with the error flag and errno set when it cannot read.
bool start_reading(Stream *s);
int get_byte_locked(Stream *s);
int put_byte_locked(Stream *s, unsigned char c);
std::size_t read_locked(Stream *s, void *buffer, std::size_t size);
std::size_t write_locked(Stream *s, const void *data, std::size_t size);
int unget_locked(Stream *s, int c);
int seek_locked(Stream *s, long long offset, int origin);
long long tell_locked(Stream *s);
int set_buffer_locked(Stream *s, char *buffer, int mode, std::size_t size);

// fflush(NULL): every stream open for writing; -1 when one failed.
int flush_all();
// The end of the engine: flushes every stream it can lock at once, closes
// those the program opened.
void close_all_streams();
// The process ends now: writes out what every stream that can be locked at
// once holds (a thread that holds a stream is not waited for).
void flush_streams_at_exit();

}  // namespace kez::clib
