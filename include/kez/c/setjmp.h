/* The engine's C library: non-local jumps. */
#ifndef KEZ_C_SETJMP_H
#define KEZ_C_SETJMP_H

#include "../kez_api.h"

KEZ_BEGIN_DECLS

/* What a jump restores: the caller's stack, return address and the
   registers a call preserves (on Windows also xmm6 to xmm15). 256 bytes on
   every platform. The floating-point environment is not restored: it stays
   as it was when longjmp was called. */
typedef long long jmp_buf[32];

#if defined(__GNUC__)
#define KEZ_RETURNS_TWICE __attribute__((returns_twice))
#else
#define KEZ_RETURNS_TWICE
#endif

/* 0 when called; the value passed to longjmp (1 for 0) when a jump returns
   here. Local variables the function changes after setjmp must be
   volatile to keep their values across the jump. */
KEZ_API int setjmp(jmp_buf env) KEZ_CLIB_NAME(setjmp) KEZ_RETURNS_TWICE;
/* Returns a second time from the setjmp that filled env, whose function
   must not have returned yet. */
KEZ_API KEZ_NORETURN void longjmp(jmp_buf env, int value) KEZ_CLIB_NAME(longjmp);

KEZ_END_DECLS

#endif
