// Finding and delivering TCP events. Events are found by polling the calling
// thread's own slots and are delivered on that thread only: directly, or,
// while callbacks are disabled, held back and delivered in order by the
// owner's next pass after they are enabled again.
#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>

#include "comm/tcp_library.h"
#include "core/deferred_calls.h"
#include "core/test_hooks.h"

namespace kez::comm::tcp {
namespace {

std::atomic<bool> g_dispatch_enabled{true};
Event *g_held = nullptr;  // under the lock, oldest first

bool same_event(const Event &a, const Event &b) {
    return a.handle == b.handle && a.generation == b.generation && a.word == b.word;
}

// Appends a copy of e unless an identical event is listed. Under the lock.
void append_unique(Event **list, const Event &e) {
    Event **link = list;
    for (; *link != nullptr; link = &(*link)->next)
        if (same_event(**link, e)) return;
    auto *copy = static_cast<Event *>(std::malloc(sizeof(Event)));
    if (copy == nullptr) return;  // no memory: the event is found again by the next pass
    *copy = e;
    copy->next = nullptr;
    *link = copy;
}

void handle_event(const Event &e);

// Calls the slot's callback (the slot is pinned), then handles, in order,
// the events that arrived for the slot while it ran.
void run_callback(unsigned handle, int type, int error) {
    lock();
    Slot &s = slot(handle);
    // Decided under the lock that closing takes: a connection closed by
    // another thread before this point gets no callback.
    if (s.closing) {
        unlock();
        return;
    }
    s.in_callback = true;
    const tcpFuncPtr callback = s.callback;
    void *const data = s.callback_data;
    unlock();
    core::guarded_call(callback, handle, type, error, data);
    for (;;) {
        lock();
        s.in_callback = false;
        Event *deferred = s.deferred;
        s.deferred = nullptr;
        unlock();
        if (deferred == nullptr) return;
        while (deferred != nullptr) {
            Event *next = deferred->next;
            handle_event(*deferred);
            std::free(deferred);
            deferred = next;
        }
    }
}

void accept_connection(unsigned server) {
    lock();
    const Slot &s = slot(server);
    const os::net::Socket listener = s.socket;
    const tcpFuncPtr callback = s.callback;
    void *const data = s.callback_data;
    const std::uint16_t port = s.port;
    const std::uint32_t bound = s.bound_address;
    unlock();
    os::net::Socket connection = os::net::kInvalidSocket;
    std::uint32_t peer = 0;
    std::uint16_t peer_port = 0;
    if (const int error = os::net::accept(listener, &connection, &peer, &peer_port); error != 0) {
        if (error != os::net::kWsaWouldBlock) record_error(error);  // another pass took it
        return;
    }
    unsigned handle = 0;
    const SlotSetup setup{kAccepted, connection, callback, data, port, peer, bound};
    if (open_slot(setup, nullptr, true, &handle) != 0) {
        close_socket_gracefully(connection);
        return;
    }
    run_callback(handle, TCP_CONNECT, 0);
    unpin(handle);
}

void handle_connection_event(const Event &e, Kind kind) {
    lock();
    const os::net::Socket socket = slot(e.handle).socket;
    unlock();
    if ((e.word & kCloseEvent) == 0) {
        char byte = 0;
        std::size_t got = 0;
        if (os::net::recv(socket, &byte, 1, true, &got) == 0 && got == 1) run_callback(e.handle, TCP_DATAREADY, 0);
        return;
    }
    const int socket_error = static_cast<int>(e.word >> 16);
    int error = 0;
    if (socket_error != 0) {
        record_error(socket_error);
        error = kTCP_GeneralIOErr;
    }
    lock();
    slot(e.handle).kind = kind == kAccepted ? kAcceptedPeerGone : kClientPeerGone;
    unlock();
    run_callback(e.handle, TCP_DISCONNECT, error);
    lock();
    const Slot &s = slot(e.handle);
    const bool close_now = !s.manual && s.reads_in_progress == 0;
    unlock();
    if (close_now) close_slot(e.handle);
}

void handle_event(const Event &e) {
    if (pin_generation(e.handle, e.generation) != 0) return;  // the connection went: a stale event
    lock();
    Slot &s = slot(e.handle);
    if (s.in_callback) {
        if (!((e.word & kReadEvent) != 0 && s.waiting > 0)) append_unique(&s.deferred, e);
        unlock();
        unpin(e.handle);
        return;
    }
    const Kind kind = s.kind;
    unlock();
    if (kind == kServer && (e.word & kAcceptEvent) != 0)
        accept_connection(e.handle);
    else if (kind == kAccepted || kind == kClient)
        handle_connection_event(e, kind);
    unpin(e.handle);
}

void dispatch(const Event &e) {
    if (g_dispatch_enabled.load(std::memory_order_acquire)) {
        handle_event(e);
        return;
    }
    lock();
    append_unique(&g_held, e);
    unlock();
}

// The calling thread's held-back events, in the order they were found.
void deliver_held(os::ThreadId me) {
    lock();
    Event *mine = nullptr;
    Event **tail = &mine;
    for (Event **link = &g_held; *link != nullptr;) {
        Event *e = *link;
        if (e->owner != me) {
            link = &e->next;
            continue;
        }
        *link = e->next;
        e->next = nullptr;
        *tail = e;
        tail = &e->next;
    }
    unlock();
    while (mine != nullptr) {
        Event *next = mine->next;
        handle_event(*mine);
        std::free(mine);
        mine = next;
    }
}

// The event a readable slot shows, 0 for none.
std::uint32_t event_of(const Watched &w, os::net::Socket socket) {
    if (w.kind == kServer) return kAcceptEvent;
    char byte = 0;
    std::size_t got = 0;
    const int error = os::net::recv(socket, &byte, 1, true, &got);
    if (error == 0) return got == 1 ? kReadEvent : kCloseEvent;
    // A racing read took the data: nothing to tell. Any other failure ends
    // the connection, carrying its code.
    if (error == os::net::kWsaWouldBlock) return 0;
    return kCloseEvent | (static_cast<std::uint32_t>(error) << 16);
}

}  // namespace

std::size_t watch_thread_slots(unsigned skip, const unsigned *also_skip, std::size_t also_skipped,
                               os::net::PollEntry *entries, Watched *watched) {
    const os::ThreadId me = os::current_thread_id();
    std::size_t n = 0;
    lock();
    for (unsigned h = 0; h < kSlotCount; ++h) {
        Slot &s = slot(h);
        if (h == skip || !s.in_use || s.closing || s.owner != me) continue;
        if (s.kind != kServer && s.kind != kAccepted && s.kind != kClient) continue;
        bool listed = false;
        for (std::size_t i = 0; i < also_skipped && !listed; ++i) listed = also_skip[i] == h;
        if (listed) continue;
        ++s.pins;
        entries[n] = os::net::PollEntry{s.socket, os::net::kReadable, 0};
        watched[n] = Watched{h, s.generation, s.kind};
        ++n;
    }
    unlock();
    return n;
}

void free_events(Event *e) {
    while (e != nullptr) {
        Event *next = e->next;
        std::free(e);
        e = next;
    }
}

void drop_held_events() {
    lock();
    Event *held = g_held;
    g_held = nullptr;
    unlock();
    free_events(held);
}

int process_events(unsigned skip, unsigned *ready, std::size_t capacity, std::size_t *ready_count) {
    if (ready_count != nullptr) *ready_count = 0;
    const os::ThreadId me = os::current_thread_id();
    if (g_dispatch_enabled.load(std::memory_order_acquire)) deliver_held(me);

    std::unique_ptr<os::net::PollEntry[]> entries(new (std::nothrow) os::net::PollEntry[kSlotCount]);
    std::unique_ptr<Watched[]> watched(new (std::nothrow) Watched[kSlotCount]);
    if (entries == nullptr || watched == nullptr) return kTCP_GeneralIOErr;
    const std::size_t n = watch_thread_slots(skip, nullptr, 0, entries.get(), watched.get());
    if (n == 0) return 0;

    int result = 0;
    int ready_sockets = 0;
    if (const int error = os::net::poll(entries.get(), n, 0, &ready_sockets); error != 0) {
        record_error(error);
        result = kTCP_GeneralIOErr;
    } else {
        for (std::size_t i = 0; i < n && ready_sockets > 0; ++i) {
            if (entries[i].got == 0) continue;
            const std::uint32_t word = event_of(watched[i], entries[i].socket);
            if (word == 0) continue;
            if (ready_count != nullptr && *ready_count < capacity) ready[(*ready_count)++] = watched[i].handle;
            dispatch(Event{nullptr, watched[i].handle, watched[i].generation, word, me});
        }
    }
    for (std::size_t i = 0; i < n; ++i) unpin(watched[i].handle);
    return result;
}

void run_state_changed(int run_state) {
    switch (run_state) {
        case 0:
        case 5:
            g_dispatch_enabled.store(true, std::memory_order_release);
            if (run_state == 5) deliver_held(os::current_thread_id());
            break;
        case 6:
            g_dispatch_enabled.store(false, std::memory_order_release);
            break;
        case 3:
        case 4:
            drop_held_events();
            last_error_and_reset();
            close_all_slots();
            break;
        default:
            break;
    }
}

}  // namespace kez::comm::tcp

#if defined(KEZ_TEST_HOOKS)
extern "C" void KezTest_SendTcpRunState(int runState) { kez::comm::tcp::run_state_changed(runState); }
#endif
