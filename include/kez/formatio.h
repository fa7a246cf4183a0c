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

/* ---- Formatting and scanning ------------------------------------------
   Fmt formats its sources into the memory object `target` (a string unless
   the format's first specifier says otherwise), FmtOut into standard
   output, FmtFile into a file. Scan reads the memory object `source` (a
   string unless the format says otherwise) into its targets, ScanIn reads
   standard input, ScanFile a file.

   Formatting calls return the number of source specifiers converted,
   scanning calls the number of targets that received a value (an item
   read and discarded with the d modifier counts too); -1 for a
   format error (GetFmtErrNdx tells where) or an illegal value, -2 for a
   fatal error (an I/O error: GetFmtIOError).

   Reals are written and read with '.' as decimal point whatever the locale.
   Integer byte-order maps (the o modifier) are applied as follows: writing
   puts, as its k-th byte, byte d of the value where d is the map digit at
   position k; reading stores the k-th byte read as byte p of the value
   where p is the position of the digit k. The two agree for maps that are
   their own inverse (3210, 10); files written with other maps read back
   with the inverse map. */
KEZ_API int Fmt(void *target, const char *format, ...);
KEZ_API int FmtOut(const char *format, ...);
KEZ_API int FmtFile(int fileHandle, const char *format, ...);
KEZ_API int Scan(const void *source, const char *format, ...);
KEZ_API int ScanIn(const char *format, ...);
KEZ_API int ScanFile(int fileHandle, const char *format, ...);
/* Bytes the calling thread's last formatting call wrote (for Fmt without
   the terminating NUL) or its last scanning call consumed. */
KEZ_API int NumFmtdBytes(void);
/* The 0-based position of the format error of the calling thread's last
   formatting or scanning call, -1 when it had none. */
KEZ_API int GetFmtErrNdx(void);

/* Checked twins: the format, the arguments' number and types and the
   known sizes of arrays and strings are checked and faults reported. */
KEZ_API int _UP_Fmt(void *target, const char *format, ...);
KEZ_API int _UP_FmtOut(const char *format, ...);
KEZ_API int _UP_FmtFile(int fileHandle, const char *format, ...);
KEZ_API int _UP_Scan(const void *source, const char *format, ...);
KEZ_API int _UP_ScanIn(const char *format, ...);
KEZ_API int _UP_ScanFile(int fileHandle, const char *format, ...);

/* ---- Byte and string utilities ----------------------------------------
   Buffers are addressed as (base, index). */

/* Bytes are compared as unsigned char; a case-insensitive call compares the
   upper-case mappings of the C library's locale. A null pointer makes a
   call do nothing: compares and CopyString give 0, FindPattern and
   StringLength -1. */

/* Sets count bytes to (unsigned char)value; count <= 0 does nothing. */
KEZ_API void FillBytes(void *buffer, ptrdiff_t index, ptrdiff_t count, int value);
/* Copies count bytes; the regions may overlap. count <= 0 does nothing. */
KEZ_API void CopyBytes(void *target, ptrdiff_t targetIndex, const void *source, ptrdiff_t sourceIndex,
                       ptrdiff_t count);
/* Copies the source string, at most maxChars characters of it (-1: no
   limit; 0 or below -1: none), and a terminating NUL, which is stored even
   when nothing is copied. The strings may overlap. The number of characters
   copied. */
KEZ_API ptrdiff_t CopyString(char *target, ptrdiff_t targetIndex, const char *source, ptrdiff_t sourceIndex,
                             ptrdiff_t maxChars);
/* -1, 0 or 1 as the first buffer's bytes sort before, equal or after the
   second's; count <= 0 gives 0. */
KEZ_API int CompareBytes(const void *buffer1, ptrdiff_t index1, const void *buffer2, ptrdiff_t index2,
                         ptrdiff_t count, int caseSensitive);
/* -1, 0 or 1, comparing up to the terminating NUL. */
KEZ_API int CompareStrings(const char *string1, ptrdiff_t index1, const char *string2, ptrdiff_t index2,
                           int caseSensitive);
/* Searches the count bytes from buffer + startIndex (-1: up to the
   buffer's NUL; at most 4294967295) for the pattern string: startIndex
   plus the offset of the first match, or of the last with startFromRight,
   and -1 when there is none, the pattern is empty or count is invalid. */
KEZ_API ptrdiff_t FindPattern(const void *buffer, ptrdiff_t startIndex, ptrdiff_t count, const char *pattern,
                              int caseSensitive, int startFromRight);
/* The string's length; -1 when it is 2^31 bytes or longer (GetFmtIOError
   then gives KEZ_FMTIO_STRING_TOO_LONG; a success leaves it as it was). */
KEZ_API int StringLength(const char *string);
/* Converts every upper-case character to lower case, and the reverse. */
KEZ_API void StringLowerCase(char *string);
KEZ_API void StringUpperCase(char *string);

/* Checked twins: null pointers, and buffers smaller than the call needs
   where the caller described their sizes, are reported as run-time errors;
   such a call then does nothing and gives what a null pointer gives. */
KEZ_API void _UP_FillBytes(void *buffer, ptrdiff_t index, ptrdiff_t count, int value);
KEZ_API void _UP_CopyBytes(void *target, ptrdiff_t targetIndex, const void *source, ptrdiff_t sourceIndex,
                           ptrdiff_t count);
KEZ_API ptrdiff_t _UP_CopyString(char *target, ptrdiff_t targetIndex, const char *source, ptrdiff_t sourceIndex,
                                 ptrdiff_t maxChars);
KEZ_API int _UP_CompareBytes(const void *buffer1, ptrdiff_t index1, const void *buffer2, ptrdiff_t index2,
                             ptrdiff_t count, int caseSensitive);
KEZ_API int _UP_CompareStrings(const char *string1, ptrdiff_t index1, const char *string2, ptrdiff_t index2,
                               int caseSensitive);
KEZ_API ptrdiff_t _UP_FindPattern(const void *buffer, ptrdiff_t startIndex, ptrdiff_t count, const char *pattern,
                                  int caseSensitive, int startFromRight);
KEZ_API int _UP_StringLength(const char *string);
KEZ_API void _UP_StringLowerCase(char *string);
KEZ_API void _UP_StringUpperCase(char *string);

KEZ_END_DECLS

#endif
