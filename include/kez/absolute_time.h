/* Exact time stamps and durations. A KezAbsoluteTime is a moment counted
   from 1904-01-01 00:00:00 UTC, a KezTimeInterval a signed duration; both
   are 128-bit fixed-point numbers of seconds with a resolution of 2^-64 s,
   passed by value and returned through pointers. Every function returns 0
   or one of the negative KEZ_TIME_ERR_ codes and writes no output when it
   fails (but KezAbsoluteTimeToLocalCalendar, which zeroes its outputs
   first). */
#ifndef KEZ_ABSOLUTE_TIME_H
#define KEZ_ABSOLUTE_TIME_H

#include "kez/kez_api.h"

KEZ_BEGIN_DECLS

/* Opaque: 16 bytes, no field is for the program to read. */
typedef struct KezAbsoluteTime {
    unsigned long long kezPrivate[2];
} KezAbsoluteTime;
typedef struct KezTimeInterval {
    unsigned long long kezPrivate[2];
} KezTimeInterval;

/* Units of whole-unit counts. */
#define KEZ_TIME_UNIT_ATTOSECOND 919263159
#define KEZ_TIME_UNIT_FEMTOSECOND 919263162
#define KEZ_TIME_UNIT_PICOSECOND 919263165
#define KEZ_TIME_UNIT_NANOSECOND 919263168
#define KEZ_TIME_UNIT_100_NANOSECONDS 919263170
#define KEZ_TIME_UNIT_MICROSECOND 919263171
#define KEZ_TIME_UNIT_MILLISECOND 919263174
#define KEZ_TIME_UNIT_SECOND 919263177
#define KEZ_TIME_UNIT_MINUTE 919263179
#define KEZ_TIME_UNIT_HOUR 919263181
#define KEZ_TIME_UNIT_DAY 919263183

/* Epochs of the counts of absolute times (midnight UTC of 1 January of
   the year). */
#define KEZ_TIME_EPOCH_0001 1
#define KEZ_TIME_EPOCH_1601 1601
#define KEZ_TIME_EPOCH_1970 1970

/* Rounding of conversions to whole units. */
#define KEZ_TIME_ROUND_NEAREST_EVEN 1
#define KEZ_TIME_ROUND_TOWARD_ZERO 2
#define KEZ_TIME_ROUND_UP 3
#define KEZ_TIME_ROUND_DOWN 4

/* Results. */
#define KEZ_TIME_ERR_INVALID_ARGUMENT (-1)
#define KEZ_TIME_ERR_NULL_POINTER (-2)
#define KEZ_TIME_ERR_OVERFLOW (-3)
#define KEZ_TIME_ERR_OUT_OF_RANGE (-4)
#define KEZ_TIME_ERR_SYSTEM (-5)

KEZ_API int GetCurrentKezAbsoluteTime(KezAbsoluteTime *absoluteTime);

KEZ_API int KezAbsoluteTimeFromTimeUnit(int epoch, int unit, long long count, KezAbsoluteTime *absoluteTime);
KEZ_API int KezAbsoluteTimeToTimeUnit(KezAbsoluteTime absoluteTime, int epoch, int unit, int rounding,
                                      long long *count);

/* Local calendar time, in the C library's zone (see kez/c/time.h), from
   1970 on: earlier dates give KEZ_TIME_ERR_OUT_OF_RANGE, as do years whose
   count since 1900 does not fit an int. From: fields out of range (month
   1-12, day 1-31, hour < 24, minute and second < 60, milliseconds in
   [0, 1000)) are invalid; a day beyond its month carries into the next.
   An hour the clock repeats is read as standard time, one it skips as
   daylight time. To: every output pointer may be null. */
KEZ_API int KezAbsoluteTimeFromLocalCalendar(unsigned int year, unsigned int month, unsigned int day,
                                             unsigned int hour, unsigned int minute, unsigned int second,
                                             double milliseconds, KezAbsoluteTime *absoluteTime);
KEZ_API int KezAbsoluteTimeToLocalCalendar(KezAbsoluteTime absoluteTime, unsigned int *year, unsigned int *month,
                                           unsigned int *day, unsigned int *hour, unsigned int *minute,
                                           unsigned int *second, double *milliseconds, unsigned int *weekDay);

/* Seconds in [-2^63, 2^63); bits below 2^-64 s are dropped. */
KEZ_API int KezTimeIntervalFromSeconds(double seconds, KezTimeInterval *interval);
KEZ_API int KezTimeIntervalToSeconds(KezTimeInterval interval, double *seconds);
KEZ_API int KezTimeIntervalFromTimeUnit(int unit, long long count, KezTimeInterval *interval);
KEZ_API int KezTimeIntervalToTimeUnit(KezTimeInterval interval, int unit, int rounding, long long *count);
/* The part of the interval below one whole unit: for the second the
   fraction of a second in [0, 1) (also for negative intervals); for other
   units the rest after the whole units, with the interval's sign. */
KEZ_API int KezTimeIntervalToFractionalUnitTime(KezTimeInterval interval, int unit, KezTimeInterval *fraction);

/* Sums, differences, products and quotients wrap around silently. */
KEZ_API int AddKezTimeIntervals(KezTimeInterval a, KezTimeInterval b, KezTimeInterval *sum);
KEZ_API int SubtractKezTimeIntervals(KezTimeInterval a, KezTimeInterval b, KezTimeInterval *difference);
KEZ_API int AddToKezAbsoluteTime(KezAbsoluteTime absoluteTime, KezTimeInterval interval, KezAbsoluteTime *sum);
KEZ_API int SubtractFromKezAbsoluteTime(KezAbsoluteTime absoluteTime, KezTimeInterval interval,
                                        KezAbsoluteTime *difference);
