/* Stand-in for the real-time timing engine component. Its table reads the
   system's monotonic clock and sleeps on it (Linux: CLOCK_MONOTONIC and
   absolute clock_nanosleep; Windows: the performance counter and a
   high-resolution waitable timer). Tests may switch it to a virtual clock,
   on which every sleep moves the time to its end and returns at once; the
   virtual time is one atomic 64-bit value shared by all threads. */
#if defined(_WIN32)
#define DVUSTE_EXPORT __declspec(dllexport)
#include <windows.h>
#else
#define DVUSTE_EXPORT __attribute__((visibility("default")))
#define _POSIX_C_SOURCE 200809L
#include <errno.h>
#include <time.h>
#endif

#include <stdint.h>

#include "dvuste_control.h"
#include "kez/time_engine.h"

#define NS_PER_S 1000000000ull

static int g_virtual;            /* non-zero: the virtual clock is in use */
static uint64_t g_virtual_ns;
static uint64_t g_rate_override = DVUSTE_DEFAULT_RATE;
static int g_refuse;

#define LOAD(p) __atomic_load_n((p), __ATOMIC_ACQUIRE)
#define STORE(p, v) __atomic_store_n((p), (v), __ATOMIC_RELEASE)

/* ---- the real clock, per platform ---------------------------------------- */

#if defined(_WIN32)

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

static uint64_t g_qpf;

static uint64_t native_rate(void) {
    uint64_t f = __atomic_load_n(&g_qpf, __ATOMIC_RELAXED);
    if (f == 0) {
        LARGE_INTEGER li;
        QueryPerformanceFrequency(&li);
        f = (uint64_t)li.QuadPart;
        __atomic_store_n(&g_qpf, f, __ATOMIC_RELAXED);
    }
    return f;
}

static uint64_t real_raw(void) {
    LARGE_INTEGER li;
    QueryPerformanceCounter(&li);
    return (uint64_t)li.QuadPart;
}

/* Counter ticks scaled to `unit` per second, whole seconds first so that
   nothing overflows. */
static uint64_t ticks_to(uint64_t ticks, uint64_t unit) {
    const uint64_t f = native_rate();
    return ticks / f * unit + ticks % f * unit / f;
}

static uint64_t ns_to_raw(uint64_t ns) {
    const uint64_t f = native_rate();
    return ns / NS_PER_S * f + ns % NS_PER_S * f / NS_PER_S;
}

static uint64_t real_ns(void) { return ticks_to(real_raw(), NS_PER_S); }

static uint64_t raw_us(uint64_t raw) { return ticks_to(raw, 1000000u); }

/* Waits in steps of the waitable timer until the clock has reached target;
   a timer that fires early only costs another step. */
static void real_sleep_until_ns(uint64_t target) {
    HANDLE timer = CreateWaitableTimerExW(NULL, NULL, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    if (timer == NULL) timer = CreateWaitableTimerW(NULL, FALSE, NULL);
    for (;;) {
        const uint64_t now = real_ns();
        LARGE_INTEGER due;
        if (now >= target) break;
        /* Relative due time, in 100 ns units rounded up. */
        due.QuadPart = -(LONGLONG)((target - now + 99) / 100);
        if (timer == NULL || !SetWaitableTimer(timer, &due, 0, NULL, NULL, FALSE)) {
            Sleep(0);
            continue;
        }
        WaitForSingleObject(timer, INFINITE);
    }
    if (timer != NULL) CloseHandle(timer);
}

#else

static uint64_t native_rate(void) { return NS_PER_S; }

static uint64_t real_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * NS_PER_S + (uint64_t)ts.tv_nsec;
}

static uint64_t real_raw(void) { return real_ns(); }
static uint64_t ns_to_raw(uint64_t ns) { return ns; }
static uint64_t raw_us(uint64_t raw) { return raw / 1000u; }

static void real_sleep_until_ns(uint64_t target) {
    struct timespec ts;
    ts.tv_sec = (time_t)(target / NS_PER_S);
    ts.tv_nsec = (long)(target % NS_PER_S);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, NULL) == EINTR) {
    }
}

#endif

/* ---- the clock in use ---------------------------------------------------- */

