#include "fmtio/file_table.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include <immintrin.h>

#include "os/fault.h"

namespace kez::fmtio {

namespace {
constexpr std::uint32_t kAheadSize = 512;         // in the entry
constexpr std::uint32_t kAheadBlockSize = 4096;  // from the first fill on, when it can be had
constexpr int kChunkEntries = 64;
constexpr int kMaxChunks = 1024;  // 65,536 handles

enum : int { kFree = 0, kReserved = 1, kOpen = 2 };
}  // namespace

struct FileEntry {
    std::mutex lock;
    std::atomic<int> state{kFree};  // kOpen -> kFree only under `lock`
    int handle = 0;
    os::NativeFile file = os::kNoFile;
    unsigned flags = 0;
    bool disk = false;      // positions and commits apply
    bool standard = false;  // handles 0-2
    bool fetched = false;   // a standard entry's file has been looked up
    std::uint32_t ahead_begin = 0;
    std::uint32_t ahead_end = 0;
    std::uint32_t peeked = 1;  // raw bytes behind the byte peek_byte gave (2 for CR LF)
    unsigned char *stage = nullptr;  // text writes: LF as CR LF; kept for the entry's next file
    std::uint32_t stage_size = 0;
    unsigned char *ahead_block = nullptr;  // the larger read-ahead; kept for the entry's next file
    unsigned char ahead[kAheadSize];
};

namespace {

std::atomic<FileEntry *> g_chunks[kMaxChunks];
std::atomic<int> g_entries_made{0};
std::mutex g_table_lock;  // reserving entries and adding chunks
FileEntry g_standard[3];
std::atomic<ConsoleCopy> g_console_copy{nullptr};

FileEntry *entry_at(int index) {
    if (index < 0 || index >= kMaxChunks * kChunkEntries) return nullptr;
    FileEntry *chunk = g_chunks[index / kChunkEntries].load(std::memory_order_acquire);
    return chunk == nullptr ? nullptr : &chunk[index % kChunkEntries];
}

// The standard entries learn their file on first use (a program may have
// none, and it may change before the first use).
void fetch_standard(FileEntry *e) {
    if (e->fetched) return;
    e->fetched = true;
    e->standard = true;
    e->file = os::standard_file(e->handle);
    e->disk = e->file != os::kNoFile && os::file_type(e->file) == os::FileType::disk;
    e->flags = (e->handle == 0 ? kEntryRead : kEntryWrite) | (os::standard_files_are_text() ? kEntryText : 0u);
    e->state.store(kOpen, std::memory_order_relaxed);
}

void copy_to_console(FileEntry *e, const void *data, std::size_t size) {
    if (size == 0) return;
    if (ConsoleCopy copy = g_console_copy.load(std::memory_order_acquire))
        copy(e->handle, static_cast<const char *>(data), size);
}

std::uint32_t ahead_count(const FileEntry *e) { return e->ahead_end - e->ahead_begin; }
unsigned char *ahead_data(FileEntry *e) { return e->ahead_block != nullptr ? e->ahead_block : e->ahead; }

// Reads raw bytes: the read-ahead first, then the file.
int read_raw(FileEntry *e, unsigned char *out, std::uint32_t count, std::uint32_t *done) {
    *done = 0;
    if (count == 0) return os::kFileOk;
    if (const std::uint32_t have = ahead_count(e); have > 0) {
        const std::uint32_t n = have < count ? have : count;
        std::memcpy(out, ahead_data(e) + e->ahead_begin, n);
        e->ahead_begin += n;
        *done = n;
        // A disk file never blocks: fill the rest of the request.
        if (n == count || !e->disk) return os::kFileOk;
        std::uint32_t more = 0;
        const int error = os::file_read(e->file, out + n, count - n, &more);
        *done += more;
        return *done > 0 ? os::kFileOk : error;
    }
    if (e->file == os::kNoFile) return os::kFileOk;  // no standard input: at the end
    return os::file_read(e->file, out, count, done);
}

// Makes sure the read-ahead holds a byte; false at the end or on an error.
// The first fill moves it to a block of its own, so that reading lines
// takes one system call for many lines; the entry's own bytes serve when
// no block can be had.
bool fill_ahead(FileEntry *e, int *error) {
    *error = os::kFileOk;
    if (ahead_count(e) > 0) return true;
    e->ahead_begin = e->ahead_end = 0;
    if (e->file == os::kNoFile) return false;
    if (e->ahead_block == nullptr) e->ahead_block = static_cast<unsigned char *>(std::malloc(kAheadBlockSize));
    std::uint32_t got = 0;
    *error = os::file_read(e->file, ahead_data(e), e->ahead_block != nullptr ? kAheadBlockSize : kAheadSize, &got);
    if (*error != os::kFileOk) return false;
    e->ahead_end = got;
    return got > 0;
}

void drop_ahead(FileEntry *e) { e->ahead_begin = e->ahead_end = 0; }

// Gives the unread read-ahead of a disk file back to the file before a
// write, so the write lands where the reader stopped.
int return_ahead(FileEntry *e) {
    if (ahead_count(e) == 0 || !e->disk) return os::kFileOk;
    std::int64_t at = 0;
    const int error = os::file_seek(e->file, -static_cast<std::int64_t>(ahead_count(e)), 1, &at);
    drop_ahead(e);
    return error;
}

// Text mode: CR LF becomes LF, in place. A CR that ends the data is
// decided by the next byte, which is left in the read-ahead unless it is
// the LF: so CR CR LF reads as CR LF, whatever the chunk boundaries.
std::uint32_t translate_read(FileEntry *e, unsigned char *data, std::uint32_t size) {
    std::uint32_t w = 0;
    for (std::uint32_t i = 0; i < size; ++i) {
        const unsigned char c = data[i];
        if (c == '\r') {
            if (i + 1 < size) {
                if (data[i + 1] == '\n') continue;  // the LF that follows is kept
            } else {
                int error = 0;
                if (fill_ahead(e, &error) && ahead_data(e)[e->ahead_begin] == '\n') {
                    ++e->ahead_begin;
                    data[w++] = '\n';
                    continue;
                }
            }
        }
        data[w++] = c;
    }
    return w;
}

}  // namespace

void LockedFile::release() {
    if (entry_ != nullptr) entry_->lock.unlock();
    entry_ = nullptr;
}

int lock_file(int handle, LockedFile *locked) {
    locked->release();
    FileEntry *e = nullptr;
    if (handle >= 0 && handle <= 2) {
        e = &g_standard[handle];
        e->lock.lock();
        e->handle = handle;
        fetch_standard(e);
        locked->entry_ = e;
        return os::kFileOk;
    }
    e = handle > 2 ? entry_at(handle - 3) : nullptr;
    if (e == nullptr || e->state.load(std::memory_order_acquire) != kOpen) return os::kFileBadHandle;
    e->lock.lock();
    if (e->state.load(std::memory_order_relaxed) != kOpen) {
        e->lock.unlock();
        return os::kFileBadHandle;
    }
    locked->entry_ = e;
    return os::kFileOk;
}

namespace {

// Reserves the first free entry, adding a chunk when every entry is taken.
int reserve_entry(FileEntry **out) {
    std::lock_guard<std::mutex> hold(g_table_lock);
    int chunk = 0;
    for (; chunk < kMaxChunks; ++chunk) {
        FileEntry *entries = g_chunks[chunk].load(std::memory_order_relaxed);
        if (entries == nullptr) break;
        for (int i = 0; i < kChunkEntries; ++i) {
            int expected = kFree;
            if (entries[i].state.compare_exchange_strong(expected, kReserved)) {
                *out = &entries[i];
                return os::kFileOk;
            }
        }
    }
    if (chunk == kMaxChunks) return os::kFileTooManyOpen;
    FileEntry *entries = fault::hit("fmtio.file_table_grow") ? nullptr : new (std::nothrow) FileEntry[kChunkEntries];
    if (entries == nullptr) return os::kFileNoMemory;
    for (int i = 0; i < kChunkEntries; ++i) entries[i].handle = chunk * kChunkEntries + i + 3;
    entries[0].state.store(kReserved, std::memory_order_relaxed);
    g_chunks[chunk].store(entries, std::memory_order_release);
    g_entries_made.fetch_add(kChunkEntries, std::memory_order_relaxed);
    *out = &entries[0];
    return os::kFileOk;
}

}  // namespace

int open_file(const char *path, unsigned os_flags, unsigned share, unsigned entry_flags, int *handle) {
    *handle = -1;
    FileEntry *e = nullptr;
    if (const int error = reserve_entry(&e); error != os::kFileOk) return error;
    os::NativeFile file = os::kNoFile;
    if (const int error = os::file_open(path, os_flags, share, &file); error != os::kFileOk) {
        e->state.store(kFree, std::memory_order_release);
        return error;
    }
    {
        std::lock_guard<std::mutex> hold(e->lock);
        e->file = file;
        e->flags = entry_flags;
        e->disk = os::file_type(file) == os::FileType::disk;
        drop_ahead(e);
        e->state.store(kOpen, std::memory_order_release);
    }
    *handle = e->handle;
    return os::kFileOk;
}

int close_file(LockedFile &locked, bool commit) {
    FileEntry *e = locked.entry();
    if (e == nullptr || e->standard) return os::kFileBadHandle;
    int error = os::kFileOk;
    if (commit && (e->flags & kEntryWrite) != 0) error = commit_file(e);
    const int close_error = os::file_close(e->file);
    if (error == os::kFileOk) error = close_error;
    e->file = os::kNoFile;
    drop_ahead(e);
    e->state.store(kFree, std::memory_order_release);
    locked.release();
    return error;
}

int read_file(FileEntry *e, void *buffer, std::uint32_t count, std::uint32_t *done) {
    *done = 0;
    // The same answer on every platform for a file not opened for reading.
    if ((e->flags & kEntryRead) == 0) return os::kFileAccessDenied;
    auto *out = static_cast<unsigned char *>(buffer);
    int error = read_raw(e, out, count, done);
    if (error != os::kFileOk || *done == 0) return error;
    if ((e->flags & kEntryText) != 0) *done = translate_read(e, out, *done);
    if (e->standard) copy_to_console(e, out, *done);
    return os::kFileOk;
}

int read_file_raw(FileEntry *e, void *buffer, std::uint32_t count, std::uint32_t *done) {
    *done = 0;
    if ((e->flags & kEntryRead) == 0) return os::kFileAccessDenied;
    const int error = read_raw(e, static_cast<unsigned char *>(buffer), count, done);
    if (error == os::kFileOk && e->standard) copy_to_console(e, buffer, *done);
    return error;
}

bool read_byte(FileEntry *e, unsigned char *byte, int *error) {
    if ((e->flags & kEntryRead) == 0) {
        *error = os::kFileAccessDenied;
        return false;
    }
    if (!fill_ahead(e, error)) return false;
    unsigned char c = ahead_data(e)[e->ahead_begin++];
    if (c == '\r' && (e->flags & kEntryText) != 0) {
        int ignored = 0;
        if (fill_ahead(e, &ignored) && ahead_data(e)[e->ahead_begin] == '\n') {
            ++e->ahead_begin;
            c = '\n';
        }
    }
    *byte = c;
    if (e->standard) copy_to_console(e, &c, 1);
    return true;
}

bool peek_byte(FileEntry *e, unsigned char *byte, int *error) {
    if ((e->flags & kEntryRead) == 0) {
        *error = os::kFileAccessDenied;
        return false;
    }
    if (!fill_ahead(e, error)) return false;
    unsigned char *data = ahead_data(e);
    unsigned char c = data[e->ahead_begin];
    e->peeked = 1;
    if (c == '\r' && (e->flags & kEntryText) != 0) {
        if (e->ahead_begin + 1 == e->ahead_end) {
            // The CR ends the read-ahead: keep it, and read what follows behind it.
            data[0] = '\r';
            e->ahead_begin = 0;
            e->ahead_end = 1;
            const std::uint32_t capacity = e->ahead_block != nullptr ? kAheadBlockSize : kAheadSize;
            std::uint32_t got = 0;
            if (os::file_read(e->file, data + 1, capacity - 1, &got) == os::kFileOk) e->ahead_end += got;
        }
        if (e->ahead_begin + 1 < e->ahead_end && data[e->ahead_begin + 1] == '\n') {
            c = '\n';
            e->peeked = 2;
        }
    }
    *byte = c;
    return true;
}

void skip_byte(FileEntry *e) {
    if (e->standard) {
        const unsigned char *at = ahead_data(e) + e->ahead_begin;
        const unsigned char c = e->peeked == 2 ? '\n' : *at;
        copy_to_console(e, &c, 1);
    }
    e->ahead_begin += e->peeked;
    e->peeked = 1;
}

int read_line(FileEntry *e, char *out, std::size_t room, std::size_t *stored_out, long long *length, bool *any) {
    *length = 0;
    *any = false;
    *stored_out = 0;
    if ((e->flags & kEntryRead) == 0) return os::kFileAccessDenied;
    std::size_t stored = 0;
    const bool text = (e->flags & kEntryText) != 0;
    int error = os::kFileOk;
    while (fill_ahead(e, &error)) {
        unsigned char *p = ahead_data(e) + e->ahead_begin;
        const std::uint32_t n = ahead_count(e);
        // The run up to the first line feed, or in text mode the first CR,
        // which read_byte decides with the byte after it.
        const auto *lf = static_cast<unsigned char *>(std::memchr(p, '\n', n));
        const std::uint32_t before_lf = lf != nullptr ? static_cast<std::uint32_t>(lf - p) : n;
        const auto *cr = text ? static_cast<unsigned char *>(std::memchr(p, '\r', before_lf)) : nullptr;
        const std::uint32_t run = cr != nullptr ? static_cast<std::uint32_t>(cr - p) : before_lf;
        if (run > 0) {
            const std::size_t keep = room - stored < run ? room - stored : run;
            std::memcpy(out + stored, p, keep);
            stored += keep;
            *length += run;
            *any = true;
            if (e->standard) copy_to_console(e, p, run);
            e->ahead_begin += run;
        }
        if (run == n) continue;
        if (p[run] == '\n') {
            ++e->ahead_begin;
            *any = true;
            if (e->standard) copy_to_console(e, p + run, 1);
            break;
        }
        unsigned char c = 0;
        if (!read_byte(e, &c, &error)) break;
        *any = true;
        if (c == '\n') break;
        if (stored < room) out[stored++] = static_cast<char>(c);
        ++*length;
    }
    if (*length > 0x7FFFFFFF) *length = 0x7FFFFFFF;
    *stored_out = stored;
    return error;
}

namespace {

int write_raw(FileEntry *e, const void *data, std::uint32_t size) {
    if (e->file == os::kNoFile) return os::kFileOk;  // no standard handle: the copy is the output
    std::uint32_t written = 0;
    return os::file_write(e->file, data, size, &written);
}

}  // namespace

namespace {

// Text writes: LF goes out as CR LF. The translation stores each block of
// the caller's bytes whole, then for each line feed in it a CR at its place
// and the block's bytes from the line feed on again, one place further:
// one store per block and two per line feed, whatever the line lengths.
// It stops when fewer than two blocks' bytes are left, or when the output
// has passed `limit`; a block begun before `limit` writes at most
// kBlockReach bytes beyond it.
constexpr std::ptrdiff_t kBlockReach = 96;  // a 32-byte block of line feeds: 64 bytes, and a 32-byte store

const unsigned char *translate_sse2(const unsigned char *p, const unsigned char *end, unsigned char **to,
                                    const unsigned char *limit) {
    unsigned char *out = *to;
    const __m128i lf = _mm_set1_epi8('\n');
    // The copy after a line feed at k reads k ... k + 15 of the block's 32.
    while (end - p >= 32 && out <= limit) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, lf)));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out), v);
        if (mask == 0) {
            out += 16;
        } else {
            unsigned at = 0;
            do {
                const unsigned k = static_cast<unsigned>(__builtin_ctz(mask));
                mask &= mask - 1;
                // Loaded before the CR is stored, so that it need not wait for the store.
                const __m128i rest = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + k));
                out += k - at;
                *out++ = '\r';
                _mm_storeu_si128(reinterpret_cast<__m128i *>(out), rest);
                at = k;
            } while (mask != 0);
            out += 16 - at;
        }
        p += 16;
    }
    *to = out;
    return p;
}

