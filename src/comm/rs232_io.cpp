// RS-232 transfers: reads with the read-ahead list, writes into the output
// queue (or straight to the device), terminated reads, file transfers and
// the queues' flush and length functions. None of them holds the port lock:
// each pins the open session, and a closing port ends its waits with -3.
#include <algorithm>
#include <climits>
#include <cstring>

#include "comm/rs232_port.h"
#include "fmtio/fmtio_library.h"
#include "kez/formatio.h"
#include "os/file.h"

namespace kez::comm::rs232 {
namespace {

// An inactivity clock: started by the first pass that moves nothing,
// stopped by any pass that moves data.
class IdleClock {
public:
    explicit IdleClock(std::uint32_t timeout_ms) : timeout_(timeout_ms) {}
    void moved() { idle_ = false; }
    // The time to wait now (at most `slice`), or 0 when the time-out has run out.
    std::uint32_t wait(std::uint32_t slice) {
        const std::uint64_t now = now_ms();
        if (!idle_) {
            idle_ = true;
            since_ = now;
        }
        if (timeout_ == 0) return slice;
        const std::uint64_t elapsed = now - since_;
        if (elapsed >= timeout_) return 0;
        return static_cast<std::uint32_t>(std::min<std::uint64_t>(slice, timeout_ - elapsed));
    }

private:
    std::uint32_t timeout_;
    bool idle_ = false;
    std::uint64_t since_ = 0;
};

// VISA's time-out for the next device read or write; set only when it
// changes. Readers and writers share the session's one time-out: each wait
// inside VISA lasts at most a slice, whoever set it.
ViStatus set_device_timeout(Port *p, std::uint32_t ms) {
    if (p->device_timeout.load() == ms) return VI_SUCCESS;
    p->device_timeout.store(ms);
    return visa::SetAttribute(p->vi.load(), VI_ATTR_TMO_VALUE, ms);
}

int write_direct(Port *p, const char *buffer, std::size_t count, std::uint32_t timeout_ms, std::size_t *done) {
    IdleClock clock(timeout_ms);
    const ViSession vi = p->vi.load();
    while (*done < count) {
        if (p->closing.load()) return -3;
        const std::size_t chunk = std::min<std::size_t>(count - *done, 16384);
        if (const ViStatus status = set_device_timeout(p, kSliceMs); status < 0) return translate(status);
        ViUInt32 got = 0;
        const ViStatus status = visa::Write(vi, reinterpret_cast<ViConstBuf>(buffer + *done),
                                            static_cast<ViUInt32>(chunk), &got);
        *done += got;
        if (got > 0) clock.moved();
        if (status < 0 && status != VI_ERROR_TMO) return translate(status);
        if (got == 0 && clock.wait(kSliceMs) == 0) return -99;  // VISA itself waited the slice
    }
    return 0;
}

}  // namespace

std::uint64_t now_ms() { return os::tick_count_ms(); }

void wait_word(const std::atomic<std::uint32_t> &word, std::uint32_t expected, std::uint32_t ms) {
    if (ms > 0) os::wait_on_address(&word, expected, ms);
}

// Takes the read-ahead list first, then what the device holds; with
// nothing there it waits inside VISA for the rest, a slice at a time, so a
// stream of bytes is read in large blocks and an idle wait costs nothing.
// The read lock is held across that wait; VISA's handler only ever tries
// it, and whoever takes bytes from the device looks for the event
// character among them.
int read_bytes(Port *p, char *buffer, std::size_t count, std::uint32_t timeout_ms, std::size_t *done) {
    *done = 0;
    IdleClock clock(timeout_ms);
    const ViSession vi = p->vi.load();
    while (*done < count) {
        std::size_t moved = 0, from_device = 0;
        int error = 0;
        bool timed_out = false;
        auto *out = reinterpret_cast<unsigned char *>(buffer) + *done;
        p->read_lock.lock();
        moved = p->ahead.pop(out, count - *done);
        const std::size_t rest = std::min<std::size_t>(count - *done - moved, INT_MAX);
        if (rest > 0) {
            ViUInt32 available = 0;
            ViStatus status = visa::GetAttribute(vi, VI_ATTR_ASRL_AVAIL_NUM, &available);
            ViUInt32 want = 0;
            if (status < 0) {
                error = translate(status);
            } else if (available > 0) {
                want = static_cast<ViUInt32>(std::min<std::size_t>(rest, available));
            } else if (moved == 0 && !p->closing.load()) {
                const std::uint32_t wait = clock.wait(kSliceMs);
                timed_out = wait == 0;
                if (!timed_out && (status = set_device_timeout(p, wait)) < 0) error = translate(status);
                if (!timed_out && error == 0) want = static_cast<ViUInt32>(rest);
            }
            if (want > 0) {
                ViUInt32 got = 0;
                status = visa::Read(vi, out + moved, want, &got);
                from_device = got;
                if (status < 0 && status != VI_ERROR_TMO && status != VI_ERROR_ASRL_OVERRUN && status != VI_ERROR_ABORT)
                    error = translate(status);
            }
        }
        p->read_lock.unlock();
        if (from_device > 0) note_input_taken(p, out + moved, from_device);
        moved += from_device;
        *done += moved;
        if (error != 0) return error;
        if (moved > 0) {
            clock.moved();
            continue;
        }
        if (p->closing.load()) return -3;
        if (timed_out) return -99;
    }
    return 0;
}

int write_bytes(Port *p, const char *buffer, std::size_t count, std::uint32_t timeout_ms, std::size_t *done) {
    *done = 0;
    p->writer_lock.lock();
    if (p->pending_error < 0) {
        // An error of earlier output is reported before anything is queued.
        const int error = p->pending_error;
        p->pending_error = 0;
        p->writer_lock.unlock();
        return error;
    }
    if (p->out_queue_disabled) {
        p->writer_lock.unlock();
        return write_direct(p, buffer, count, timeout_ms, done);
    }
    IdleClock clock(timeout_ms);
    p->last_writer_thread = os::current_thread_id();
    p->last_write_complete = false;
    while (*done < count) {
        const std::size_t space = p->queue_capacity - p->queue_fill;
        if (space > 0) {
            const std::size_t n = std::min(space, count - *done);
            std::memcpy(p->queue + p->queue_fill, buffer + *done, n);
            p->queue_fill += n;
            *done += n;
            clock.moved();
            p->work_seq.fetch_add(1);
            os::wake_one(&p->work_seq);
            continue;
        }
        const std::uint32_t seen = p->space_seq.load();
        p->writer_lock.unlock();
        if (p->closing.load()) return -3;
        const std::uint32_t wait = clock.wait(kSliceMs);
        if (wait == 0) return -99;
        wait_word(p->space_seq, seen, wait);
        p->writer_lock.lock();
    }
    p->last_write_complete = true;
    const bool emptied = p->queue_fill == 0 && !p->writing;
    const std::uint32_t session = p->session.load();
    p->writer_lock.unlock();
    if (emptied && count > 0) post_event(p, session, COM_EVENT_OUTPUT_EMPTY);
    return 0;
}

int drain_output(Port *p, std::uint32_t timeout_ms) {
    IdleClock clock(timeout_ms);
    p->writer_lock.lock();
    std::size_t last_fill = p->queue_fill;
    while (p->queue_fill != 0 || p->writing) {
        if (p->writer == nullptr) break;  // no writer: nothing will move
        const std::uint32_t seen = p->space_seq.load();
        if (p->queue_fill < last_fill) clock.moved();
        last_fill = p->queue_fill;
        p->writer_lock.unlock();
        const std::uint32_t wait = clock.wait(kSliceMs);
        if (wait == 0) return -99;
        wait_word(p->space_seq, seen, wait);
        p->writer_lock.lock();
    }
    p->writer_lock.unlock();
    // What the device holds goes out too.
    const ViStatus status = visa::Flush(p->vi.load(), VI_IO_OUT_BUF);
    return status < 0 && status != VI_ERROR_NSUP_OPER ? translate(status) : 0;
}

void put_back(Port *p, unsigned char byte) {
    p->read_lock.lock();
    p->ahead.push_front(byte);
    p->read_lock.unlock();
}

int flush_input(Port *p) {
    p->read_lock.lock();
    const ViStatus status = visa::Flush(p->vi.load(), VI_READ_BUF_DISCARD | VI_IO_IN_BUF_DISCARD);
    p->ahead.clear();
    p->read_lock.unlock();
    p->event_lock.lock();
    p->count_reported = false;
    p->event_lock.unlock();
    return status < 0 ? translate(status) : 0;
}

int flush_output(Port *p) {
    p->writer_lock.lock();
    p->queue_fill = 0;
    if (p->writing) ++p->flush_count;  // the write out now removes nothing
    p->writer_lock.unlock();
    p->space_seq.fetch_add(1);
    os::wake_all(&p->space_seq);
    const ViStatus status = visa::Flush(p->vi.load(), VI_WRITE_BUF_DISCARD | VI_IO_OUT_BUF_DISCARD);
    return status < 0 ? translate(status) : 0;
}

}  // namespace kez::comm::rs232

