#include "clib/stream.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "clib/clib_library.h"
#include "debug/resource_tracking.h"
#include "fmtio/file_table.h"
#include "os/file.h"

namespace kez::clib {

Stream detail::records[kStreamSlots];

namespace {

// Records never move: a FILE pointer is checked against this array before
// it is used, and slots are reused after fclose.
Stream (&g_records)[kStreamSlots] = detail::records;
Stream *g_table[kStreamSlots];
std::mutex g_table_lock;  // reserving and releasing slots
bool g_reserved[kStreamSlots];  // guarded by g_table_lock

int slot_of(const Stream *s) { return static_cast<int>(s - g_records); }

void set_failure(Stream *s, int file_error) {
    s->state |= kStateError;
    set_errno(errno_of_file_error(file_error));
}

// The buffer, chosen at first use unless setvbuf chose it.
void ensure_buffer(Stream *s) {
    s->state |= kStateBufferChosen;
    if (s->base != nullptr) return;
    if ((s->state & kStateUnbuffered) == 0) {
        if (auto *b = static_cast<unsigned char *>(std::malloc(kDefaultBuffer))) {
            s->base = b;
            s->size = kDefaultBuffer;
            s->state |= kStateOwnBuffer;
            return;
        }
    }
    s->base = &s->one_byte;
    s->size = 1;
}

// The file position, from the file table (0 for standard handles).
bool file_position(Stream *s, long long *position) {
    fmtio::LockedFile file;
    int error = fmtio::lock_file(s->handle, &file);
    std::int64_t at = 0;
    if (error == os::kFileOk) error = fmtio::seek_file(file.entry(), 0, 1, &at);
    if (error != os::kFileOk) {
        set_failure(s, error);
        return false;
    }
    *position = at;
    return true;
}

int seek_file_to(Stream *s, long long offset, int origin) {
    fmtio::LockedFile file;
    int error = fmtio::lock_file(s->handle, &file);
    std::int64_t at = 0;
    if (error == os::kFileOk) error = fmtio::seek_file(file.entry(), offset, origin, &at);
    return error;
}

// Writes the waiting bytes (LF as CR LF for text handles).
int write_out(Stream *s, const void *data, std::size_t size) {
    fmtio::LockedFile file;
    int error = fmtio::lock_file(s->handle, &file);
    const auto *p = static_cast<const unsigned char *>(data);
    while (error == os::kFileOk && size > 0) {
        const std::uint32_t part = size > 0x40000000u ? 0x40000000u : static_cast<std::uint32_t>(size);
        std::uint32_t done = 0;
        error = fmtio::write_file(file.entry(), p, part, &done);
        p += part;
        size -= part;
    }
    return error;
}

// Leaves reading: the unread bytes go back to the file, so that a write
// lands where the reader stopped.
bool stop_reading(Stream *s) {
    if ((s->state & kStateReading) == 0) return true;
    bool ok = true;
    if (s->handle > 2 && (s->end > s->pos || s->pushed > 0)) {
        const long long position = tell_locked(s);
        ok = position >= 0 && seek_file_to(s, position, 0) == os::kFileOk;
    }
    s->pos = s->end = 0;
    s->pushed = 0;
    s->state &= ~kStateReading;
    return ok;
}

// Refills the read buffer: the number of bytes read; 0 at the end or on an
// error (flags set).
std::size_t fill(Stream *s) {
    ensure_buffer(s);
    // A program that prompts on a line-buffered standard output and then
    // reads the standard input sees its prompt first.
    if (s == g_table[0]) {
        Stream *out = g_table[1];
        if (out != nullptr && (out->state & kStateLineBuffered) != 0 && out->lock.try_lock()) {
            flush_locked(out, false);
            out->lock.unlock();
        }
    }
    fmtio::LockedFile file;
    int error = fmtio::lock_file(s->handle, &file);
    std::uint32_t got = 0;
    if (error == os::kFileOk) {
        const std::size_t room = s->size > 0x40000000u ? 0x40000000u : s->size;
        error = fmtio::read_file_raw(file.entry(), s->base, static_cast<std::uint32_t>(room), &got);
    }
    s->pos = 0;
    s->end = got;
    if (error != os::kFileOk) {
        set_failure(s, error);
        return 0;
    }
    if (got == 0) s->state |= kStateEof;
    return got;
}

}  // namespace

bool start_reading(Stream *s) {
    if ((s->mode & kStreamRead) == 0) {
        s->state |= kStateError;
        set_errno(kEBADF);
        return false;
    }
    if ((s->state & kStateWriting) != 0) {
        if (flush_locked(s, false) != 0) return false;
        s->state &= ~kStateWriting;
    }
    s->state |= kStateReading;
    return true;
}

namespace {

bool start_writing(Stream *s) {
    if ((s->mode & kStreamWrite) == 0) {
        s->state |= kStateError;
        set_errno(kEBADF);
        return false;
    }
    if (!stop_reading(s)) return false;
    ensure_buffer(s);
    s->state |= kStateWriting;
    s->state &= ~kStateEof;
    return true;
}

// The byte after a CR at the end of the buffered data, read without
// taking it: whether it is the LF of a CR LF pair.
bool lf_follows(Stream *s) {
    if (s->pos == s->end) {
        // Keep the end-of-file flag for the call that finds nothing.
        const unsigned eof = s->state & kStateEof;
        if (fill(s) == 0) {
            s->state = (s->state & ~kStateEof) | eof;
            return false;
        }
    }
    return s->base[s->pos] == '\n';
}

void release_resources(Stream *s) {
    if ((s->state & kStateOwnBuffer) != 0) std::free(s->base);
    s->base = nullptr;
    s->size = s->pos = s->end = 0;
    s->pushed = 0;
    s->state = 0;
    s->mode = 0;
    s->handle = -1;
}

void init_standard(int slot, int handle, unsigned mode, unsigned state) {
    Stream *s = &g_records[slot];
    s->mode = mode | (os::standard_files_are_text() ? kStreamText : 0u);
    s->state = state;
    s->handle = handle;
    g_table[slot] = s;
    g_reserved[slot] = true;
    s->in_use.store(true, std::memory_order_release);
}

}  // namespace

Stream **stream_table() { return g_table; }

// Standard output is line-buffered on a terminal and fully buffered
// otherwise; standard error is never buffered, so nothing written to it
// waits for a flush that may never come.
void init_standard_streams() {
    std::lock_guard<std::mutex> hold(g_table_lock);
    const os::NativeFile out = os::standard_file(1);
    const bool terminal = out != os::kNoFile && os::file_type(out) == os::FileType::character;
    init_standard(0, 0, kStreamRead, 0);
    init_standard(1, 1, kStreamWrite, terminal ? kStateLineBuffered : 0u);
    init_standard(2, 2, kStreamWrite, kStateUnbuffered);
}

void detail::refuse_stream() { set_errno(kEINVAL); }

bool parse_mode(const char *mode, unsigned *stream_mode, int *oflag) {
    if (mode == nullptr) return false;
    unsigned m = 0;
    int o = 0;
    switch (mode[0]) {
    case 'r': m = kStreamRead; break;
    case 'w': m = kStreamWrite; o = kCreate | kTruncate; break;
    case 'a': m = kStreamWrite | kStreamAppend; o = kCreate | kAppend; break;
    default: return false;
    }
    bool binary = false;
    bool update = false;
    for (const char *p = mode + 1; *p == 'b' || *p == '+'; ++p) {
        if (*p == 'b') binary = true;
        else update = true;
    }
    if (update) m |= kStreamRead | kStreamWrite;
    if (!binary) m |= kStreamText;
    o |= update ? kReadWrite : ((m & kStreamWrite) != 0 ? kWriteOnly : 0);
    o |= binary ? kBinary : kText;
    *stream_mode = m;
    *oflag = o;
    return true;
}

namespace {

// Reserves a free slot (3 and up); -1 when all are taken.
int reserve_slot() {
    std::lock_guard<std::mutex> hold(g_table_lock);
    for (int i = 3; i < kStreamSlots; ++i) {
        if (!g_reserved[i]) {
            g_reserved[i] = true;
            return i;
        }
    }
    return -1;
}

void free_slot(int slot) {
    std::lock_guard<std::mutex> hold(g_table_lock);
    g_reserved[slot] = false;
}

Stream *activate(int slot, int handle, unsigned stream_mode) {
    Stream *s = &g_records[slot];
    std::lock_guard<core::WordLock> hold(s->lock);
    release_resources(s);
    s->mode = stream_mode;
    s->handle = handle;
    {
        std::lock_guard<std::mutex> table(g_table_lock);
        g_table[slot] = s;
    }
    s->in_use.store(true, std::memory_order_release);
    return s;
}

unsigned long long address_of(const Stream *s) {
    return static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(s));
}

void track_named(Stream *s, const char *path) {
    if (!debug::resource_tracking_enabled()) return;
    char description[400];
    std::snprintf(description, sizeof description, "FILE* 0x%016llX \"%s\"", address_of(s), path);
    debug::resource_acquire(reinterpret_cast<std::uintptr_t>(s), "Files", description);
}

}  // namespace