static uint64_t now_ns(void) { return LOAD(&g_virtual) ? LOAD(&g_virtual_ns) : real_ns(); }

/* Sleeps until the clock reads target nanoseconds; on the virtual clock it
   moves the time there unless another sleep already went further. */
static void sleep_until_ns(uint64_t target) {
    if (LOAD(&g_virtual)) {
        uint64_t cur = LOAD(&g_virtual_ns);
        while (cur < target &&
               !__atomic_compare_exchange_n(&g_virtual_ns, &cur, target, 0, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
        }
        return;
    }
    real_sleep_until_ns(target);
}

static uint32_t clock_us32(void) { return (uint32_t)(now_ns() / 1000u); }

/* ---- the table ----------------------------------------------------------- */

static uint64_t te_clock_ns(void) { return now_ns(); }

static void te_read_clock(uint64_t *raw) {
    if (raw != NULL) *raw = LOAD(&g_virtual) ? ns_to_raw(LOAD(&g_virtual_ns)) : real_raw();
}

static uint64_t te_raw_to_us(uint64_t raw) { return raw_us(raw); }

static uint64_t g_overshoot_ns; /* added once, to the next virtual relative sleep */

static uint32_t te_sleep_us(uint32_t us) {
    if (us == 0) return clock_us32();
    if (LOAD(&g_virtual)) {
        const uint64_t extra = __atomic_exchange_n(&g_overshoot_ns, 0, __ATOMIC_ACQ_REL);
        return (uint32_t)(__atomic_add_fetch(&g_virtual_ns, (uint64_t)us * 1000u + extra, __ATOMIC_ACQ_REL) / 1000u);
    }
    real_sleep_until_ns(real_ns() + (uint64_t)us * 1000u);
    return clock_us32();
}

static uint32_t te_sleep_until_us(uint32_t us) {
    const uint64_t now_us = now_ns() / 1000u;
    /* Ahead by less than 2^31 us: the moment is still to come. */
    const int32_t ahead = (int32_t)(us - (uint32_t)now_us);
    if (ahead <= 0) return (uint32_t)now_us;
    sleep_until_ns((now_us + (uint64_t)ahead) * 1000u);
    return clock_us32();
}

static uint32_t te_sleep_until_next_multiple_us(uint32_t us) {
    uint64_t now_us;
    if (us == 0) return clock_us32();
    now_us = now_ns() / 1000u;
    sleep_until_ns((now_us / us + 1) * us * 1000u);
    return clock_us32();
}

static uint64_t te_clock_rate(void) {
    const uint64_t r = LOAD(&g_rate_override);
    return r == DVUSTE_DEFAULT_RATE ? native_rate() : r;
}

static const KezTimeEngine g_engine = {
    sizeof(KezTimeEngine),
    te_clock_ns,
    te_read_clock,
    te_raw_to_us,
    te_sleep_us,
    te_sleep_until_us,
    te_sleep_until_next_multiple_us,
    te_clock_rate,
};

DVUSTE_EXPORT const KezTimeEngine *GetEngine__BRENNICK(void) { return LOAD(&g_refuse) ? NULL : &g_engine; }

/* ---- controls ------------------------------------------------------------ */

DVUSTE_EXPORT void dvuste_use_virtual_clock(uint64_t start_ns) {
    STORE(&g_virtual_ns, start_ns);
    STORE(&g_virtual, 1);
}

DVUSTE_EXPORT void dvuste_use_real_clock(void) { STORE(&g_virtual, 0); }

DVUSTE_EXPORT void dvuste_advance_ns(uint64_t ns) { __atomic_add_fetch(&g_virtual_ns, ns, __ATOMIC_ACQ_REL); }

DVUSTE_EXPORT uint64_t dvuste_virtual_ns(void) { return LOAD(&g_virtual_ns); }

DVUSTE_EXPORT void dvuste_set_clock_rate(uint64_t rate) { STORE(&g_rate_override, rate); }

DVUSTE_EXPORT void dvuste_refuse_engine(int refuse) { STORE(&g_refuse, refuse); }

DVUSTE_EXPORT void dvuste_overshoot_next_sleep_ns(uint64_t ns) { STORE(&g_overshoot_ns, ns); }
