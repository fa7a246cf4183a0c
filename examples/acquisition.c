/* An acquisition-style program on the multithreading library.
 *
 * Eight channels are scanned by functions scheduled on a thread pool of
 * three threads. Each scan sends its simulated samples, in blocks, through
 * a thread-safe queue to the main thread, and adds them to a total kept in
 * a thread-safe variable; each pool thread counts its own scans in a
 * thread-local variable. The main thread never waits on a function: the
 * queue tells it when samples are waiting (an items-in-queue callback), and
 * the pool tells it when a scan is done (the function's end callback); both
 * arrive as deferred calls whenever it calls ProcessSystemEvents. Between
 * those calls it waits on the queue itself, so it never spins, and the
 * whole run has a time limit that says what is missing when it runs out.
 * The settings come from a configuration line read with sscanf, and the
 * summary prints its 64-bit count with %I64d, all through the engine's C
 * library, which also stamps the scan with the local time. The channel
 * means go to a results file with FmtFile, in the
 * formatting library's own format language, and are read back with
 * ScanFile. A periodic timer of the engine's timer engine beats every 10 ms
 * while the scans run, and the seconds clock times the whole acquisition.
 * Each finished scan also goes to a remote viewer (viewer.c): a record of
 * it over TCP, from a server of the demo's own to a client connected from
 * the demo itself, and a one-line announcement by UDP on 127.0.0.1.
 */
#include "kez/ansi_c.h" /* the engine's C library: printf, sin, ... */
#include "kez/kez.h"

#include "deadline.h"
#include "viewer.h"

#define CHANNELS 8
#define SAMPLES 200000
#define BLOCK 500
#define THRESHOLD 1000 /* samples waiting before the main thread is told */
#define PREVIEW_STEP (SAMPLES / VIEWER_PREVIEW) /* the viewer sees every thousandth sample */

typedef struct {
    int channel;
    double mean;
} ChannelScan;

typedef struct {
    int channel;
    float value;
} Sample;

typedef struct {
    long samples;
    double sum;
} Totals;

/* The acquisition's settings as an instrument's configuration line gives
   them; the program reads them back with sscanf. */
static const char settings_line[] = "channels=8 samples=200000 block=500 limit=60s";

static ChannelScan scans[CHANNELS];
static KmtTSQHandle samples;
static KmtLockHandle writing; /* a queue takes one writer at a time */
static double received_sum[CHANNELS];
static long received[CHANNELS];
static float preview[CHANNELS][VIEWER_PREVIEW];
static int viewer_failed;
static int deliveries;
static KmtTSVHandle totals;
static KmtTLVHandle scans_per_thread;
static int results_in;
/* Written by the heartbeat timer's callback only; read once the timer is
   discarded, when its callback can no longer run. */
static long heartbeats;

static void heartbeat(void *data) {
    (void)data;
    ++heartbeats;
}

static int scan_channel(void *data) {
    ChannelScan *scan = data;
    Totals *t;
    int *mine;
    double sum = 0;
    Sample block[BLOCK];
    int i;
    for (i = 0; i < SAMPLES; ++i) {
        const double value = sin(0.001 * i + scan->channel) + 0.1 * scan->channel;
        sum += value;
        block[i % BLOCK].channel = scan->channel;
        block[i % BLOCK].value = (float)value;
        if (i % BLOCK == BLOCK - 1) {
            int written;
            KmtGetLock(writing);
            written = KmtWriteTSQData(samples, block, BLOCK, -1, NULL);
            KmtReleaseLock(writing);
            if (written != BLOCK) return -1; /* the main thread gave up on the run */
        }
    }
    scan->mean = sum / SAMPLES;
    KmtGetTSVPtr(totals, &t);
    t->samples += SAMPLES;
    t->sum += sum;
    KmtReleaseTSVPtr(totals);
    KmtGetThreadLocalVar(scans_per_thread, &mine);
    ++*mine;
    return scan->channel;
}

/* Takes whatever the queue holds, without waiting. */
static void drain_samples(void) {
    Sample block[BLOCK];
    int n, i;
    while ((n = KmtReadTSQData(samples, block, BLOCK, 0, 0)) > 0) {
        for (i = 0; i < n; ++i) {
            const int channel = block[i].channel;
            /* A channel's samples arrive in the order it scanned them. */
            if (received[channel] % PREVIEW_STEP == 0 && received[channel] / PREVIEW_STEP < VIEWER_PREVIEW)
                preview[channel][received[channel] / PREVIEW_STEP] = block[i].value;
            received_sum[channel] += block[i].value;
            ++received[channel];
        }
    }
}