// The same 32 bytes at a time, on processors with AVX2.
[[gnu::target("avx2")]] const unsigned char *translate_avx2(const unsigned char *p, const unsigned char *end,
                                                            unsigned char **to, const unsigned char *limit) {
    unsigned char *out = *to;
    const __m256i lf = _mm256_set1_epi8('\n');
    while (end - p >= 64 && out <= limit) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
        unsigned mask = static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, lf)));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out), v);
        if (mask == 0) {
            out += 32;
        } else {
            unsigned at = 0;
            do {
                const unsigned k = static_cast<unsigned>(__builtin_ctz(mask));
                mask &= mask - 1;
                const __m256i rest = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + k));
                out += k - at;
                *out++ = '\r';
                _mm256_storeu_si256(reinterpret_cast<__m256i *>(out), rest);
                at = k;
            } while (mask != 0);
            out += 32 - at;
        }
        p += 32;
    }
    *to = out;
    return translate_sse2(p, end, to, limit);
}

using Translate = const unsigned char *(*)(const unsigned char *, const unsigned char *, unsigned char **,
                                           const unsigned char *);

Translate pick_translate() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? translate_avx2 : translate_sse2;
}

// A text write's staging block holds the whole translated write when it
// can: its size follows the largest write so far, within these bounds.
constexpr std::uint32_t kStageSlack = 128;  // for a block begun at the limit, or the last 31 bytes
constexpr std::uint32_t kMinStageSize = 4096;
constexpr std::uint32_t kMaxStageSize = 128 * 1024;

