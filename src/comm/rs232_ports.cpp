// RS-232 ports: the record table, pins on open sessions, opening and
// closing, the line settings, and the alias table of serial resources.
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "comm/rs232_port.h"
#include "core/frame.h"
#include "debug/resource_tracking.h"

namespace kez::comm::rs232 {
namespace {

core::WordLock g_table_lock;
std::atomic<Port *> g_ports[kMaxPort + 1];
std::atomic<int> g_highest{0};

// Alias table: "COMn" style names of serial resources, learned from their
// instance names.
struct Alias {
    char alias[64];
    char resource[VI_FIND_BUFLEN];
};
core::WordLock g_alias_lock;
Alias *g_aliases = nullptr;
ViUInt32 g_alias_count = 0;

Port *create_record(int number) {
    g_table_lock.lock();
    Port *p = g_ports[number].load(std::memory_order_relaxed);
    if (p == nullptr) {
        p = new (std::nothrow) Port;
        if (p != nullptr) {
            p->number = number;
            g_ports[number].store(p, std::memory_order_release);
            if (number > g_highest.load()) g_highest.store(number);
        }
    }
    g_table_lock.unlock();
    return p;
}

bool equal_ignoring_case(const char *a, const char *b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b)
        if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b))) return false;
    return *a == *b;
}

bool find_alias(const char *name, char *resource) {
    for (ViUInt32 i = 0; i < g_alias_count; ++i)
        if (equal_ignoring_case(g_aliases[i].alias, name)) {
            std::snprintf(resource, VI_FIND_BUFLEN, "%s", g_aliases[i].resource);
            return true;
        }
    return false;
}

// The text after the first "(" up to the next blank (or ")").
void alias_of(const char *instance_name, char *alias, std::size_t size) {
    alias[0] = '\0';
    const char *open = std::strchr(instance_name, '(');
    if (open == nullptr) return;
    std::size_t n = 0;
    for (const char *q = open + 1; *q != '\0' && *q != ' ' && *q != ')' && n + 1 < size; ++q) alias[n++] = *q;
    alias[n] = '\0';
}

// Rebuilds the alias table. Called when a name is not in the table: a
// different set of the same number of ports must not leave the table stale.
void refresh_aliases(ViSession rm) {
    ViFindList list = VI_NULL;
    ViUInt32 count = 0;
    char description[VI_FIND_BUFLEN] = {};
    if (visa::FindRsrc(rm, "ASRL?*INSTR", &list, &count, description) < 0) count = 0;
    g_alias_lock.lock();
    {
        delete[] g_aliases;
        g_aliases = count > 0 ? new (std::nothrow) Alias[count] : nullptr;
        g_alias_count = 0;
        for (ViUInt32 i = 0; i < count && g_aliases != nullptr; ++i) {
            if (i > 0 && visa::FindNext(list, description) < 0) break;
            ViSession vi = VI_NULL;
            char instance[256] = {};
            if (visa::Open(rm, description, 0, 0, &vi) >= 0) {
                if (visa::GetAttribute(vi, VI_ATTR_INTF_INST_NAME, instance) < 0) instance[0] = '\0';
                visa::Close(vi);
            }
            Alias &a = g_aliases[g_alias_count];
            alias_of(instance, a.alias, sizeof a.alias);
            std::snprintf(a.resource, sizeof a.resource, "%s", description);
            if (a.alias[0] != '\0') ++g_alias_count;
        }
    }
    g_alias_lock.unlock();
    if (list != VI_NULL) visa::Close(list);
}

// The VISA resource for a device name: 0, or -6 when none matches.
int resource_for(ViSession rm, const char *name, char *resource) {
    static const char *const kFixed[] = {"COM1", "COM2", "COM3", "COM4"};
    for (int i = 0; i < 4; ++i)
        if (equal_ignoring_case(name, kFixed[i])) {
            std::snprintf(resource, VI_FIND_BUFLEN, "ASRL%d::INSTR", i + 1);
            return 0;
        }
    g_alias_lock.lock();
    bool found = find_alias(name, resource);
    g_alias_lock.unlock();
    if (found) return 0;
    refresh_aliases(rm);
    g_alias_lock.lock();
    found = find_alias(name, resource);
    g_alias_lock.unlock();
    return found ? 0 : -6;
}