/* Runs on the main thread, from ProcessSystemEvents, when at least
   THRESHOLD samples are waiting. */
static void samples_waiting(KmtTSQHandle queue, unsigned int event, int value, void *data) {
    (void)queue;
    (void)event;
    (void)value;
    (void)data;
    ++deliveries;
    drain_samples();
}

/* Runs on the main thread, from ProcessSystemEvents. The scan wrote its
   last block before it ended, so all its samples are here or in the queue:
   the viewer gets the scan complete. */
static void scan_done(KmtThreadPoolHandle pool, int functionID, unsigned int event, int value, void *data) {
    const ChannelScan *scan = data;
    long arrived;
    (void)pool;
    if (event != EVENT_TP_THREAD_FUNCTION_END) return;
    printf("  channel %d (function %d): mean %+.4f\n", value, functionID, scan->mean);
    ++results_in;
    drain_samples();
    arrived = received[scan->channel];
    if (!viewer_failed &&
        viewer_send_scan(scan->channel, arrived, scan->mean, preview[scan->channel],
                         (int)((arrived + PREVIEW_STEP - 1) / PREVIEW_STEP)) != 0)
        viewer_failed = 1;
}

/* Waits until something is due, without spinning: the queue's own wait ends
   as soon as a callback's worth of samples is there (the callback has been
   posted then), and after 10 ms otherwise, since a scan may have ended. The
   peek leaves the samples where they are. */
static void wait_for_something_due(void) {
    static Sample look[THRESHOLD];
    KmtReadTSQData(samples, look, THRESHOLD, 10, TSQ_READ_OPT_PEEK);
}

/* Writes the channel means to a text file and reads them back: FmtFile
   and ScanFile agree to the last bit (17 significant digits). */
static int keep_results(void) {
    char path[L_tmpnam];
    int file, channel, ok = 1;
    if (tmpnam(path) == NULL || (file = Kez_OpenFile(path, KEZ_FILE_READ_WRITE, KEZ_FILE_TRUNCATE, KEZ_FILE_ASCII)) < 0) {
        printf("no results file: %s\n", GetFmtIOErrorString(GetFmtIOError()));
        return 0;
    }
    for (channel = 0; channel < CHANNELS; ++channel)
        if (FmtFile(file, "%s<channel %d[w2]: mean %f[ep16]\n", channel, scans[channel].mean) != 2) ok = 0;
    SetFilePtr(file, 0, 0);
    for (channel = 0; ok && channel < CHANNELS; ++channel) {
        int read_channel = -1;
        double mean = 0;
        if (ScanFile(file, "%s>channel %d: mean %f", &read_channel, &mean) != 2 || read_channel != channel ||
            mean != scans[channel].mean)
            ok = 0;
    }
    Kez_CloseFile(file);
    remove(path);
    printf("results file written with FmtFile and read back with ScanFile: %s\n", ok ? "identical" : "DIFFERENT");
    return ok;
}

/* The time limit ran out: says what is missing and lets the scans go. */
static void report_missing(void) {
    int channel;
    printf("the acquisition did not finish in time:\n");
    for (channel = 0; channel < CHANNELS; ++channel)
        printf("  channel %d: %ld of %d samples arrived\n", channel, received[channel], SAMPLES);
    printf("  %d of %d scans reported their end\n", results_in, CHANNELS);
    /* Refused writes return at once: blocked scans end, and the pool can go. */
    KmtSetTSQAttribute(samples, ATTR_TSQ_ACCESS_REFUSAL, (unsigned int)TSQ_REFUSE_WRITES);
}

static void thread_scans(void *value, int event, void *data, unsigned int threadID) {
    (void)data;
    if (event == EVENT_TLV_DISCARD_THREAD_ENDING && *(int *)value > 0)
        printf("  pool thread %u ends after %d scan(s)\n", threadID, *(int *)value);
}