Stream *open_stream(const char *path, const char *mode, int share) {
    unsigned stream_mode = 0;
    int oflag = 0;
    if (path == nullptr || !parse_mode(mode, &stream_mode, &oflag)) {
        set_errno(kEINVAL);
        return nullptr;
    }
    const int slot = reserve_slot();
    if (slot < 0) {
        set_errno(kEMFILE);
        return nullptr;
    }
    const int handle = open_handle(path, oflag, share, 0666, false);
    if (handle < 0) {
        free_slot(slot);
        return nullptr;
    }
    Stream *s = activate(slot, handle, stream_mode);
    track_named(s, path);
    return s;
}

Stream *stream_over_handle(int handle, unsigned stream_mode) {
    const int slot = reserve_slot();
    if (slot < 0) {
        set_errno(kEMFILE);
        return nullptr;
    }
    debug::resource_release(static_cast<std::uint64_t>(handle));
    Stream *s = activate(slot, handle, stream_mode | kStreamFromHandle);
    if (debug::resource_tracking_enabled()) {
        char description[200];
        std::snprintf(description, sizeof description, "FILE* 0x%016llX from POSIX file handle %u", address_of(s),
                      static_cast<unsigned>(handle));
        debug::resource_acquire(reinterpret_cast<std::uintptr_t>(s), "Files", description);
    }
    return s;
}

