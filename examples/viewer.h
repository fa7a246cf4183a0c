/* The acquisition's remote viewer: a TCP server of the demo's own, a client
   connected to it that plays a viewer elsewhere on the network, and a UDP
   channel on 127.0.0.1 that hears each scan's one-line announcement. */
#ifndef DEMO_VIEWER_H
#define DEMO_VIEWER_H

#define VIEWER_PREVIEW 200 /* samples of a scan sent to the viewer */

/* Registers the server on a free port, connects the viewer and opens the
   announcement channels: 0, or -1 after saying what failed. */
int viewer_open(void);
/* Whether the server has taken the viewer's connection (its connect event
   is delivered by ProcessSystemEvents). */
int viewer_connected(void);
/* Sends a finished scan to the viewer over TCP and announces it by UDP:
   0, or -1 after saying what failed. */
int viewer_send_scan(int channel, long samples, double mean, const float *preview, int count);
/* Reads what the viewer still has coming, each read with a time-out, and
   prints what it received: 0 when every scan came through both ways with the
   mean that was sent. */
int viewer_finish(int scans, const double *means);
void viewer_close(void);

#endif
