/* The interface of the real-time timing engine component ("dvuste.dll" on
   Windows, "libdvuste.so" on Linux). The run-time engine loads the
   component at run time, calls its export GetEngine__BRENNICK once and
   keeps the table it returns for the rest of the process. A component
   implements this header; user programs do not need it. */
#ifndef KEZ_TIME_ENGINE_H
#define KEZ_TIME_ENGINE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct KezTimeEngine {
    /* sizeof(KezTimeEngine) as the component was built; the engine refuses
       a table smaller than its own. */
    uint32_t size;
    /* The engine's clock in nanoseconds. */
    uint64_t (*clock_ns)(void);
    /* The clock as an 8-byte raw reading, and a raw reading in
       microseconds. */
    void (*read_clock)(uint64_t *raw);
    uint64_t (*raw_to_us)(uint64_t raw);
    /* Sleeps `us` microseconds and returns the clock in microseconds,
       wrapped to 32 bits; with 0 it only reads the clock. */
    uint32_t (*sleep_us)(uint32_t us);
    /* Sleeps until the 32-bit microsecond clock reaches `us` (at once when
       that moment is less than 2^31 us in the past); returns the clock. */
    uint32_t (*sleep_until_us)(uint32_t us);
    /* Sleeps until the 32-bit microsecond clock is next a whole multiple of
       `us` (at once for 0); returns the clock. */
    uint32_t (*sleep_until_next_multiple_us)(uint32_t us);
    /* The clock's rate in ticks per second; 0 when unknown. */
    uint64_t (*clock_rate)(void);
} KezTimeEngine;

/* The component's export GetEngine__BRENNICK. */
typedef const KezTimeEngine *(*KezGetTimeEngine)(void);

#ifdef __cplusplus
}
#endif

#endif