using namespace kez::comm::rs232;
namespace visa = kez::comm::visa;
namespace os = kez::os;

namespace {

// A transfer's outcome: its count, also after a time-out (which stays the
// status); another error replaces the count.
Outcome moved_or_error(int error, std::size_t done) {
    if (error == 0) return static_cast<int>(done);
    if (error == -99) return Outcome(static_cast<int>(done), -99);
    return error;
}

// Reads one byte within `timeout_ms`: the byte, or a negative code.
int read_one(Port *p, std::uint32_t timeout_ms) {
    char byte = 0;
    std::size_t done = 0;
    const int error = read_bytes(p, &byte, 1, timeout_ms, &done);
    return done == 1 ? static_cast<unsigned char>(byte) : error;
}

// After a CR or LF terminator: the other one of the pair, if it follows
// within two character times, is consumed; any other byte is put back.
void take_pair(Port *p, unsigned char terminator) {
    const double char_ms = 1000.0 * (p->data_bits + p->stop_bits + (p->parity == 0 ? 1 : 2)) / p->baud;
    const auto wait = static_cast<std::uint32_t>(std::max(2.0, 2.0 * char_ms));
    const int next = read_one(p, wait);
    if (next < 0) return;
    const unsigned char partner = terminator == 13 ? 10 : 13;
    if (next != partner) put_back(p, static_cast<unsigned char>(next));
}

bool is_line_end(int byte) { return byte == 13 || byte == 10; }

}  // namespace