int open_failure(ViStatus status) {
    set_last_visa_status(status);
    switch (static_cast<std::uint32_t>(status)) {
        case 0xBFFF003Cu: return -12;
        case 0xBFFF000Eu: case 0xBFFF0011u: case 0xBFFF0012u: case 0xBFFF0067u: return -5;
        case 0xBFFF000Fu: case 0xBFFF0072u: case 0xBFFF00A8u: return -7;
        case 0xBFFF0015u: return -99;
        default: return -1;
    }
}

void reset_record(Port *p) {
    p->baud = 9600;
    p->parity = 0;
    p->data_bits = 7;
    p->stop_bits = 1;
    p->in_queue = p->out_queue = 512;
    p->out_queue_disabled = false;
    p->timeout_ms.store(kDefaultTimeoutMs);
    p->xon = 0;
    p->cts = 0;
    p->dtr = 1;
    p->status_bits.store(0);
    p->xmodem = XModemSettings{10.0, 10, 10.0, 128};
    p->device[0] = '\0';
}

int queue_size(int requested) {
    if (requested == 0) return 512;
    return requested < 30 ? 30 : requested;
}

ViStatus set_attribute(Port *p, ViAttr attribute, ViAttrState value) {
    return visa::SetAttribute(p->vi.load(std::memory_order_relaxed), attribute, value);
}

constexpr ViEventType kOpenEvents[] = {VI_EVENT_EXCEPTION, VI_EVENT_ASRL_BREAK, VI_EVENT_ASRL_CHAR};
constexpr std::uint32_t kOpenEventBits[] = {128, 64, 1};

ViAddr user_handle(int port, std::uint32_t bit) {
    return reinterpret_cast<ViAddr>(static_cast<std::uintptr_t>((static_cast<std::uint32_t>(port) << 16) | bit));
}

void remove_handlers(Port *p, ViSession vi) {
    for (int i = 0; i < 3; ++i) {
        visa::DisableEvent(vi, kOpenEvents[i], VI_HNDLR);
        visa::UninstallHandler(vi, kOpenEvents[i], on_visa_event, user_handle(p->number, kOpenEventBits[i]));
    }
}

std::uint64_t tracking_key(int port) { return 0x4000000000000000ull | static_cast<std::uint64_t>(port); }

}  // namespace

Port *port_record(int number) {
    if (number < 1 || number > kMaxPort) return nullptr;
    return g_ports[number].load(std::memory_order_acquire);
}

int highest_port() { return g_highest.load(std::memory_order_acquire); }

int pin_open(int number, Port **out) {
    *out = nullptr;
    if (number < 1 || number > kMaxPort) return -2;
    Port *p = port_record(number);
    if (p == nullptr) return -3;
    p->state_lock.lock();
    const bool usable = p->open && !p->closing;
    if (usable) ++p->pins;
    p->state_lock.unlock();
    if (!usable) return -3;
    *out = p;
    return 0;
}

void unpin(Port *p) {
    p->state_lock.lock();
    const bool last = --p->pins == 0;
    if (last) p->pin_word.fetch_add(1);
    p->state_lock.unlock();
    if (last) os::wake_all(&p->pin_word);
}

std::uint32_t port_timeout_ms(Port *p) { return p->timeout_ms.load(); }
int input_queue_size(Port *p) { return p->in_queue; }

