/* The engine's logger: levelled messages in a configurable line template,
   written to standard output, standard error, the debugger's output or a
   file; elapsed-time measurements; assertion reports. */
#ifndef KEZ_LOGGING_H
#define KEZ_LOGGING_H

#include "kez/kez_api.h"

KEZ_BEGIN_DECLS

/* Levels: a message has exactly one; the reporting mask any combination. */
#define KEZ_LOG_TRACE 1u
#define KEZ_LOG_TIMING 2u
#define KEZ_LOG_INFO 4u
#define KEZ_LOG_TEMP 8u
#define KEZ_LOG_WARNING 16u
#define KEZ_LOG_ERROR 32u
#define KEZ_LOG_FATAL 64u
#define KEZ_LOG_BUILD 128u
#define KEZ_LOG_DLLMAIN 256u

/* Locations. On Linux the debugger output is standard error, each text
   prefixed with "[kez debug] ". */
#define KEZ_LOG_LOCATION_NONE 0u
#define KEZ_LOG_LOCATION_STDOUT 1u
#define KEZ_LOG_LOCATION_STDERR 2u
#define KEZ_LOG_LOCATION_DEBUGGER 4u
#define KEZ_LOG_LOCATION_FILE 5u

/* Writes one message. The write functions do not filter: test the level
   against GetKezLogReportingLevels() first. With noLineEnd set the next
   message continues the same line without the template's prefix. Only
   format is a printf format; file, function and the template's text come
   out as they are. */
KEZ_API void WriteKezLogMessage(unsigned int level, int noLineEnd, void *reserved, const char *file,
                                const char *function, unsigned int line, const char *format, ...);
/* Writes a TIMING message whose first "[ELAPSED]" shows the time since the
   handle was issued or last updated; then releases or restarts the handle
   when asked. An unknown handle writes nothing. */
KEZ_API void WriteKezLogTimingEvent(int handle, int release, int update, int noLineEnd, void *reserved,
                                    const char *file, const char *function, unsigned int line, const char *format,
                                    ...);
KEZ_API int GetKezLogTimingHandle(void);
KEZ_API void UpdateKezLogTimingHandle(int handle);
KEZ_API void ReleaseKezLogTimingHandle(int handle);

KEZ_API unsigned int GetKezLogReportingLevels(void);
/* Returns the previous mask. */
KEZ_API unsigned int SetKezLogReportingLevels(unsigned int levels);

/* The line template; tokens [TIME] [FILE] [LINE] [FUNC] [LEVEL] [THREAD]
   and [MSG]. The returned text stays valid until the template is set
   again. */
KEZ_API const char *GetKezLogOutputFormat(void);
KEZ_API void SetKezLogOutputFormat(const char *format);

/* 1 when accepted; 0 for an unknown location or a file that cannot be
   created, the location then unchanged. */
KEZ_API int SetKezLogReportingLocation(unsigned int location, unsigned int option, const char *filePath);

/* "Assertion failed: <expression> (<message>)" as a FATAL message, whatever
   the mask. Does not stop the program. */
KEZ_API void KezAssert(const char *expression, const char *file, const char *function, unsigned int line,
                       const char *message);

KEZ_END_DECLS

#endif