extern "C" int ComRd(int port, char *buffer, size_t count) {
    return RS232_RESULT(with_pinned_port(port, [&](Port *p) -> Outcome {
        if (count == 0) return 0;
        if (count > INT_MAX) return -94;
        if (buffer == nullptr) return -152;
        std::size_t done = 0;
        const int error = read_bytes(p, buffer, count, p->timeout_ms.load(), &done);
        return moved_or_error(error, done);
    }));
}

extern "C" int ComRdByte(int port) {
    return RS232_RESULT(with_pinned_port(port, [](Port *p) -> Outcome { return read_one(p, p->timeout_ms.load()); }));
}

extern "C" int ComRdTerm(int port, char *buffer, int maximumCount, int terminationByte) {
    return RS232_RESULT(with_pinned_port(port, [&](Port *p) -> Outcome {
        if (maximumCount < 0) return -94;
        if (maximumCount == 0) return 0;
        if (buffer == nullptr) return -152;
        const int mask = (1 << p->data_bits) - 1;
        const std::uint32_t timeout = p->timeout_ms.load();
        int stored = 0;
        while (stored < maximumCount) {
            const int byte = read_one(p, timeout);
            if (byte < 0) return moved_or_error(byte, static_cast<std::size_t>(stored));
            if ((byte & mask) == (terminationByte & mask)) {
                if (is_line_end(terminationByte & mask)) take_pair(p, static_cast<unsigned char>(terminationByte & mask));
                break;
            }
            buffer[stored++] = static_cast<char>(byte);
        }
        return stored;
    }));
}

extern "C" int ComWrt(int port, const char *buffer, size_t count) {
    return RS232_RESULT(with_pinned_port(port, [&](Port *p) -> Outcome {
        if (count == 0) return 0;
        if (count > INT_MAX) return -94;
        if (buffer == nullptr) return -152;
        std::size_t done = 0;
        const int error = write_bytes(p, buffer, count, p->timeout_ms.load(), &done);
        return moved_or_error(error, done);
    }));
}