// The stage for a write of `count` bytes: the entry's, grown when it is
// smaller than the write with a line feed in every eighth byte would need;
// when none can be had, the one given.
unsigned char *stage_for(FileEntry *e, std::uint32_t count, unsigned char *fallback, std::uint32_t fallback_size,
                         std::uint32_t *capacity) {
    const std::uint64_t wanted = (std::uint64_t{count} + count / 8 + kStageSlack + 4095) & ~std::uint64_t{4095};
    const auto size = static_cast<std::uint32_t>(
        wanted < kMinStageSize ? kMinStageSize : wanted > kMaxStageSize ? kMaxStageSize : wanted);
    if (e->stage == nullptr || e->stage_size < size) {
        if (auto *grown = static_cast<unsigned char *>(std::malloc(size)); grown != nullptr) {
            std::free(e->stage);
            e->stage = grown;
            e->stage_size = size;
        }
    }
    if (e->stage == nullptr) {
        *capacity = fallback_size;
        return fallback;
    }
    *capacity = e->stage_size;
    return e->stage;
}

// Translates the caller's bytes into the stage, writing the stage out
// whenever the output passes its limit. *done counts the caller's bytes
// written.
int write_text(FileEntry *e, const unsigned char *in, std::uint32_t count, unsigned char *stage,
               std::uint32_t capacity, std::uint32_t *done) {
    static const Translate chosen = pick_translate();
    // Tests run the 16-byte translation throughout, as on a processor without AVX2.
    const Translate translate = fault::hit("fmtio.text_avx2") ? translate_sse2 : chosen;
    static_assert(kStageSlack >= kBlockReach && kStageSlack >= 2 * 31, "room for a block begun at the limit");
    const unsigned char *p = in;
    const unsigned char *const end = in + count;
    unsigned char *out = stage;
    const unsigned char *const limit = stage + capacity - kStageSlack;
    std::uint32_t flushed = 0;  // the caller's bytes written; those before p are staged
    auto flush_stage = [&]() -> int {
        const int error = write_raw(e, stage, static_cast<std::uint32_t>(out - stage));
        if (error != os::kFileOk) {
            *done = flushed;
            return error;
        }
        flushed = static_cast<std::uint32_t>(p - in);
        out = stage;
        return os::kFileOk;
    };
    for (;;) {
        p = translate(p, end, &out, limit);
        if (out <= limit) break;  // fewer than 32 bytes are left
        if (int error = flush_stage(); error != os::kFileOk) return error;
    }
    for (; p < end; ++p) {
        if (*p == '\n') *out++ = '\r';
        *out++ = *p;
    }
    if (int error = flush_stage(); error != os::kFileOk) return error;
    *done = count;
    return os::kFileOk;
}

}  // namespace

