// The connection table: taking slots, pinning them for a call, and closing
// them through their last user.
#include <cstdlib>

#include "comm/tcp_library.h"
#include "debug/resource_tracking.h"

namespace kez::comm::tcp {
namespace {

unsigned g_reserved = 0;                 // slots in use, under the lock
unsigned g_last_handed_out = kSlotCount - 1;  // so the first handle is 0

// A closed slot's leftovers, released after the lock is let go.
struct Leftovers {
    os::net::Socket socket;
    Event *deferred;
    char *peer_name;
    std::uint64_t resource;
};

// With the lock held: the slot becomes free and its reservation is dropped.
Leftovers free_slot_locked(Slot &s) {
    Leftovers left{s.socket, s.deferred, s.peer_name, s.resource};
    const std::uint32_t generation = s.generation;
    s = Slot{};
    s.generation = generation;
    s.port = 65535;
    s.socket = os::net::kInvalidSocket;
    s.peer_address = os::net::kNoAddress;
    s.bound_address = os::net::kNoAddress;
    --g_reserved;
    return left;
}

void release(const Leftovers &left) {
    if (left.socket != os::net::kInvalidSocket) close_socket_gracefully(left.socket);
    free_events(left.deferred);
    std::free(left.peer_name);
    if (left.resource != 0) debug::resource_release(left.resource);
}

// A free slot, reserved and pinned once for the taker, with a new generation.
int take_slot(unsigned *handle) {
    lock();
    if (g_reserved >= kSlotCount) {
        unlock();
        return kTCP_TooManyConnections;
    }
    unsigned index = g_last_handed_out;
    do {
        index = (index + 1) % kSlotCount;
    } while (slot(index).in_use);
    Slot &s = slot(index);
    s.in_use = true;
    s.closing = false;
    s.kind = kFree;
    s.pins = 1;
    ++s.generation;
    ++g_reserved;
    g_last_handed_out = index;
    unlock();
    mark_table_in_use();
    *handle = index;
    return 0;
}

}  // namespace

void close_socket_gracefully(os::net::Socket s) {
    os::net::shutdown_send(s);
    // A peer that keeps sending cannot hold the close: at most 1 MiB is read.
    char scratch[2048];
    for (int i = 0; i < 512; ++i) {
        std::size_t got = 0;
        if (os::net::recv(s, scratch, sizeof scratch, false, &got) != 0 || got == 0) break;
    }
    os::net::close(s);
}

int open_slot(const SlotSetup &setup, const char *description, bool keep_pinned, unsigned *handle) {
    if (const int status = take_slot(handle); status != 0) return status;
    lock();
    Slot &s = slot(*handle);
    s.kind = setup.kind;
    s.socket = setup.socket;
    s.callback = setup.callback;
    s.callback_data = setup.callback_data;
    s.port = setup.port;
    s.peer_address = setup.peer_address;
    s.bound_address = setup.bound_address;
    s.owner = os::current_thread_id();
    const std::uint32_t generation = s.generation;
    unlock();
    if (description != nullptr && debug::resource_tracking_enabled()) {
        const std::uint64_t resource = (static_cast<std::uint64_t>(generation) << 32) | (*handle + 1u);
        debug::resource_acquire(resource, "Network connections", description);
        lock();
        s.resource = resource;
        unlock();
    }
    if (!keep_pinned) unpin(*handle);
    return 0;
}

int pin(unsigned handle, KindRule rule, std::uint32_t *generation) {
    if (handle >= kSlotCount) return kTCP_NoConnectionEstablished;
    lock();
    Slot &s = slot(handle);
    int result = 0;
    if (!s.in_use || s.closing || (rule.accepted & kind_bit(s.kind)) == 0)
        result = kTCP_NoConnectionEstablished;
    else if ((rule.pending & kind_bit(s.kind)) != 0)
        result = kTCP_DisconnectPending;
    else {
        ++s.pins;
        if (generation != nullptr) *generation = s.generation;
    }
    unlock();
    return result;
}

int pin_generation(unsigned handle, std::uint32_t generation) {
    if (handle >= kSlotCount) return kTCP_NoConnectionEstablished;
    lock();
    Slot &s = slot(handle);
    const bool live = s.in_use && !s.closing && s.generation == generation && s.kind != kFree;
    if (live) ++s.pins;
    unlock();
    return live ? 0 : kTCP_NoConnectionEstablished;
}

void unpin(unsigned handle) {
    lock();
    Slot &s = slot(handle);
    Leftovers left{os::net::kInvalidSocket, nullptr, nullptr, 0};
    bool last = --s.pins == 0 && s.closing;
    if (last) left = free_slot_locked(s);
    unlock();
    if (last) release(left);
}

void close_slot(unsigned handle) {
    lock();
    Slot &s = slot(handle);
    if (!s.in_use || s.closing) {
        unlock();
        return;
    }
    s.closing = true;
    Leftovers left{os::net::kInvalidSocket, nullptr, nullptr, 0};
    const bool now = s.pins == 0;
    if (now) left = free_slot_locked(s);
    unlock();
    if (now) release(left);
}

void close_all_slots() {
    for (unsigned h = 0; h < kSlotCount; ++h) {
        lock();
        const bool used = slot(h).in_use && slot(h).kind != kFree;
        unlock();
        if (used) close_slot(h);
    }
}

}  // namespace kez::comm::tcp
