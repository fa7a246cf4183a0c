// Serial ports on Windows: \\.\COMn through CreateFile with overlapped I/O.
// A port is this process's alone: besides the exclusive open, a named
// mutex per port exists while a session holds it (Wine lets a port be
// opened twice). Ports present: the registry's SERIALCOMM list plus a
// zero-access open of each name (the only way under Wine, whose ports are
// links in the prefix's dosdevices).
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "port.h"

namespace kezvisa {

struct Port {
    HANDLE h = INVALID_HANDLE_VALUE;
    HANDLE mutex = nullptr;   // this port's claim
    HANDLE cancel = nullptr;  // manual-reset: set once the port closes
    HANDLE read_done = nullptr;
    HANDLE write_done = nullptr;
};

namespace {

const ViUInt32 kRates[] = {110,    300,    600,    1200,   2400,   4800,   9600,    14400,   19200,  38400,
                           57600,  115200, 128000, 230400, 256000, 460800, 921600, 1000000, 2000000, 3000000};

std::wstring device_path(int n) { return L"\\\\.\\COM" + std::to_wstring(n); }

bool in_registry(int n) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    const std::wstring want = L"COM" + std::to_wstring(n);
    bool found = false;
    for (DWORD i = 0; !found; ++i) {
        wchar_t name[256], data[256];
        DWORD name_len = 256, data_len = sizeof data, type = 0;
        if (RegEnumValueW(key, i, name, &name_len, nullptr, &type, reinterpret_cast<BYTE *>(data), &data_len) !=
            ERROR_SUCCESS)
            break;
        if (type == REG_SZ && data_len >= sizeof(wchar_t)) {
            data[std::min<DWORD>(data_len / sizeof(wchar_t), 255)] = L'\0';
            found = _wcsicmp(data, want.c_str()) == 0;
        }
    }
    RegCloseKey(key);
    return found;
}


}  // namespace

bool port_present(int n) {
    if (in_registry(n)) return true;
    HANDLE h = CreateFileW(device_path(n).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        return true;
    }
    const DWORD e = GetLastError();
    return e == ERROR_ACCESS_DENIED || e == ERROR_SHARING_VIOLATION;
}

std::string port_device(int n) { return "\\\\.\\COM" + std::to_string(n); }

ViStatus port_open(int n, Port **out) {
    *out = nullptr;
    wchar_t name[64];
    swprintf(name, 64, L"Local\\kez-visa32-COM%d", n);
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
    if (mutex == nullptr) return VI_ERROR_SYSTEM_ERROR;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        return VI_ERROR_RSRC_BUSY;
    }
    HANDLE h = CreateFileW(device_path(n).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        CloseHandle(mutex);
        if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) return VI_ERROR_RSRC_NFOUND;
        if (e == ERROR_ACCESS_DENIED || e == ERROR_SHARING_VIOLATION) return VI_ERROR_RSRC_BUSY;
        return VI_ERROR_SYSTEM_ERROR;
    }
    // Reads wait for one byte at most 200 ms at a time (WaitCommEvent fails
    // on Wine's pseudo-terminal ports); writes have no time-out of their own.
    COMMTIMEOUTS t{};
    t.ReadTotalTimeoutConstant = 200;
    SetCommTimeouts(h, &t);
    Port *p = new Port;
    p->h = h;
    p->mutex = mutex;
    p->cancel = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    p->read_done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    p->write_done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    *out = p;
    return VI_SUCCESS;
}

void port_cancel(Port *p) { SetEvent(p->cancel); }

void port_close(Port *p) {
    if (p == nullptr) return;
    CloseHandle(p->h);
    CloseHandle(p->mutex);
    CloseHandle(p->cancel);
    CloseHandle(p->read_done);
    CloseHandle(p->write_done);
    delete p;
}

