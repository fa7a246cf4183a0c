// What the session layer (visa32.cpp) needs of a serial port; one source
// per platform (port_posix.cpp, port_win32.cpp) provides it.
#pragma once

#include <cstddef>
#include <string>

#include "kez_visa.h"

namespace kezvisa {

// The line settings a port has.
struct Settings {
    ViUInt32 baud = 9600;
    ViUInt16 data_bits = 8;
    ViUInt16 parity = VI_ASRL_PAR_NONE;
    ViUInt16 stop_bits = VI_ASRL_STOP_ONE;
    ViUInt16 flow = VI_ASRL_FLOW_NONE;
    ViUInt8 xon = 0x11;
    ViUInt8 xoff = 0x13;
};

enum class Line { cts, dsr, dcd, ri, dtr, rts };

struct Port;

// Whether COMn exists.
bool port_present(int n);
// The device behind COMn, for the interface instance name.
std::string port_device(int n);
// Opens COMn for this process alone: VI_ERROR_RSRC_NFOUND, VI_ERROR_RSRC_BUSY
// (another opener), VI_ERROR_SYSTEM_ERROR. The port is raw, 9600 8N1.
ViStatus port_open(int n, Port **out);
// Ends any port_read_some or port_write_some under way for good.
void port_cancel(Port *p);
void port_close(Port *p);
// Sets the settings (each checked first: VI_ERROR_NSUP_ATTR_STATE when the
// port cannot have one) and stores in *have what the device then has.
ViStatus port_apply(Port *p, const Settings &want, Settings *have);
// Blocks until bytes arrive or the port is cancelled: the count read, 0
// after a cancel, -1 when the device failed.
long port_read_some(Port *p, unsigned char *buf, std::size_t max);
// Writes what the device takes within wait_ms: the count, 0 on nothing in
// time (or a cancel), -1 when the device failed.
long port_write_some(Port *p, const unsigned char *buf, std::size_t n, unsigned wait_ms);
// Bytes the driver holds that port_read_some has not returned yet.
std::size_t port_driver_pending(Port *p);
// VI_STATE_ASSERTED, VI_STATE_UNASSERTED or VI_STATE_UNKNOWN (no modem lines).
ViInt16 port_line(Port *p, Line line);
// VI_SUCCESS, or VI_WARN_NSUP_ATTR_STATE without such a line.
ViStatus port_set_line(Port *p, Line line, bool asserted);
ViStatus port_set_break(Port *p, bool on);
// Stops or resumes transmission as a received XOFF or XON would.
ViStatus port_allow_transmit(Port *p, bool on);
// VI_TRUE/VI_FALSE in *connected, or VI_ERROR_NSUP_ATTR when it cannot tell.
ViStatus port_connected(Port *p, ViBoolean *connected);
void port_discard_input(Port *p);
void port_discard_output(Port *p);
void port_drain(Port *p);

}  // namespace kezvisa
