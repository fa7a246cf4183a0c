// The RS-232 library's process state: last statuses, the translation of
// VISA statuses, the message texts, line control and status functions, the
// read-ahead ring, and the library's start-up and clean-up.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "comm/comm_thread.h"
#include "comm/rs232_port.h"
#include "core/frame.h"
#include "core/thread_var.h"
#include "kez/runtime.h"
#include "log/log.h"

namespace kez::comm::rs232 {
namespace {

bool g_has_slot = false;
int g_last_status = 0;  // the process-wide last status (rs232err)

struct Message {
    int code;
    const char *text;
};

constexpr Message kMessages[] = {
    {0, "No error"},
    {-1, "Unknown system error"},
    {-2, "Invalid port number"},
    {-3, "Port not open"},
    {-4, "Unknown I/O error"},
    {-5, "Unexpected internal error"},
    {-6, "No port found"},
    {-7, "Cannot open port"},
    {-8, "A NULL pointer was passed when a non-NULL pointer was expected"},
    {-11, "Out of memory"},
    {-12, "Unable to allocate system resources."},
    {-13, "Invalid parameter"},
    {-14, "Invalid baud rate"},
    {-24, "Invalid parity"},
    {-34, "Invalid number of data bits"},
    {-44, "Invalid number of stop bits"},
    {-90, "Bad file handle"},
    {-91, "File I/O error"},
    {-94, "Invalid count = must be 0 or greater"},
    {-97, "Invalid interrupt level"},
    {-99, "I/O operation timed out"},
    {-104, "Break time must be a positive value"},
    {-114, "Input queue size must be 0 or greater"},
    {-124, "Output queue size must be 0 or greater"},
    {-151, "General I/O error"},
    {-152, "Buffer parameter is NULL"},
    {-180,
     "A necessary run-time library could not be found or loaded.\n\nOn real-time systems, the Pellix/Kez RS-232 "
     "library requires the Qx-Serial driver. You can install Qx-Serial to your host system from the Qx Driver CD, "
     "then use Qx Vantrel to install Qx-Serial RT support to your target."},
    {-257, "Package sent but no ACK received"},
    {-258, "Packet not sent within retry limit"},
    {-259, "Packet not received within retry limit"},
    {-260, "Unexpected EOT received"},
    {-261, "Unable to read packet number"},
    {-262, "Inconsistent packet number"},
    {-263, "Unable to read packet data"},
    {-264, "Unable to read checksum"},
    {-265, "Checksum error"},
    {-269, "Packet size greater than input queue size"},
    {-300, "File open error"},
    {-301, "File read error"},
    {-302, "Did not receive initial NAK"},
    {-303, "Did not receive ACK after EOT was sent"},
    {-304, "File write error"},
    {-305, "Did not receive SOH or EOT when expected"},
    {-402, "Transfer was cancelled because CAN was received"},
    {-503, "Invalid start delay"},
    {-504, "Invalid maximum number of retries"},
    {-505, "Invalid wait period"},
    {-506, "Invalid packet size"},
    {-507, "Unable to read CRC"},
    {-508, "CRC error"},
};

const char *message_of(int code) {
    for (const Message &m : kMessages)
        if (m.code == code) return m.text;
    return nullptr;
}

void run_state_changed(int state) {
    // A program that stops closes its ports; their output is drained first.
    if (state == KEZ_RUN_STATE_STOP) close_all_ports(true);
}

}  // namespace

void set_last_visa_status(ViStatus status) { comm::thread_record()->rs232_last_visa_status = status; }
ViStatus last_visa_status() { return comm::thread_record()->rs232_last_visa_status; }

int translate(ViStatus status) {
    if (status >= 0) return status;
    set_last_visa_status(status);
    switch (static_cast<std::uint32_t>(status)) {
        case 0xBFFF0000u: case 0xBFFF000Fu: case 0xBFFF0016u: case 0xBFFF001Du: case 0xBFFF001Fu:
        case 0xBFFF003Au: case 0xBFFF0067u: case 0xBFFF00A5u: case 0xBFFF00A7u: case 0xBFFF00A8u:
            return -1;
        case 0xBFFF0011u: return -2;
        case 0xBFFF0015u: return -99;
        case 0xBFFF001Eu: return -13;
        case 0xBFFF0030u: return -3;
        case 0xBFFF0034u: case 0xBFFF0035u: case 0xBFFF0036u: case 0xBFFF0037u: case 0xBFFF0038u:
        case 0xBFFF0039u: case 0xBFFF003Bu: case 0xBFFF006Au: case 0xBFFF006Bu: case 0xBFFF006Cu:
            return -151;
        case 0xBFFF003Cu: return -12;
        case 0xBFFF003Eu: case 0xBFFF00A6u: return -4;
        case 0xBFFF0072u: return -7;
        case 0xBFFF009Eu: return -180;
        case 0xBFFF00A2u: return -91;
        default: return -5;
    }
}

int finish(const char *function, Outcome outcome) {
    comm::thread_record()->rs232_last_status = outcome.status;
    __atomic_store_n(&g_last_status, outcome.status, __ATOMIC_RELAXED);
    if (outcome.status < 0 && log::enabled(log::kWarning)) {
        const char *text = message_of(outcome.status);
        KEZ_LOG_AS(log::kWarning, function, "%s (%d)", text != nullptr ? text : "Unknown error number", outcome.status);
    }
    return outcome.value;
}

// ---- the read-ahead ring ------------------------------------------------------------------

ByteRing::~ByteRing() { std::free(data_); }

bool ByteRing::reserve(std::size_t n) {
    if (n <= capacity_) return true;
    std::size_t capacity = capacity_ == 0 ? 256 : capacity_;
    while (capacity < n) capacity *= 2;
    auto *grown = static_cast<unsigned char *>(std::malloc(capacity));
    if (grown == nullptr) return false;
    for (std::size_t i = 0; i < size_; ++i) grown[i] = data_[(head_ + i) % capacity_];
    std::free(data_);
    data_ = grown;
    capacity_ = capacity;
    head_ = 0;
    return true;
}

bool ByteRing::push_back(const unsigned char *bytes, std::size_t n) {
    if (!reserve(size_ + n)) return false;
    for (std::size_t i = 0; i < n; ++i) data_[(head_ + size_ + i) % capacity_] = bytes[i];
    size_ += n;
    return true;
}

bool ByteRing::push_front(unsigned char byte) {
    if (!reserve(size_ + 1)) return false;
    head_ = (head_ + capacity_ - 1) % capacity_;
    data_[head_] = byte;
    ++size_;
    return true;
}

std::size_t ByteRing::pop(unsigned char *out, std::size_t n) {
    const std::size_t taken = n < size_ ? n : size_;
    for (std::size_t i = 0; i < taken; ++i) out[i] = data_[(head_ + i) % capacity_];
    if (taken > 0) head_ = (head_ + taken) % capacity_;
    size_ -= taken;
    return taken;
}

// ---- start-up and clean-up ---------------------------------------------------------------

int PXRS232Initialize() {
    if (!comm::acquire_thread_slot()) return -103;
    g_has_slot = true;
    if (!core::register_run_state_callback(run_state_changed)) return -103;
    return 0;
}

// Where threads may be waited for, every port is closed as CloseCom closes
// it. Under Windows' loader lock nothing calls VISA: the writers are told to
// stop and get a moment to leave, the records stay for them, and VISA stays
// loaded for the sessions left (the engine was pinned at their open).
void PXRS232Uninitialize() {
    const bool process_ending = core::engine().process_ending.load();
    const bool may_wait = !os::kDetachHoldsLoaderLock && !process_ending;
    const bool sessions_left = close_all_ports(may_wait);
    if (!may_wait && !process_ending) let_writers_leave(200);
    if (may_wait) free_port_records();
    if (!sessions_left) visa::unload();
    if (g_has_slot) comm::release_thread_slot();
    g_has_slot = false;
}

}  // namespace kez::comm::rs232

