// The TCP library's internals: the connection table, its pinning, and the
// event machinery shared by the library's source files.
//
// A handle is a slot index, 0 to 1023. Every call that uses a slot pins it
// for its whole duration, and a slot is only ever closed by its last user:
// closing a pinned slot marks it closing (new calls see -12 at once, a
// waiting read or write returns) and the last unpin shuts the socket down
// and frees the slot. So no call ever uses a socket value that was closed
// and handed out again by the system. Each slot's generation counts its
// lives; events carry slot and generation, and one that outlived its
// connection is dropped.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kez/tcp.h"
#include "os/os.h"
#include "os/socket.h"

namespace kez::comm::tcp {

constexpr unsigned kSlotCount = 1024;
constexpr std::uint32_t kDefaultTimeoutMs = 5000;

enum Kind : std::uint8_t {
    kFree = 0,
    kServer = 1,
    kAccepted = 2,
    kAcceptedPeerGone = 3,  // the client disconnected; kept open
    kClient = 4,
    kClientPeerGone = 5,  // the server disconnected; kept open
};

// Event bits of an event word (low 16 bits); a socket error in the high 16.
enum EventBit : std::uint32_t { kReadEvent = 1, kAcceptEvent = 8, kCloseEvent = 32 };

struct Event {
    Event *next;
    unsigned handle;
    std::uint32_t generation;
    std::uint32_t word;
    os::ThreadId owner;
};

// Fields under the library lock.
struct Slot {
    bool in_use;
    bool closing;       // closed by a caller; the last unpin closes the socket
    bool manual;        // manual disconnect mode
    bool in_callback;   // the slot's callback is running
    Kind kind;
    std::uint16_t port;
    std::uint16_t reads_in_progress;
    std::uint16_t waiting;  // reads and writes of the slot waiting for events
    std::uint32_t generation;
    std::uint32_t pins;
    os::net::Socket socket;
    tcpFuncPtr callback;
    void *callback_data;
    char *peer_name;  // cached by GetTCPPeerName
    std::uint32_t peer_address;
    std::uint32_t bound_address;  // servers and their connections
    os::ThreadId owner;
    Event *deferred;  // events that arrived while the callback ran
    std::uint64_t resource;  // resource-tracking id, 0 when none
    // The socket's buffer sizes as last read or set (0: not yet known), so
    // that a transfer asks the system only when it needs a larger one.
    std::uint32_t send_buffer;
    std::uint32_t receive_buffer;
};

// ---- library state (tcp_library.cpp) -------------------------------------------

// 0, or the code of a library that cannot start (-17, -15, -16, -10).
int start();
bool table_in_use();  // whether any slot was ever taken (pollers skip until then)
void mark_table_in_use();
void lock();
void unlock();
void lock_names();  // cached peer names
void unlock_names();
Slot &slot(unsigned handle);
const char *local_host_name();  // null when the host has no name
std::uint32_t local_host_address();
void stop_winsock();
bool equal_ignoring_case(const char *a, const char *b);  // equal without case
char *copy_text(const char *text);                   // malloc'd copy, null without memory

// Records a failed socket call's code as the calling thread's last error.
void record_error(int wsa_code);
int last_error_and_reset();

// ---- slots (tcp_slots.cpp) ---------------------------------------------------------

// What a new connection or server puts in its slot.
struct SlotSetup {
    Kind kind;
    os::net::Socket socket;
    tcpFuncPtr callback;
    void *callback_data;
    std::uint16_t port;
    std::uint32_t peer_address;
    std::uint32_t bound_address;
};
// Takes a slot for the calling thread and fills it; with a description it
// is tracked as a resource under "Network connections". The slot stays
// pinned once for the caller when keep_pinned. -6 when the table is full
// (the socket is then the caller's to close).
int open_slot(const SlotSetup &setup, const char *description, bool keep_pinned, unsigned *handle);

// Which kinds a call accepts, and which of those mean "peer gone" (-19).
struct KindRule {
    std::uint8_t accepted;  // bit per kind
    std::uint8_t pending;   // accepted kinds that give kTCP_DisconnectPending
};
constexpr std::uint8_t kind_bit(Kind k) { return static_cast<std::uint8_t>(1u << k); }
constexpr KindRule kClientTransfer{kind_bit(kClient) | kind_bit(kClientPeerGone), 0};
constexpr KindRule kServerTransfer{kind_bit(kAccepted) | kind_bit(kAcceptedPeerGone), 0};
constexpr KindRule kClientLive{kind_bit(kClient) | kind_bit(kClientPeerGone), kind_bit(kClientPeerGone)};
constexpr KindRule kServerLive{kind_bit(kAccepted) | kind_bit(kAcceptedPeerGone), kind_bit(kAcceptedPeerGone)};
constexpr KindRule kAnyLive{static_cast<std::uint8_t>(kind_bit(kAccepted) | kind_bit(kAcceptedPeerGone) |
                                                       kind_bit(kClient) | kind_bit(kClientPeerGone)),
                            static_cast<std::uint8_t>(kind_bit(kAcceptedPeerGone) | kind_bit(kClientPeerGone))};

// Pins the slot of `handle` for the caller: 0, or -12 / -19 by the rule.
int pin(unsigned handle, KindRule rule, std::uint32_t *generation);
int pin_generation(unsigned handle, std::uint32_t generation);  // 0 or -12
void unpin(unsigned handle);
// Closes a slot: at once when nobody else uses it, else by its last user.
// The caller holds a pin or the lock-free guarantee that the slot is live.
void close_slot(unsigned handle);
// Closes every slot in use (run state 4, CloseWinsock, unload).
void close_all_slots();
// The drain of a graceful close: shut down the sending side, read what the
// peer still sends (bounded), close. Records no error: a close that
// follows a failure keeps the failure's code as the thread's last error.
void close_socket_gracefully(os::net::Socket s);

// ---- events (tcp_events.cpp) -------------------------------------------------------

// A slot of the calling thread that can have events, pinned for a wait.
struct Watched {
    unsigned handle;
    std::uint32_t generation;
    Kind kind;
};
// Pins every slot of the calling thread that can have events (servers and
// live connections), but `skip` and those listed in `also_skip`, and fills
// a readable-wanted poll entry for each. The number pinned; the caller
// unpins them. Both arrays hold kSlotCount entries.
std::size_t watch_thread_slots(unsigned skip, const unsigned *also_skip, std::size_t also_skipped,
                               os::net::PollEntry *entries, Watched *watched);

// One pass over the calling thread's slots but `skip` (kSlotCount: none).
// Handles that had an event are added to `ready` (may be null) up to its
// capacity.
int process_events(unsigned skip, unsigned *ready, std::size_t capacity, std::size_t *ready_count);
void run_state_changed(int run_state);
void drop_held_events();
void free_events(Event *e);

// ---- transfers (tcp_transfer.cpp) ---------------------------------------------------

int transfer(unsigned handle, void *buffer, std::size_t count, std::uint32_t timeout_ms, bool write, bool client);

}  // namespace kez::comm::tcp
