/* An acquisition-style program on the multithreading library.
 *
 * Eight channels are scanned by functions scheduled on a thread pool of
 * three threads. Each scan averages a block of simulated samples and adds
 * them to a total kept in a thread-safe variable; each pool thread counts
 * its own scans in a thread-local variable. The main thread never waits on
 * a function: it collects every result from the functions' end callbacks,
 * which the pool delivers to it as deferred calls whenever it calls
 * ProcessSystemEvents.
 */
#include <math.h>
#include <stdio.h>

#include "kez/kez.h"

#define CHANNELS 8
#define SAMPLES 200000

typedef struct {
    int channel;
    double mean;
} Scan;

typedef struct {
    long samples;
    double sum;
} Totals;

static Scan scans[CHANNELS];
static KmtTSVHandle totals;
static KmtTLVHandle scans_per_thread;
static int results_in;

static int scan_channel(void *data) {
    Scan *scan = data;
    Totals *t;
    int *mine;
    double sum = 0;
    int i;
    for (i = 0; i < SAMPLES; ++i) sum += sin(0.001 * i + scan->channel) + 0.1 * scan->channel;
    scan->mean = sum / SAMPLES;
    KmtGetTSVPtr(totals, &t);
    t->samples += SAMPLES;
    t->sum += sum;
    KmtReleaseTSVPtr(totals);
    KmtGetThreadLocalVar(scans_per_thread, &mine);
    ++*mine;
    return scan->channel;
}

/* Runs on the main thread, from ProcessSystemEvents. */
static void scan_done(KmtThreadPoolHandle pool, int functionID, unsigned int event, int value, void *data) {
    const Scan *scan = data;
    (void)pool;
    if (event != EVENT_TP_THREAD_FUNCTION_END) return;
    printf("  channel %d (function %d): mean %+.4f\n", value, functionID, scan->mean);
    ++results_in;
}

static void thread_scans(void *value, int event, void *data, unsigned int threadID) {
    (void)data;
    if (event == EVENT_TLV_DISCARD_THREAD_ENDING && *(int *)value > 0)
        printf("  pool thread %u ends after %d scan(s)\n", threadID, *(int *)value);
}

int run_acquisition(void) {
    KmtThreadPoolHandle pool;
    Totals *t;
    int channel, rounds = 0;
    if (KmtNewThreadPool(3, &pool) != 0 || KmtNewTSV(sizeof(Totals), &totals) != 0 ||
        KmtNewThreadLocalVar(sizeof(int), NULL, thread_scans, NULL, &scans_per_thread) != 0) {
        printf("the multithreading library did not start\n");
        return 1;
    }
    printf("scanning %d channels on a pool of 3 threads:\n", CHANNELS);
    for (channel = 0; channel < CHANNELS; ++channel) {
        scans[channel].channel = channel;
        KmtScheduleThreadPoolFunctionAdv(pool, scan_channel, &scans[channel], THREAD_PRIORITY_POOL_DEFAULT, scan_done,
                                         EVENT_TP_THREAD_FUNCTION_END, &scans[channel], KmtGetCurrentThreadID(), NULL);
    }
    while (results_in < CHANNELS) {
        ProcessSystemEvents();
        ++rounds;
    }
    KmtGetTSVPtr(totals, &t);
    printf("all %d results in (%s event rounds); %ld samples, overall mean %+.4f\n", results_in,
           rounds > 1 ? "several" : "one", t->samples, t->sum / (double)t->samples);
    KmtReleaseTSVPtr(totals);
    KmtDiscardThreadPool(pool);
    KmtDiscardTSV(totals);
    KmtDiscardThreadLocalVar(scans_per_thread);
    return 0;
}
