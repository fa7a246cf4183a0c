// RS-232 events: VISA's handler (on VISA's threads), the per-port queue of
// event words tagged with their session, the callback's installation, and
// the delivery on the installing thread during its event processing.
//
// A word raised for an earlier session of the port is dropped, so a
// reopened port never sees its predecessor's events. Whether a callback
// starts is decided under the event lock that removing the callback takes,
// and removal waits for a callback running on another thread, so no
// callback starts once CloseCom (or InstallComCallback) has returned.
#include <algorithm>
#include <cstring>
#include <new>

#include "comm/rs232_port.h"
#include "core/deferred_calls.h"
#include "core/frame.h"
#include "kez/logging.h"

namespace kez::comm::rs232 {
namespace {

std::atomic<bool> g_any_callback{false};
constexpr std::size_t kReadAheadStep = 50;

struct HandlerEvent {
    ViEventType type;
    std::uint32_t bit;
};
constexpr HandlerEvent kCallbackEvents[] = {
    {VI_EVENT_ASRL_CTS, COM_EVENT_CTS},
    {VI_EVENT_ASRL_DSR, COM_EVENT_DSR},
    {VI_EVENT_ASRL_DCD, COM_EVENT_DCD},
    {VI_EVENT_ASRL_RI, COM_EVENT_RING},
};

ViAddr user_handle(int port, std::uint32_t bit) {
    return reinterpret_cast<ViAddr>(static_cast<std::uintptr_t>((static_cast<std::uint32_t>(port) << 16) | bit));
}

// The count of input available now, the device's and the read-ahead
// list's; false while a read holds the list (it checks again itself).
bool input_count(Port *p, std::size_t *total) {
    if (!p->read_lock.try_lock()) return false;
    ViUInt32 available = 0;
    if (visa::GetAttribute(p->vi.load(), VI_ATTR_ASRL_AVAIL_NUM, &available) < 0) available = 0;
    *total = available + p->ahead.size();
    p->read_lock.unlock();
    return true;
}

// The event-character path: moves what the device holds into the read-ahead
// list (at most the input queue size, 50 at a time) and tells whether the
// event character came with it.
bool take_input_for_event_char(Port *p, int event_char) {
    const ViSession vi = p->vi.load();
    const unsigned char mask = static_cast<unsigned char>((1 << p->data_bits) - 1);
    bool seen = false;
    unsigned char block[kReadAheadStep];
    // A read holding the lock takes the bytes, and looks at them itself.
    if (!p->read_lock.try_lock()) return false;
    for (;;) {
        if (p->ahead.size() >= static_cast<std::size_t>(p->in_queue)) break;
        ViUInt32 available = 0;
        if (visa::GetAttribute(vi, VI_ATTR_ASRL_AVAIL_NUM, &available) < 0 || available == 0) break;
        const std::size_t room = static_cast<std::size_t>(p->in_queue) - p->ahead.size();
        const auto want = static_cast<ViUInt32>(std::min<std::size_t>({available, kReadAheadStep, room}));
        ViUInt32 got = 0;
        visa::Read(vi, block, want, &got);
        if (got == 0) break;
        for (ViUInt32 i = 0; i < got; ++i)
            if ((block[i] & mask) == (event_char & mask)) seen = true;
        p->ahead.push_back(block, got);
    }
    p->read_lock.unlock();
    return seen;
}

void uninstall_callback_handlers(Port *p, std::uint32_t mask) {
    const ViSession vi = p->vi.load();
    for (const HandlerEvent &e : kCallbackEvents)
        if ((mask & e.bit) != 0) {
            visa::DisableEvent(vi, e.type, VI_HNDLR);
            visa::UninstallHandler(vi, e.type, on_visa_event, user_handle(p->number, e.bit));
        }
}

}  // namespace

void post_event(Port *p, std::uint32_t session, std::uint32_t bit) {
    p->event_lock.lock();
    if (p->callback != nullptr && (p->event_mask & bit) != 0 && session == p->session.load()) {
        if (p->event_count == p->event_capacity) {
            const std::size_t capacity = p->event_capacity == 0 ? 64 : p->event_capacity * 2;
            auto *grown = new (std::nothrow) EventWord[capacity];
            if (grown != nullptr) {
                for (std::size_t i = 0; i < p->event_count; ++i)
                    grown[i] = p->events[(p->event_head + i) % p->event_capacity];
                delete[] p->events;
                p->events = grown;
                p->event_capacity = capacity;
                p->event_head = 0;
            }
        }
        if (p->event_count < p->event_capacity) {
            p->events[(p->event_head + p->event_count) % p->event_capacity] = EventWord{session, bit};
            ++p->event_count;
        }
    }
    p->event_lock.unlock();
}

void note_input_taken(Port *p, const unsigned char *bytes, std::size_t n) {
    p->event_lock.lock();
    const bool watching = p->callback != nullptr && (p->event_mask & COM_EVENT_EVENT_CHAR) != 0;
    const int event_char = p->event_char;
    p->event_lock.unlock();
    if (watching) {
        const int mask = (1 << p->data_bits) - 1;
        for (std::size_t i = 0; i < n; ++i)
            if ((bytes[i] & mask) == (event_char & mask)) {
                post_event(p, p->session.load(), COM_EVENT_EVENT_CHAR);
                break;
            }
    }
    check_receive_count(p);
}

void check_receive_count(Port *p) {
    p->event_lock.lock();
    const bool watching = p->callback != nullptr && (p->event_mask & COM_EVENT_RECEIVE_COUNT) != 0;
    const int notify = p->notify_count;
    p->event_lock.unlock();
    std::size_t count = 0;
    if (!watching || !input_count(p, &count)) return;
    p->event_lock.lock();
    bool post = false;
    if (count >= static_cast<std::size_t>(notify)) {
        post = !p->count_reported;
        p->count_reported = true;
    } else {
        p->count_reported = false;  // re-armed once the input drops below
    }
    p->event_lock.unlock();
    if (post) post_event(p, p->session.load(), COM_EVENT_RECEIVE_COUNT);
}

ViStatus on_visa_event(ViSession vi, ViEventType type, ViEvent context, ViAddr user_handle_value) {
    const auto handle = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(user_handle_value));
    const int number = static_cast<int>(handle >> 16);
    Port *p = port_record(number);
    if (p == nullptr || p->vi.load() != vi) {
        KezAssert("port matches session", __FILE__, __func__, __LINE__, "Installed handler's arguments do not agree");
        return VI_SUCCESS;
    }
    const std::uint32_t session = p->session.load();
    switch (type) {
        case VI_EVENT_ASRL_CHAR: {
            p->event_lock.lock();
            const std::uint32_t mask = p->callback != nullptr ? p->event_mask : 0;
            const int event_char = p->event_char;
            p->event_lock.unlock();
            if ((mask & COM_EVENT_CHAR) != 0) post_event(p, session, COM_EVENT_CHAR);
            if ((mask & COM_EVENT_EVENT_CHAR) != 0 && take_input_for_event_char(p, event_char))
                post_event(p, session, COM_EVENT_EVENT_CHAR);
            if ((mask & COM_EVENT_RECEIVE_COUNT) != 0) check_receive_count(p);
            break;
        }
        case VI_EVENT_ASRL_BREAK:
            p->status_bits.fetch_or(COM_STAT_BREAK);
            post_event(p, session, COM_EVENT_BREAK);
            break;
        case VI_EVENT_ASRL_CTS: post_event(p, session, COM_EVENT_CTS); break;
        case VI_EVENT_ASRL_DSR: post_event(p, session, COM_EVENT_DSR); break;
        case VI_EVENT_ASRL_DCD: post_event(p, session, COM_EVENT_DCD); break;
        case VI_EVENT_ASRL_RI: post_event(p, session, COM_EVENT_RING); break;
        case VI_EVENT_EXCEPTION: {
            ViStatus status = 0;
            if (visa::GetAttribute(context, VI_ATTR_STATUS, &status) < 0) status = 0;
            if (status == VI_ERROR_ASRL_PARITY) p->status_bits.fetch_or(COM_STAT_PARITY);
            if (status == VI_ERROR_ASRL_FRAMING) p->status_bits.fetch_or(COM_STAT_FRAMING);
            if (status == VI_ERROR_ASRL_OVERRUN) p->status_bits.fetch_or(COM_STAT_OVERRUN);
            post_event(p, session, COM_EVENT_LINE_ERROR);
            break;
        }
        default: break;
    }
    return VI_SUCCESS;
}

