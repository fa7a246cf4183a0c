// The asynchronous timer engine: one interface over two back-ends, the
// system's multimedia timer (MMSystem) and the real-time timing engine
// component (DVUSTE). One back-end is chosen per process, the first of the
// engine list that loads, and never changes.
//
// Timers of both back-ends are records in one handle pool; a KezUSTETimer
// is the address of its record. Every call and every callback pins the
// record while it uses it, so a discarded or wild handle is refused without
// being read, and a late callback of a discarded timer finds nothing.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/handle_pool.h"
#include "core/word_lock.h"
#include "kez/time_engine.h"
#include "kez/utility.h"
#include "os/os.h"

namespace kez::util {

struct TimerRecord {
    KezUSTECallback callback;
    void *data;
    // Guards the fields below; held only for short updates, never across
    // the user's callback or a system call that may wait.
    core::WordLock lock;
    // Serialises SetTimer and DiscardTimer of this timer.
    core::WordLock control;
    bool discarded;
    os::ThreadId running_thread;  // the thread inside the callback now, 0 none
    // Callbacks past their checks and not yet finished; a discarder waits
    // for it to reach 0 (os::wait_on_address).
    std::atomic<std::uint32_t> active;

    // Multimedia timer.
    std::uint32_t mm_id;       // the armed system timer, 0 none
    std::uint64_t period_ms;
    std::uint64_t start_ms;    // last period boundary, on the extended clock
    bool one_shots;            // a long period, built from one-shots

    // Timing engine.
    os::Thread *thread;
    os::Event *start_event;
    os::ThreadId thread_id;
    std::uint64_t period_us;
    std::uint32_t generation;  // bumped by every SetTimer and by discard
    bool armed;
    bool thread_ends_alone;    // nobody joins the thread: it closes its own handle

    TimerRecord *prev_live;
    TimerRecord *next_live;
};

class TimerEngine {
public:
    virtual bool Load() = 0;
    virtual void LocalTime(KezUSTETime *time) = 0;
    virtual int Resolution(KezUSTETime *time) = 0;
    virtual TimerRecord *NewTimer(KezUSTECallback callback, void *data) = 0;
    // Called with the record pinned by the caller.
    virtual void DiscardTimer(TimerRecord *timer) = 0;
    virtual int SetTimer(TimerRecord *timer, const KezUSTETime *period) = 0;
    virtual void SetPriority(TimerRecord *timer, int priority) = 0;
    virtual int GetPriority(TimerRecord *timer) = 0;
    virtual const KezTimeEngine *TimeEngine() = 0;
    // Stops every timer and lets go of the back-end (engine unload).
    // `may_wait`: threads of the engine may be waited for (not under the
    // system's loader lock, not at process end). True when no thread of
    // the back-end can touch a timer record any more.
    virtual bool Unload(bool may_wait) = 0;

protected:
    ~TimerEngine() = default;
};

TimerEngine &mmsystem_engine();
TimerEngine &dvuste_engine();

// The pool of timer records and the list of live timers (for unload).
core::HandlePool &timer_pool();
TimerRecord *new_timer_record(KezUSTECallback callback, void *data);
void publish_timer(TimerRecord *timer);
// Retires the timer (no new pins) and takes it off the live list; true for
// the one caller that did.
bool retire_timer(TimerRecord *timer);
void unpin_timer(TimerRecord *timer);
// Calls fn for every live timer, under the list's lock.
void for_each_live_timer(void (*fn)(TimerRecord *timer, void *context), void *context);

// Seconds and nanoseconds of a count of units (ms, ns).
KezUSTETime time_of_ms(std::uint64_t ms);
KezUSTETime time_of_ns(std::uint64_t ns);

// Stops every timer at engine unload (a process-detach step).
void KezUSTEUnload();

}  // namespace kez::util