int write_file(FileEntry *e, const void *buffer, std::uint32_t count, std::uint32_t *done) {
    *done = 0;
    if ((e->flags & kEntryWrite) == 0) return os::kFileAccessDenied;
    const auto *in = static_cast<const unsigned char *>(buffer);
    if (int error = return_ahead(e); error != os::kFileOk) return error;
    if ((e->flags & kEntryAppend) != 0 && e->disk) {
        std::int64_t at = 0;
        if (int error = os::file_seek(e->file, 0, 2, &at); error != os::kFileOk) return error;
    }
    if (e->standard) copy_to_console(e, in, count);
    if ((e->flags & kEntryText) == 0) {
        const int error = write_raw(e, in, count);
        if (error == os::kFileOk) *done = count;
        return error;
    }
    unsigned char small[1024];
    std::uint32_t capacity = 0;
    unsigned char *stage = stage_for(e, count, small, sizeof small, &capacity);
    return write_text(e, in, count, stage, capacity, done);
}

int seek_file(FileEntry *e, std::int64_t offset, int origin, std::int64_t *position) {
    *position = 0;
    if (origin < 0 || origin > 2) return os::kFileInvalidArgument;
    if (e->standard) return os::kFileOk;
    std::int64_t at = 0;
    // Where the reader stands, without giving up the read-ahead.
    if (origin == 1 && offset == 0) {
        const int error = os::file_seek(e->file, 0, 1, &at);
        if (error == os::kFileOk) *position = at - ahead_count(e);
        return error;
    }
    // The read-ahead goes only when the seek succeeds: a failed seek leaves
    // the reader where it was.
    if (origin == 1) offset -= ahead_count(e);
    const int error = os::file_seek(e->file, offset, origin, &at);
    if (error != os::kFileOk) return error;
    drop_ahead(e);
    *position = at;
    return os::kFileOk;
}