using namespace kez::comm::rs232;
namespace visa = kez::comm::visa;

namespace {

int set_line(Port *p, ViAttr attribute, ViAttrState value) {
    const ViStatus status = visa::SetAttribute(p->vi.load(), attribute, value);
    return status < 0 ? translate(status) : 0;
}

}  // namespace

extern "C" int *_GetRs232Err(void) { return &g_last_status; }

extern "C" int ReturnRS232Err(void) {
    kez::comm::CommThreadRecord *r = kez::comm::thread_record();
    if (r->rs232_last_status < 0) return r->rs232_last_status;
    const kez::os::ThreadId me = kez::os::current_thread_id();
    for (int n = 1; n <= highest_port(); ++n) {
        Port *p = nullptr;
        if (pin_open(n, &p) != 0) continue;
        p->writer_lock.lock();
        int error = 0;
        if (p->last_writer_thread == me && p->pending_error < 0) {
            error = p->pending_error;
            p->pending_error = 0;
        }
        p->writer_lock.unlock();
        unpin(p);
        if (error < 0) {
            r->rs232_last_status = error;
            return error;
        }
    }
    return r->rs232_last_status;
}

extern "C" const char *GetRS232ErrorString(int code) {
    char *buffer = GetThreadLocalErrorStringBuffer();
    if (code == -1) {
        char description[256] = {};
        visa::describe(last_visa_status(), description);
        std::snprintf(buffer, 512, "%s", description);
        return buffer;
    }
    const char *text = message_of(code);
    std::snprintf(buffer, 512, "%s", text != nullptr ? text : "Unknown error number");
    return buffer;
}