int apply_settings(Port *p) {
    const ViSession vi = p->vi.load(std::memory_order_relaxed);
    ViUInt16 old_flow = 0;
    const bool flow_known = visa::GetAttribute(vi, VI_ATTR_ASRL_FLOW_CNTRL, &old_flow) >= 0;
    struct Setting {
        ViAttr attribute;
        ViAttrState value;
        int unsupported;
    } const settings[] = {
        {VI_ATTR_ASRL_BAUD, static_cast<ViAttrState>(p->baud), -14},
        {VI_ATTR_ASRL_DATA_BITS, static_cast<ViAttrState>(p->data_bits), -34},
        {VI_ATTR_ASRL_PARITY, static_cast<ViAttrState>(p->parity), -24},
        {VI_ATTR_ASRL_STOP_BITS, static_cast<ViAttrState>(p->stop_bits == 2 ? VI_ASRL_STOP_TWO : VI_ASRL_STOP_ONE), -44},
    };
    for (const Setting &s : settings) {
        const ViStatus status = set_attribute(p, s.attribute, s.value);
        if (status == VI_ERROR_NSUP_ATTR_STATE) {
            set_last_visa_status(status);
            return s.unsupported;
        }
        if (status < 0) return translate(status);
    }
    const ViUInt16 flow = static_cast<ViUInt16>((p->xon ? VI_ASRL_FLOW_XON_XOFF : 0) |
                                                (p->cts ? VI_ASRL_FLOW_RTS_CTS : 0) |
                                                (p->dtr == 2 ? VI_ASRL_FLOW_DTR_DSR : 0));
    if (!flow_known || flow != old_flow) {
        const ViStatus status = set_attribute(p, VI_ATTR_ASRL_FLOW_CNTRL, flow);
        if (status < 0) return translate(status);
    }
    // Lines the device lacks (a pseudo-terminal) give warnings, not errors.
    if (p->dtr != 2) {
        const ViStatus status = set_attribute(p, VI_ATTR_ASRL_DTR_STATE, p->dtr == 1 ? VI_STATE_ASSERTED : VI_STATE_UNASSERTED);
        if (status < 0 && status != VI_ERROR_NSUP_ATTR) return translate(status);
    }
    if (!p->cts) {
        const ViStatus status = set_attribute(p, VI_ATTR_ASRL_RTS_STATE, VI_STATE_ASSERTED);
        if (status < 0 && status != VI_ERROR_NSUP_ATTR) return translate(status);
    }
    const ViAttr tail[] = {VI_ATTR_ASRL_XON_CHAR, VI_ATTR_ASRL_XOFF_CHAR, VI_ATTR_TMO_VALUE};
    const ViAttrState values[] = {17, 19, kSliceMs};  // writes wait at most one slice inside VISA
    for (int i = 0; i < 3; ++i) {
        const ViStatus status = set_attribute(p, tail[i], values[i]);
        if (status < 0) return translate(status);
    }
    p->device_timeout.store(kSliceMs);
    return 0;
}

int close_port(Port *p, bool may_wait) {
    p->state_lock.lock();
    p->closing = true;
    p->state_lock.unlock();
    // Waits see the closing within a slice; writers waiting for room at once.
    p->space_seq.fetch_add(1);
    os::wake_all(&p->space_seq);
    const ViSession vi = p->vi.load();
    int result = 0;
    if (may_wait) {
        // Pinned calls end within a slice; then what they queued reaches the
        // device before the session goes (until a time-out passes without
        // progress; with no time-out, the default one).
        p->state_lock.lock();
        while (p->pins != 0) {
            const std::uint32_t seen = p->pin_word.load();
            p->state_lock.unlock();
            wait_word(p->pin_word, seen, kSliceMs);
            p->state_lock.lock();
        }
        p->state_lock.unlock();
        const std::uint32_t limit = p->timeout_ms.load();
        drain_output(p, limit == 0 ? kDefaultTimeoutMs : limit);
    }
    stop_writer(p, may_wait);
    remove_callback(p, may_wait);
    if (may_wait) {
        remove_handlers(p, vi);
        if (visa::Flush(vi, VI_READ_BUF_DISCARD | VI_IO_IN_BUF_DISCARD) < 0) result = -5;
        set_attribute(p, VI_ATTR_ASRL_FLOW_CNTRL, VI_ASRL_FLOW_NONE);
        set_attribute(p, VI_ATTR_ASRL_DTR_STATE, VI_STATE_UNASSERTED);
        set_attribute(p, VI_ATTR_ASRL_RTS_STATE, VI_STATE_UNASSERTED);
        if (visa::Close(vi) < 0) result = -5;
        visa::Close(p->rm);
    }
    p->read_lock.lock();
    p->ahead.clear();
    p->read_lock.unlock();
    p->state_lock.lock();
    p->open = false;
    p->closing = false;
    p->session.fetch_add(1);
    p->vi.store(VI_NULL);
    p->rm = VI_NULL;
    p->state_lock.unlock();
    if (p->tracked) debug::resource_release(tracking_key(p->number));
    p->tracked = false;
    reset_record(p);
    return result;
}

