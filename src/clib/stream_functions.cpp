// The C library's stream functions. Each checks its stream and holds the
// stream's lock for the whole call.
#include <climits>
#include <cstdint>
#include <cstring>

#include "clib/clib_exports.h"
#include "clib/clib_library.h"
#include "clib/stream.h"
#include "fmtio/file_table.h"

namespace clib = kez::clib;
using clib::Stream;
using clib::StreamLock;

namespace {

KezFile *as_file(Stream *s) { return reinterpret_cast<KezFile *>(s); }
Stream *standard(int slot) { return clib::stream_table()[slot]; }

}  // namespace

extern "C" KezFile **_GetFilesArray(void) { return reinterpret_cast<KezFile **>(clib::stream_table()); }

extern "C" KezFile *kez_fopen(const char *path, const char *mode) { return as_file(clib::open_stream(path, mode, 3)); }

extern "C" KezFile *kez_freopen(const char *path, const char *mode, KezFile *stream) {
    StreamLock s(stream);
    if (!s) return nullptr;
    return as_file(clib::reopen_stream_locked(s.get(), path, mode));
}

extern "C" KezFile *kez_fdopen(int handle, const char *mode) {
    unsigned stream_mode = 0;
    int oflag = 0;
    if (handle < 0 || !clib::parse_mode(mode, &stream_mode, &oflag)) {
        clib::set_errno(clib::kEINVAL);
        return nullptr;
    }
    if (handle <= 2) return as_file(standard(handle));
    {
        kez::fmtio::LockedFile file;
        if (kez::fmtio::lock_file(handle, &file) != kez::os::kFileOk) {
            clib::set_errno(clib::kEBADF);
            return nullptr;
        }
        // The handle's own mode decides the translation.
        stream_mode &= ~clib::kStreamText;
        if ((kez::fmtio::entry_flags(file.entry()) & kez::fmtio::kEntryText) != 0) stream_mode |= clib::kStreamText;
    }
    return as_file(clib::stream_over_handle(handle, stream_mode));
}

extern "C" int kez_fclose(KezFile *stream) {
    StreamLock s(stream);
    if (!s) return -1;
    return clib::close_stream_locked(s.get());
}

extern "C" int kez_fflush(KezFile *stream) {
    if (stream == nullptr) return clib::flush_all();
    StreamLock s(stream);
    if (!s) return -1;
    return clib::flush_locked(s.get(), true);
}

extern "C" size_t kez_fread(void *buffer, size_t size, size_t count, KezFile *stream) {
    StreamLock s(stream);
    if (!s || size == 0 || count == 0) return 0;
    if (count > SIZE_MAX / size || buffer == nullptr) {
        clib::set_errno(clib::kEINVAL);
        return 0;
    }
    return clib::read_locked(s.get(), buffer, size * count) / size;
}

extern "C" size_t kez_fwrite(const void *buffer, size_t size, size_t count, KezFile *stream) {
    StreamLock s(stream);
    if (!s || size == 0 || count == 0) return 0;
    if (count > SIZE_MAX / size || buffer == nullptr) {
        clib::set_errno(clib::kEINVAL);
        return 0;
    }
    return clib::write_locked(s.get(), buffer, size * count) / size;
}

extern "C" int kez_fgetc(KezFile *stream) {
    StreamLock s(stream);
    if (!s) return -1;
    // The common case: a byte in the buffer that needs no decision.
    Stream *st = s.get();
    if ((st->state & clib::kStateReading) != 0 && st->pushed == 0 && st->pos < st->end) {
        const unsigned char c = st->base[st->pos];
        if (c != '\r' || (st->mode & clib::kStreamText) == 0) {
            ++st->pos;
            return c;
        }
    }
    return clib::get_byte_locked(st);
}

extern "C" int kez_getc(KezFile *stream) { return kez_fgetc(stream); }
extern "C" int kez_getchar(void) { return kez_fgetc(as_file(standard(0))); }

extern "C" char *kez_fgets(char *buffer, int n, KezFile *stream) {
    StreamLock s(stream);
    if (!s) return nullptr;
    if (buffer == nullptr || n < 2) {
        clib::set_errno(clib::kEINVAL);
        return nullptr;
    }
    Stream *st = s.get();
    if (!clib::start_reading(st)) return nullptr;
    const bool text = (st->mode & clib::kStreamText) != 0;
    int stored = 0;
    while (stored < n - 1) {
        // Pushed-back bytes, and the CR of a text stream, byte by byte.
        if (st->pushed > 0 || st->pos == st->end || (text && st->base[st->pos] == '\r')) {
            const int c = clib::get_byte_locked(st);
            if (c < 0) break;
            buffer[stored++] = static_cast<char>(c);
            if (c == '\n') break;
            continue;
        }
        std::size_t run = st->end - st->pos;
        if (run > static_cast<std::size_t>(n - 1 - stored)) run = static_cast<std::size_t>(n - 1 - stored);
        const unsigned char *from = st->base + st->pos;
        // Up to and with the line feed; in text mode up to a CR, which
        // get_byte decides with the byte after it.
        const auto *lf = static_cast<const unsigned char *>(std::memchr(from, '\n', run));
        std::size_t take = lf != nullptr ? static_cast<std::size_t>(lf - from) + 1 : run;
        bool line_end = lf != nullptr;
        if (text) {
            if (const void *cr = std::memchr(from, '\r', take)) {
                take = static_cast<std::size_t>(static_cast<const unsigned char *>(cr) - from);
                line_end = false;
            }
        }
        std::memcpy(buffer + stored, from, take);
        st->pos += take;
        stored += static_cast<int>(take);
        if (line_end) break;
    }
    if (stored == 0 || (st->state & clib::kStateError) != 0) return nullptr;
    buffer[stored] = '\0';
    return buffer;
}

