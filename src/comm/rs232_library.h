// The RS-232 library's port records and the services its parts share
// (ports, transfers, the writer, events, XModem).
//
// A port record is created at a port's first open and lives until unload.
// Its port lock serialises open, close and settings only. Reads, writes and
// transfers pin the open session instead: pin_open() counts them in, and
// CloseCom marks the session closing (new pins and every pinned wait end
// with -3 within one slice), waits for the pins to go, then closes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kez/rs232.h"

namespace kez::comm::rs232 {

constexpr int kMaxPort = 1000;

struct Port;

// Pins port `number`'s open session: 0 and the port, -2 outside 1..1000, -3
// when it is not open (or closing).
int pin_open(int number, Port **out);
void unpin(Port *p);

// A call's result and the status it leaves: a transfer that timed out
// returns its count and leaves -99.
struct Outcome {
    Outcome(int v) : value(v), status(v < 0 ? v : 0) {}  // NOLINT: a plain result converts
    Outcome(int v, int s) : value(v), status(s) {}
    int value;
    int status;
};
// Stores the status as the calling thread's and the process's last status
// and logs a negative one at WARNING under `function`; returns the value.
int finish(const char *function, Outcome outcome);
#define RS232_RESULT(code) ::kez::comm::rs232::finish(__func__, (code))

// Transfers on a pinned port. `timeout_ms` is an inactivity time-out (0 never
// expires) used instead of the port's own; -3 when the port closes meanwhile.
// The result is 0, -99 on time-out, or another negative code; *done counts
// the bytes moved either way.
int read_bytes(Port *p, char *buffer, std::size_t count, std::uint32_t timeout_ms, std::size_t *done);
int write_bytes(Port *p, const char *buffer, std::size_t count, std::uint32_t timeout_ms, std::size_t *done);
// Waits until everything queued has reached the device, or until
// `timeout_ms` passes without progress (-99); -3 when the port closes.
int drain_output(Port *p, std::uint32_t timeout_ms);
// Puts one byte back at the front of the read-ahead list.
void put_back(Port *p, unsigned char byte);
int flush_input(Port *p);   // FlushInQ
int flush_output(Port *p);  // FlushOutQ
std::uint32_t port_timeout_ms(Port *p);
int input_queue_size(Port *p);

// The settings a transfer changes and restores.
struct LineSettings {
    int parity;
    int data_bits;
    int stop_bits;
    int xon;
};
// Saves the current settings and applies 8 data bits, no parity, 1 stop bit
// and no XON/XOFF: 0 or an error (the settings are then restored).
int enter_binary_mode(Port *p, LineSettings *saved);
int restore_settings(Port *p, const LineSettings &saved);

// These four take the port lock and may be called holding a pin; on a port
// that is closing they give up (-3, or the defaults) rather than wait.
// XModem settings kept in the port record.
struct XModemSettings {
    double start_delay_s;
    int maximum_tries;
    double wait_period_s;
    int packet_size;
};
XModemSettings xmodem_settings(Port *p);
void set_xmodem_settings(Port *p, const XModemSettings &s);
void reset_xmodem_settings(Port *p);

// Seconds to whole milliseconds for time-outs: a fraction of a millisecond
// rounds up to 1 ms (0 stays 0); false for NaN, negative values or 2^31 ms
// and more.
bool seconds_to_ms(double seconds, std::uint32_t *ms);

// Engine life.
int PXRS232Initialize();
void PXRS232Uninitialize();
int ProcessRS232Events();

}  // namespace kez::comm::rs232
