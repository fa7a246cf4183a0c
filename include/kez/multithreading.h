/* The multithreading library: thread utilities and status codes. */
#ifndef KEZ_MULTITHREADING_H
#define KEZ_MULTITHREADING_H

#include <stddef.h>

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
#define KMT_ERR_CALLBACK_ALREADY_INSTALLED (-14907)
#define KMT_ERR_CALLBACK_NOT_INSTALLED (-14908)
#define KMT_ERR_INVALID_EVENT (-14904)
#define KMT_ERR_READING_IN_PROGRESS (-14911)
#define KMT_ERR_WRITING_IN_PROGRESS (-14912)
#define KMT_ERR_QUEUE_FULL (-14913)
#define KMT_ERR_QUEUE_EMPTY (-14914)
#define KMT_ERR_READ_MORE_THAN_AVAILABLE (-14915)
#define KMT_ERR_WROTE_MORE_THAN_SPACE (-14916)
#define KMT_ERR_AUTO_FLUSH_TOO_MANY_ITEMS (-14917)
#define KMT_ERR_ACCESS_NOT_PERMITTED (-14918)
#define KMT_ERR_WRITE_POINTER_HOLDER_CANNOT_RESIZE (-14919)
#define KMT_ERR_RELEASE_FROM_OTHER_THREAD (-14920)
#define KMT_ERR_POOL_HAS_THREADS (-14921)
#define KMT_ERR_INVALID_FUNCTION_ID (-14923)
#define KMT_ERR_FUNCTION_ID_NOT_OWNED (-14924)
#define KMT_ERR_FUNCTION_ATTRIBUTE_NOT_AVAILABLE (-14925)
#define KMT_ERR_NOT_A_POOL_THREAD (-14926)
#define KMT_ERR_DEFAULT_POOL_NOT_ALLOWED (-14927)
#define KMT_ERR_MAX_THREADS_NOT_RAISED (-14928)
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

/* ---- Thread pools -----------------------------------------------------------
   Functions scheduled on a pool run on its worker threads, created on demand
   up to the pool's maximum and kept until the pool is discarded. The
   default pool (DEFAULT_THREAD_POOL_HANDLE) is created at first use with a
   maximum of 2 x processors + 2 threads.

   KmtTerminateThreadPoolThread: on Windows the thread is terminated at
   once. POSIX has no safe way to end another thread at once: there the
   thread is cancelled and ends at its next cancellation point (a sleep, a
   read or write, a wait of the C library; the engine's own waits are not
   cancellation points), so a function that never reaches one keeps
   running. The results and function states are the same on both. */
typedef void *KmtThreadPoolHandle;
typedef void *KmtThreadPoolCallbackID;

#define DEFAULT_THREAD_POOL_HANDLE ((KmtThreadPoolHandle)(~(__SIZE_TYPE__)0))
#define UNLIMITED_THREAD_POOL_THREADS (-1)
#define THREAD_PRIORITY_POOL_DEFAULT (-99)

typedef int (*KmtThreadFunctionPtr)(void *functionData);
/* value: 0 when the function begins, its return value when it ends. */
typedef void (*KmtThreadFunctionCallbackPtr)(KmtThreadPoolHandle poolHandle, int functionID, unsigned int event,
                                             int value, void *callbackData);
/* value: the thread id for thread events, the function ID for function
   events. */
typedef void (*KmtThreadPoolCallbackPtr)(KmtThreadPoolHandle poolHandle, unsigned int event, int value,
                                         void *callbackData);

/* Per-function events. */
#define EVENT_TP_THREAD_FUNCTION_BEGIN 1
#define EVENT_TP_THREAD_FUNCTION_END 2
/* Pool events. */
#define EVENT_TP_POOL_THREAD_BEGIN 1
#define EVENT_TP_POOL_THREAD_END 2
#define EVENT_TP_POOL_FUNCTION_BEGIN 8
#define EVENT_TP_POOL_FUNCTION_END 16

#define OPT_TP_PROCESS_EVENTS_WHILE_WAITING 1

/* Pool attributes. */
#define ATTR_TP_THREAD_STACK_SIZE 1    /* read as unsigned long long, set as unsigned int */
#define ATTR_TP_THREAD_SECURITY 2      /* void * */
#define ATTR_TP_FLAG_3 3               /* int, stored as 0 or 1 */
#define ATTR_TP_THREAD_PRIORITY 4      /* int, -15 to 15 */
#define ATTR_TP_MAX_NUM_THREADS 5      /* int, can only be raised */
#define ATTR_TP_NUM_THREADS 6          /* int, read only */
#define ATTR_TP_NUM_ACTIVE_THREADS 7   /* int, read only */

