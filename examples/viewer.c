/* The acquisition's remote viewer, over the engine's TCP and UDP libraries.
 *
 * The demo registers a TCP server on a port the system chooses and connects
 * a client to it on 127.0.0.1: the client stands for a viewer on another
 * machine. Both ends belong to the main thread, so their events (the
 * server's new connection, data waiting for the viewer) arrive there through
 * ProcessSystemEvents. After each scan the server sends the viewer a record
 * of the scan (its channel, sample count, mean and a preview of every
 * thousandth sample), and an announcer channel sends a one-line UDP
 * datagram to the viewer's own channel on 127.0.0.1. Every read has a
 * time-out, so a lost record or datagram ends the demo with a message
 * instead of a hang.
 */
#include "kez/ansi_c.h" /* the engine's C library */
#include "kez/kez.h"

#include "viewer.h"

#define MAX_SCANS 32
#define IO_TIMEOUT_MS 2000
#define LOOPBACK "127.0.0.1"

/* What the server sends after a scan; both ends are in this program, so the
   layout needs no conversion (and has no padding). */
typedef struct {
    int channel;
    int samples;
    int count; /* preview entries in use */
    int sequence;
    double mean;
    float preview[VIEWER_PREVIEW];
} ScanRecord;

static int server_port;
static int server_connected;
static unsigned int server_connection;
static int viewer_open_;
static unsigned int viewer;
static unsigned int announcer, listener;
static unsigned int listener_port;
static int sent_records;

/* The viewer's side. */
static ScanRecord incoming;
static size_t incoming_bytes;
static int records_in, previews_in, bad_records;
static long bytes_in;
static double mean_in[MAX_SCANS];
static int record_seen[MAX_SCANS];
static int announcements_in, bad_announcements;
static int announcement_seen[MAX_SCANS];

static void take_record(void) {
    const ScanRecord *r = &incoming;
    if (r->channel < 0 || r->channel >= MAX_SCANS || r->count < 0 || r->count > VIEWER_PREVIEW ||
        r->sequence != records_in) {
        ++bad_records;
    } else {
        mean_in[r->channel] = r->mean;
        ++record_seen[r->channel];
        previews_in += r->count;
    }
    ++records_in;
    incoming_bytes = 0;
}

/* One read of what the viewer has coming: the count read or a TCP code. */
static int viewer_read(unsigned int timeout_ms) {
    int got = ClientTCPRead(viewer, (char *)&incoming + incoming_bytes, sizeof incoming - incoming_bytes, timeout_ms);
    if (got > 0) {
        bytes_in += got;
        incoming_bytes += (size_t)got;
        if (incoming_bytes == sizeof incoming) take_record();
    }
    return got;
}

static void take_announcement(const char *text) {
    int channel = -1, samples = 0;
    if (sscanf(text, "scan %d done: %d samples", &channel, &samples) == 2 && channel >= 0 && channel < MAX_SCANS)
        ++announcement_seen[channel];
    else
        ++bad_announcements;
    ++announcements_in;
}

/* The server's events: the viewer's connection arrives. */
static int server_event(unsigned handle, int type, int error, void *data) {
    (void)error;
    (void)data;
    if (type == TCP_CONNECT && !server_connected) {
        server_connection = handle;
        server_connected = 1;
    } else if (type == TCP_CONNECT) {
        DisconnectTCPClient(handle); /* only the one viewer is served */
    }
    return 0;
}

/* The viewer's events: a record (or part of one) is waiting. */
static int viewer_event(unsigned handle, int type, int error, void *data) {
    (void)handle;
    (void)error;
    (void)data;
    if (type == TCP_DATAREADY) viewer_read(100);
    return 0;
}

/* The viewer's channel: an announcement is waiting. */
static int announcement_event(unsigned channel, int type, int error, void *data) {
    char text[128];
    int got;
    (void)error;
    (void)data;
    if (type != UDP_DATAREADY) return 0;
    got = UDPRead(channel, text, sizeof text - 1, UDP_DO_NOT_WAIT, NULL, NULL);
    if (got > 0) {
        text[got] = '\0';
        take_announcement(text);
    }
    return 0;
}

