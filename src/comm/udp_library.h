// The UDP library's channel table and the pieces its functions share.
//
// A channel handle is the index of its record in the table (1 and up) with
// the low bits of the record's generation above it, so a handle of a
// disposed channel never names the channel that reuses its record.
//
// Every operation pins the record (under the library lock) for as long as
// it works on it. Dispose retires the record: it stops new pins and closes
// nothing while the record is pinned; whoever drops the last pin closes the
// socket and frees the record for reuse. A read that waits therefore keeps
// its socket open and notices a disposal at its next slice.
//
// Lock order: library lock, then record lock. The record lock is never
// held across a wait or a user callback.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/word_lock.h"
#include "kez/udp.h"
#include "os/os.h"
#include "os/socket.h"

namespace kez::comm::udp {

constexpr unsigned kIndexBits = 20;
constexpr std::uint32_t kIndexMask = (1u << kIndexBits) - 1;
constexpr std::uint32_t kAllOnes = 0xFFFFFFFFu;

struct Membership {
    std::uint32_t group;
    std::uint8_t source_controlled;
    std::uint32_t *sources;  // never filled: every membership is any-source
    std::uint32_t source_count;
    std::uint32_t source_capacity;
};

enum class State : std::uint8_t {
    free,      // reusable
    reserved,  // taken by a create that is still setting it up
    live,
    retired,   // disposed; the last pin closes it
};

struct Channel {
    // Guarded by the library lock.
    State state = State::free;
    unsigned index = 0;
    bool orphaned = false;       // unloaded while pinned: the last pin deletes the record
    std::uint32_t generation = 0;  // counts the channels this record has held
    int pins = 0;
    std::uint32_t port = kAllOnes;
    os::ThreadId owner = kAllOnes;
    // Guarded by the record lock (fixed while the record is live: address,
    // socket, owner, port).
    core::WordLock lock;
    std::uint32_t address = 0;
    UDPCallbackPtr callback = nullptr;
    void *data = nullptr;
    os::net::Socket socket = os::net::kInvalidSocket;
    Membership *memberships = nullptr;
    std::uint16_t capacity = 0;
    std::uint16_t count = 0;
};

// Initialises the library once: 0 or a UDP code.
int ensure_initialised();
// The record a handle names, pinned; null when the handle names no live
// channel.
Channel *pin(unsigned handle);
void unpin(Channel *c);
std::uint32_t handle_of(unsigned index, std::uint32_t generation);

// Reserves a free record (growing the table): its index, or 0 without
// memory. The record is State::reserved and pinned once.
unsigned reserve_record(Channel **out);
// Makes a reserved record live and gives its handle.
unsigned publish_record(unsigned index, Channel *c);
// Gives back a reserved record that was never published.
void release_reserved(Channel *c);
// Whether a pinned record is still live (not disposed).
bool is_live(Channel *c);
// Marks a live record disposed; false when it was not live.
bool retire(Channel *c);
// Retires every live channel.
void retire_all();

// The local interfaces learned at initialisation.
int interface_count();
std::uint32_t interface_address(int i);
int send_buffer_size();
int receive_buffer_size();
void note_channel_created();

// Socket error to UDP code, logged at TEMP.
int translate(int wsa_error);
// Logs a negative code at WARNING under `function` with its message; returns it.
int fail(const char *function, int code);
#define UDP_RESULT(code) ::kez::comm::udp::fail(__func__, (code))

// Address texts: 0 and the address, -6802 for a malformed text, -6813 for
// a name that does not resolve.
int parse_address(const char *text, std::uint32_t *address);

// Closes a channel's socket: a bounded drain, then closesocket.
void close_socket(os::net::Socket s);
void free_memberships(Membership *m, std::uint16_t count);

int set_attribute(unsigned channel, int attribute, va_list args);

// The event poller of ProcessSystemEvents.
int ProcessUDPEvents();
// Engine unload: closes every socket, frees every record.
void UDPLibraryUnload();

}  // namespace kez::comm::udp