namespace {

int open_port(int number, const char *device_name, int baud, int parity, int data_bits, int stop_bits, int in_queue,
              int out_queue) {
    if (number < 1 || number > kMaxPort) return -2;
    // Every argument is checked before an open port is touched.
    if (baud < 1) return -14;
    if (parity < 0 || parity >= 5) return -24;
    if (data_bits < 5 || data_bits > 8) return -34;
    if (stop_bits < 1 || stop_bits > 2) return -44;
    if (in_queue < 0) return -114;
    char name[kMaxDeviceName + 1];
    if (device_name == nullptr || device_name[0] == '\0')
        std::snprintf(name, sizeof name, "COM%d", number);
    else if (std::strlen(device_name) > kMaxDeviceName)
        return -6;
    else
        std::snprintf(name, sizeof name, "%s", device_name);
    Port *p = create_record(number);
    if (p == nullptr) return -11;

    p->port_lock.lock();
    if (p->open) close_port(p, true);
    int result = 0;
    ViSession rm = VI_NULL, vi = VI_NULL;
    char resource[VI_FIND_BUFLEN] = {};
    ViStatus status = visa::OpenDefaultRM(&rm);
    if (status < 0) {
        result = translate(status);
        rm = VI_NULL;
    }
    if (result == 0) result = resource_for(rm, name, resource);
    if (result == 0 && (status = visa::Open(rm, resource, 0, 0, &vi)) < 0) {
        result = open_failure(status);
        vi = VI_NULL;
    }
    if (result == 0) {
        p->rm = rm;
        p->vi.store(vi);
        std::snprintf(p->device, sizeof p->device, "%s", name);
        p->baud = baud;
        p->parity = parity;
        p->data_bits = data_bits;
        p->stop_bits = stop_bits;
        p->in_queue = queue_size(in_queue);
        p->out_queue_disabled = out_queue < 0;
        p->out_queue = out_queue < 0 ? 512 : queue_size(out_queue);
        p->status_bits.store(0);
        result = apply_settings(p);
    }
    if (result == 0) {
        status = visa::SetBuf(vi, VI_IO_IN_BUF, static_cast<ViUInt32>(p->in_queue));
        if (status >= 0 || status == VI_ERROR_NSUP_OPER)
            status = visa::SetBuf(vi, VI_IO_OUT_BUF, static_cast<ViUInt32>(p->out_queue));
        if (status < 0 && status != VI_ERROR_NSUP_OPER) result = translate(status);
    }
    if (result == 0 && (status = set_attribute(p, VI_ATTR_ASRL_END_IN, VI_ASRL_END_NONE)) < 0) result = translate(status);
    for (int i = 0; result == 0 && i < 3; ++i) {
        status = visa::InstallHandler(vi, kOpenEvents[i], on_visa_event, user_handle(number, kOpenEventBits[i]));
        // Character events are enabled only while a callback wants them:
        // raised for every character, they would cost a stream dearly.
        if (status >= 0 && kOpenEvents[i] != VI_EVENT_ASRL_CHAR)
            status = visa::EnableEvent(vi, kOpenEvents[i], VI_HNDLR, VI_NULL);
        if (status < 0) result = translate(status);
    }
    if (result == 0) {
        p->state_lock.lock();
        p->open = true;
        p->closing = false;
        p->session.fetch_add(1);
        p->state_lock.unlock();
        if (!p->out_queue_disabled && !start_writer(p)) {
            p->state_lock.lock();
            p->open = false;
            p->state_lock.unlock();
            result = -12;
        }
    }
    if (result != 0) {
        if (vi != VI_NULL) {
            remove_handlers(p, vi);
            visa::Close(vi);
        }
        if (rm != VI_NULL) visa::Close(rm);
        p->vi.store(VI_NULL);
        p->rm = VI_NULL;
        reset_record(p);
    } else {
        // VISA's threads call the engine's handler until the session
        // closes. Where unload cannot close it (under the system's loader
        // lock), the engine stays mapped from the first open on.
        if (os::kDetachHoldsLoaderLock) os::module_pin_self();
    }
    if (result == 0 && debug::resource_tracking_enabled()) {
        char description[300];
        std::snprintf(description, sizeof description, "Port %u with device %s", static_cast<unsigned>(number), name);
        debug::resource_acquire(tracking_key(number), "Serial port connections", description);
        p->tracked = true;
    }
    p->port_lock.unlock();
    return result;
}

// Runs `fn` on an open port under its port lock: -2, -3 or fn's result.
template <typename Fn>
int with_open_port(int number, Fn fn) {
    if (number < 1 || number > kMaxPort) return -2;
    Port *p = port_record(number);
    if (p == nullptr) return -3;
    p->port_lock.lock();
    const int result = p->open ? fn(p) : -3;
    p->port_lock.unlock();
    return result;
}

}  // namespace