KEZ_API int SubtractKezAbsoluteTimes(KezAbsoluteTime a, KezAbsoluteTime b, KezTimeInterval *difference);
KEZ_API int IncrementKezAbsoluteTime(KezAbsoluteTime *absoluteTime, KezTimeInterval interval);
KEZ_API int DecrementKezAbsoluteTime(KezAbsoluteTime *absoluteTime, KezTimeInterval interval);
KEZ_API int IncrementKezTimeInterval(KezTimeInterval *interval, KezTimeInterval increment);
KEZ_API int DecrementKezTimeInterval(KezTimeInterval *interval, KezTimeInterval decrement);
KEZ_API int MultiplyKezTimeInterval(KezTimeInterval interval, long long factor, KezTimeInterval *product);
/* Truncates toward zero; a zero divisor is an invalid argument. */
KEZ_API int DivideKezTimeInterval(KezTimeInterval interval, long long divisor, KezTimeInterval *quotient);

/* *result is -1, 0 or 1. With a tolerance (not negative) values that lie
   at most the tolerance apart compare equal. */
KEZ_API int CompareKezAbsoluteTimes(KezAbsoluteTime a, KezAbsoluteTime b, int *result);
KEZ_API int CompareKezAbsoluteTimesWithTolerance(KezAbsoluteTime a, KezAbsoluteTime b, KezTimeInterval tolerance,
                                                 int *result);
KEZ_API int CompareKezTimeIntervals(KezTimeInterval a, KezTimeInterval b, int *result);
KEZ_API int CompareKezTimeIntervalsWithTolerance(KezTimeInterval a, KezTimeInterval b, KezTimeInterval tolerance,
                                                 int *result);

/* Checked twins for debug builds: a null pointer is reported against its
   argument, a failure as a library error with the result's text. */
KEZ_API int _UP_GetCurrentKezAbsoluteTime(KezAbsoluteTime *absoluteTime);
KEZ_API int _UP_KezAbsoluteTimeFromTimeUnit(int epoch, int unit, long long count, KezAbsoluteTime *absoluteTime);
KEZ_API int _UP_KezAbsoluteTimeToTimeUnit(KezAbsoluteTime absoluteTime, int epoch, int unit, int rounding,
                                          long long *count);
KEZ_API int _UP_KezAbsoluteTimeFromLocalCalendar(unsigned int year, unsigned int month, unsigned int day,
                                                 unsigned int hour, unsigned int minute, unsigned int second,
                                                 double milliseconds, KezAbsoluteTime *absoluteTime);
KEZ_API int _UP_KezAbsoluteTimeToLocalCalendar(KezAbsoluteTime absoluteTime, unsigned int *year, unsigned int *month,
                                               unsigned int *day, unsigned int *hour, unsigned int *minute,
                                               unsigned int *second, double *milliseconds, unsigned int *weekDay);
KEZ_API int _UP_KezTimeIntervalFromSeconds(double seconds, KezTimeInterval *interval);
KEZ_API int _UP_KezTimeIntervalToSeconds(KezTimeInterval interval, double *seconds);
KEZ_API int _UP_KezTimeIntervalFromTimeUnit(int unit, long long count, KezTimeInterval *interval);
KEZ_API int _UP_KezTimeIntervalToTimeUnit(KezTimeInterval interval, int unit, int rounding, long long *count);
KEZ_API int _UP_KezTimeIntervalToFractionalUnitTime(KezTimeInterval interval, int unit, KezTimeInterval *fraction);
KEZ_API int _UP_AddKezTimeIntervals(KezTimeInterval a, KezTimeInterval b, KezTimeInterval *sum);
KEZ_API int _UP_SubtractKezTimeIntervals(KezTimeInterval a, KezTimeInterval b, KezTimeInterval *difference);
KEZ_API int _UP_AddToKezAbsoluteTime(KezAbsoluteTime absoluteTime, KezTimeInterval interval, KezAbsoluteTime *sum);
KEZ_API int _UP_SubtractFromKezAbsoluteTime(KezAbsoluteTime absoluteTime, KezTimeInterval interval,
                                            KezAbsoluteTime *difference);
KEZ_API int _UP_SubtractKezAbsoluteTimes(KezAbsoluteTime a, KezAbsoluteTime b, KezTimeInterval *difference);
KEZ_API int _UP_IncrementKezAbsoluteTime(KezAbsoluteTime *absoluteTime, KezTimeInterval interval);
KEZ_API int _UP_DecrementKezAbsoluteTime(KezAbsoluteTime *absoluteTime, KezTimeInterval interval);
KEZ_API int _UP_IncrementKezTimeInterval(KezTimeInterval *interval, KezTimeInterval increment);
KEZ_API int _UP_DecrementKezTimeInterval(KezTimeInterval *interval, KezTimeInterval decrement);
KEZ_API int _UP_MultiplyKezTimeInterval(KezTimeInterval interval, long long factor, KezTimeInterval *product);
KEZ_API int _UP_DivideKezTimeInterval(KezTimeInterval interval, long long divisor, KezTimeInterval *quotient);
KEZ_API int _UP_CompareKezAbsoluteTimes(KezAbsoluteTime a, KezAbsoluteTime b, int *result);
KEZ_API int _UP_CompareKezAbsoluteTimesWithTolerance(KezAbsoluteTime a, KezAbsoluteTime b, KezTimeInterval tolerance,
                                                     int *result);
KEZ_API int _UP_CompareKezTimeIntervals(KezTimeInterval a, KezTimeInterval b, int *result);
KEZ_API int _UP_CompareKezTimeIntervalsWithTolerance(KezTimeInterval a, KezTimeInterval b, KezTimeInterval tolerance,
                                                     int *result);

KEZ_END_DECLS

#endif