namespace {

// Flushes and closes the stream's file; the record stays in use.
int close_file_of_stream(Stream *s) {
    int result = flush_locked(s, true) == 0 ? 0 : -1;
    const int handle = s->handle;
    char *temp_name = s->temp_name;
    s->temp_name = nullptr;
    release_resources(s);
    debug::resource_release(reinterpret_cast<std::uintptr_t>(s));
    if (handle > 2) {
        fmtio::LockedFile file;
        int error = fmtio::lock_file(handle, &file);
        if (error == os::kFileOk) error = fmtio::close_file(file, false);
        if (error != os::kFileOk) {
            set_errno(errno_of_file_error(error));
            result = -1;
        }
    }
    if (temp_name != nullptr) {
        os::file_remove(temp_name);
        std::free(temp_name);
    }
    return result;
}

}  // namespace

Stream *reopen_stream_locked(Stream *s, const char *path, const char *mode) {
    unsigned stream_mode = 0;
    int oflag = 0;
    const int slot = slot_of(s);
    const bool valid = path != nullptr && parse_mode(mode, &stream_mode, &oflag);
    // The old file is closed whatever happens next, as with fclose; the
    // slot stays reserved for the new one.
    close_file_of_stream(s);
    const int handle = valid ? open_handle(path, oflag, 3, 0666, false) : -1;
    if (!valid) set_errno(kEINVAL);
    if (handle < 0) {
        s->in_use.store(false, std::memory_order_release);
        if (slot > 2) free_slot(slot);
        return nullptr;
    }
    release_resources(s);
    s->mode = stream_mode;
    s->handle = handle;
    s->in_use.store(true, std::memory_order_release);
    track_named(s, path);
    return s;
}

