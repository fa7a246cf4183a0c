/* The utility library: timers and delays, and system utilities (date and
   time strings, the system clock, the current directory, path splitting,
   rounding, clearing the console, the break-on-error settings). */
#ifndef KEZ_UTILITY_H
#define KEZ_UTILITY_H

#include "kez/kez_api.h"

KEZ_BEGIN_DECLS

/* ---- timers and delays ---------------------------------------------------- */

/* Seconds since the first call of Timer, Delay or SyncWait in the process
   (that first call gives 0.0). Never less than an earlier result. */
KEZ_API double Timer(void);
/* Waits until Timer has advanced by numberOfSeconds plus the clock's
   resolution (0.001 s, or 0.055 s without a high-resolution counter). It
   sleeps half of what remains while more than 0.1 s remains, then spins on
   the clock. 0, negative and NaN return at once. */
KEZ_API void Delay(double numberOfSeconds);
/* Waits until Timer reaches beginTime + interval + the resolution; at once
   when interval is 0, negative or NaN, or that moment has passed. */
KEZ_API void SyncWait(double beginTime, double interval);

/* The real-time timing engine's clock and sleeps, in microseconds (the
   sleeps return the engine's clock, wrapped to 32 bits). All four give 0,
   and do not sleep, when the timer engine in use has no timing engine (the
   system's multimedia timer, the usual case). */
KEZ_API unsigned long long GetTimeUS(void);
KEZ_API unsigned int SleepUS(unsigned int microseconds);
KEZ_API unsigned int SleepUntilUS(unsigned int microseconds);
KEZ_API unsigned int SleepUntilNextMultipleUS(unsigned int microseconds);

/* The asynchronous timer engine. KezUSTEinitialize chooses the engine once
   per process (the system's multimedia timer, else the real-time timing
   engine) and must succeed before the other calls are used; before it they
   fail as below. */
typedef struct KezUSTETime {
    unsigned int seconds;
    unsigned int nanoseconds; /* 0 to 999,999,999 */
} KezUSTETime;
typedef void (*KezUSTECallback)(void *data);
typedef struct KezUSTETimerRecord *KezUSTETimer;

/* 1 when an engine is in use, else 0. */
KEZ_API int KezUSTEinitialize(void);
/* The engine's clock; zeroed without an engine. */
KEZ_API void KezUSTElocaltime(KezUSTETime *time);
/* The timer resolution: 0, or non-zero (the time zeroed) on failure. */
KEZ_API int KezUSTEresolution(KezUSTETime *time);
/* A disarmed timer that will call callback(data), or null. */
KEZ_API KezUSTETimer KezUSTEnewtimer(KezUSTECallback callback, void *data);
/* Ends a timer. When it returns, no callback of the timer runs or will run,
   except when called from the timer's own callback: it then returns at once
   and the timer ends as its callback returns. */
KEZ_API void KezUSTEdiscardtimer(KezUSTETimer timer);
/* Arms or re-arms the timer as periodic: 1, or 0 when the period is refused
   (the timer then runs on as before). The multimedia timer takes periods of
   1 ms to 4,294,967,295 ms, the timing engine periods below 2^31 us. */
KEZ_API int KezUSTEsettimer(KezUSTETimer timer, const KezUSTETime *period);
/* Priority of the timer's thread (timing engine only; otherwise nothing,
   and 0). */
KEZ_API void KezUSTEsetpriority(KezUSTETimer timer, int priority);
KEZ_API int KezUSTEgetpriority(KezUSTETimer timer);

/* ---- system utilities ------------------------------------------------------ */

/* The local date as "MM-DD-YYYY" and time as "HH:MM:SS", in a buffer of
   the calling thread that the next call on the same thread overwrites. */
KEZ_API char *DateStr(void);
KEZ_API char *TimeStr(void);

/* The local date and time of the system clock. 0, or -1 when a pointer is
   null (nothing is written) or the clock cannot be read. */
KEZ_API int GetSystemDate(int *month, int *day, int *year);
KEZ_API int Kez_GetSystemTime(int *hours, int *minutes, int *seconds);

/* Set the local date keeping the time of day, or the time of day keeping
   the date. 0, or -1 when a field is out of range (nothing is set) or the
   system refuses. Setting the clock needs the system's permission. */
KEZ_API int SetSystemDate(int month, int day, int year);
KEZ_API int Kez_SetSystemTime(int hours, int minutes, int seconds);

/* The size GetDir's buffer must have, terminator included. */
#define KEZ_MAX_PATHNAME_LEN 260
/* The current directory into a buffer of KEZ_MAX_PATHNAME_LEN bytes. 0; -5
   for a null buffer; -3 when the system cannot report it or it does not
   fit (nothing is written then). */
KEZ_API int GetDir(char *currentDirectory);
/* 0, or -1 for a null or empty path or a failed change. */
KEZ_API int SetDir(const char *directoryPath);

/* Splits a path into its drive ("c:"), its directory ("\dir\sub\") and its
   file name; each buffer may be null. The drive buffer needs 3 bytes, the
   others 256: longer parts are cut, never inside a two-byte character. A
   null path gives empty parts. */
KEZ_API void SplitPath(const char *pathName, char *driveName, char *directoryName, char *fileName);

/* Rounds half to even; values beyond int saturate, NaN gives 0. */
KEZ_API int RoundRealToNearestInteger(double value);
/* Rounds toward zero. */
KEZ_API double TruncateRealNumber(double value);

/* Clears the console of standard output (nothing when it is no console). */
KEZ_API void Cls(void);
/* Does nothing. */
KEZ_API void Kez_Beep(void);

/* Break-on-error settings of the calling thread. The setters take any
   non-zero value as 1 and return the previous value. The library and
   protection settings change, and the getters report them, only while the
   engine runs with user protection (debugging level 2 or more); otherwise
   they give 0. The first-chance setting always changes. */
KEZ_API int EnableBreakOnLibraryErrors(void);
KEZ_API int DisableBreakOnLibraryErrors(void);
KEZ_API int SetBreakOnLibraryErrors(int newState);
KEZ_API int GetBreakOnLibraryErrors(void);
KEZ_API int SetBreakOnProtectionErrors(int newState);
KEZ_API int GetBreakOnProtectionErrors(void);
KEZ_API int SetBreakOnFirstChanceExceptions(int newState);
KEZ_API int GetBreakOnFirstChanceExceptions(void);

/* Whether an instrumented support library is in use: always 0. (Which
   support library the engine is, WhichRuntimeSupportDll, is declared in
   kez/runtime.h.) */
KEZ_API int UsingInstrSupDll(void);

/* The checked twins of the calls that take pointers, for programs built for
   debugging: the same calls, with a negative result reported as a library
   error. */
KEZ_API int _UP_GetSystemDate(int *month, int *day, int *year);
KEZ_API int _UP_Kez_GetSystemTime(int *hours, int *minutes, int *seconds);
KEZ_API int _UP_GetDir(char *currentDirectory);
KEZ_API int _UP_SetDir(const char *directoryPath);

KEZ_END_DECLS

#endif
