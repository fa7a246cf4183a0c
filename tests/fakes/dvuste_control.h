/* The timing-engine stand-in's own controls, beside its table. Tests reach
   them through the loaded module by name; the declarations give the types.
   The virtual clock starts where dvuste_use_virtual_clock says and moves
   only by dvuste_advance_ns and by sleeps, which then return at once. */
#ifndef KEZ_FAKES_DVUSTE_CONTROL_H
#define KEZ_FAKES_DVUSTE_CONTROL_H

#include <stdint.h>

#ifndef DVUSTE_EXPORT
#define DVUSTE_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

DVUSTE_EXPORT void dvuste_use_virtual_clock(uint64_t start_ns);
DVUSTE_EXPORT void dvuste_use_real_clock(void);
DVUSTE_EXPORT void dvuste_advance_ns(uint64_t ns);
DVUSTE_EXPORT uint64_t dvuste_virtual_ns(void);
/* What clock_rate reports from now on; DVUSTE_DEFAULT_RATE restores the
   clock's own rate. */
#define DVUSTE_DEFAULT_RATE UINT64_MAX
DVUSTE_EXPORT void dvuste_set_clock_rate(uint64_t rate);
/* While non-zero, GetEngine__BRENNICK gives null. */
DVUSTE_EXPORT void dvuste_refuse_engine(int refuse);
/* The next relative sleep on the virtual clock ends this much late (a
   thread that woke late). */
DVUSTE_EXPORT void dvuste_overshoot_next_sleep_ns(uint64_t ns);

#ifdef __cplusplus
}
#endif

#endif