extern "C" int kez_fputc(int c, KezFile *stream) {
    StreamLock s(stream);
    if (!s) return -1;
    // The common case: room in the buffer of a fully buffered stream.
    Stream *st = s.get();
    constexpr unsigned kSlowStates = clib::kStateLineBuffered | clib::kStateUnbuffered;
    if ((st->state & (clib::kStateWriting | kSlowStates)) == clib::kStateWriting && st->pos + 1 < st->size) {
        st->base[st->pos++] = static_cast<unsigned char>(c);
        return static_cast<unsigned char>(c);
    }
    return clib::put_byte_locked(st, static_cast<unsigned char>(c));
}

extern "C" int kez_putc(int c, KezFile *stream) { return kez_fputc(c, stream); }
extern "C" int kez_putchar(int c) { return kez_fputc(c, as_file(standard(1))); }

extern "C" int kez_fputs(const char *text, KezFile *stream) {
    StreamLock s(stream);
    if (!s) return -1;
    if (text == nullptr) {
        clib::set_errno(clib::kEINVAL);
        return -1;
    }
    const std::size_t n = std::strlen(text);
    return clib::write_locked(s.get(), text, n) == n ? 0 : -1;
}

extern "C" int kez_puts(const char *text) {
    StreamLock s(standard(1));
    if (!s) return -1;
    if (text == nullptr) {
        clib::set_errno(clib::kEINVAL);
        return -1;
    }
    const std::size_t n = std::strlen(text);
    if (clib::write_locked(s.get(), text, n) != n) return -1;
    return clib::put_byte_locked(s.get(), '\n') < 0 ? -1 : 0;
}

extern "C" int kez_ungetc(int c, KezFile *stream) {
    StreamLock s(stream);
    return s ? clib::unget_locked(s.get(), c) : -1;
}

extern "C" int kez_fseek(KezFile *stream, long offset, int origin) {
    StreamLock s(stream);
    return s ? clib::seek_locked(s.get(), offset, origin) : -1;
}

extern "C" long kez_ftell(KezFile *stream) {
    StreamLock s(stream);
    if (!s) return -1;
    const long long position = clib::tell_locked(s.get());
    // A position a 32-bit long cannot hold is refused, not cut.
    if (position > LONG_MAX) {
        clib::set_errno(clib::kEINVAL);
        return -1;
    }
    return static_cast<long>(position);
}

extern "C" int kez_fgetpos(KezFile *stream, long long *position) {
    StreamLock s(stream);
    if (!s) return -1;
    if (position == nullptr) {
        clib::set_errno(clib::kEINVAL);
        return -1;
    }
    const long long at = clib::tell_locked(s.get());
    if (at < 0) return -1;
    *position = at;
    return 0;
}

extern "C" int kez_fsetpos(KezFile *stream, const long long *position) {
    StreamLock s(stream);
    if (!s) return -1;
    if (position == nullptr) {
        clib::set_errno(clib::kEINVAL);
        return -1;
    }
    return clib::seek_locked(s.get(), *position, 0);
}

extern "C" void kez_rewind(KezFile *stream) {
    StreamLock s(stream);
    if (!s) return;
    clib::seek_locked(s.get(), 0, 0);
    s.get()->state &= ~clib::kStateError;
}

extern "C" void kez_clearerr(KezFile *stream) {
    StreamLock s(stream);
    if (s) s.get()->state &= ~(clib::kStateError | clib::kStateEof);
}

extern "C" int kez_feof(KezFile *stream) {
    StreamLock s(stream);
    return s && (s.get()->state & clib::kStateEof) != 0 ? 1 : 0;
}

extern "C" int kez_ferror(KezFile *stream) {
    StreamLock s(stream);
    return s && (s.get()->state & clib::kStateError) != 0 ? 1 : 0;
}

extern "C" int kez_setvbuf(KezFile *stream, char *buffer, int mode, size_t size) {
    StreamLock s(stream);
    return s ? clib::set_buffer_locked(s.get(), buffer, mode, size) : -1;
}

extern "C" void kez_setbuf(KezFile *stream, char *buffer) {
    StreamLock s(stream);
    if (s) clib::set_buffer_locked(s.get(), buffer, buffer != nullptr ? 2 : 0, clib::kDefaultBuffer);
}

extern "C" KezFile *kez_tmpfile(void) { return as_file(clib::open_temp_stream()); }

extern "C" char *kez_tmpnam(char *buffer) {
    char *out = buffer != nullptr ? buffer : clib::temp_name_buffer();
    return clib::next_temp_name(out, clib::kTempNameSize) ? out : nullptr;
}

extern "C" void kez_perror(const char *prefix) {
    const char *message = kez_strerror(*clib::errno_cell());
    StreamLock s(standard(2));
    if (!s) return;
    if (prefix != nullptr && *prefix != '\0') {
        clib::write_locked(s.get(), prefix, std::strlen(prefix));
        clib::write_locked(s.get(), ": ", 2);
    }
    clib::write_locked(s.get(), message, std::strlen(message));
    clib::put_byte_locked(s.get(), '\n');
}