ViStatus port_apply(Port *p, const Settings &want, Settings *have) {
    bool known = false;
    for (ViUInt32 r : kRates) known = known || r == want.baud;
    if (!known) return VI_ERROR_NSUP_ATTR_STATE;
    DCB d{};
    d.DCBlength = sizeof d;
    if (!GetCommState(p->h, &d)) return VI_ERROR_IO;
    d.BaudRate = want.baud;
    d.fBinary = TRUE;
    d.ByteSize = static_cast<BYTE>(want.data_bits);
    d.Parity = static_cast<BYTE>(want.parity);  // NOPARITY.. SPACEPARITY number as VISA's
    d.StopBits = want.stop_bits == VI_ASRL_STOP_TWO ? TWOSTOPBITS
                 : want.stop_bits == VI_ASRL_STOP_ONE5 ? ONE5STOPBITS
                                                       : ONESTOPBIT;
    d.fParity = want.parity != VI_ASRL_PAR_NONE;
    const bool xon = (want.flow & VI_ASRL_FLOW_XON_XOFF) != 0;
    d.fOutX = d.fInX = xon;
    d.XonChar = static_cast<char>(want.xon);
    d.XoffChar = static_cast<char>(want.xoff);
    d.XonLim = 512;
    d.XoffLim = 512;
    d.fOutxCtsFlow = (want.flow & VI_ASRL_FLOW_RTS_CTS) != 0;
    d.fRtsControl = d.fOutxCtsFlow ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    d.fOutxDsrFlow = (want.flow & VI_ASRL_FLOW_DTR_DSR) != 0;
    d.fDtrControl = d.fOutxDsrFlow ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_ENABLE;
    d.fDsrSensitivity = FALSE;
    d.fAbortOnError = FALSE;
    d.fNull = FALSE;
    SetCommState(p->h, &d);  // what the device took is read back either way
    DCB got{};
    got.DCBlength = sizeof got;
    if (!GetCommState(p->h, &got)) return VI_ERROR_IO;
    have->baud = got.BaudRate;
    have->data_bits = got.ByteSize;
    have->parity = got.Parity;
    have->stop_bits = got.StopBits == TWOSTOPBITS ? VI_ASRL_STOP_TWO
                      : got.StopBits == ONE5STOPBITS ? VI_ASRL_STOP_ONE5
                                                     : VI_ASRL_STOP_ONE;
    have->flow = static_cast<ViUInt16>((got.fOutX ? VI_ASRL_FLOW_XON_XOFF : 0) |
                                       (got.fOutxCtsFlow ? VI_ASRL_FLOW_RTS_CTS : 0) |
                                       (got.fOutxDsrFlow ? VI_ASRL_FLOW_DTR_DSR : 0));
    have->xon = static_cast<ViUInt8>(got.XonChar);
    have->xoff = static_cast<ViUInt8>(got.XoffChar);
    return VI_SUCCESS;
}

// Waits for an overlapped operation up to wait_ms or the cancel, then ends
// it: 1 done, 0 cancelled or timed out (*count may be partial), -1 failed.
static int finish(Port *p, OVERLAPPED *o, DWORD wait_ms, DWORD *count) {
    HANDLE waits[2] = {o->hEvent, p->cancel};
    const DWORD w = WaitForMultipleObjects(2, waits, FALSE, wait_ms);
    if (w != WAIT_OBJECT_0) CancelIoEx(p->h, o);
    *count = 0;
    if (GetOverlappedResult(p->h, o, count, TRUE)) return 1;
    const DWORD e = GetLastError();
    return e == ERROR_OPERATION_ABORTED || e == ERROR_TIMEOUT ? 0 : -1;
}

static bool cancelled(Port *p) { return WaitForSingleObject(p->cancel, 0) == WAIT_OBJECT_0; }

long port_read_some(Port *p, unsigned char *buf, std::size_t max) {
    for (;;) {
        if (cancelled(p)) return 0;
        OVERLAPPED o{};
        o.hEvent = p->read_done;
        ResetEvent(o.hEvent);
        DWORD got = 0;
        if (!ReadFile(p->h, buf, 1, nullptr, &o)) {
            const DWORD e = GetLastError();
            if (e == ERROR_TIMEOUT) continue;  // Wine: the total time-out passed
            if (e != ERROR_IO_PENDING) return -1;
        }
        if (finish(p, &o, INFINITE, &got) < 0) return -1;
        if (got == 0) continue;  // the time-out passed (Windows: 0 bytes) or a cancel
        // More already waiting comes at once.
        DWORD errors = 0;
        COMSTAT st{};
        if (max > 1 && ClearCommError(p->h, &errors, &st) && st.cbInQue > 0) {
            OVERLAPPED more{};
            more.hEvent = p->read_done;
            ResetEvent(more.hEvent);
            DWORD n = 0;
            const DWORD want = static_cast<DWORD>(std::min<std::size_t>(st.cbInQue, max - 1));
            if (ReadFile(p->h, buf + 1, want, nullptr, &more) || GetLastError() == ERROR_IO_PENDING) {
                finish(p, &more, INFINITE, &n);
                got += n;
            }
        }
        return static_cast<long>(got);
    }
}