void remove_callback(Port *p, bool call_visa) {
    p->event_lock.lock();
    const std::uint32_t mask = p->callback != nullptr ? p->event_mask : 0;
    const os::ThreadId owner = p->callback_thread;
    p->callback = nullptr;
    p->callback_data = nullptr;
    p->event_mask = 0;
    p->event_count = 0;  // words not yet delivered are dropped
    p->event_head = 0;
    p->count_reported = false;
    p->event_lock.unlock();
    if (mask != 0 && call_visa) uninstall_callback_handlers(p, mask);
    if (p->char_events && call_visa) visa::DisableEvent(p->vi.load(), VI_EVENT_ASRL_CHAR, VI_HNDLR);
    p->char_events = false;
    // A callback decided on its thread is let into the user's code (or
    // not) before this returns; one already running may go on.
    if (owner != os::current_thread_id())
        while (const std::uint32_t starting = p->callbacks_starting.load())
            wait_word(p->callbacks_starting, starting, kSliceMs);
}

void note_callback_installed() { g_any_callback.store(true); }

int ProcessRS232Events() {
    if (!g_any_callback.load(std::memory_order_acquire)) return 0;
    const os::ThreadId me = os::current_thread_id();
    EventWord words[64];
    for (int n = 1; n <= highest_port(); ++n) {
        Port *p = port_record(n);
        if (p == nullptr) continue;
        for (;;) {
            // Words are taken a batch at a time; each one's callback is
            // decided under the lock, just before it is called.
            p->event_lock.lock();
            if (p->callback == nullptr || p->callback_thread != me || p->event_count == 0) {
                p->event_lock.unlock();
                break;
            }
            std::size_t taken = 0;
            while (taken < 64 && p->event_count > 0) {
                words[taken++] = p->events[p->event_head];
                p->event_head = (p->event_head + 1) % p->event_capacity;
                --p->event_count;
            }
            p->event_lock.unlock();
            for (std::size_t i = 0; i < taken; ++i) {
                if (core::engine().shutting_down.load()) return 0;
                p->event_lock.lock();
                const ComCallbackPtr callback = p->callback;
                void *data = p->callback_data;
                const bool start = callback != nullptr && p->callback_thread == me &&
                                   words[i].session == p->session.load() && (p->event_mask & words[i].word) != 0;
                if (start) p->callbacks_starting.fetch_add(1);
                p->event_lock.unlock();
                if (!start) continue;
                struct Call {
                    Port *port;
                    ComCallbackPtr callback;
                    void *data;
                } call{p, callback, data};
                core::guarded_call(
                    [](unsigned port, int word, int, void *c) {
                        auto *call_of = static_cast<Call *>(c);
                        Port *q = call_of->port;
                        if (q->callbacks_starting.fetch_sub(1) == 1) os::wake_all(&q->callbacks_starting);
                        call_of->callback(static_cast<int>(port), word, call_of->data);
                        return 0;
                    },
                    static_cast<unsigned>(n), static_cast<int>(words[i].word), 0, &call);
            }
        }
    }
    return 0;
}

}  // namespace kez::comm::rs232

