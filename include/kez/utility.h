/* The utility library: system utilities (date and time strings, the system
   clock, the current directory, path splitting, rounding, clearing the
   console, the break-on-error settings). */
#ifndef KEZ_UTILITY_H
#define KEZ_UTILITY_H

#include "kez/kez_api.h"

KEZ_BEGIN_DECLS

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