Stream *open_temp_stream() {
    const int slot = reserve_slot();
    if (slot < 0) {
        set_errno(kEMFILE);
        return nullptr;
    }
    char name[kTempNameSize];
    int handle = -1;
    // Made exclusively: a file that appears between the choice of a name
    // and the open is never taken over; another name is tried.
    for (int attempt = 0; attempt < 1000 && handle < 0; ++attempt) {
        if (!next_temp_name(name, sizeof name)) break;
        handle = open_handle(name, kReadWrite | kCreate | kExclusive | kBinary, 3, 0666, false);
        if (handle < 0 && *errno_cell() != kEEXIST) break;
    }
    char *copy = handle >= 0 ? static_cast<char *>(std::malloc(std::strlen(name) + 1)) : nullptr;
    if (copy == nullptr) {
        if (handle >= 0) {
            fmtio::LockedFile file;
            if (fmtio::lock_file(handle, &file) == os::kFileOk) fmtio::close_file(file, false);
            os::file_remove(name);
            set_errno(kENOMEM);
        }
        free_slot(slot);
        return nullptr;
    }
    std::strcpy(copy, name);
    Stream *s = activate(slot, handle, kStreamRead | kStreamWrite);
    {
        std::lock_guard<core::WordLock> hold(s->lock);
        s->temp_name = copy;
    }
    track_named(s, name);
    return s;
}

int close_stream_locked(Stream *s) {
    const int result = close_file_of_stream(s);
    s->in_use.store(false, std::memory_order_release);
    const int slot = slot_of(s);
    if (slot > 2) free_slot(slot);
    return result;
}

namespace {

// Flushes the system's buffers of a stream's disk file (standard handles
// have none to flush).
int commit_stream(Stream *s) {
    if (s->handle <= 2) return 0;
    fmtio::LockedFile file;
    if (fmtio::lock_file(s->handle, &file) != os::kFileOk) return 0;
    if (const int error = fmtio::commit_file(file.entry()); error != os::kFileOk) {
        set_failure(s, error);
        return -1;
    }
    return 0;
}

}  // namespace

int flush_locked(Stream *s, bool commit) {
    if ((s->state & kStateReading) != 0) {
        // Unread standard input is dropped; another file goes back to where
        // its reader stands.
        if (s->handle == 0) {
            s->pos = s->end = 0;
            s->pushed = 0;
            s->state &= ~kStateReading;
            return 0;
        }
        return stop_reading(s) ? 0 : -1;
    }
    if ((s->state & kStateWriting) != 0 && s->pos > 0) {
        const std::size_t waiting = s->pos;
        s->pos = 0;
        if (const int error = write_out(s, s->base, waiting); error != os::kFileOk) {
            set_failure(s, error);
            return -1;
        }
    }
    return commit && (s->mode & kStreamWrite) != 0 ? commit_stream(s) : 0;
}

int get_byte_locked(Stream *s) {
    if (!start_reading(s)) return -1;
    if (s->pushed > 0) return s->pushback[--s->pushed];
    if (s->pos == s->end && fill(s) == 0) return -1;
    unsigned char c = s->base[s->pos++];
    if (c == '\r' && (s->mode & kStreamText) != 0 && lf_follows(s)) {
        ++s->pos;
        c = '\n';
    }
    return c;
}

