/* The multithreading library: thread utilities and status codes. */
#ifndef KEZ_MULTITHREADING_H
#define KEZ_MULTITHREADING_H

#include "kez/kez_api.h"

KEZ_BEGIN_DECLS

/* Status codes: 0 or positive is success. */
#define KMT_ERR_INVALID_HANDLE (-14901)
#define KMT_ERR_INVALID_PARAMETER (-14902)
#define KMT_ERR_INVALID_ATTRIBUTE (-14903)
#define KMT_ERR_OUT_OF_MEMORY (-14905)
#define KMT_ERR_TIMEOUT (-14906)
#define KMT_ERR_SYSTEM_ERROR (-14910)
#define KMT_ERR_INVALID_THREAD_PRIORITY (-14922)
#define KMT_ERR_TSV_NOT_OWNED (-14929)
#define KMT_ERR_LOCK_NOT_OWNED (-14930)
#define KMT_ERR_LOCK_HELD (-14931)
#define KMT_ERR_LOCK_NOT_HELD (-14932)
#define KMT_ERR_INVALID_STATUS_CODE (-14933)

/* Thread priorities: -15 (idle) to 15 (time critical), 0 normal. On Linux
   the scale is the thread's nice value negated; raising a priority needs
   a privilege there, and without it the result is KMT_ERR_SYSTEM_ERROR. */
#define KMT_THREAD_PRIORITY_IDLE (-15)
#define KMT_THREAD_PRIORITY_NORMAL 0
#define KMT_THREAD_PRIORITY_TIME_CRITICAL 15

KEZ_API unsigned int KmtGetCurrentThreadID(void);
KEZ_API unsigned int KmtGetMainThreadID(void);
KEZ_API int KmtGetNumProcessors(void);
KEZ_API int KmtGetCurrentThreadPriority(int *priority);
KEZ_API int KmtSetCurrentThreadPriority(int priority);
/* Writes the message of a status code into a buffer of 256 characters. For
   KMT_ERR_SYSTEM_ERROR the message is the system's text for the last system
   error the library met on the calling thread. */
KEZ_API int KmtGetErrorMessage(int code, char *buffer);

/* ---- Locks ---------------------------------------------------------------
   Recursive locks that know their owner. Without options and name a lock is
   an in-process critical section; with a name it is a system mutex shared by
   every process that names it; with options it is a system mutex that
   supports time-outs and waiting while processing events. A mutex whose
   holder ended without releasing it is taken over by the next thread that
   gets it, as if it had been free. */
typedef void *KmtLockHandle;

#define OPT_TL_PROCESS_EVENTS_WHILE_WAITING 0x1
#define OPT_TL_SUPPORT_TIMEOUT 0x2
#define ATTR_TL_OWNER_THREAD_ID 1

KEZ_API int KmtNewLock(const char *name, unsigned int options, KmtLockHandle *lockHandle);
KEZ_API int KmtDiscardLock(KmtLockHandle lockHandle);
KEZ_API int KmtGetLock(KmtLockHandle lockHandle);
/* A time-out is not an error: the result is 0 with *obtained 0. */
KEZ_API int KmtGetLockEx(KmtLockHandle lockHandle, int processEventsWhileWaiting, int timeoutMs, int *obtained);
KEZ_API int KmtTryToGetLock(KmtLockHandle lockHandle, int *obtained);
KEZ_API int KmtReleaseLock(KmtLockHandle lockHandle);
KEZ_API int KmtGetLockAttribute(KmtLockHandle lockHandle, int attribute, void *value);

/* ---- Thread-safe variables --------------------------------------------------
   A zero-filled block guarded by its own recursive lock. KmtGetTSVPtr takes
   the lock and KmtReleaseTSVPtr gives it back; KmtSetTSV copies a whole new
   value in under the lock. */
typedef void *KmtTSVHandle;

KEZ_API int KmtNewTSV(int sizeOfVar, KmtTSVHandle *tsvHandle);
KEZ_API int KmtDiscardTSV(KmtTSVHandle tsvHandle);
KEZ_API int KmtGetTSVPtr(KmtTSVHandle tsvHandle, void *ptrToVarPtr);
KEZ_API int KmtReleaseTSVPtr(KmtTSVHandle tsvHandle);
KEZ_API int KmtSetTSV(KmtTSVHandle tsvHandle, const void *source);

/* ---- Thread-local variables -------------------------------------------------
   Each thread gets its own copy, created at the thread's first access from
   the initial value (zero-filled without one). The callback sees each value
   before it is freed: event 1 when its thread ends, event 2 when the
   variable is discarded. */
typedef int KmtTLVHandle;

#define EVENT_TLV_DISCARD_THREAD_ENDING 1
#define EVENT_TLV_DISCARD_VAR_DISCARDED 2

typedef void (*KmtTLVDiscardCallback)(void *ptrToVar, int event, void *callbackData,
                                                   unsigned int threadID);

KEZ_API int KmtNewThreadLocalVar(int sizeOfVar, const void *initialValue, KmtTLVDiscardCallback discardCallback,
                                 void *callbackData, KmtTLVHandle *tlvHandle);
KEZ_API int KmtGetThreadLocalVar(KmtTLVHandle tlvHandle, void *ptrToVarPtr);
KEZ_API int KmtDiscardThreadLocalVar(KmtTLVHandle tlvHandle);

KEZ_API int _UP_KmtGetCurrentThreadPriority(int *priority);
KEZ_API int _UP_KmtSetCurrentThreadPriority(int priority);
KEZ_API int _UP_KmtGetErrorMessage(int code, char *buffer);
KEZ_API int _UP_KmtNewLock(const char *name, unsigned int options, KmtLockHandle *lockHandle);
KEZ_API int _UP_KmtDiscardLock(KmtLockHandle lockHandle);
KEZ_API int _UP_KmtGetLock(KmtLockHandle lockHandle);
KEZ_API int _UP_KmtGetLockEx(KmtLockHandle lockHandle, int processEventsWhileWaiting, int timeoutMs, int *obtained);
KEZ_API int _UP_KmtTryToGetLock(KmtLockHandle lockHandle, int *obtained);
KEZ_API int _UP_KmtReleaseLock(KmtLockHandle lockHandle);
KEZ_API int _UP_KmtGetLockAttribute(KmtLockHandle lockHandle, int attribute, void *value);
KEZ_API int _UP_KmtNewTSV(int sizeOfVar, KmtTSVHandle *tsvHandle);
KEZ_API int _UP_KmtDiscardTSV(KmtTSVHandle tsvHandle);
KEZ_API int _UP_KmtGetTSVPtr(KmtTSVHandle tsvHandle, void *ptrToVarPtr);
KEZ_API int _UP_KmtReleaseTSVPtr(KmtTSVHandle tsvHandle);
KEZ_API int _UP_KmtSetTSV(KmtTSVHandle tsvHandle, const void *source);
KEZ_API int _UP_KmtNewThreadLocalVar(int sizeOfVar, const void *initialValue, KmtTLVDiscardCallback discardCallback,
                                     void *callbackData, KmtTLVHandle *tlvHandle);
KEZ_API int _UP_KmtGetThreadLocalVar(KmtTLVHandle tlvHandle, void *ptrToVarPtr);
KEZ_API int _UP_KmtDiscardThreadLocalVar(KmtTLVHandle tlvHandle);

KEZ_END_DECLS

#endif
