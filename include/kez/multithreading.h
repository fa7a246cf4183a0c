/* The multithreading library: thread utilities and status codes. */
#ifndef KEZ_MULTITHREADING_H
#define KEZ_MULTITHREADING_H

#include "kez/kez_api.h"

KEZ_BEGIN_DECLS

/* Status codes: 0 or positive is success. */
#define KMT_ERR_INVALID_HANDLE (-14901)
#define KMT_ERR_INVALID_PARAMETER (-14902)
#define KMT_ERR_OUT_OF_MEMORY (-14905)
#define KMT_ERR_TIMEOUT (-14906)
#define KMT_ERR_SYSTEM_ERROR (-14910)
#define KMT_ERR_INVALID_THREAD_PRIORITY (-14922)
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

KEZ_API int _UP_KmtGetCurrentThreadPriority(int *priority);
KEZ_API int _UP_KmtSetCurrentThreadPriority(int priority);
KEZ_API int _UP_KmtGetErrorMessage(int code, char *buffer);

KEZ_END_DECLS

#endif