/* Function attributes. */
#define ATTR_TP_FUNCTION_RETURN_VALUE 1     /* int, once the function returned */
#define ATTR_TP_FUNCTION_THREAD_ID 2        /* unsigned int */
#define ATTR_TP_FUNCTION_THREAD_HANDLE 3    /* void * */
#define ATTR_TP_FUNCTION_EXECUTION_STATUS 4 /* int, one of the states below */

#define KMT_FUNCTION_SCHEDULED 0
#define KMT_FUNCTION_TAKEN 1
#define KMT_FUNCTION_EXECUTING 2
#define KMT_FUNCTION_RETURNED 3
#define KMT_FUNCTION_COMPLETED 4
#define KMT_FUNCTION_TERMINATED 5

KEZ_API int KmtNewThreadPool(int maxThreads, KmtThreadPoolHandle *poolHandle);
KEZ_API int KmtDiscardThreadPool(KmtThreadPoolHandle poolHandle);
/* functionID may be null: the pool then owns the ID and frees it when the
   function completes. */
KEZ_API int KmtScheduleThreadPoolFunction(KmtThreadPoolHandle poolHandle, KmtThreadFunctionPtr threadFunction,
                                          void *threadFunctionData, int *threadFunctionID);
/* callbackThreadID 0 calls the callback on the pool thread; any other id
   has it called through a deferred call on that thread. */
KEZ_API int KmtScheduleThreadPoolFunctionAdv(KmtThreadPoolHandle poolHandle, KmtThreadFunctionPtr threadFunction,
                                             void *threadFunctionData, int threadPriority,
                                             KmtThreadFunctionCallbackPtr callbackFunction, unsigned int eventMask,
                                             void *callbackData, unsigned int callbackThreadID,
                                             int *threadFunctionID);
KEZ_API int KmtWaitForThreadPoolFunctionCompletion(KmtThreadPoolHandle poolHandle, int threadFunctionID,
                                                   unsigned int options);
KEZ_API int KmtWaitForThreadPoolFunctionCompletionEx(KmtThreadPoolHandle poolHandle, int threadFunctionID,
                                                     unsigned int options, int timeout);
KEZ_API int KmtGetThreadPoolFunctionAttribute(KmtThreadPoolHandle poolHandle, int threadFunctionID, int attribute,
                                              void *attributeValue);
KEZ_API int KmtReleaseThreadPoolFunctionID(KmtThreadPoolHandle poolHandle, int threadFunctionID);
/* Ends the calling pool function with returnValue; returns only when the
   caller is not running a pool function (KMT_ERR_NOT_A_POOL_THREAD). */
KEZ_API int KmtExitThreadPoolThread(int returnValue);
KEZ_API int KmtTerminateThreadPoolThread(KmtThreadPoolHandle poolHandle, unsigned int threadID,
                                         unsigned int exitCode);
KEZ_API int KmtPreAllocThreadPoolThreads(KmtThreadPoolHandle poolHandle, int numThreads, int *numThreadsAllocated);
KEZ_API int KmtGetThreadPoolAttribute(KmtThreadPoolHandle poolHandle, int attribute, void *attributeValue);
KEZ_API int KmtSetThreadPoolAttribute(KmtThreadPoolHandle poolHandle, int attribute, ...);
KEZ_API int KmtInstallThreadPoolCallback(KmtThreadPoolHandle poolHandle, unsigned int eventMask,
                                         KmtThreadPoolCallbackPtr callbackFunction, void *callbackData,
                                         KmtThreadPoolCallbackID *callbackID);
KEZ_API int KmtUninstallThreadPoolCallback(KmtThreadPoolHandle poolHandle, KmtThreadPoolCallbackID callbackID);

/* ---- Thread-safe queues -----------------------------------------------------
   A ring of fixed-size items between threads: one reader and one writer at
   a time (a second one is refused at once), reads and writes bounded by a
   time-out in milliseconds (-1 no limit, 0 no wait; a time-out is not an
   error: the result is the number of items moved). The time-out bounds the
   wait for data or space only: a read with time-out 0 always takes the
   items that are there. KmtGetTSQAttributeEx alone bounds the wait for the
   queue's internal lock. Zero-copy read and write
   pointers, growth or flushing when full, and threshold callbacks delivered
   as deferred calls on the thread named at installation.

   A thread that holds the read pointer should not write, take the write
   pointer, resize or discard the queue while another thread may flush it:
   those wait for the writer side, which a flush holds while it waits for
   the read pointer to be released. */