int run_acquisition(void) {
    KmtThreadPoolHandle pool;
    KezUSTETimer beat = NULL;
    const KezUSTETime ten_ms = {0, 10000000};
    double started;
    Totals *t;
    int channel, rounds = 0, finished = 1;
    int channels, samples_each, block, limit;
    if (sscanf(settings_line, "channels=%d samples=%d block=%d limit=%ds", &channels, &samples_each, &block, &limit) != 4 ||
        channels != CHANNELS || samples_each != SAMPLES || block != BLOCK || limit <= 0) {
        printf("settings not understood: %s\n", settings_line);
        return 1;
    }
    printf("settings: %d channels of %d samples in blocks of %d, %d s limit\n", channels, samples_each, block, limit);
    if (KmtNewThreadPool(3, &pool) != 0 || KmtNewTSV(sizeof(Totals), &totals) != 0 ||
        KmtNewThreadLocalVar(sizeof(int), NULL, thread_scans, NULL, &scans_per_thread) != 0 ||
        KmtNewTSQ(4 * BLOCK, sizeof(Sample), 0, &samples) != 0 || KmtNewLock(NULL, 0, &writing) != 0 ||
        KmtInstallTSQCallback(samples, EVENT_TSQ_ITEMS_IN_QUEUE, THRESHOLD, samples_waiting, NULL, KmtGetCurrentThreadID(),
                              NULL) != 0) {
        printf("the multithreading library did not start\n");
        return 1;
    }
    {
        /* The C library's calendar: local time in the engine's zone. */
        time_t now = time(NULL);
        char stamp[64];
        strftime(stamp, sizeof stamp, "%a %d %b %Y %H:%M:%S %Z", localtime(&now));
        printf("scanning %d channels on a pool of 3 threads, %s:\n", CHANNELS, stamp);
    }
    /* The viewer connects before the scans start; its connection reaches
       the server through ProcessSystemEvents. */
    if (viewer_open() != 0) {
        viewer_close();
        return 1;
    }
    deadline_start(limit);
    while (!viewer_connected() && !deadline_passed()) {
        ProcessSystemEvents();
        if (!viewer_connected()) wait_for_something_due();
    }
    if (!viewer_connected()) {
        printf("the viewer's connection did not reach the server in %d s\n", limit);
        viewer_close();
        return 1;
    }
    printf("a remote viewer is connected over TCP and listens for announcements by UDP\n");
    if (KezUSTEinitialize() == 1 && (beat = KezUSTEnewtimer(heartbeat, NULL)) != NULL)
        KezUSTEsettimer(beat, &ten_ms);
    started = Timer();
    for (channel = 0; channel < CHANNELS; ++channel) {
        scans[channel].channel = channel;
        KmtScheduleThreadPoolFunctionAdv(pool, scan_channel, &scans[channel], THREAD_PRIORITY_POOL_DEFAULT, scan_done,
                                         EVENT_TP_THREAD_FUNCTION_END, &scans[channel], KmtGetCurrentThreadID(), NULL);
    }
    deadline_start(limit);
    for (;;) {
        ProcessSystemEvents();
        ++rounds;
        if (results_in == CHANNELS) break;
        if (deadline_passed()) {
            report_missing();
            finished = 0;
            break;
        }
        wait_for_something_due();
    }
    KmtDiscardThreadPool(pool); /* after a time-out this waits for the scans, which end at their next write */
    KezUSTEdiscardtimer(beat);
    printf("the acquisition took %.3f s; the 10 ms heartbeat timer beat %ld time(s) meanwhile\n", Timer() - started,
           heartbeats);
    if (finished) {
        drain_samples(); /* the last few, below the callback's threshold */
        KmtGetTSVPtr(totals, &t);
        /* The engine's printf reads I64 as a 64-bit length on every
           platform; the compilers' own printf checks do not know it. */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
        printf("all %d results in (%s event rounds); %I64d samples, overall mean %+.6f\n", results_in,
               rounds > 1 ? "several" : "one", (long long)t->samples, t->sum / (double)t->samples);
#pragma GCC diagnostic pop
        KmtReleaseTSVPtr(totals);
        for (channel = 0; channel < CHANNELS; ++channel) {
            if (received[channel] != SAMPLES) {
                printf("channel %d: %ld samples arrived, %d were sent\n", channel, received[channel], SAMPLES);
                finished = 0;
            }
        }
    }
    if (finished)
        printf("every sample arrived through the queue (%s callback deliveries); channel 7 mean there %+.4f\n",
               deliveries > 1 ? "several" : "one", received_sum[7] / SAMPLES);
    if (finished) {
        double means[CHANNELS];
        for (channel = 0; channel < CHANNELS; ++channel) means[channel] = scans[channel].mean;
        if (viewer_failed || viewer_finish(CHANNELS, means) != 0) finished = 0;
    }
    viewer_close();
    if (finished && !keep_results()) finished = 0;
    KmtDiscardTSQ(samples);
    KmtDiscardLock(writing);
    KmtDiscardTSV(totals);
    KmtDiscardThreadLocalVar(scans_per_thread);
    return finished ? 0 : 1;
}
