/* Two real serial ports joined by a null-modem cable (TX to RX, RTS to
   CTS, DTR to DSR, each way): checks what only hardware can show through
   the engine's RS-232 library.

     kez_serial_loopback PORT_A PORT_B [BAUD ...]

   PORT_A and PORT_B are port numbers (COMn). For each baud rate (default
   9600 19200 57600 115200) a pattern goes each way at once and must arrive
   byte for byte; then, at 9600 baud, port A with RTS/CTS handshaking must
   hold its output while B deasserts RTS and send it all once B asserts it
   again; B's DTR must show as A's DSR; and a break sent by A must reach B
   as status bit 128 and event 64. Prints one line a check; the exit status
   is 0 when every check passed. On Linux tools/serial-loopback-test.sh
   builds this program and names the devices. */
#include "kez/ansi_c.h" /* the engine's C library */
#include "kez/kez.h"

#define PATTERN_BYTES 1024
#define HELD_BYTES 64

static int g_failed = 0;

static void report(const char *check, int ok, const char *detail) {
    printf("%-34s %s%s%s\n", check, ok ? "ok" : "FAILED", detail[0] != '\0' ? ": " : "", detail);
    if (!ok) g_failed = 1;
}

static void fill(unsigned char *buffer, int n, int seed) {
    int i;
    for (i = 0; i < n; ++i) buffer[i] = (unsigned char)((seed + i * 7) & 0xFF);
}

/* The first index where got differs from want, -1 when none does. */
static int first_difference(const unsigned char *want, const unsigned char *got, int n) {
    int i;
    for (i = 0; i < n; ++i)
        if (want[i] != got[i]) return i;
    return -1;
}

static int open_both(int a, int b, int baud) {
    int status = OpenComConfig(a, "", baud, 0, 8, 1, 4096, 4096);
    if (status == 0) status = OpenComConfig(b, "", baud, 0, 8, 1, 4096, 4096);
    if (status != 0) {
        char detail[256];
        snprintf(detail, sizeof detail, "open at %d baud: %d %s", baud, status, GetRS232ErrorString(status));
        report("open both ports", 0, detail);
    }
    return status;
}

static void close_both(int a, int b) {
    CloseCom(a);
    CloseCom(b);
}

/* A pattern each way at once: both writes are queued, then both reads. */
static void check_patterns(int a, int b, int baud) {
    static unsigned char out_a[PATTERN_BYTES], out_b[PATTERN_BYTES], in_a[PATTERN_BYTES], in_b[PATTERN_BYTES];
    char check[64], detail[160] = "";
    int wrote_a, wrote_b, got_a, got_b, diff_a, diff_b;
    /* Twice the line time of the pattern, and two seconds more. */
    const double seconds = 2.0 + 2.0 * PATTERN_BYTES * 10.0 / baud;
    snprintf(check, sizeof check, "%d baud, %d bytes each way", baud, PATTERN_BYTES);
    if (open_both(a, b, baud) != 0) return;
    SetComTime(a, seconds);
    SetComTime(b, seconds);
    fill(out_a, PATTERN_BYTES, 3);
    fill(out_b, PATTERN_BYTES, 101);
    memset(in_a, 0, sizeof in_a);
    memset(in_b, 0, sizeof in_b);
    wrote_a = ComWrt(a, (const char *)out_a, PATTERN_BYTES);
    wrote_b = ComWrt(b, (const char *)out_b, PATTERN_BYTES);
    got_b = ComRd(b, (char *)in_b, PATTERN_BYTES);
    got_a = ComRd(a, (char *)in_a, PATTERN_BYTES);
    diff_a = got_a > 0 ? first_difference(out_b, in_a, got_a) : -1;
    diff_b = got_b > 0 ? first_difference(out_a, in_b, got_b) : -1;
    if (wrote_a != PATTERN_BYTES || wrote_b != PATTERN_BYTES || got_a != PATTERN_BYTES || got_b != PATTERN_BYTES ||
        diff_a >= 0 || diff_b >= 0)
        snprintf(detail, sizeof detail, "A wrote %d, B read %d (first bad byte %d); B wrote %d, A read %d (%d)",
                 wrote_a, got_b, diff_b, wrote_b, got_a, diff_a);
    report(check, detail[0] == '\0', detail);
    close_both(a, b);
}

