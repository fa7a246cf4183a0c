// Serial ports on Linux through termios. COMn is $KEZ_SERIAL_DIR/comN when
// that variable is set (a link to any terminal device, pseudo-terminals
// included), else /dev/ttyS<n-1>. A port is this process's alone: flock on
// the device (TIOCEXCL alone would not stop root).
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "port.h"

namespace kezvisa {

struct Port {
    int fd = -1;
    int wake[2] = {-1, -1};  // readable once cancelled
};

namespace {

std::string port_path(int n) {
    const char *dir = getenv("KEZ_SERIAL_DIR");
    if (dir != nullptr && *dir != '\0') return std::string(dir) + "/com" + std::to_string(n);
    return "/dev/ttyS" + std::to_string(n - 1);
}

struct BaudRate {
    ViUInt32 baud;
    speed_t code;
};
const BaudRate kRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

bool modem_bits(Port *p, int *bits) { return ioctl(p->fd, TIOCMGET, bits) == 0; }

int line_bit(Line line) {
    switch (line) {
    case Line::cts: return TIOCM_CTS;
    case Line::dsr: return TIOCM_DSR;
    case Line::dcd: return TIOCM_CAR;
    case Line::ri: return TIOCM_RNG;
    case Line::dtr: return TIOCM_DTR;
    case Line::rts: return TIOCM_RTS;
    }
    return 0;
}

}  // namespace

bool port_present(int n) {
    struct stat st;
    return stat(port_path(n).c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

std::string port_device(int n) {
    const std::string path = port_path(n);
    char real[PATH_MAX];
    if (realpath(path.c_str(), real) != nullptr) return real;
    return path;
}

ViStatus port_open(int n, Port **out) {
    *out = nullptr;
    if (!port_present(n)) return VI_ERROR_RSRC_NFOUND;
    const int fd = open(port_path(n).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? VI_ERROR_RSRC_NFOUND : errno == EBUSY ? VI_ERROR_RSRC_BUSY
                                                                                : VI_ERROR_SYSTEM_ERROR;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int e = errno;
        close(fd);
        return e == EWOULDBLOCK ? VI_ERROR_RSRC_BUSY : VI_ERROR_SYSTEM_ERROR;
    }
    termios t;
    if (tcgetattr(fd, &t) != 0) {
        close(fd);
        return VI_ERROR_SYSTEM_ERROR;
    }
    ioctl(fd, TIOCEXCL);
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &t);
    Port *p = new Port;
    p->fd = fd;
    if (pipe2(p->wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        close(fd);
        delete p;
        return VI_ERROR_SYSTEM_ERROR;
    }
    *out = p;
    return VI_SUCCESS;
}

void port_cancel(Port *p) {
    const char b = 1;
    (void)!write(p->wake[1], &b, 1);  // never drained: stays readable
}

void port_close(Port *p) {
    if (p == nullptr) return;
    ioctl(p->fd, TIOCNXCL);
    close(p->fd);  // also releases the flock
    close(p->wake[0]);
    close(p->wake[1]);
    delete p;
}

ViStatus port_apply(Port *p, const Settings &want, Settings *have) {
    termios t;
    if (tcgetattr(p->fd, &t) != 0) return VI_ERROR_IO;
    speed_t code = 0;
    bool known = false;
    for (const BaudRate &r : kRates)
        if (r.baud == want.baud) {
            code = r.code;
            known = true;
        }
    if (!known || want.stop_bits == VI_ASRL_STOP_ONE5 || want.parity == VI_ASRL_PAR_MARK ||
        want.parity == VI_ASRL_PAR_SPACE || (want.flow & VI_ASRL_FLOW_DTR_DSR) != 0)
        return VI_ERROR_NSUP_ATTR_STATE;
    cfsetispeed(&t, code);
    cfsetospeed(&t, code);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    t.c_cflag |= want.data_bits == 5 ? CS5 : want.data_bits == 6 ? CS6 : want.data_bits == 7 ? CS7 : CS8;
    if (want.parity == VI_ASRL_PAR_ODD) t.c_cflag |= PARENB | PARODD;
    if (want.parity == VI_ASRL_PAR_EVEN) t.c_cflag |= PARENB;
    if (want.stop_bits == VI_ASRL_STOP_TWO) t.c_cflag |= CSTOPB;
    if ((want.flow & VI_ASRL_FLOW_RTS_CTS) != 0) t.c_cflag |= CRTSCTS;
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    if ((want.flow & VI_ASRL_FLOW_XON_XOFF) != 0) t.c_iflag |= IXON | IXOFF;
    t.c_cc[VSTART] = want.xon;
    t.c_cc[VSTOP] = want.xoff;
    // A pseudo-terminal keeps 8 bits without parity, and fails the call
    // when that was all it was asked to change: what it has is read back
    // either way.
    tcsetattr(p->fd, TCSANOW, &t);
    if (tcgetattr(p->fd, &t) != 0) return VI_ERROR_IO;
    const speed_t got = cfgetospeed(&t);
    have->baud = 0;
    for (const BaudRate &r : kRates)
        if (r.code == got) have->baud = r.baud;
    const tcflag_t size = t.c_cflag & CSIZE;
    have->data_bits = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
    have->parity = (t.c_cflag & PARENB) == 0 ? VI_ASRL_PAR_NONE
                   : (t.c_cflag & PARODD) != 0 ? VI_ASRL_PAR_ODD
                                               : VI_ASRL_PAR_EVEN;
    have->stop_bits = (t.c_cflag & CSTOPB) != 0 ? VI_ASRL_STOP_TWO : VI_ASRL_STOP_ONE;
    have->flow = static_cast<ViUInt16>(((t.c_iflag & IXON) != 0 ? VI_ASRL_FLOW_XON_XOFF : 0) |
                                       ((t.c_cflag & CRTSCTS) != 0 ? VI_ASRL_FLOW_RTS_CTS : 0));
    have->xon = t.c_cc[VSTART];
    have->xoff = t.c_cc[VSTOP];
    return VI_SUCCESS;
}

long port_read_some(Port *p, unsigned char *buf, std::size_t max) {
    for (;;) {
        pollfd fds[2] = {{p->fd, POLLIN, 0}, {p->wake[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (fds[1].revents != 0) return 0;
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) == 0) continue;
        const ssize_t n = read(p->fd, buf, max);
        if (n > 0) return static_cast<long>(n);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        return -1;  // hung up or failed
    }
}

long port_write_some(Port *p, const unsigned char *buf, std::size_t n, unsigned wait_ms) {
    for (;;) {
        const ssize_t w = write(p->fd, buf, n);
        if (w >= 0) return static_cast<long>(w);
        if (errno == EINTR) continue;
        if (errno != EAGAIN) return -1;
        pollfd fds[2] = {{p->fd, POLLOUT, 0}, {p->wake[0], POLLIN, 0}};
        const int r = poll(fds, 2, static_cast<int>(wait_ms));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0 || fds[1].revents != 0) return 0;
        if ((fds[0].revents & (POLLERR | POLLNVAL)) != 0) return -1;
        if ((fds[0].revents & POLLHUP) != 0 && (fds[0].revents & POLLOUT) == 0) return -1;
    }
}

std::size_t port_driver_pending(Port *p) {
    int n = 0;
    return ioctl(p->fd, FIONREAD, &n) == 0 && n > 0 ? static_cast<std::size_t>(n) : 0;
}

ViInt16 port_line(Port *p, Line line) {
    int bits = 0;
    if (!modem_bits(p, &bits)) return VI_STATE_UNKNOWN;
    return (bits & line_bit(line)) != 0 ? VI_STATE_ASSERTED : VI_STATE_UNASSERTED;
}

ViStatus port_set_line(Port *p, Line line, bool asserted) {
    int bit = line_bit(line);
    return ioctl(p->fd, asserted ? TIOCMBIS : TIOCMBIC, &bit) == 0 ? VI_SUCCESS : VI_WARN_NSUP_ATTR_STATE;
}

ViStatus port_set_break(Port *p, bool on) {
    return ioctl(p->fd, on ? TIOCSBRK : TIOCCBRK) == 0 ? VI_SUCCESS : VI_WARN_NSUP_ATTR_STATE;
}

ViStatus port_allow_transmit(Port *p, bool on) {
    return tcflow(p->fd, on ? TCOON : TCOOFF) == 0 ? VI_SUCCESS : VI_ERROR_NSUP_ATTR_STATE;
}

ViStatus port_connected(Port *p, ViBoolean *connected) {
    int bits = 0;
    if (!modem_bits(p, &bits)) return VI_ERROR_NSUP_ATTR;
    *connected = (bits & TIOCM_CAR) != 0 ? VI_TRUE : VI_FALSE;
    return VI_SUCCESS;
}

void port_discard_input(Port *p) { tcflush(p->fd, TCIFLUSH); }
void port_discard_output(Port *p) { tcflush(p->fd, TCOFLUSH); }
void port_drain(Port *p) { tcdrain(p->fd); }

}  // namespace kezvisa