long port_write_some(Port *p, const unsigned char *buf, std::size_t n, unsigned wait_ms) {
    OVERLAPPED o{};
    o.hEvent = p->write_done;
    ResetEvent(o.hEvent);
    DWORD done = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(n, 4096));
    if (!WriteFile(p->h, buf, want, nullptr, &o) && GetLastError() != ERROR_IO_PENDING) return -1;
    if (finish(p, &o, wait_ms, &done) < 0) return -1;
    return static_cast<long>(done);
}

std::size_t port_driver_pending(Port *p) {
    DWORD errors = 0;
    COMSTAT st{};
    return ClearCommError(p->h, &errors, &st) ? st.cbInQue : 0;
}

ViInt16 port_line(Port *p, Line line) {
    DWORD bits = 0;
    if (!GetCommModemStatus(p->h, &bits)) return VI_STATE_UNKNOWN;
    DWORD mask = 0;
    switch (line) {
    case Line::cts: mask = MS_CTS_ON; break;
    case Line::dsr: mask = MS_DSR_ON; break;
    case Line::dcd: mask = MS_RLSD_ON; break;
    case Line::ri: mask = MS_RING_ON; break;
    case Line::dtr: case Line::rts: {
        DCB d{};
        d.DCBlength = sizeof d;
        if (!GetCommState(p->h, &d)) return VI_STATE_UNKNOWN;
        const bool on = line == Line::dtr ? d.fDtrControl != DTR_CONTROL_DISABLE : d.fRtsControl != RTS_CONTROL_DISABLE;
        return on ? VI_STATE_ASSERTED : VI_STATE_UNASSERTED;
    }
    }
    return (bits & mask) != 0 ? VI_STATE_ASSERTED : VI_STATE_UNASSERTED;
}

ViStatus port_set_line(Port *p, Line line, bool asserted) {
    const DWORD f = line == Line::dtr ? (asserted ? SETDTR : CLRDTR) : (asserted ? SETRTS : CLRRTS);
    DWORD bits = 0;
    // Without modem lines (a pseudo-terminal under Wine) there is nothing to set.
    if (!GetCommModemStatus(p->h, &bits)) return VI_WARN_NSUP_ATTR_STATE;
    return EscapeCommFunction(p->h, f) ? VI_SUCCESS : VI_WARN_NSUP_ATTR_STATE;
}

ViStatus port_set_break(Port *p, bool on) {
    return (on ? SetCommBreak(p->h) : ClearCommBreak(p->h)) ? VI_SUCCESS : VI_WARN_NSUP_ATTR_STATE;
}

ViStatus port_allow_transmit(Port *p, bool on) {
    return EscapeCommFunction(p->h, on ? SETXON : SETXOFF) ? VI_SUCCESS : VI_ERROR_NSUP_ATTR_STATE;
}

ViStatus port_connected(Port *p, ViBoolean *connected) {
    DWORD bits = 0;
    if (!GetCommModemStatus(p->h, &bits)) return VI_ERROR_NSUP_ATTR;
    *connected = (bits & MS_RLSD_ON) != 0 ? VI_TRUE : VI_FALSE;
    return VI_SUCCESS;
}

void port_discard_input(Port *p) { PurgeComm(p->h, PURGE_RXCLEAR); }
void port_discard_output(Port *p) { PurgeComm(p->h, PURGE_TXCLEAR); }
void port_drain(Port *p) { FlushFileBuffers(p->h); }

}  // namespace kezvisa