/* A writes with RTS/CTS handshaking while B holds its RTS low. */
static void check_rts_cts(int a, int b) {
    unsigned char out[HELD_BYTES], in[HELD_BYTES];
    char detail[200] = "";
    int cts_low, cts_high, held, rest = 0;
    if (open_both(a, b, 9600) != 0) return;
    SetCTSMode(a, 2);
    ComSetEscape(b, 4); /* B: RTS deasserted */
    SetComTime(b, 0.5);
    cts_low = GetComLineStatus(a);
    fill(out, HELD_BYTES, 55);
    ComWrt(a, (const char *)out, HELD_BYTES);
    held = ComRd(b, (char *)in, HELD_BYTES);
    if (held < 0) held = 0;
    ComSetEscape(b, 3); /* B: RTS asserted */
    SetComTime(b, 2.0);
    cts_high = GetComLineStatus(a);
    if (held < HELD_BYTES) rest = ComRd(b, (char *)in + held, HELD_BYTES - held);
    if (cts_low < 0 || (cts_low & COM_LINE_CTS) != 0 || cts_high < 0 || (cts_high & COM_LINE_CTS) == 0)
        snprintf(detail, sizeof detail, "A's line status with B's RTS low %d, high %d (CTS is %d)", cts_low, cts_high,
                 COM_LINE_CTS);
    /* A UART's transmit FIFO may already hold a few bytes when CTS drops. */
    else if (held >= 32)
        snprintf(detail, sizeof detail, "%d of %d bytes passed while CTS was low", held, HELD_BYTES);
    else if (held + rest != HELD_BYTES || first_difference(out, in, HELD_BYTES) >= 0)
        snprintf(detail, sizeof detail, "after CTS rose %d bytes arrived (%d before), first bad byte %d", rest, held,
                 first_difference(out, in, HELD_BYTES));
    report("RTS/CTS holds and releases output", detail[0] == '\0', detail);
    close_both(a, b);
}

static void check_dtr_dsr(int a, int b) {
    char detail[160] = "";
    int low, high;
    if (open_both(a, b, 9600) != 0) return;
    ComSetEscape(b, 6); /* B: DTR deasserted */
    SetComTime(b, 0.1);
    ComRdByte(b); /* a pause for the line to settle */
    low = GetComLineStatus(a);
    ComSetEscape(b, 5);
    ComRdByte(b);
    high = GetComLineStatus(a);
    if (low < 0 || (low & COM_LINE_DSR) != 0 || high < 0 || (high & COM_LINE_DSR) == 0)
        snprintf(detail, sizeof detail, "A's line status with B's DTR low %d, high %d (DSR is %d)", low, high,
                 COM_LINE_DSR);
    report("B's DTR is A's DSR", detail[0] == '\0', detail);
    close_both(a, b);
}

static void on_event(int port, int word, void *data) {
    (void)port;
    *(int *)data |= word;
}

static void check_break(int a, int b) {
    char detail[160] = "";
    int seen = 0, status = 0, tries;
    if (open_both(a, b, 9600) != 0) return;
    InstallComCallback(b, COM_EVENT_BREAK, 0, 0, on_event, &seen);
    SetComTime(b, 0.05);
    ComBreak(a, 300);
    for (tries = 0; tries < 40 && ((status & COM_STAT_BREAK) == 0 || (seen & COM_EVENT_BREAK) == 0); ++tries) {
        ComRdByte(b); /* a pause; a break may also arrive as a 0 byte */
        status |= GetComStat(b);
        ProcessSystemEvents();
    }
    if ((status & COM_STAT_BREAK) == 0 || (seen & COM_EVENT_BREAK) == 0)
        snprintf(detail, sizeof detail, "B's status %d (break is %d), events seen %d (break is %d)", status,
                 COM_STAT_BREAK, seen, COM_EVENT_BREAK);
    report("a break reaches B", detail[0] == '\0', detail);
    close_both(a, b);
}

int main(int argc, char **argv) {
    static const int default_bauds[] = {9600, 19200, 57600, 115200};
    int a, b, i;
    if (argc < 3) {
        fprintf(stderr, "usage: %s PORT_A PORT_B [BAUD ...]\n", argv[0]);
        return 2;
    }
    a = atoi(argv[1]);
    b = atoi(argv[2]);
    if (argc > 3) {
        for (i = 3; i < argc; ++i) check_patterns(a, b, atoi(argv[i]));
    } else {
        for (i = 0; i < (int)(sizeof default_bauds / sizeof default_bauds[0]); ++i)
            check_patterns(a, b, default_bauds[i]);
    }
    check_rts_cts(a, b);
    check_dtr_dsr(a, b);
    check_break(a, b);
    printf("%s\n", g_failed ? "some checks FAILED" : "every check passed");
    return g_failed ? 1 : 0;
}
