// The multimedia timer on Windows: winmm.dll, loaded at run time (the
// engine does not link it). The table handed out holds small wrappers that
// check the fault points and call the system's entry points; on x86-64 the
// system's callback convention is the C one, so a MultimediaTimerCallback
// is given to timeSetEvent as it is.
//
// The wrappers keep the ids of the timers armed through them, so that an
// unload can kill those still armed before winmm goes. A one-shot that has
// fired stays listed until then; killing it again only gets an error code.
#include <windows.h>

#include <iterator>
#include <new>

#include "os/fault.h"
#include "os/multimedia_timer.h"
#include "os/os.h"

namespace kez::os {
namespace {

using SystemCallback = void(CALLBACK *)(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);

struct Entries {
    UINT(WINAPI *get_system_time)(void *, UINT);
    DWORD(WINAPI *get_time)();
    UINT(WINAPI *set_event)(UINT, UINT, SystemCallback, DWORD_PTR, UINT);
    UINT(WINAPI *kill_event)(UINT);
    UINT(WINAPI *get_dev_caps)(void *, UINT);
    UINT(WINAPI *begin_period)(UINT);
    UINT(WINAPI *end_period)(UINT);
};

constexpr const char *kEntryNames[] = {"timeGetSystemTime", "timeGetTime",     "timeSetEvent",  "timeKillEvent",
                                       "timeGetDevCaps",    "timeBeginPeriod", "timeEndPeriod"};

struct Armed {
    Armed *next;
    UINT id;
};

SRWLOCK g_lock = SRWLOCK_INIT;
Module g_module = nullptr;  // under g_lock
Entries g_entries{};
Armed *g_armed = nullptr;  // under g_lock

std::uint32_t mm_get_system_time(void *mmtime, std::uint32_t size) { return g_entries.get_system_time(mmtime, size); }

std::uint32_t mm_get_time() { return g_entries.get_time(); }

std::uint32_t mm_set_event(std::uint32_t delay_ms, std::uint32_t resolution_ms, MultimediaTimerCallback callback,
                           std::uintptr_t user, std::uint32_t flags) {
    if (fault::hit("os.multimedia_timer_arm")) return 0;
    auto *armed = new (std::nothrow) Armed{};
    if (armed == nullptr) return 0;
    const UINT id =
        g_entries.set_event(delay_ms, resolution_ms, reinterpret_cast<SystemCallback>(callback), user, flags);
    if (id == 0) {
        delete armed;
        return 0;
    }
    armed->id = id;
    AcquireSRWLockExclusive(&g_lock);
    armed->next = g_armed;
    g_armed = armed;
    ReleaseSRWLockExclusive(&g_lock);
    return id;
}

std::uint32_t mm_kill_event(std::uint32_t id) {
    if (fault::hit("os.multimedia_timer_kill")) return kMmInvalidParameter;
    AcquireSRWLockExclusive(&g_lock);
    Armed *found = nullptr;
    for (Armed **link = &g_armed; *link != nullptr; link = &(*link)->next) {
        if ((*link)->id != id) continue;
        found = *link;
        *link = found->next;
        break;
    }
    ReleaseSRWLockExclusive(&g_lock);
    delete found;
    // An id that is not armed is the only failure; Wine reports it as
    // TIMERR_NOCANDO where the table's callers expect the invalid-parameter
    // code.
    return g_entries.kill_event(id) == 0 ? 0 : kMmInvalidParameter;
}

std::uint32_t mm_get_dev_caps(MultimediaTimerCaps *caps, std::uint32_t size) {
    return g_entries.get_dev_caps(caps, size);
}

std::uint32_t mm_begin_period(std::uint32_t period_ms) { return g_entries.begin_period(period_ms); }

std::uint32_t mm_end_period(std::uint32_t period_ms) { return g_entries.end_period(period_ms); }

constexpr MultimediaTimerApi kApi{mm_get_system_time, mm_get_time,     mm_set_event, mm_kill_event,
                                  mm_get_dev_caps,    mm_begin_period, mm_end_period};

}  // namespace

const MultimediaTimerApi *multimedia_timer_load() {
    if (fault::hit("os.multimedia_timer_load")) return nullptr;
    AcquireSRWLockExclusive(&g_lock);
    if (g_module == nullptr) {
        Module module = module_load("winmm.dll");
        void *found[std::size(kEntryNames)] = {};
        bool complete = module != nullptr;
        for (std::size_t i = 0; complete && i < std::size(kEntryNames); ++i) {
            found[i] = module_symbol(module, kEntryNames[i]);
            complete = found[i] != nullptr;
        }
        if (!complete) {
            module_unload(module);
            ReleaseSRWLockExclusive(&g_lock);
            return nullptr;
        }
        g_entries.get_system_time = reinterpret_cast<decltype(g_entries.get_system_time)>(found[0]);
        g_entries.get_time = reinterpret_cast<decltype(g_entries.get_time)>(found[1]);
        g_entries.set_event = reinterpret_cast<decltype(g_entries.set_event)>(found[2]);
        g_entries.kill_event = reinterpret_cast<decltype(g_entries.kill_event)>(found[3]);
        g_entries.get_dev_caps = reinterpret_cast<decltype(g_entries.get_dev_caps)>(found[4]);
        g_entries.begin_period = reinterpret_cast<decltype(g_entries.begin_period)>(found[5]);
        g_entries.end_period = reinterpret_cast<decltype(g_entries.end_period)>(found[6]);
        g_module = module;
    }
    ReleaseSRWLockExclusive(&g_lock);
    return &kApi;
}

void multimedia_timer_unload(bool process_ending) {
    AcquireSRWLockExclusive(&g_lock);
    Module module = g_module;
    Armed *armed = g_armed;
    g_module = nullptr;
    g_armed = nullptr;
    ReleaseSRWLockExclusive(&g_lock);
    if (module == nullptr) return;
    // Killed outside the lock: a callback that is running may arm or kill.
    while (armed != nullptr) {
        Armed *next = armed->next;
        g_entries.kill_event(armed->id);
        delete armed;
        armed = next;
    }
    if (!process_ending) module_unload(module);
}

}  // namespace kez::os
