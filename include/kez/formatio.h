/* The formatting and I/O library's file functions. Handles are small
   integers shared with the C library's POSIX-style handles: 0, 1 and 2 are
   the standard input, output and error, files opened here are 3 and up.
   Every function sets the calling thread's error code (GetFmtIOError). */
#ifndef KEZ_FORMATIO_H
#define KEZ_FORMATIO_H

#include <stddef.h>

#include "kez/kez_api.h"

KEZ_BEGIN_DECLS

/* readWriteMode */
#define KEZ_FILE_READ_WRITE 0
#define KEZ_FILE_READ 1
#define KEZ_FILE_WRITE 2
/* action when opened for writing */
#define KEZ_FILE_TRUNCATE 0
#define KEZ_FILE_APPEND 1
#define KEZ_FILE_OPEN 2
/* fileType */
#define KEZ_FILE_BINARY 0
#define KEZ_FILE_ASCII 1

/* Error codes of GetFmtIOError. */
#define KEZ_FMTIO_NO_ERROR 0
#define KEZ_FMTIO_FILE_NOT_FOUND 1
#define KEZ_FMTIO_IO_FAILURE 2
#define KEZ_FMTIO_BAD_HANDLE 3
#define KEZ_FMTIO_NO_MEMORY 4
#define KEZ_FMTIO_FILE_EXISTS 5
#define KEZ_FMTIO_ACCESS_DENIED 6
#define KEZ_FMTIO_INVALID_ARGUMENT 7
#define KEZ_FMTIO_TOO_MANY_FILES 8
#define KEZ_FMTIO_DISK_FULL 9
#define KEZ_FMTIO_NAME_TOO_LONG 10
#define KEZ_FMTIO_STRING_TOO_LONG 11

/* Opens a file: a handle (3 or above), or -1. Opening for writing creates
   a missing file. ASCII files read CR LF as LF and write LF as CR LF. */
KEZ_API int Kez_OpenFile(const char *fileName, int readWriteMode, int action, int fileType);
/* With commit mode on, a file opened for writing is flushed to its device
   first; the file is closed even when that fails (the result is then -1). */
KEZ_API int Kez_CloseFile(int fileHandle);
/* Bytes read (0 at the end of the file) or -1. */
KEZ_API int Kez_ReadFile(int fileHandle, char *buffer, size_t count);
/* Bytes written (the caller's bytes, before line-end translation) or -1. */
KEZ_API int Kez_WriteFile(int fileHandle, const char *buffer, size_t count);
/* origin 0 start, 1 current, 2 end: the new position, or -1. */
KEZ_API long long SetFilePtr(int fileHandle, long long offset, int origin);
/* 1 and the size when the file exists, 0 when it does not, -1 on error. */
KEZ_API int GetFileInfo(const char *fileName, long long *fileSize);
/* Reads a line up to a line feed (not stored). Stores at most maxBytes
   bytes (-1: no limit) and a terminating NUL. The length of the line, -2 at
   the end of the file when no byte was read, -1 on error. */
KEZ_API int ReadLine(int fileHandle, char *lineBuffer, int maxBytes);
/* Writes count bytes (-1: the string's length) and a line feed: count or -1. */
KEZ_API int WriteLine(int fileHandle, const char *lineBuffer, int count);
/* 0 or 1: whether closing a file flushes it to its device first. */
KEZ_API int Kez_SetCommitMode(int commit);
KEZ_API int GetFmtIOError(void);
KEZ_API const char *GetFmtIOErrorString(int errorNum);

/* Checked twins for debug builds: a failure is also reported as a library
   error with the text of GetFmtIOError (ReadLine: -1 only, not the end). */
KEZ_API int _UP_Kez_OpenFile(const char *fileName, int readWriteMode, int action, int fileType);
KEZ_API int _UP_Kez_CloseFile(int fileHandle);
KEZ_API int _UP_Kez_ReadFile(int fileHandle, char *buffer, size_t count);
KEZ_API int _UP_Kez_WriteFile(int fileHandle, const char *buffer, size_t count);
KEZ_API long long _UP_SetFilePtr(int fileHandle, long long offset, int origin);
KEZ_API int _UP_GetFileInfo(const char *fileName, long long *fileSize);
KEZ_API int _UP_ReadLine(int fileHandle, char *lineBuffer, int maxBytes);
KEZ_API int _UP_WriteLine(int fileHandle, const char *lineBuffer, int count);

KEZ_END_DECLS

#endif