bool seconds_to_ms(double seconds, std::uint32_t *ms) {
    if (!(seconds >= 0.0)) return false;  // NaN too
    const double value = std::ceil(seconds * 1000.0);
    if (value >= 2147483648.0) return false;
    *ms = static_cast<std::uint32_t>(value);
    return true;
}

// The port lock for a caller that holds a pin: CloseCom holds the lock
// while it waits for pins, so a pinned caller gives up once the port is
// closing instead of waiting for the lock.
static bool lock_pinned(Port *p) {
    while (!p->port_lock.try_lock()) {
        if (p->closing.load()) return false;
        os::sleep_ms(1);
    }
    return true;
}

int enter_binary_mode(Port *p, LineSettings *saved) {
    if (!lock_pinned(p)) return -3;
    *saved = LineSettings{p->parity, p->data_bits, p->stop_bits, p->xon};
    p->parity = 0;
    p->data_bits = 8;
    p->stop_bits = 1;
    p->xon = 0;
    int result = apply_settings(p);
    p->port_lock.unlock();
    if (result != 0) restore_settings(p, *saved);
    return result;
}

int restore_settings(Port *p, const LineSettings &saved) {
    if (!lock_pinned(p)) return -3;
    p->parity = saved.parity;
    p->data_bits = saved.data_bits;
    p->stop_bits = saved.stop_bits;
    p->xon = saved.xon;
    const int result = apply_settings(p);
    p->port_lock.unlock();
    return result;
}

XModemSettings xmodem_settings(Port *p) {
    XModemSettings s{10.0, 10, 10.0, 128};
    if (!lock_pinned(p)) return s;
    s = p->xmodem;
    p->port_lock.unlock();
    return s;
}

void set_xmodem_settings(Port *p, const XModemSettings &s) {
    if (!lock_pinned(p)) return;
    p->xmodem = s;
    p->port_lock.unlock();
}

void reset_xmodem_settings(Port *p) { set_xmodem_settings(p, XModemSettings{10.0, 10, 10.0, 128}); }

// Engine unload: every port is closed. Where threads may not be waited for
// (Windows' loader lock) nothing calls VISA and the writers end alone; the
// records then stay, since a writer may still read its own.
bool close_all_ports(bool may_wait) {
    bool sessions_left = false;
    for (int n = 1; n <= highest_port(); ++n) {
        Port *p = port_record(n);
        if (p == nullptr) continue;
        p->port_lock.lock();
        if (p->open) {
            close_port(p, may_wait);
            sessions_left = sessions_left || !may_wait;
        }
        p->port_lock.unlock();
    }
    return sessions_left;
}

void free_port_records() {
    for (int n = 1; n <= kMaxPort; ++n) {
        Port *p = g_ports[n].exchange(nullptr);
        if (p != nullptr) {
            delete[] p->queue;
            delete[] p->events;
            delete p;
        }
    }
    g_highest.store(0);
    g_alias_lock.lock();
    delete[] g_aliases;
    g_aliases = nullptr;
    g_alias_count = 0;
    g_alias_lock.unlock();
}

}  // namespace kez::comm::rs232

using namespace kez::comm::rs232;
namespace visa = kez::comm::visa;
namespace os = kez::os;

extern "C" int OpenComConfig(int port, const char *deviceName, int baudRate, int parity, int dataBits, int stopBits,
                             int inputQueueSize, int outputQueueSize) {
    return RS232_RESULT(
        open_port(port, deviceName, baudRate, parity, dataBits, stopBits, inputQueueSize, outputQueueSize));
}

