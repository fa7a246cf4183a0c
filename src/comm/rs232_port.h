// The RS-232 port record, shared by the library's own parts (not by
// XModem, which goes through rs232_library.h).
//
// Locks, in order: port lock (open, close, settings), then read lock
// (read-ahead list and device reads), then writer lock (output queue), then
// the event lock (callback state and queued event words). The state of an
// open session (open, closing, pins) changes under the state lock, which is
// only ever held for a few instructions. A reader with nothing to take
// waits inside VISA (a slice at a time) holding the read lock; VISA's
// handler therefore only tries that lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "comm/rs232_library.h"
#include "comm/visa_binding.h"
#include "core/word_lock.h"
#include "os/os.h"

namespace kez::comm::rs232 {

constexpr std::uint32_t kDefaultTimeoutMs = 5000;
constexpr std::uint32_t kSliceMs = 100;      // the longest single wait of a transfer
constexpr int kMaxDeviceName = 250;
constexpr std::uint32_t kValidEventMask = 0x81FF;

// Bytes in arrival order, growable, with room to put one back in front.
class ByteRing {
public:
    ~ByteRing();
    std::size_t size() const { return size_; }
    bool push_back(const unsigned char *bytes, std::size_t n);
    bool push_front(unsigned char byte);
    std::size_t pop(unsigned char *out, std::size_t n);
    bool contains(unsigned char byte, unsigned char mask) const;
    void clear() { head_ = size_ = 0; }

private:
    bool reserve(std::size_t n);
    unsigned char *data_ = nullptr;
    std::size_t capacity_ = 0, head_ = 0, size_ = 0;
};

// One queued event word and the session it was raised for.
struct EventWord {
    std::uint32_t session;
    std::uint32_t word;
};

struct Port {
    int number = 0;

    core::WordLock port_lock;

    // The open session.
    core::WordLock state_lock;
    bool open = false;
    std::atomic<bool> closing{false};
    std::uint32_t pins = 0;                  // under state_lock
    std::atomic<std::uint32_t> pin_word{0};  // bumped when pins drop to 0
    std::atomic<std::uint32_t> session{0};   // counts opens and closes
    std::atomic<ViSession> vi{VI_NULL};
    ViSession rm = VI_NULL;
    char device[kMaxDeviceName + 1] = {};
    bool tracked = false;

    // Settings (changed under the port lock; read by transfers).
    // (VISA's handler and transfers read them while a transfer's binary
    // mode changes them: atomic.)
    std::atomic<int> baud{9600}, parity{0}, data_bits{7}, stop_bits{1};
    std::atomic<int> in_queue{512};
    int out_queue = 512;
    bool out_queue_disabled = false;
    std::atomic<std::uint32_t> timeout_ms{kDefaultTimeoutMs};
    int xon = 0, cts = 0, dtr = 1;
    XModemSettings xmodem{10.0, 10, 10.0, 128};
    std::atomic<std::uint32_t> status_bits{0};

    // Input.
    core::WordLock read_lock;
    ByteRing ahead;
    std::atomic<std::uint32_t> device_timeout{0};  // VISA's time-out as last set
    bool char_events = false;  // character events enabled (callbacks want them)

    // Output: the queue and its writer.
    core::WordLock writer_lock;
    os::Thread *writer = nullptr;
    unsigned char *queue = nullptr;
    std::size_t queue_capacity = 0, queue_fill = 0;
    bool writing = false;            // a device write of the queue's front is out
    std::uint32_t flush_count = 0;   // FlushOutQ since the write went out
    bool stop_writer = false;
    bool last_write_complete = false;
    os::ThreadId last_writer_thread = 0;
    int pending_error = 0;
    std::atomic<std::uint32_t> work_seq{0};   // the writer's wake-up word
    std::atomic<std::uint32_t> space_seq{0};  // bumped when bytes leave the queue

    // Callbacks and events.
    core::WordLock event_lock;
    std::uint32_t event_mask = 0;
    int notify_count = 0;
    int event_char = 0;
    ComCallbackPtr callback = nullptr;
    void *callback_data = nullptr;
    os::ThreadId callback_thread = 0;
    bool count_reported = false;
    EventWord *events = nullptr;  // a ring
    std::size_t event_capacity = 0, event_head = 0, event_count = 0;
    // Callbacks decided but not yet entered: removal waits for these only,
    // never for user code.
    std::atomic<std::uint32_t> callbacks_starting{0};
};

// Runs `fn` on a pinned open port: -2, -3 or fn's outcome.
template <typename Fn>
Outcome with_pinned_port(int number, Fn fn) {
    Port *p = nullptr;
    if (const int error = pin_open(number, &p); error != 0) return error;
    const Outcome result = fn(p);
    unpin(p);
    return result;
}

// The record of port n (1..1000), null when it was never opened.
Port *port_record(int number);
int highest_port();

// VISA status to library code; a failure is also the thread's last VISA
// status.
int translate(ViStatus status);
void set_last_visa_status(ViStatus status);
ViStatus last_visa_status();

// Waits on `word` while it reads `expected`, at most `ms`.
void wait_word(const std::atomic<std::uint32_t> &word, std::uint32_t expected, std::uint32_t ms);
// The millisecond clock of time-outs.
std::uint64_t now_ms();

// The writer (rs232_writer.cpp).
bool start_writer(Port *p);
// Stops the writer; joins it when `may_wait`, else lets it end alone.
void stop_writer(Port *p, bool may_wait);
// Unload without waiting: gives running writers up to `budget_ms` to leave.
void let_writers_leave(std::uint32_t budget_ms);
// Closes every open port; true when a session had to be left open (no
// waiting allowed), so that VISA must stay loaded.
bool close_all_ports(bool may_wait);
// Unload, after every port closed with waiting: frees the records.
void free_port_records();

// Events (rs232_events.cpp).
ViStatus on_visa_event(ViSession vi, ViEventType type, ViEvent context, ViAddr user_handle);
void post_event(Port *p, std::uint32_t session, std::uint32_t bit);
// Removes the callback: no callback of the port starts after it returns
// (it waits for one running on another thread). Without `call_visa` the
// handlers stay installed (unload under the system's loader lock).
void remove_callback(Port *p, bool call_visa = true);
// Checks the input-count event of a watched port.
void check_receive_count(Port *p);
// Bytes a read took from the device: posts the event character's event
// when a callback watches for it and it is among them.
void note_input_taken(Port *p, const unsigned char *bytes, std::size_t n);
void note_callback_installed();

// Settings (rs232_ports.cpp).
int apply_settings(Port *p);
// Closes an open port (port lock held): drains, stops the writer, removes
// the callback and handlers, closes the session.
int close_port(Port *p, bool may_wait);

}  // namespace kez::comm::rs232