int put_byte_locked(Stream *s, unsigned char c) {
    if (!start_writing(s)) return -1;
    if ((s->state & kStateUnbuffered) != 0) {
        if (const int error = write_out(s, &c, 1); error != os::kFileOk) {
            set_failure(s, error);
            return -1;
        }
        return c;
    }
    if (s->pos == s->size && flush_locked(s, false) != 0) return -1;
    s->base[s->pos++] = c;
    if ((s->pos == s->size || (c == '\n' && (s->state & kStateLineBuffered) != 0)) && flush_locked(s, false) != 0)
        return -1;
    return c;
}

std::size_t read_locked(Stream *s, void *buffer, std::size_t size) {
    if (size == 0 || !start_reading(s)) return 0;
    auto *out = static_cast<unsigned char *>(buffer);
    std::size_t got = 0;
    while (got < size && s->pushed > 0) out[got++] = s->pushback[--s->pushed];
    const bool text = (s->mode & kStreamText) != 0;
    while (got < size) {
        if (s->pos == s->end) {
            ensure_buffer(s);
            // A large binary read goes straight into the caller's memory.
            if (!text && size - got >= s->size) {
                fmtio::LockedFile file;
                int error = fmtio::lock_file(s->handle, &file);
                std::uint32_t n = 0;
                if (error == os::kFileOk) {
                    const std::size_t want = size - got > 0x40000000u ? 0x40000000u : size - got;
                    error = fmtio::read_file_raw(file.entry(), out + got, static_cast<std::uint32_t>(want), &n);
                }
                if (error != os::kFileOk) {
                    set_failure(s, error);
                    break;
                }
                if (n == 0) {
                    s->state |= kStateEof;
                    break;
                }
                got += n;
                continue;
            }
            if (fill(s) == 0) break;
        }
        std::size_t run = s->end - s->pos;
        if (run > size - got) run = size - got;
        if (!text) {
            std::memcpy(out + got, s->base + s->pos, run);
            s->pos += run;
            got += run;
            continue;
        }
        // Text: copy up to the next CR, then let get_byte decide the CR.
        const void *cr = std::memchr(s->base + s->pos, '\r', run);
        const std::size_t plain = cr == nullptr ? run : static_cast<const unsigned char *>(cr) - (s->base + s->pos);
        std::memcpy(out + got, s->base + s->pos, plain);
        s->pos += plain;
        got += plain;
        if (cr != nullptr && got < size) {
            const int c = get_byte_locked(s);
            if (c < 0) break;
            out[got++] = static_cast<unsigned char>(c);
        }
    }
    return got;
}

std::size_t write_locked(Stream *s, const void *data, std::size_t size) {
    if (size == 0 || !start_writing(s)) return 0;
    const auto *in = static_cast<const unsigned char *>(data);
    // Unbuffered, or more than a buffer with nothing waiting: straight out.
    if ((s->state & kStateUnbuffered) != 0 || (s->pos == 0 && size >= s->size)) {
        if (const int error = write_out(s, in, size); error != os::kFileOk) {
            set_failure(s, error);
            return 0;
        }
        return size;
    }
    std::size_t done = 0;
    while (done < size) {
        if (s->pos == s->size && flush_locked(s, false) != 0) return done;
        std::size_t run = s->size - s->pos;
        if (run > size - done) run = size - done;
        std::memcpy(s->base + s->pos, in + done, run);
        s->pos += run;
        done += run;
    }
    if (s->pos == s->size && flush_locked(s, false) != 0) return done;
    if ((s->state & kStateLineBuffered) != 0 && std::memchr(in, '\n', size) != nullptr && flush_locked(s, false) != 0)
        return done;
    return done;
}

int unget_locked(Stream *s, int c) {
    if (c < 0 || (s->mode & kStreamRead) == 0 || (s->state & kStateWriting) != 0) {
        set_errno(kEINVAL);
        return -1;
    }
    if (s->pushed == kPushbackMax) {
        set_errno(kENOMEM);
        return -1;
    }
    s->pushback[s->pushed++] = static_cast<unsigned char>(c);
    s->state = (s->state & ~kStateEof) | kStateReading;
    return static_cast<unsigned char>(c);
}