extern "C" int ComBreak(int port, int breakTimeMs) {
    return RS232_RESULT(with_pinned_port(port, [breakTimeMs](Port *p) {
        if (breakTimeMs < 0) return -104;
        if (const int error = set_line(p, VI_ATTR_ASRL_BREAK_STATE, VI_STATE_ASSERTED); error != 0) return error;
        kez::os::sleep_ms(breakTimeMs == 0 ? 250u : static_cast<std::uint32_t>(breakTimeMs));
        return set_line(p, VI_ATTR_ASRL_BREAK_STATE, VI_STATE_UNASSERTED);
    }));
}

extern "C" int ComSetEscape(int port, int code) {
    if (port < 1 || port > kMaxPort) return RS232_RESULT(-2);
    Port *p = port_record(port);
    if (p == nullptr) return RS232_RESULT(-3);
    p->port_lock.lock();
    int result = -13;
    if (!p->open) {
        result = -3;
    } else if ((code == 1 || code == 2) && p->xon) {
        result = set_line(p, VI_ATTR_ASRL_ALLOW_TRANSMIT, code == 2 ? 1 : 0);
    } else if ((code == 3 || code == 4) && !p->cts) {
        result = set_line(p, VI_ATTR_ASRL_RTS_STATE, code == 3 ? VI_STATE_ASSERTED : VI_STATE_UNASSERTED);
    } else if ((code == 5 || code == 6) && p->dtr != 2) {
        result = set_line(p, VI_ATTR_ASRL_DTR_STATE, code == 5 ? VI_STATE_ASSERTED : VI_STATE_UNASSERTED);
    } else if (code == 9) {
        result = set_line(p, VI_ATTR_ASRL_BREAK_STATE, VI_STATE_UNASSERTED);
    } else if (code >= 128 && code <= 131) {
        const ViStatus status = visa::SetAttribute(p->vi.load(), VI_ATTR_ASRL_WIRE_MODE, static_cast<ViAttrState>(code - 128));
        result = status == VI_ERROR_NSUP_ATTR || status == VI_ERROR_NSUP_ATTR_STATE ? -13 : status < 0 ? translate(status) : 0;
    }
    p->port_lock.unlock();
    return RS232_RESULT(result);
}

extern "C" int GetComStat(int port) {
    return RS232_RESULT(with_pinned_port(port, [](Port *p) { return static_cast<int>(p->status_bits.exchange(0)); }));
}

extern "C" int GetComLineStatus(int port) {
    return RS232_RESULT(with_pinned_port(port, [](Port *p) {
        const struct {
            ViAttr attribute;
            int bit;
        } lines[] = {{VI_ATTR_ASRL_CTS_STATE, COM_LINE_CTS},
                     {VI_ATTR_ASRL_DSR_STATE, COM_LINE_DSR},
                     {VI_ATTR_ASRL_RI_STATE, COM_LINE_RING},
                     {VI_ATTR_ASRL_DCD_STATE, COM_LINE_DCD}};
        int bits = 0;
        for (const auto &line : lines) {
            ViInt16 state = VI_STATE_UNKNOWN;
            const ViStatus status = visa::GetAttribute(p->vi.load(), line.attribute, &state);
            if (status < 0) return translate(status);
            if (state == VI_STATE_ASSERTED) bits |= line.bit;
        }
        return bits;
    }));
}

extern "C" int GetComConnectionState(int port) {
    return RS232_RESULT(with_pinned_port(port, [](Port *p) {
        ViBoolean connected = 0;
        const ViStatus status = visa::GetAttribute(p->vi.load(), VI_ATTR_ASRL_CONNECTED, &connected);
        return status < 0 ? translate(status) : static_cast<int>(connected);
    }));
}
