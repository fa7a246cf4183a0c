// Reads and writes with time-outs. A transfer that cannot go at once waits
// on its own socket, and on the other connections of its thread so that
// their events are delivered meanwhile, in slices of at most 100 ms (a
// slot closed by another thread is noticed within one slice). Nothing
// spins: a connection whose unread data keeps it readable is left out of
// the wait after its event was delivered, until the next slice. A waiting
// read takes its own connection's data itself: that connection's data
// events are not delivered while the read waits for them.
#include <memory>
#include <new>

#include "comm/tcp_library.h"
#include "core/frame.h"

namespace kez::comm::tcp {
namespace {

constexpr std::uint32_t kSliceMs = 100;
constexpr std::size_t kMinimumBuffer = 537;
constexpr std::size_t kReadyCapacity = 64;

// Raises the socket's buffer toward the transfer's size, halving the
// request while the system refuses it. `known` is the slot's record of the
// size (0: not read yet), so the system is asked only when it must grow.
void grow_buffer(os::net::Socket socket, os::net::Option option, std::size_t count, std::uint32_t *known) {
    if (count < kMinimumBuffer || (*known != 0 && count <= *known)) return;
    std::uint32_t current = 0;
    if (os::net::get_option(socket, option, &current) != 0) return;
    *known = current;
    if (count <= current) return;
    for (std::size_t request = count; request > current && request >= kMinimumBuffer; request /= 2) {
        const int error = os::net::set_option(socket, option, static_cast<std::uint32_t>(request));
        if (error == 0) {
            *known = static_cast<std::uint32_t>(request);
            return;
        }
        record_error(error);
        if (error == os::net::kWsaNoProtoOpt || error == os::net::kWsaInval) return;
    }
}

// One attempt: the count moved, or a code (kWsaWouldBlock: try later).
int attempt(os::net::Socket socket, void *buffer, std::size_t count, bool write, std::size_t *moved) {
    return write ? os::net::send(socket, buffer, count, moved) : os::net::recv(socket, buffer, count, false, moved);
}

bool listed(const unsigned *list, std::size_t count, unsigned handle) {
    for (std::size_t i = 0; i < count; ++i)
        if (list[i] == handle) return true;
    return false;
}

// Waits until the slot's socket is ready for the transfer, another
// connection of the thread (but those in `skip`) has something, or the
// slice ends. Whether another connection had something.
bool wait_slice(unsigned handle, os::net::Socket socket, bool write, std::uint32_t ms, const unsigned *skip,
                std::size_t skipped) {
    // Entry 0 is the transfer's own socket; the thread's others follow.
    std::unique_ptr<os::net::PollEntry[]> entries(new (std::nothrow) os::net::PollEntry[kSlotCount + 1]);
    std::unique_ptr<Watched[]> watched(new (std::nothrow) Watched[kSlotCount]);
    if (entries == nullptr || watched == nullptr) {
        os::sleep_ms(ms);
        return true;
    }
    // A write also hears its own connection's data, for its events.
    unsigned own = write ? os::net::kWritable : os::net::kReadable;
    if (write && !listed(skip, skipped, handle)) own |= os::net::kReadable;
    entries[0] = os::net::PollEntry{socket, own, 0};
    const std::size_t others = watch_thread_slots(handle, skip, skipped, entries.get() + 1, watched.get());
    int ready = 0;
    const bool failed = os::net::poll(entries.get(), others + 1, ms, &ready) != 0;
    for (std::size_t i = 0; i < others; ++i) unpin(watched[i].handle);
    if (failed) return true;
    bool heard = write && (entries[0].got & os::net::kReadable) != 0;
    for (std::size_t i = 1; i <= others && !heard; ++i) heard = entries[i].got != 0;
    return heard;
}

struct TransferScope {
    unsigned handle;
    bool write;
    ~TransferScope() {
        lock();
        Slot &s = slot(handle);
        if (!write) --s.reads_in_progress;
        // A connection whose peer went while this read ran is closed by its
        // last reader, unless the program closes it itself (manual mode).
        const bool close_now = !write && s.reads_in_progress == 0 && !s.manual &&
                               (s.kind == kAcceptedPeerGone || s.kind == kClientPeerGone);
        unlock();
        if (close_now) close_slot(handle);
        unpin(handle);
    }
};

bool peer_gone(Kind kind) { return kind == kAcceptedPeerGone || kind == kClientPeerGone; }

}  // namespace

int transfer(unsigned handle, void *buffer, std::size_t count, std::uint32_t timeout_ms, bool write, bool client) {
    if (const int status = start(); status != 0) return status;
    const KindRule rule = write ? (client ? kClientLive : kServerLive) : (client ? kClientTransfer : kServerTransfer);
    if (const int status = pin(handle, rule, nullptr); status != 0) return status;
    if (buffer == nullptr || count > 0xFFFFFFFFull) {
        unpin(handle);
        return kTCP_InvalidParameter;
    }
    if (count == 0) {
        unpin(handle);
        return 0;
    }
    lock();
    Slot &s = slot(handle);
    if (!write) ++s.reads_in_progress;
    const os::net::Socket socket = s.socket;
    std::uint32_t known_buffer = write ? s.send_buffer : s.receive_buffer;
    unlock();
    TransferScope scope{handle, write};

    const std::uint32_t timeout = timeout_ms == 0 ? kDefaultTimeoutMs : timeout_ms;
    const std::uint64_t started = os::tick_count_ms();
    if (count >= 0x80000000ull) count /= 2;
    const std::uint32_t was_known = known_buffer;
    grow_buffer(socket, write ? os::net::Option::send_buffer : os::net::Option::receive_buffer, count, &known_buffer);
    if (known_buffer != was_known) {
        lock();
        (write ? s.send_buffer : s.receive_buffer) = known_buffer;
        unlock();
    }
    const int failure = write ? kTCP_WriteFailed : kTCP_ReadFailed;

    unsigned ready[kReadyCapacity];
    std::size_t ready_count = 0;
    bool events_waiting = true;  // the first wait delivers the thread's events first
    for (;;) {
        std::size_t moved = 0;
        const int error = attempt(socket, buffer, count, write, &moved);
        if (error == 0) {
            if (!write && moved == 0) return kTCP_ConnectionClosed;
            lock();
            const Kind kind = slot(handle).kind;
            unlock();
            if (write && peer_gone(kind)) return kTCP_DisconnectPending;
            return static_cast<int>(moved);
        }
        if (error != os::net::kWsaWouldBlock) {
            record_error(error);
            return failure;
        }
        if (events_waiting) {
            lock();
            ++slot(handle).waiting;
            unlock();
            process_events(write ? kSlotCount : handle, ready, kReadyCapacity, &ready_count);
            lock();
            --slot(handle).waiting;
            unlock();
        }
        lock();
        const bool closed = slot(handle).closing;
        const Kind kind = slot(handle).kind;
        unlock();
        if (core::engine().shutting_down.load()) return kTCP_GeneralIOErr;
        if (closed) return kTCP_NoConnectionEstablished;
        if (write && peer_gone(kind)) return kTCP_DisconnectPending;
        const std::uint64_t waited = os::tick_count_ms() - started;
        if (waited >= timeout) return kTCP_TimeOutErr;
        const std::uint64_t left = timeout - waited;
        events_waiting = wait_slice(handle, socket, write, static_cast<std::uint32_t>(left < kSliceMs ? left : kSliceMs),
                                    ready, ready_count);
        if (!events_waiting) ready_count = 0;  // a quiet slice: every connection is watched again
    }
}

}  // namespace kez::comm::tcp

using namespace kez::comm::tcp;

extern "C" int ClientTCPRead(unsigned int handle, void *dataBuffer, size_t dataSize, unsigned int timeOut) {
    return transfer(handle, dataBuffer, dataSize, timeOut, false, true);
}
extern "C" int ServerTCPRead(unsigned int handle, void *dataBuffer, size_t dataSize, unsigned int timeOut) {
    return transfer(handle, dataBuffer, dataSize, timeOut, false, false);
}
extern "C" int ClientTCPWrite(unsigned int handle, const void *dataPointer, size_t dataSize, unsigned int timeOut) {
    return transfer(handle, const_cast<void *>(dataPointer), dataSize, timeOut, true, true);
}
extern "C" int ServerTCPWrite(unsigned int handle, const void *dataPointer, size_t dataSize, unsigned int timeOut) {
    return transfer(handle, const_cast<void *>(dataPointer), dataSize, timeOut, true, false);
}
