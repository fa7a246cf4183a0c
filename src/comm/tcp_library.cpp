// The TCP library's process state: its locks, the socket library's start,
// the local host, the per-thread last socket error, and the library's
// start-up and clean-up steps.
#include "comm/tcp_library.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "comm/comm_thread.h"
#include "comm/net_address.h"
#include "comm/tcp_steps.h"
#include "core/frame.h"
#include "core/thread_var.h"
#include "core/word_lock.h"
#include "kez/runtime.h"

namespace kez::comm::tcp {
namespace {

os::CriticalSection *g_lock = nullptr;       // the library lock (slots, reservations, held events)
os::CriticalSection *g_name_lock = nullptr;  // cached peer names
std::atomic<bool> g_winsock_started{false};
core::WordLock g_start_lock;  // serialises starts with the named mutex
std::atomic<bool> g_table_in_use{false};
bool g_has_slot = false;
Slot g_slots[kSlotCount];

char *g_host_name = nullptr;  // under the start's named mutex; read after the start
std::uint32_t g_host_address = os::net::kNoAddress;


// The local host's name and address, learned once a start: by name, and
// when the name gives nothing, from the local end of a UDP socket
// "connected" to a routable address (no datagram is sent).
void find_local_host() {
    char name[256] = {};
    if (os::net::host_name(name, 255) == 0 && name[0] != '\0') {
        std::free(g_host_name);
        g_host_name = copy_text(name);
    }
    std::uint32_t address = os::net::kNoAddress;
    std::size_t count = 0;
    if (g_host_name != nullptr && os::net::resolve(g_host_name, &address, 1, &count) == 0 && count > 0) {
        g_host_address = address;
        char canonical[256] = {};
        if (equal_ignoring_case(g_host_name, "#Local Host") && address != 0 && address != os::net::kNoAddress &&
            os::net::reverse_resolve(address, canonical, sizeof canonical) == 0 && std::strlen(canonical) < 255) {
            std::free(g_host_name);
            g_host_name = copy_text(canonical);
        }
        return;
    }
    os::net::Socket s = os::net::kInvalidSocket;
    if (os::net::open(os::net::Kind::datagram, &s) != 0) return;
    std::uint32_t remote = 0;
    std::uint16_t port = 0;
    if (parse_dotted("198.51.100.1", &remote) && os::net::connect(s, remote, 7) == 0 &&
        os::net::local_name(s, &address, &port) == 0)
        g_host_address = address;
    os::net::close(s);
}

}  // namespace

bool equal_ignoring_case(const char *a, const char *b) {
    for (;; ++a, ++b) {
        char ca = *a, cb = *b;
        if (ca >= 'A' && ca <= 'Z') ca = static_cast<char>(ca - 'A' + 'a');
        if (cb >= 'A' && cb <= 'Z') cb = static_cast<char>(cb - 'A' + 'a');
        if (ca != cb) return false;
        if (ca == '\0') return true;
    }
}

char *copy_text(const char *text) {
    const std::size_t size = std::strlen(text) + 1;
    auto *copy = static_cast<char *>(std::malloc(size));
    if (copy != nullptr) std::memcpy(copy, text, size);
    return copy;
}

int start() {
    if (g_lock == nullptr) return kTCP_NetworkSubsystemNotReady;
    if (g_winsock_started.load(std::memory_order_acquire)) return 0;
    char name[80];
    std::snprintf(name, sizeof name, "Brennick Pellix/Kez Kez TCP Library %ul", os::current_process_id());
    // The name carries the process id, so the mutex only ever serialises
    // this process's threads: where the system refuses the name (seen under
    // Wine after the process had started a Linux program: an invalid
    // handle), the process-local lock serves alone.
    g_start_lock.lock();
    os::NamedMutex *mutex = os::named_mutex_open(name);
    if (mutex != nullptr) os::named_mutex_lock(mutex);
    int result = 0;
    if (!g_winsock_started.load(std::memory_order_acquire)) {
        std::uint16_t version = 0;
        if (const int error = os::net::startup(&version); error != 0) {
            record_error(error);
            result = kTCP_UnableToLoadWinsockDLL;
        } else if (version != 0x0101) {
            os::net::cleanup();
            result = kTCP_IncorrectWinsockDLLVersion;
        } else {
            find_local_host();
            g_winsock_started.store(true, std::memory_order_release);
        }
    }
    if (mutex != nullptr) {
        os::named_mutex_unlock(mutex);
        os::named_mutex_close(mutex);
    }
    g_start_lock.unlock();
    return result;
}

bool table_in_use() { return g_table_in_use.load(std::memory_order_acquire); }
void mark_table_in_use() { g_table_in_use.store(true, std::memory_order_release); }
void lock() { os::cs_enter(g_lock); }
void unlock() { os::cs_leave(g_lock); }
void lock_names() { os::cs_enter(g_name_lock); }
void unlock_names() { os::cs_leave(g_name_lock); }
Slot &slot(unsigned handle) { return g_slots[handle]; }
const char *local_host_name() { return g_host_name; }
std::uint32_t local_host_address() { return g_host_address; }

void record_error(int wsa_code) { comm::thread_record()->tcp_last_error = static_cast<std::uint32_t>(wsa_code); }

int last_error_and_reset() {
    std::uint32_t *cell = &comm::thread_record()->tcp_last_error;
    const std::uint32_t code = *cell;
    *cell = 0;
    return static_cast<int>(code);
}

void stop_winsock() {
    if (g_winsock_started.exchange(false, std::memory_order_acq_rel)) os::net::cleanup();
}

// ---- start-up and clean-up steps ------------------------------------------------------

int TCPLibraryInitOnce() {
    for (Slot &s : g_slots) {
        s = Slot{};
        s.port = 65535;
        s.socket = os::net::kInvalidSocket;
        s.peer_address = os::net::kNoAddress;
        s.bound_address = os::net::kNoAddress;
    }
    if (!acquire_thread_slot()) return -103;
    g_has_slot = true;
    g_lock = os::cs_create();
    g_name_lock = os::cs_create();
    if (g_lock == nullptr || g_name_lock == nullptr || !core::register_run_state_callback(run_state_changed)) {
        TCPLibraryUninit();
        return -103;
    }
    return 0;
}

void TCPLibraryUninit() {
    if (g_lock != nullptr) {
        close_all_slots();
        drop_held_events();
    }
    stop_winsock();
    std::free(g_host_name);
    g_host_name = nullptr;
    g_host_address = os::net::kNoAddress;
    g_table_in_use.store(false);
    if (g_has_slot) release_thread_slot();
    g_has_slot = false;
    if (g_name_lock != nullptr) os::cs_destroy(g_name_lock);
    if (g_lock != nullptr) os::cs_destroy(g_lock);
    g_name_lock = nullptr;
    g_lock = nullptr;
}

int PollTCPEvents() {
    if (!table_in_use()) return 0;
    return process_events(kSlotCount, nullptr, 0, nullptr);
}

}  // namespace kez::comm::tcp

using namespace kez::comm::tcp;

extern "C" int ProcessTCPEvents(void) {
    if (const int status = start(); status != 0) return status;
    return process_events(kSlotCount, nullptr, 0, nullptr);
}

// Every slot is closed through its pins, so a call still running on another
// thread finishes on a live socket and its last user closes it; the socket
// library itself stays loaded until the engine unloads.
extern "C" int CloseWinsock(void) {
    if (g_lock == nullptr) return 0;
    close_all_slots();
    stop_winsock();
    return 0;
}