extern "C" int OpenCom(int port, const char *deviceName) {
    Port *p = port_record(port);
    int in_queue = 512, out_queue = 512;
    if (p != nullptr) {
        p->port_lock.lock();
        in_queue = p->in_queue;
        out_queue = p->out_queue_disabled ? -1 : p->out_queue;
        p->port_lock.unlock();
    }
    return RS232_RESULT(open_port(port, deviceName, 9600, 0, 7, 1, in_queue, out_queue));
}

extern "C" int CloseCom(int port) {
    return RS232_RESULT(with_open_port(port, [](Port *p) { return close_port(p, true); }));
}

// Whole milliseconds, a fraction rounded up: a time-out below 1 ms is 1 ms,
// never 0 (which would never expire); NaN and 2^31 ms or more are refused.
extern "C" int SetComTime(int port, double seconds) {
    return RS232_RESULT(with_open_port(port, [seconds](Port *p) {
        std::uint32_t ms = 0;
        if (!seconds_to_ms(seconds, &ms)) return -13;
        p->timeout_ms.store(ms);
        return 0;
    }));
}

extern "C" int SetXMode(int port, int on) {
    return RS232_RESULT(with_open_port(port, [on](Port *p) {
        const int value = on != 0 ? 1 : 0;
        if (value == p->xon) return 0;
        p->xon = value;
        return apply_settings(p);
    }));
}

extern "C" int SetCTSMode(int port, int mode) {
    return RS232_RESULT(with_open_port(port, [mode](Port *p) {
        if (mode < 0 || mode > 2) return -13;
        const int cts = mode != 0 ? 1 : 0, dtr = mode == 1 ? 2 : 1;
        if (cts == p->cts && dtr == p->dtr) return 0;
        p->cts = cts;
        p->dtr = dtr;
        return apply_settings(p);
    }));
}

extern "C" int GetSystemComHandle(int port, int *handle) {
    return RS232_RESULT(with_open_port(port, [handle](Port *p) {
        if (handle == nullptr) return -8;
        *handle = static_cast<int>(p->vi.load());
        return 0;
    }));
}

extern "C" int __GetComConfig(int port, int *baudRate, int *parity, int *dataBits, int *stopBits, int *inputQueueSize,
                              int *outputQueueSize) {
    return RS232_RESULT(with_open_port(port, [=](Port *p) {
        const ViSession vi = p->vi.load();
        ViUInt32 baud = 0;
        ViUInt16 par = 0, bits = 0, stop = 0;
        ViStatus status = visa::GetAttribute(vi, VI_ATTR_ASRL_BAUD, &baud);
        if (status >= 0) status = visa::GetAttribute(vi, VI_ATTR_ASRL_PARITY, &par);
        if (status >= 0) status = visa::GetAttribute(vi, VI_ATTR_ASRL_DATA_BITS, &bits);
        if (status >= 0) status = visa::GetAttribute(vi, VI_ATTR_ASRL_STOP_BITS, &stop);
        if (status < 0) return translate(status);
        if (baudRate != nullptr) *baudRate = static_cast<int>(baud);
        if (parity != nullptr) *parity = par;
        if (dataBits != nullptr) *dataBits = bits;
        if (stopBits != nullptr) *stopBits = stop == VI_ASRL_STOP_TWO ? 2 : 1;
        if (inputQueueSize != nullptr) *inputQueueSize = p->in_queue;
        if (outputQueueSize != nullptr) *outputQueueSize = p->out_queue_disabled ? -1 : p->out_queue;
        return 0;
    }));
}

extern "C" int __GetPortDefaults(int, int *baudRate, int *parity, int *dataBits, int *stopBits, int *inputQueueSize,
                                 int *outputQueueSize, unsigned char *outputQueueEnabled) {
    if (baudRate != nullptr) *baudRate = 9600;
    if (parity != nullptr) *parity = 0;
    if (dataBits != nullptr) *dataBits = 7;
    if (stopBits != nullptr) *stopBits = 1;
    if (inputQueueSize != nullptr) *inputQueueSize = 0;
    if (outputQueueSize != nullptr) *outputQueueSize = 0;
    if (outputQueueEnabled != nullptr) *outputQueueEnabled = 1;
    return 0;
}