int seek_locked(Stream *s, long long offset, int origin) {
    if (origin < 0 || origin > 2 || (origin == 0 && offset < 0)) {
        set_errno(kEINVAL);
        return -1;
    }
    if (origin == 1) {
        const long long here = tell_locked(s);
        if (here < 0) return -1;
        offset += here;
        origin = 0;
        if (offset < 0) {
            set_errno(kEINVAL);
            return -1;
        }
    }
    if ((s->state & kStateWriting) != 0 && flush_locked(s, false) != 0) return -1;
    s->pos = s->end = 0;
    s->pushed = 0;
    s->state &= ~(kStateEof | kStateReading | kStateWriting);
    if (const int error = seek_file_to(s, offset, origin); error != os::kFileOk) {
        set_failure(s, error);
        return -1;
    }
    return 0;
}

long long tell_locked(Stream *s) {
    long long position = 0;
    if (!file_position(s, &position)) return -1;
    if ((s->state & kStateReading) != 0) {
        position -= static_cast<long long>(s->end - s->pos) + s->pushed;
    } else if ((s->state & kStateWriting) != 0) {
        position += static_cast<long long>(s->pos);
        if ((s->mode & kStreamText) != 0 && s->handle > 2)
            for (std::size_t i = 0; i < s->pos; ++i) position += s->base[i] == '\n';
    }
    return position < 0 ? 0 : position;
}

int set_buffer_locked(Stream *s, char *buffer, int mode, std::size_t size) {
    if (mode < 0 || mode > 2 || (s->state & (kStateReading | kStateWriting | kStateBufferChosen)) != 0) {
        set_errno(kEINVAL);
        return -1;
    }
    unsigned char *base = &s->one_byte;
    std::size_t length = 1;
    bool own = false;
    if (mode != 0 && size > 0) {
        if (buffer != nullptr) {
            base = reinterpret_cast<unsigned char *>(buffer);
        } else {
            base = static_cast<unsigned char *>(std::malloc(size));
            if (base == nullptr) {
                set_errno(kENOMEM);
                return -1;
            }
            own = true;
        }
        length = size;
    }
    if ((s->state & kStateOwnBuffer) != 0) std::free(s->base);
    s->base = base;
    s->size = length;
    s->state &= ~(kStateLineBuffered | kStateUnbuffered | kStateOwnBuffer);
    s->state |= own ? kStateOwnBuffer : 0u;
    if (mode == 0) s->state |= kStateUnbuffered;
    if (mode == 1) s->state |= kStateLineBuffered;
    return 0;
}

int flush_all() {
    int result = 0;
    for (Stream &s : g_records) {
        if (!s.in_use.load(std::memory_order_acquire)) continue;
        std::lock_guard<core::WordLock> hold(s.lock);
        if (s.in_use.load(std::memory_order_relaxed) && (s.mode & kStreamWrite) != 0 && flush_locked(&s, true) != 0)
            result = -1;
    }
    return result;
}

void flush_streams_at_exit() {
    for (Stream &s : g_records) {
        if (!s.in_use.load(std::memory_order_acquire) || !s.lock.try_lock()) continue;
        if (s.in_use.load(std::memory_order_relaxed) && (s.state & kStateWriting) != 0) flush_locked(&s, false);
        s.lock.unlock();
    }
}

void close_all_streams() {
    for (Stream &s : g_records) {
        if (!s.in_use.load(std::memory_order_acquire)) continue;
        // A thread that holds a stream now will not let go of it: skip it
        // rather than wait for ever.
        if (!s.lock.try_lock()) continue;
        if (s.in_use.load(std::memory_order_relaxed)) {
            if (slot_of(&s) > 2) close_stream_locked(&s);
            else flush_locked(&s, false);
        }
        s.lock.unlock();
    }
}

}  // namespace kez::clib