extern "C" int ComWrtByte(int port, int byte) {
    return RS232_RESULT(with_pinned_port(port, [byte](Port *p) -> Outcome {
        const char value = static_cast<char>(byte);
        std::size_t done = 0;
        const int error = write_bytes(p, &value, 1, p->timeout_ms.load(), &done);
        return done == 1 ? 1 : error;
    }));
}

extern "C" int ComToFile(int port, int fileHandle, int count, int terminationByte) {
    return RS232_RESULT(with_pinned_port(port, [&](Port *p) -> Outcome {
        if (count < 0) return -94;
        const std::uint32_t timeout = p->timeout_ms.load();
        const int mask = (1 << p->data_bits) - 1;
        char block[255];
        int moved = 0, error = 0;
        bool ended = false;
        while (!ended && (count == 0 || moved < count)) {
            int n = 0;
            const int room = count == 0 ? 255 : std::min(255, count - moved);
            if (terminationByte < 0) {
                std::size_t done = 0;
                error = read_bytes(p, block, static_cast<std::size_t>(room), timeout, &done);
                n = static_cast<int>(done);
            } else {
                while (n < room) {
                    const int byte = read_one(p, timeout);
                    if (byte < 0) {
                        error = byte;
                        break;
                    }
                    block[n++] = static_cast<char>(byte);
                    if ((byte & mask) == (terminationByte & mask)) {
                        if (is_line_end(byte & mask)) take_pair(p, static_cast<unsigned char>(byte & mask));
                        ended = true;
                        break;
                    }
                }
            }
            if (n > 0 && Kez_WriteFile(fileHandle, block, static_cast<std::size_t>(n)) != n)
                return kez::fmtio::last_error() == kez::os::kFileBadHandle ? -90 : -304;
            moved += n;
            if (error != 0) break;
        }
        return moved_or_error(error, static_cast<std::size_t>(moved));
    }));
}

extern "C" int ComFromFile(int port, int fileHandle, int count, int terminationByte) {
    return RS232_RESULT(with_pinned_port(port, [&](Port *p) -> Outcome {
        if (count < 0) return -94;
        const std::uint32_t timeout = p->timeout_ms.load();
        char block[255];
        int moved = 0;
        for (;;) {
            const int room = count == 0 ? 255 : std::min(255, count - moved);
            if (room == 0) break;
            // With a terminator the file is read a byte at a time, so that
            // nothing after it is taken from the file.
            const int want = terminationByte < 0 ? room : 1;
            const int n = Kez_ReadFile(fileHandle, block, static_cast<std::size_t>(want));
            if (n < 0) return kez::fmtio::last_error() == kez::os::kFileBadHandle ? -90 : -301;
            if (n == 0) break;
            std::size_t done = 0;
            const int error = write_bytes(p, block, static_cast<std::size_t>(n), timeout, &done);
            moved += static_cast<int>(done);
            if (error != 0) return moved_or_error(error, static_cast<std::size_t>(moved));
            if (terminationByte >= 0 && static_cast<unsigned char>(block[0]) == (terminationByte & 0xFF)) break;
        }
        return moved;
    }));
}

extern "C" int FlushInQ(int port) { return RS232_RESULT(with_pinned_port(port, flush_input)); }
extern "C" int FlushOutQ(int port) { return RS232_RESULT(with_pinned_port(port, flush_output)); }

extern "C" int GetInQLen(int port) {
    return RS232_RESULT(with_pinned_port(port, [](Port *p) -> Outcome {
        ViUInt32 available = 0;
        const ViStatus status = visa::GetAttribute(p->vi.load(), VI_ATTR_ASRL_AVAIL_NUM, &available);
        if (status < 0) return translate(status);
        p->read_lock.lock();
        const std::size_t total = available + p->ahead.size();
        p->read_lock.unlock();
        return static_cast<int>(std::min<std::size_t>(total, INT_MAX));
    }));
}

extern "C" int GetOutQLen(int port) {
    return RS232_RESULT(with_pinned_port(port, [](Port *p) -> Outcome {
        p->writer_lock.lock();
        const auto fill = static_cast<int>(p->queue_fill);
        p->pending_error = 0;
        p->writer_lock.unlock();
        return fill;
    }));
}
