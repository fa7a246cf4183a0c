/* The engine's frame: module start and end, run-state notifications,
   status queries, the at-exit list and per-thread engine state. */
#ifndef KEZ_RUNTIME_H
#define KEZ_RUNTIME_H

#include <stdarg.h>

#include "kez/kez_api.h"

KEZ_BEGIN_DECLS

/* Run states sent to run-state change callbacks. */
#define KEZ_RUN_STATE_START 0
#define KEZ_RUN_STATE_STOP 4
#define KEZ_RUN_STATE_ENABLE_CALLBACKS 5
#define KEZ_RUN_STATE_DISABLE_CALLBACKS 6

typedef void (*KezRunStateCallback)(int runState);
typedef void (*KezAtExitCleanup)(void);

/* A module's start: registers the null-terminated list of callbacks under
   the module and sends them START, then ENABLE_CALLBACKS. Only the first
   and the tenth arguments are read. Returns 1, or 0 when the engine failed
   to start. */
KEZ_API int InitKezRTDll(void *module, void *reserved2, void *reserved3, void *reserved4, void *reserved5,
                         void *reserved6, void *reserved7, void *reserved8, void *reserved9,
                         KezRunStateCallback *callbacks);
/* A module's end: sends its callbacks DISABLE_CALLBACKS, then STOP, in
   reverse order, and removes them. A null module reaches every callback
   and removes those registered without a module. */
KEZ_API void CloseKezRTDll(void *module);
/* Ends the calling thread with exitCode after the abnormal-exit steps. */
KEZ_API void KezRTDllAbnormalExit(unsigned int exitCode) KEZ_NORETURN;

/* Messages for the debugger's output window, formatted as printf does:
   at most 1024 bytes, NUL bytes sent as spaces. Return the length, or -1
   (nothing sent) when the text would be longer or a conversion fails.
   ErrorPrintf's message is "KEZERRPRINTF:" and at most 1011 bytes of
   text, which the debugger shows as an error. */
KEZ_API int DebugPrintf(const char *format, ...);
KEZ_API int vDebugPrintf(const char *format, va_list args);
KEZ_API int ErrorPrintf(const char *format, ...);
KEZ_API int _UP_vDebugPrintf(const char *format, va_list args);

KEZ_API int __IsRTEStillLoaded(void);
KEZ_API int InStandaloneExecutable(void);
KEZ_API int WhichRuntimeSupportDll(void);
KEZ_API int StartupLibraryInit(void);
KEZ_API void StartupLibraryCleanup(void);
KEZ_API int __SimulateRTShuttingDown(void);
KEZ_API int __RegisterAtExitCleanup(KezAtExitCleanup cleanup);
KEZ_API int __UnregisterAtExitCleanup(KezAtExitCleanup cleanup);

/* Thread variables: slots 1 to 8, one pointer per thread each. */
KEZ_API void *GetKezThreadVarValue(int slot);
KEZ_API void SetKezThreadVarValue(int slot, void *value);
KEZ_API void UninitializeKezThreadVar(int slot);
/* The calling thread's 512-byte error-string buffer. */
KEZ_API char *GetThreadLocalErrorStringBuffer(void);
/* Memory-manager code to library code. */
KEZ_API int MgrToPXError(int managerCode);

/* ---- Deferred calls and event processing ----------------------------------
   Any thread may post a call to any thread. A thread runs the calls posted
   to it, in posting order and each once, when it calls ProcessSystemEvents;
   a call posted while it runs them waits for the next ProcessSystemEvents.
   Calls still queued for a thread that ends are dropped without being
   called. PostDeferredCall posts to the thread the debugger link named, or
   to the engine's main thread (KmtGetMainThreadID) until it names one. */
typedef void (*DeferredCallbackPtr)(void *callbackData);

KEZ_API int PostDeferredCall(DeferredCallbackPtr deferredFunction, void *callbackData);
KEZ_API int PostDeferredCallToThread(DeferredCallbackPtr deferredFunction, void *callbackData, unsigned int threadId);
/* Dispatches the calling thread's communication events, then runs its
   deferred calls. 0, or the first negative status of those steps. */
KEZ_API int ProcessSystemEvents(void);
KEZ_API void EnterAsyncCallback(void);
KEZ_API void ExitAsyncCallback(void);

KEZ_API int _UP_PostDeferredCall(DeferredCallbackPtr deferredFunction, void *callbackData);
KEZ_API int _UP_PostDeferredCallToThread(DeferredCallbackPtr deferredFunction, void *callbackData,
                                         unsigned int threadId);

KEZ_END_DECLS

#endif