typedef void *KmtTSQHandle;
typedef void *KmtTSQCallbackID;

#define TSQ_OPT_GROW 1
#define TSQ_OPT_FLUSH_ALL_WHEN_FULL 2
#define TSQ_OPT_FLUSH_EXACT_WHEN_FULL 4

#define TSQ_READ_OPT_PEEK 1

#define TSQ_FLUSH_ALL (-1)

/* Events; the value is in items: capacity, items in the queue, free items. */
#define EVENT_TSQ_QUEUE_SIZE 1
#define EVENT_TSQ_ITEMS_IN_QUEUE 2
#define EVENT_TSQ_QUEUE_SPACE_FREE 4

/* Attributes. */
#define ATTR_TSQ_READERS 1             /* int */
#define ATTR_TSQ_WRITERS 2             /* int */
#define ATTR_TSQ_QUEUE_SIZE 3          /* size_t, settable: resizes the queue */
#define ATTR_TSQ_ITEM_SIZE 4           /* size_t */
#define ATTR_TSQ_ITEMS_IN_QUEUE 5      /* size_t */
#define ATTR_TSQ_SPACE_FREE 7          /* size_t */
#define ATTR_TSQ_QUEUE_OPTIONS 8       /* unsigned int */
#define ATTR_TSQ_GROW_INCREMENT 9      /* size_t, settable with TSQ_OPT_GROW */
#define ATTR_TSQ_ACCESS_REFUSAL 10     /* unsigned int, settable: the bits below */

#define TSQ_REFUSE_READS 1
#define TSQ_REFUSE_WRITES 2
#define TSQ_REFUSE_FLUSHES 4

typedef void (*KmtTSQCallbackPtr)(KmtTSQHandle queueHandle, unsigned int event, int value, void *callbackData);

KEZ_API int KmtNewTSQ(int numItems, int itemSize, unsigned int options, KmtTSQHandle *queueHandle);
KEZ_API int KmtDiscardTSQ(KmtTSQHandle queueHandle);
KEZ_API int KmtWriteTSQData(KmtTSQHandle queueHandle, const void *buffer, size_t numItems, int timeout,
                            size_t *numItemsFlushed);
KEZ_API int KmtReadTSQData(KmtTSQHandle queueHandle, void *buffer, size_t numItems, int timeout,
                           unsigned int readOptions);
KEZ_API int KmtGetTSQReadPtr(KmtTSQHandle queueHandle, void *ptrToBuffer, int *numItems);
KEZ_API int KmtReleaseTSQReadPtr(KmtTSQHandle queueHandle, int numItems);
KEZ_API int KmtGetTSQWritePtr(KmtTSQHandle queueHandle, void *ptrToBuffer, int *numItems);
KEZ_API int KmtReleaseTSQWritePtr(KmtTSQHandle queueHandle, int numItems);
KEZ_API int KmtFlushTSQ(KmtTSQHandle queueHandle, int numItems, size_t *numItemsFlushed);
KEZ_API int KmtGetTSQAttribute(KmtTSQHandle queueHandle, int attribute, void *attributeValue);
KEZ_API int KmtGetTSQAttributeEx(KmtTSQHandle queueHandle, int attribute, void *attributeValue, int timeout);
KEZ_API int KmtSetTSQAttribute(KmtTSQHandle queueHandle, int attribute, ...);
KEZ_API int KmtInstallTSQCallback(KmtTSQHandle queueHandle, unsigned int event, int threshold,
                                  KmtTSQCallbackPtr callbackFunction, void *callbackData,
                                  unsigned int callbackThreadID, KmtTSQCallbackID *callbackID);
KEZ_API int KmtUninstallTSQCallback(KmtTSQHandle queueHandle, KmtTSQCallbackID callbackID);

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
KEZ_API int _UP_KmtNewThreadPool(int maxThreads, KmtThreadPoolHandle *poolHandle);
KEZ_API int _UP_KmtDiscardThreadPool(KmtThreadPoolHandle poolHandle);
KEZ_API int _UP_KmtScheduleThreadPoolFunction(KmtThreadPoolHandle poolHandle, KmtThreadFunctionPtr threadFunction,
                                              void *threadFunctionData, int *threadFunctionID);