using namespace kez::comm::rs232;
namespace visa = kez::comm::visa;
namespace os = kez::os;

extern "C" int InstallComCallback(int port, int eventMask, int notifyCount, int eventCharacter,
                                  ComCallbackPtr callback, void *callbackData) {
    if (port < 1 || port > kMaxPort) return RS232_RESULT(-2);
    Port *p = port_record(port);
    if (p == nullptr) return RS232_RESULT(-3);
    p->port_lock.lock();
    int result = 0;
    if (!p->open) {
        result = -3;
    } else if (callback == nullptr || eventMask == 0) {
        remove_callback(p);
    } else {
        const auto mask = static_cast<std::uint32_t>(eventMask);
        if (eventMask == -1 || (mask & ~kValidEventMask) != 0) result = -13;
        if (result == 0 && (mask & COM_EVENT_RECEIVE_COUNT) != 0 && (notifyCount < 0 || notifyCount > p->in_queue))
            result = -13;
        if (result == 0 && (mask & COM_EVENT_EVENT_CHAR) != 0 && (eventCharacter < 0 || eventCharacter >= 256))
            result = -13;
        if (result == 0) {
            remove_callback(p);
            const ViSession vi = p->vi.load();
            for (const auto &e : {std::pair{VI_EVENT_ASRL_CTS, COM_EVENT_CTS}, std::pair{VI_EVENT_ASRL_DSR, COM_EVENT_DSR},
                                  std::pair{VI_EVENT_ASRL_DCD, COM_EVENT_DCD}, std::pair{VI_EVENT_ASRL_RI, COM_EVENT_RING}}) {
                if ((mask & static_cast<std::uint32_t>(e.second)) == 0) continue;
                const auto handle = reinterpret_cast<ViAddr>(
                    static_cast<std::uintptr_t>((static_cast<std::uint32_t>(port) << 16) | e.second));
                ViStatus status = visa::InstallHandler(vi, e.first, on_visa_event, handle);
                if (status >= 0) status = visa::EnableEvent(vi, e.first, VI_HNDLR, VI_NULL);
                if (status < 0 && result == 0) result = translate(status);
            }
            if ((mask & (COM_EVENT_CHAR | COM_EVENT_EVENT_CHAR | COM_EVENT_RECEIVE_COUNT)) != 0) {
                const ViStatus status = visa::EnableEvent(vi, VI_EVENT_ASRL_CHAR, VI_HNDLR, VI_NULL);
                if (status < 0 && result == 0) result = translate(status);
                p->char_events = status >= 0;
            }
            note_callback_installed();
            p->event_lock.lock();
            p->event_mask = mask;
            p->notify_count = (mask & COM_EVENT_RECEIVE_COUNT) != 0 ? notifyCount : 0;
            p->event_char = eventCharacter & ((1 << p->data_bits) - 1);
            p->callback = callback;
            p->callback_data = callbackData;
            p->callback_thread = os::current_thread_id();
            p->count_reported = false;
            p->event_lock.unlock();
            if ((mask & COM_EVENT_RECEIVE_COUNT) != 0) check_receive_count(p);
        }
    }
    p->port_lock.unlock();
    return RS232_RESULT(result);
}