int at_end_of_file(FileEntry *e, int *error) {
    *error = os::kFileOk;
    if (ahead_count(e) > 0) return 0;
    if (e->standard || !e->disk) {
        // Only reading tells; what is read stays in the read-ahead.
        return fill_ahead(e, error) ? 0 : (*error != os::kFileOk ? -1 : 1);
    }
    std::int64_t here = 0;
    std::int64_t end = 0;
    if ((*error = os::file_seek(e->file, 0, 1, &here)) != os::kFileOk) return -1;
    if ((*error = os::file_seek(e->file, 0, 2, &end)) != os::kFileOk) return -1;
    std::int64_t back = 0;
    if ((*error = os::file_seek(e->file, here, 0, &back)) != os::kFileOk) return -1;
    return here >= end ? 1 : 0;
}

int commit_file(FileEntry *e) {
    if (!e->disk || e->file == os::kNoFile) return os::kFileOk;
    return os::file_commit(e->file);
}

int entry_handle(const FileEntry *e) { return e->handle; }
unsigned entry_flags(const FileEntry *e) { return e->flags; }
bool entry_is_standard(const FileEntry *e) { return e->standard; }

void set_console_copy(ConsoleCopy copy) { g_console_copy.store(copy, std::memory_order_release); }

int entries_made() { return g_entries_made.load(std::memory_order_relaxed); }

void close_all_files() {
    std::lock_guard<std::mutex> hold(g_table_lock);
    for (int chunk = 0; chunk < kMaxChunks; ++chunk) {
        FileEntry *entries = g_chunks[chunk].load(std::memory_order_relaxed);
        if (entries == nullptr) break;
        for (int i = 0; i < kChunkEntries; ++i) {
            FileEntry &e = entries[i];
            std::lock_guard<std::mutex> entry_hold(e.lock);
            if (e.state.load(std::memory_order_relaxed) == kOpen) os::file_close(e.file);
            e.file = os::kNoFile;
            std::free(e.stage);
            e.stage = nullptr;
            e.stage_size = 0;
            std::free(e.ahead_block);
            e.ahead_block = nullptr;
            e.state.store(kFree, std::memory_order_relaxed);
        }
    }
    for (FileEntry &e : g_standard) {
        std::lock_guard<std::mutex> entry_hold(e.lock);
        e.fetched = false;
        drop_ahead(&e);
        std::free(e.ahead_block);
        e.ahead_block = nullptr;
    }
}

}  // namespace kez::fmtio