KEZ_API int _UP_KmtScheduleThreadPoolFunctionAdv(KmtThreadPoolHandle poolHandle, KmtThreadFunctionPtr threadFunction,
                                                 void *threadFunctionData, int threadPriority,
                                                 KmtThreadFunctionCallbackPtr callbackFunction,
                                                 unsigned int eventMask, void *callbackData,
                                                 unsigned int callbackThreadID, int *threadFunctionID);
KEZ_API int _UP_KmtWaitForThreadPoolFunctionCompletion(KmtThreadPoolHandle poolHandle, int threadFunctionID,
                                                       unsigned int options);
KEZ_API int _UP_KmtWaitForThreadPoolFunctionCompletionEx(KmtThreadPoolHandle poolHandle, int threadFunctionID,
                                                         unsigned int options, int timeout);
KEZ_API int _UP_KmtGetThreadPoolFunctionAttribute(KmtThreadPoolHandle poolHandle, int threadFunctionID,
                                                  int attribute, void *attributeValue);
KEZ_API int _UP_KmtReleaseThreadPoolFunctionID(KmtThreadPoolHandle poolHandle, int threadFunctionID);
KEZ_API int _UP_KmtExitThreadPoolThread(int returnValue);
KEZ_API int _UP_KmtTerminateThreadPoolThread(KmtThreadPoolHandle poolHandle, unsigned int threadID,
                                             unsigned int exitCode);
KEZ_API int _UP_KmtPreAllocThreadPoolThreads(KmtThreadPoolHandle poolHandle, int numThreads,
                                             int *numThreadsAllocated);
KEZ_API int _UP_KmtGetThreadPoolAttribute(KmtThreadPoolHandle poolHandle, int attribute, void *attributeValue);
KEZ_API int _UP_KmtSetThreadPoolAttribute(KmtThreadPoolHandle poolHandle, int attribute, ...);
KEZ_API int _UP_KmtInstallThreadPoolCallback(KmtThreadPoolHandle poolHandle, unsigned int eventMask,
                                             KmtThreadPoolCallbackPtr callbackFunction, void *callbackData,
                                             KmtThreadPoolCallbackID *callbackID);
KEZ_API int _UP_KmtUninstallThreadPoolCallback(KmtThreadPoolHandle poolHandle, KmtThreadPoolCallbackID callbackID);
KEZ_API int _UP_KmtNewTSQ(int numItems, int itemSize, unsigned int options, KmtTSQHandle *queueHandle);
KEZ_API int _UP_KmtDiscardTSQ(KmtTSQHandle queueHandle);
KEZ_API int _UP_KmtWriteTSQData(KmtTSQHandle queueHandle, const void *buffer, size_t numItems, int timeout,
                                size_t *numItemsFlushed);
KEZ_API int _UP_KmtReadTSQData(KmtTSQHandle queueHandle, void *buffer, size_t numItems, int timeout,
                               unsigned int readOptions);
KEZ_API int _UP_KmtGetTSQReadPtr(KmtTSQHandle queueHandle, void *ptrToBuffer, int *numItems);
KEZ_API int _UP_KmtReleaseTSQReadPtr(KmtTSQHandle queueHandle, int numItems);
KEZ_API int _UP_KmtGetTSQWritePtr(KmtTSQHandle queueHandle, void *ptrToBuffer, int *numItems);
KEZ_API int _UP_KmtReleaseTSQWritePtr(KmtTSQHandle queueHandle, int numItems);
KEZ_API int _UP_KmtFlushTSQ(KmtTSQHandle queueHandle, int numItems, size_t *numItemsFlushed);
KEZ_API int _UP_KmtGetTSQAttribute(KmtTSQHandle queueHandle, int attribute, void *attributeValue);
KEZ_API int _UP_KmtGetTSQAttributeEx(KmtTSQHandle queueHandle, int attribute, void *attributeValue, int timeout);
KEZ_API int _UP_KmtSetTSQAttribute(KmtTSQHandle queueHandle, int attribute, ...);
KEZ_API int _UP_KmtInstallTSQCallback(KmtTSQHandle queueHandle, unsigned int event, int threshold,
                                      KmtTSQCallbackPtr callbackFunction, void *callbackData,
                                      unsigned int callbackThreadID, KmtTSQCallbackID *callbackID);
KEZ_API int _UP_KmtUninstallTSQCallback(KmtTSQHandle queueHandle, KmtTSQCallbackID callbackID);

KEZ_END_DECLS

#endif