int viewer_open(void) {
    int status;
    server_port = RegisterTCPServer(0, server_event, NULL);
    if (server_port <= 0) {
        printf("the viewer's server did not start: %s\n", GetTCPErrorString(server_port));
        server_port = 0;
        return -1;
    }
    status = ConnectToTCPServer(&viewer, (unsigned int)server_port, LOOPBACK, viewer_event, NULL, IO_TIMEOUT_MS);
    if (status < 0) {
        printf("the viewer did not connect: %s\n", GetTCPErrorString(status));
        return -1;
    }
    viewer_open_ = 1;
    if ((status = CreateUDPChannelConfig(0, LOOPBACK, 1, NULL, NULL, &announcer)) < 0 ||
        (status = CreateUDPChannelConfig(0, LOOPBACK, 1, announcement_event, NULL, &listener)) < 0 ||
        (status = GetUDPAttribute(listener, ATTR_UDP_PORT, &listener_port)) < 0) {
        printf("the announcement channels did not open: %s\n", GetUDPErrorString(status));
        return -1;
    }
    return 0;
}

int viewer_connected(void) { return server_connected; }

int viewer_send_scan(int channel, long samples, double mean, const float *preview, int count) {
    ScanRecord record;
    const char *at = (const char *)&record;
    size_t left = sizeof record;
    char line[128];
    int status;
    memset(&record, 0, sizeof record);
    record.channel = channel;
    record.samples = (int)samples;
    record.count = count < VIEWER_PREVIEW ? count : VIEWER_PREVIEW;
    record.sequence = sent_records++;
    record.mean = mean;
    memcpy(record.preview, preview, (size_t)record.count * sizeof record.preview[0]);
    while (left > 0) {
        status = ServerTCPWrite(server_connection, at, left, IO_TIMEOUT_MS);
        if (status <= 0) {
            printf("sending scan %d to the viewer failed: %s\n", channel, GetTCPErrorString(status));
            return -1;
        }
        at += status;
        left -= (size_t)status;
    }
    sprintf(line, "scan %d done: %ld samples, mean %+.4f", channel, samples, mean);
    status = UDPWrite(announcer, listener_port, LOOPBACK, line, (unsigned int)strlen(line));
    if (status < 0) {
        printf("announcing scan %d failed: %s\n", channel, GetUDPErrorString(status));
        return -1;
    }
    return 0;
}

int viewer_finish(int scans, const double *means) {
    int status, channel, ok = 1;
    char text[128];
    /* What the event callbacks have not taken yet. A read's wait delivers
       the thread's TCP events too, so the viewer's own callback may take the
       last record while this read waits for it. */
    while (records_in < scans) {
        status = viewer_read(IO_TIMEOUT_MS);
        if (status < 0 && records_in < scans) {
            printf("the viewer's read ended: %s\n", GetTCPErrorString(status));
            break;
        }
    }
    while (announcements_in < scans) {
        status = UDPRead(listener, text, sizeof text - 1, IO_TIMEOUT_MS, NULL, NULL);
        if (status < 0) {
            printf("the viewer's announcement read ended: %s\n", GetUDPErrorString(status));
            break;
        }
        text[status] = '\0';
        take_announcement(text);
    }
    if (records_in != scans || announcements_in != scans || bad_records != 0 || bad_announcements != 0) ok = 0;
    for (channel = 0; channel < scans && channel < MAX_SCANS; ++channel)
        if (record_seen[channel] != 1 || announcement_seen[channel] != 1 || mean_in[channel] != means[channel]) ok = 0;
    printf("the remote viewer received %d of %d scan records over TCP (%ld bytes, %d preview samples, %s) and %d of %d "
           "UDP announcements\n",
           records_in, scans, bytes_in, previews_in, ok ? "every mean as computed" : "NOT as sent", announcements_in,
           scans);
    return ok ? 0 : -1;
}

void viewer_close(void) {
    if (viewer_open_) DisconnectFromTCPServer(viewer);
    if (server_port > 0) UnregisterTCPServer((unsigned int)server_port);
    if (announcer != 0) DisposeUDPChannel(announcer);
    if (listener != 0) DisposeUDPChannel(listener);
    viewer_open_ = 0;
    server_port = 0;
    announcer = listener = 0;
}
