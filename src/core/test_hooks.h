/* Exports that only test builds of the engine carry (KEZ_TEST_HOOKS): they
   reach internal interfaces that user programs never call. Release builds
   export none of them. */
#ifndef KEZ_TEST_HOOKS_H
#define KEZ_TEST_HOOKS_H

#include "kez/runtime.h"

KEZ_BEGIN_DECLS

/* 0 not loaded, 1 attaching, 2 initialised, 3 start-up failed, 4 closed. */
KEZ_API int KezTest_LoadState(void);
KEZ_API void KezTest_ArmFault(const char *point, int count);
// Arms a fault point that lets `skip` calls through, then fails `count`
// calls reporting the system error `systemError` (errno / Win32 code).
KEZ_API void KezTest_ArmFaultEx(const char *point, int count, int skip, unsigned int systemError);
/* Opens the log tap on a file (see KEZ_TEST_LOG); 0 when one is open. */
KEZ_API int KezTest_OpenLogTap(const char *path);
/* Closes the log tap, so that its file can be removed while the engine is
   still loaded. */
KEZ_API void KezTest_CloseLogTap(void);
KEZ_API int KezTest_AllocThreadVarSlot(int *slot, int freeValuesWithFree);
KEZ_API int KezTest_HasThreadBlock(void);
KEZ_API int KezTest_ThreadVarSlotsInUse(void);
KEZ_API int KezTest_LiveThreadBlocks(void);
KEZ_API long long KezTest_MilliSecs(void);
KEZ_API unsigned long long KezTest_MicroSecs(void);
KEZ_API double KezTest_TimerResolution(void);
KEZ_API void KezTest_UseHighResolutionCounter(int on);
KEZ_API unsigned long long KezTest_TicksToUnits(unsigned long long ticks, unsigned long long frequency,
                                               unsigned long long perSecond);
KEZ_API int KezTest_RegisterEngineRunStateCallback(KezRunStateCallback callback);
KEZ_API void KezTest_RunCloseRTDll(void);
KEZ_API int KezTest_AtExitCount(void);
KEZ_API KezAtExitCleanup KezTest_AtExitEntry(int index);
KEZ_API const char *KezTest_ErrText(int code);
KEZ_API const char *KezTest_MgErrText(int code);
KEZ_API unsigned int KezTest_X87ControlWord(void);
KEZ_API unsigned int KezTest_MainThreadId(void);
KEZ_API unsigned int KezTest_CurrentThreadId(void);
KEZ_API int KezTest_ParseCommandLine(const char *line);
/* A library function with a twin: returns its argument. */
KEZ_API int KezTest_ReturnCode(int code);
KEZ_API int _UP_KezTest_ReturnCode(int code);
/* Its message function. */
KEZ_API const char *KezTest_CodeMessage(int code);
/* The last library error reported by a twin: its code, function and text. */
KEZ_API int KezTest_LastLibraryError(char *function, int functionSize, char *message, int messageSize);

/* Timing handles read this fixed clock (microseconds) instead of the
   engine's; 0 restores the engine clock. */
KEZ_API void KezTest_SetLogClock(unsigned long long microseconds);
KEZ_API void KezTest_SetLastTimingHandle(int handle);
KEZ_API int KezTest_LiveTimingHandles(void);

/* Records what the file table copies from the standard handles to the
   debugger's output window (on: 1 starts afresh, 0 stops). */
KEZ_API void KezTest_RecordConsole(int on);
/* The recorded text (NUL-terminated, cut to size - 1): its full length. */
KEZ_API int KezTest_ConsoleText(char *buffer, int size);

/* Makes the multibyte code page one numbered `codePage` whose lead bytes
   are the ranges first, last, ... ending at a 0; null ranges restore the
   system's code page. */
KEZ_API void KezTest_SetLeadBytes(unsigned int codePage, const unsigned char *ranges);

/* The last message sent to the debugger's output window (copied,
   NUL-terminated, cut to size - 1) and the number sent so far. */
KEZ_API unsigned int KezTest_LastDebuggerOutput(char *buffer, int size);

/* Describes the arguments of the calling thread's next checked call as
   compiled debug code would: for each variable argument its type and, for
   a pointer, the pointed-at type and the bytes known from it to the end of
   its object (~0 unknown); fixedKnownBytes is that of the first fixed
   argument (sprintf's buffer). Types are the values of
   kez::protect::PassedType. 0, or -1 when the table is full. */
typedef struct KezTestPassedArgument {
    int type;
    int pointee;
    unsigned long long knownBytes;
} KezTestPassedArgument;
KEZ_API int KezTest_PassArguments(int count, const KezTestPassedArgument *arguments,
                                  unsigned long long fixedKnownBytes);
/* The last report of a library argument check: severity, message number,
   argument number and text; returns the number of reports so far. */
KEZ_API unsigned int KezTest_LastArgumentReport(int *severity, int *number, int *argument, char *text, int size);

/* Sets the process's debugging level (2 and above: the library twins
   check their calls). */
KEZ_API void KezTest_SetDebuggingLevel(int level);

/* Replaces the system's time zone by a rule in the POSIX TZ form
   ("AEST-10AEDT,M10.1.0,M4.1.0/3"; NULL: the system's own again) and
   sets the engine's zone up again, "TZ" read anew. 0, or -1 for a rule
   that cannot be read. */
KEZ_API int KezTest_SetSystemTimeZone(const char *rule);

/* With on set, the system utilities' clock setting goes to a recorder
   instead of the system clock (the fault point still comes first); 0
   restores the system's call. Either way the record starts afresh. */
KEZ_API void KezTest_RecordClockSets(int on);
/* The number of sets recorded, and the last one's year, month, day, hour,
   minute, second and millisecond in fields[0..6]. */
KEZ_API int KezTest_RecordedClockSets(int *fields);
/* The calling thread's inverse of the last break-on-library-errors flag set. */
KEZ_API int KezTest_BreakOnLibraryErrorsInverse(void);

/* The seconds clock (Timer, Delay, SyncWait) reads and sleeps through
   these instead of the engine's clock; nulls restore the engine's. */
typedef unsigned long long (*KezTestClockNow)(void);
typedef void (*KezTestClockSleep)(unsigned int milliseconds);
KEZ_API void KezTest_SetTimerClock(KezTestClockNow nowMicroseconds, KezTestClockSleep sleepMilliseconds);
/* How many back-end loads KezUSTEinitialize has tried; timers alive. */
KEZ_API int KezTest_TimerEngineLoads(void);
KEZ_API int KezTest_LiveTimers(void);
/* The multimedia back-end uses a table of seven entry points laid out as
   the platform layer's (null: the system's). */
KEZ_API void KezTest_UseMultimediaTimerTable(const void *table);
/* Sends a run state to the TCP library's own callback only. */
KEZ_API void KezTest_SendTcpRunState(int runState);

KEZ_END_DECLS

#endif
