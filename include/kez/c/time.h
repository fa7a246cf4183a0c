/* The engine's C library: time and date. Calendar time counts seconds from
   1900-01-01 00:00:00 UTC (not 1970). Local time follows the engine's zone:
   "TZ" in the form ":std:dst:offset" (offset of standard time from UTC in
   minutes, negative west of Greenwich) names the zone; otherwise the
   system's zone (Linux: the zone TZ or /etc/localtime names, taken with its
   current rule). Dates are Gregorian throughout. */
#ifndef KEZ_C_TIME_H
#define KEZ_C_TIME_H

#include <stddef.h>

#include "../kez_api.h"

KEZ_BEGIN_DECLS

/* Unsigned 64-bit seconds. The macro keeps out of the way a signed time_t
   that a compiler's own stddef.h may already have declared. */
#define time_t kez_time_t
typedef unsigned long long kez_time_t;
typedef long clock_t;

#define CLOCKS_PER_SEC 1000

struct tm {
    int tm_sec;   /* 0-59 */
    int tm_min;   /* 0-59 */
    int tm_hour;  /* 0-23 */
    int tm_mday;  /* 1-31 */
    int tm_mon;   /* 0-11 */
    int tm_year;  /* years since 1900; -1 is 1899 */
    int tm_wday;  /* 0 = Sunday */
    int tm_yday;  /* 0-365 */
    int tm_isdst; /* 1 while daylight saving is in force */
};

/* Seconds since 1900 UTC, also stored in *t when t is not NULL. */
KEZ_API time_t time(time_t *t) KEZ_CLIB_NAME(time);
/* Milliseconds of the engine's clock, a 32-bit running total. */
KEZ_API clock_t clock(void) KEZ_CLIB_NAME(clock);
/* t1 - t0, negative when t1 is the earlier. */
KEZ_API double difftime(time_t t1, time_t t0) KEZ_CLIB_NAME(difftime);

/* localtime and gmtime give the calling thread's own struct tm, shared by
   the two; they give NULL when the year does not fit an int. mktime
   normalises every field, decides daylight saving itself (an hour the
   clock repeats is read as standard time, one it skips as daylight time)
   and gives (time_t)-1 for times before 1900 UTC or beyond an int year. */
KEZ_API struct tm *localtime(const time_t *t) KEZ_CLIB_NAME(localtime);
KEZ_API struct tm *gmtime(const time_t *t) KEZ_CLIB_NAME(gmtime);
KEZ_API time_t mktime(struct tm *tm) KEZ_CLIB_NAME(mktime);

/* "Thu Jul 04 12:00:00 2024\n" in the calling thread's 30-byte buffer;
   NULL with errno EINVAL for a weekday or month out of range, or a line
   that does not fit. ctime(t) is asctime(localtime(t)). */
KEZ_API char *asctime(const struct tm *tm) KEZ_CLIB_NAME(asctime);
KEZ_API char *ctime(const time_t *t) KEZ_CLIB_NAME(ctime);

/* Conversions %% %a %A %b %B %c %d %H %I %j %m %M %p %S %U %w %W %x %X %y
   %Y %Z; any other, and a '%' that ends the format, is copied as written.
   A name index out of range prints "?". Gives the bytes written without
   the terminator, or 0 (and nothing dependable in s) when they and the
   terminator do not fit max bytes; never writes beyond max. */
KEZ_API size_t strftime(char *s, size_t max, const char *format, const struct tm *tm) KEZ_CLIB_NAME(strftime);

/* The debugger's own copies: a static struct tm and buffer. */
KEZ_API char *__dbgasctime(const struct tm *tm);
KEZ_API struct tm *__dbggmtime(const time_t *t);

KEZ_END_DECLS

#endif
