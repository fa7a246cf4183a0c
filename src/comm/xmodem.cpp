// XModem file transfer over an open RS-232 port: checksum and CRC-16
// variants, 128-byte and 1K packets.
//
// A transfer pins the port for its whole length and talks through the
// library's own transfer services, each wait with a time-out of its own, so
// the port's time-out is never changed under another thread's feet. How the
// engine behaves where a plainer reading of the protocol would hang, lose
// data or report a failure as success:
//  - every wait is a deadline: junk bytes do not restart it, and a purge
//    (reading until the line is quiet) ends after one wait period in all;
//  - every write goes all the way to the device before the transfer waits
//    for a reply or restores the line settings, so the receiver's last ACK
//    is on the wire before XModemReceive returns;
//  - a lone EOT where a header is due is taken as the end only when the
//    line then stays quiet (or sends more EOTs) for a second, as a sender
//    waits at least that long for its answer; anything else was noise;
//  - the engine cancels with two CANs, since common receivers ignore one;
//  - a port error other than a time-out (the port closed meanwhile, ...)
//    ends the transfer with that code at once.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>

#include "comm/rs232_library.h"
#include "comm/xmodem_packet.h"
#include "kez/formatio.h"
#include "kez/rs232.h"
#include "os/os.h"

namespace kez::comm::rs232 {
namespace {

namespace xm = xmodem;

enum : int {
    kTimedOut = -99,
    kOutOfMemory = -11,
    kNoAckForPacket = -257,
    kNoStart = -259,
    kUnexpectedEot = -260,
    kNoPacketNumber = -261,
    kBadPacketNumber = -262,
    kShortData = -263,
    kNoCheck = -264,
    kCheckError = -265,
    kSizeAboveQueue = -269,
    kFileOpenError = -300,
    kFileReadError = -301,
    kNoInitialNak = -302,
    kNoAckForEot = -303,
    kFileWriteError = -304,
    kNoHeader = -305,
    kCancelled = -402,
    kBadStartDelay = -503,
    kBadTries = -504,
    kBadWaitPeriod = -505,
    kBadPacketSize = -506,
};

constexpr double kDefaultSeconds = 10.0;
constexpr int kDefaultTries = 10;
constexpr int kDefaultPacketSize = 128;
constexpr std::uint32_t kByteWriteMs = 1000;  // a one-byte reply
constexpr std::uint32_t kFieldMs = 1000;      // the rest of a packet after its header
constexpr std::uint32_t kQuietMs = 1100;      // the silence that ends a purge
constexpr std::uint32_t kEotQuietMs = 1000;   // the silence that confirms an EOT

std::atomic<int> g_flushes{1};

// One transfer's settings and state, read from the port once.
struct Link {
    Port *port = nullptr;
    std::uint32_t start_ms = 0;
    std::uint32_t wait_ms = 0;
    int tries = 0;
    int packet_size = 0;
    bool crc = false;
    unsigned char *buffer = nullptr;
};

std::uint32_t ms_until(std::uint64_t deadline) {
    const std::uint64_t now = os::tick_count_ms();
    return now >= deadline ? 0 : static_cast<std::uint32_t>(std::min<std::uint64_t>(deadline - now, UINT32_MAX));
}

// One byte before the deadline: 0, -99 when it passes, or the port's error.
int read_byte_until(Port *p, std::uint64_t deadline, unsigned char *byte) {
    const std::uint32_t left = ms_until(deadline);
    if (left == 0) return kTimedOut;
    char c = 0;
    std::size_t done = 0;
    const int rc = read_bytes(p, &c, 1, left, &done);
    if (done == 1) {
        *byte = static_cast<unsigned char>(c);
        return 0;
    }
    return rc != 0 ? rc : kTimedOut;
}

// Exactly n bytes, each within `ms` of the last: 0, -99 when short, or the
// port's error.
int read_exact(Port *p, unsigned char *to, std::size_t n, std::uint32_t ms) {
    std::size_t done = 0;
    const int rc = read_bytes(p, reinterpret_cast<char *>(to), n, ms, &done);
    if (done == n) return 0;
    return rc != 0 ? rc : kTimedOut;
}

// Writes and waits until the bytes reached the device: 0, -99, or the
// port's error.
int send(Port *p, const unsigned char *bytes, std::size_t n, std::uint32_t ms) {
    std::size_t done = 0;
    int rc = write_bytes(p, reinterpret_cast<const char *>(bytes), n, ms, &done);
    if (rc == 0 && done != n) rc = kTimedOut;
    if (rc == 0) rc = drain_output(p, ms);
    return rc;
}
int send_byte(Port *p, unsigned char byte) { return send(p, &byte, 1, kByteWriteMs); }

void cancel(Port *p) {
    static const unsigned char kCancel[2] = {xm::kCAN, xm::kCAN};
    send(p, kCancel, sizeof kCancel, kByteWriteMs);
}

// Discards what is queued both ways, when the flag asks for it.
int flush(Port *p) {
    if (g_flushes.load(std::memory_order_relaxed) == 0) return 0;
    const int rc = flush_output(p);
    return rc != 0 ? rc : flush_input(p);
}

// Discards input until the line has been quiet for kQuietMs, for at most
// one wait period: 0 or the port's error.
int purge(const Link &l) {
    const std::uint64_t deadline = os::tick_count_ms() + l.wait_ms;
    int rc = flush_input(l.port);
    while (rc == 0) {
        const std::uint32_t left = std::min(ms_until(deadline), kQuietMs);
        if (left == 0) break;
        char c = 0;
        std::size_t done = 0;
        rc = read_bytes(l.port, &c, 1, left, &done);
        if (done == 0 && (rc == kTimedOut || rc == 0)) return 0;
        if (rc == 0) rc = flush_input(l.port);
    }
    return rc;
}

// ---- Sending --------------------------------------------------------------

// Waits for the receiver's NAK (checksum) or "C" (CRC).
int await_start(Link &l) {
    for (int t = 0; t < l.tries; ++t) {
        const std::uint64_t deadline = os::tick_count_ms() + l.start_ms;
        for (;;) {
            unsigned char b = 0;
            const int rc = read_byte_until(l.port, deadline, &b);
            if (rc == kTimedOut) break;
            if (rc != 0) return rc;
            if (b == xm::kCAN) return kCancelled;
            if (b == xm::kNAK || b == xm::kCRC) {
                l.crc = b == xm::kCRC;
                return 0;
            }
        }
    }
    return kNoInitialNak;
}

// Sends a packet (or the EOT) until it is acknowledged or the tries run
// out: 0, `exhausted`, -402, or the port's error.
int deliver(const Link &l, const unsigned char *bytes, std::size_t n, int exhausted) {
    const std::uint32_t write_ms = std::max(l.wait_ms, kByteWriteMs);
    for (int t = 0; t < l.tries; ++t) {
        int rc = flush(l.port);
        if (rc == 0) rc = send(l.port, bytes, n, write_ms);
        if (rc == kTimedOut) continue;
        if (rc != 0) return rc;
        const std::uint64_t deadline = os::tick_count_ms() + l.wait_ms;
        for (;;) {
            unsigned char b = 0;
            rc = read_byte_until(l.port, deadline, &b);
            if (rc == kTimedOut || b == xm::kNAK) break;
            if (rc != 0) return rc;
            if (b == xm::kACK) return 0;
            if (b == xm::kCAN) return kCancelled;
        }
    }
    return exhausted;
}

// Fills `size` bytes from the file, zeros after its end: the bytes read or -1.
int read_block(int file, unsigned char *to, int size) {
    std::memset(to, 0, static_cast<std::size_t>(size));
    int got = 0;
    while (got < size) {
        const int n = Kez_ReadFile(file, reinterpret_cast<char *>(to) + got, static_cast<std::size_t>(size - got));
        if (n < 0) return -1;
        if (n == 0) break;
        got += n;
    }
    return got;
}

int send_file(Link &l, int file) {
    int rc = flush(l.port);
    if (rc == 0) rc = await_start(l);
    if (rc != 0) return rc;
    unsigned char *data = l.buffer + xm::kHeaderBytes;
    for (unsigned char number = 1;; ++number) {
        const int got = read_block(file, data, l.packet_size);
        if (got < 0) {
            cancel(l.port);
            return kFileReadError;
        }
        if (got == 0) {
            const unsigned char eot = xm::kEOT;
            return deliver(l, &eot, 1, kNoAckForEot);
        }
        const std::size_t n = xm::frame(l.buffer, static_cast<std::size_t>(l.packet_size), number, l.crc);
        rc = deliver(l, l.buffer, n, kNoAckForPacket);
        if (rc == kNoAckForPacket) cancel(l.port);
        if (rc != 0) return rc;
    }
}

// ---- Receiving ------------------------------------------------------------

// Asks for the first packet, "C" for the first half of the tries and NAK
// for the rest: 0 and the header byte that answered, or an error.
int request_start(Link &l, unsigned char *header) {
    const int crc_tries = l.tries / 2 + l.tries % 2;
    for (int t = 0; t < l.tries; ++t) {
        const bool ask_crc = t < crc_tries;
        int rc = send_byte(l.port, ask_crc ? xm::kCRC : xm::kNAK);
        if (rc != 0 && rc != kTimedOut) return rc;
        const std::uint64_t deadline = os::tick_count_ms() + l.start_ms;
        for (;;) {
            unsigned char b = 0;
            rc = read_byte_until(l.port, deadline, &b);
            if (rc == kTimedOut) break;
            if (rc != 0) return rc;
            if (b == xm::kCAN) return kCancelled;
            if (b == xm::kSOH || b == xm::kSTX || b == xm::kEOT) {
                l.crc = ask_crc;
                *header = b;
                return 0;
            }
        }
    }
    return kNoStart;
}

// Waits one wait period for SOH, STX or EOT: 0, -305, -402 or the port's
// error.
int await_header(const Link &l, unsigned char *header) {
    const std::uint64_t deadline = os::tick_count_ms() + l.wait_ms;
    for (;;) {
        const int rc = read_byte_until(l.port, deadline, header);
        if (rc == kTimedOut) return kNoHeader;
        if (rc != 0) return rc;
        if (*header == xm::kCAN) return kCancelled;
        if (*header == xm::kSOH || *header == xm::kSTX || *header == xm::kEOT) return 0;
    }
}

// After an EOT: 0 when only EOTs follow for kEotQuietMs, -260 when another
// byte came (noise that looked like EOT), or the port's error.
int confirm_eot(const Link &l) {
    const std::uint64_t deadline = os::tick_count_ms() + kEotQuietMs;
    for (;;) {
        unsigned char b = 0;
        const int rc = read_byte_until(l.port, deadline, &b);
        if (rc == kTimedOut) return 0;
        if (rc != 0) return rc;
        if (b != xm::kEOT) return kUnexpectedEot;
    }
}

// Reads the packet after `header` into the buffer's data area. 0 and its
// size in *size, or a packet error (-261 to -265), or the port's error.
// *number is the packet's number once its pair was read.
int read_packet(const Link &l, unsigned char header, int *number, std::size_t *size) {
    unsigned char pair[2];
    int rc = read_exact(l.port, pair, 2, kFieldMs);
    if (rc != 0) return rc == kTimedOut ? kNoPacketNumber : rc;
    if ((pair[0] ^ pair[1]) != 0xFF) return kBadPacketNumber;
    *number = pair[0];
    if (header == xm::kSTX)
        *size = xm::kLongBlock;
    else
        *size = static_cast<std::size_t>(l.packet_size == xm::kLongBlock ? xm::kShortBlock : l.packet_size);
    return 0;
}

int read_body(const Link &l, std::size_t size) {
    unsigned char *data = l.buffer + xm::kHeaderBytes;
    int rc = read_exact(l.port, data, size, kFieldMs);
    if (rc != 0) return rc == kTimedOut ? kShortData : rc;
    rc = read_exact(l.port, data + size, l.crc ? 2 : 1, kFieldMs);
    if (rc != 0) return rc == kTimedOut ? kNoCheck : rc;
    return xm::check_matches(data, size, data + size, l.crc) ? 0 : kCheckError;
}

bool is_packet_error(int rc) {
    return rc == kNoHeader || rc == kUnexpectedEot || (rc <= kNoPacketNumber && rc >= kCheckError);
}

int receive_file(Link &l, int file) {
    unsigned char header = 0;
    int rc = flush(l.port);
    if (rc == 0) rc = request_start(l, &header);
    if (rc != 0) return rc;
    bool have_header = true;
    bool any_packet = false;
    unsigned char expected = 1;
    int failures = 0;
    for (;;) {
        if (!have_header) rc = await_header(l, &header);
        have_header = false;
        int number = -1;
        std::size_t size = 0;
        if (rc == 0 && header == xm::kEOT) {
            rc = confirm_eot(l);
            if (rc == 0) return send_byte(l.port, xm::kACK);
        } else if (rc == 0) {
            rc = read_packet(l, header, &number, &size);
        }
        if (rc == 0 && number == expected) {
            rc = read_body(l, size);
            if (rc == 0) {
                const char *data = reinterpret_cast<const char *>(l.buffer + xm::kHeaderBytes);
                if (Kez_WriteFile(file, data, size) != static_cast<int>(size)) {
                    cancel(l.port);
                    return kFileWriteError;
                }
                rc = flush(l.port);
                if (rc == 0) rc = send_byte(l.port, xm::kACK);
                if (rc != 0 && rc != kTimedOut) return rc;
                any_packet = true;
                ++expected;
                failures = 0;
                continue;
            }
        } else if (rc == 0) {
            // A repeat (the sender missed our ACK) is acknowledged again and
            // not written; any other number means the two sides lost step.
            const bool repeat = any_packet && number == static_cast<unsigned char>(expected - 1);
            rc = purge(l);
            if (rc == 0) rc = flush(l.port);
            if (rc != 0) return rc;
            if (!repeat) {
                cancel(l.port);
                return kBadPacketNumber;
            }
            rc = send_byte(l.port, xm::kACK);
            if (rc != 0 && rc != kTimedOut) return rc;
            if (++failures >= l.tries) return kNoStart;
            continue;
        }
        if (!is_packet_error(rc)) return rc;
        const int error = rc;
        rc = 0;
        if (error == kUnexpectedEot || error == kNoPacketNumber || error == kBadPacketNumber || error == kShortData)
            rc = purge(l);
        if (rc == 0) rc = flush(l.port);
        if (rc == 0) rc = send_byte(l.port, xm::kNAK);
        if (rc != 0 && rc != kTimedOut) return rc;
        if (++failures >= l.tries) return error;
    }
}

enum class Direction { send, receive };

int transfer(Port *p, const char *file_name, Direction direction) {
    const XModemSettings s = xmodem_settings(p);
    Link l;
    l.port = p;
    l.tries = s.maximum_tries;
    l.packet_size = s.packet_size;
    if (!seconds_to_ms(s.start_delay_s, &l.start_ms) || l.start_ms == 0) return kBadStartDelay;
    if (!seconds_to_ms(s.wait_period_s, &l.wait_ms) || l.wait_ms == 0) return kBadWaitPeriod;
    if (l.packet_size <= 0) return kBadPacketSize;
    if (l.tries <= 0) return kBadTries;

    const int file = direction == Direction::send
                         ? Kez_OpenFile(file_name, KEZ_FILE_READ, KEZ_FILE_OPEN, KEZ_FILE_BINARY)
                         : Kez_OpenFile(file_name, KEZ_FILE_WRITE, KEZ_FILE_TRUNCATE, KEZ_FILE_BINARY);
    if (file < 0) return kFileOpenError;
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[xm::buffer_bytes(l.packet_size)]);
    l.buffer = buffer.get();
    LineSettings saved{};
    int rc = l.buffer == nullptr ? kOutOfMemory : enter_binary_mode(p, &saved);
    if (rc == 0) {
        rc = direction == Direction::send ? send_file(l, file) : receive_file(l, file);
        // On a port closed meanwhile this gives up at once (its close
        // resets the settings).
        const int restored = restore_settings(p, saved);
        if (rc == 0) rc = restored;
    }
    if (Kez_CloseFile(file) < 0 && rc == 0 && direction == Direction::receive) rc = kFileWriteError;
    return rc;
}

int run(int port_number, const char *file_name, Direction direction, const char *function) {
    Port *p = nullptr;
    int rc = pin_open(port_number, &p);
    if (rc == 0) {
        rc = transfer(p, file_name, direction);
        unpin(p);
    }
    return finish(function, rc);
}

int configure(Port *p, double start_delay, int tries, double wait_period, int packet_size) {
    std::uint32_t ms = 0;
    // A NaN compares unequal to 0 and fails the conversion.
    if (start_delay != 0 && !seconds_to_ms(start_delay, &ms)) return kBadStartDelay;
    if (tries < 0) return kBadTries;
    if (wait_period != 0 && !seconds_to_ms(wait_period, &ms)) return kBadWaitPeriod;
    if (packet_size < 0) return kBadPacketSize;
    if (packet_size > input_queue_size(p)) return kSizeAboveQueue;
    XModemSettings s;
    s.start_delay_s = start_delay != 0 ? start_delay : kDefaultSeconds;
    s.maximum_tries = tries != 0 ? tries : kDefaultTries;
    s.wait_period_s = wait_period != 0 ? wait_period : kDefaultSeconds;
    s.packet_size = packet_size != 0 ? packet_size : kDefaultPacketSize;
    set_xmodem_settings(p, s);
    return 0;
}

}  // namespace
}  // namespace kez::comm::rs232

using namespace kez::comm::rs232;

extern "C" int XModemConfig(int portNumber, double startDelay, int maximumTries, double waitPeriod, int packetSize) {
    Port *p = nullptr;
    int rc = pin_open(portNumber, &p);
    if (rc == 0) {
        rc = configure(p, startDelay, maximumTries, waitPeriod, packetSize);
        unpin(p);
    }
    return RS232_RESULT(rc);
}

extern "C" int XModemSend(int portNumber, const char *fileName) {
    return run(portNumber, fileName, Direction::send, __func__);
}

extern "C" int XModemReceive(int portNumber, const char *fileName) {
    return run(portNumber, fileName, Direction::receive, __func__);
}

extern "C" int __SetXModemFlushesQs(int flag) { return g_flushes.exchange(flag != 0 ? 1 : 0); }
