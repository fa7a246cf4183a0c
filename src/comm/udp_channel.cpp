// UDP channels: creation, disposal, reads and writes.
#include <new>

#include "comm/net_address.h"
#include "comm/udp_library.h"
#include "core/frame.h"
#include "kez/utility.h"

namespace kez::comm::udp {
namespace {

namespace net = os::net;

// A read waits on the socket in slices of at most this many ms, so that it
// notices a disposal of its channel soon.
constexpr std::uint32_t kSliceMs = 100;
constexpr unsigned kPeekStart = 256;

// Steps 3 to 10 of a creation, on a reserved record: 0 or a UDP code.
int open_channel(Channel *c, std::uint32_t address, unsigned port, int exclusive) {
    net::Socket s = net::kInvalidSocket;
    int rc = net::open(net::Kind::datagram, &s);
    if (rc != 0) return translate(rc);
    c->socket = s;
    rc = net::set_option(s, net::Option::reuse_address, exclusive ? 0u : 1u);
    if (rc == 0) {
        rc = net::set_option(s, net::Option::broadcast, 1);
        if (rc == net::kWsaNoProtoOpt) rc = 0;
    }
    if (rc == 0) rc = net::set_nonblocking(s);
    if (rc == 0) {
        rc = net::bind(s, address, static_cast<std::uint16_t>(port));
        if (rc == net::kWsaAccess || rc == net::kWsaAddrInUse) return kUDP_PortInUse;
    }
    if (rc == 0) rc = net::set_option(s, net::Option::multicast_if, address);
    if (rc == 0) rc = net::set_option(s, net::Option::send_buffer, static_cast<std::uint32_t>(send_buffer_size()));
    if (rc == 0) rc = net::set_option(s, net::Option::receive_buffer, static_cast<std::uint32_t>(receive_buffer_size()));
    std::uint32_t bound_address = 0;
    std::uint16_t bound_port = 0;
    if (rc == 0) rc = net::local_name(s, &bound_address, &bound_port);
    if (rc != 0) return translate(rc);
    c->port = bound_port;
    c->address = address;
    return 0;
}

// One receive: the count, 0 when nothing waits (*empty set), or a code.
int receive_once(Channel *c, void *buffer, unsigned size, unsigned *source_port, char *source_address, bool *empty) {
    const bool peek = buffer == nullptr || size == 0;
    std::uint32_t from = 0;
    std::uint16_t from_port = 0;
    std::size_t got = 0;
    int rc = 0;
    if (peek) {
        // The datagram's size: peeked into a buffer that doubles until the
        // datagram fits; it stays queued.
        unsigned capacity = kPeekStart;
        char *scratch = nullptr;
        for (;;) {
            scratch = new (std::nothrow) char[capacity];
            if (scratch == nullptr) return kUDP_OutOfMemory;
            rc = net::receive_from(c->socket, scratch, capacity, true, &got, &from, &from_port);
            delete[] scratch;
            if (rc != net::kWsaMsgSize || capacity >= 0x10000u) break;
            capacity *= 2;
        }
    } else {
        rc = net::receive_from(c->socket, buffer, size, false, &got, &from, &from_port);
    }
    if (rc == net::kWsaWouldBlock) {
        *empty = true;
        return 0;
    }
    if (rc == net::kWsaMsgSize && !peek) return kUDP_ReceiveBufferTooSmall;
    if (rc != 0) return translate(rc);
    if (got == 0) return kUDP_InternalError;
    if (source_port != nullptr) *source_port = from_port;
    if (source_address != nullptr) format_dotted(from, source_address);
    return static_cast<int>(got);
}

}  // namespace
}  // namespace kez::comm::udp

using namespace kez::comm::udp;
using kez::comm::format_dotted;
using kez::comm::is_multicast;
namespace net = kez::os::net;

extern "C" int CreateUDPChannelConfig(unsigned int port, const char *localAddress, int exclusive,
                                      UDPCallbackPtr callback, void *callbackData, unsigned int *channel) {
    int rc = ensure_initialised();
    if (rc != 0) return UDP_RESULT(rc);
    if (port > 65535) return UDP_RESULT(kUDP_InvalidPort);
    std::uint32_t address = 0;
    if (localAddress != nullptr && *localAddress != '\0') {
        rc = parse_address(localAddress, &address);
        if (rc == 0 && (address == 0 || is_multicast(address) || address == net::kNoAddress)) rc = kUDP_InvalidAddress;
        if (rc != 0) return UDP_RESULT(rc);
    }
    if (channel == nullptr) return UDP_RESULT(kUDP_NullPointerPassed);
    if (kez::core::engine().shutting_down.load()) return UDP_RESULT(kUDP_LibraryShuttingDown);
    // Reserved at once under the library lock: two creating threads never
    // take the same free record.
    Channel *c = nullptr;
    const unsigned index = reserve_record(&c);
    if (index == 0) return UDP_RESULT(kUDP_OutOfMemory);
    rc = open_channel(c, address, port, exclusive);
    if (rc != 0) {
        release_reserved(c);  // closes the socket
        return UDP_RESULT(rc);
    }
    c->owner = kez::os::current_thread_id();
    c->callback = callback;
    c->data = callback != nullptr ? callbackData : nullptr;
    *channel = publish_record(index, c);
    return 0;
}

extern "C" int CreateUDPChannel(unsigned int port, unsigned int *channel) {
    return CreateUDPChannelConfig(port, nullptr, 1, nullptr, nullptr, channel);
}

extern "C" int DisposeUDPChannel(unsigned int channel) {
    const int rc = ensure_initialised();
    if (rc != 0) return UDP_RESULT(rc);
    Channel *c = pin(channel);
    if (c == nullptr) return UDP_RESULT(kUDP_InvalidChannel);
    // Retired, the record takes no new pins; the last pin (maybe this one)
    // drains and closes the socket and frees the record, memberships
    // included, so a channel that reuses it starts without groups.
    const bool mine = retire(c);
    unpin(c);
    return mine ? 0 : UDP_RESULT(kUDP_InvalidChannel);
}

extern "C" void DisposeAllUDPChannels(void) {
    if (ensure_initialised() != 0) return;
    retire_all();
}

extern "C" int UDPRead(unsigned int channel, void *buffer, unsigned int bufferSize, unsigned int timeout,
                       unsigned int *sourcePort, char *sourceAddress) {
    int rc = ensure_initialised();
    if (rc != 0) return UDP_RESULT(rc);
    Channel *c = pin(channel);
    if (c == nullptr) return UDP_RESULT(kUDP_InvalidChannel);
    if (bufferSize > 2147483647u) {
        unpin(c);
        return UDP_RESULT(kUDP_InvalidArgument);
    }
    const std::uint64_t start = kez::os::tick_count_ms();
    for (;;) {
        bool empty = false;
        c->lock.lock();
        rc = receive_once(c, buffer, bufferSize, sourcePort, sourceAddress, &empty);
        c->lock.unlock();
        if (!empty || timeout == 0) break;
        const std::uint64_t elapsed = kez::os::tick_count_ms() - start;
        if (timeout != UDP_WAIT_FOREVER && elapsed > timeout) {
            rc = kUDP_TimeoutErr;
            break;
        }
        // Waits on the socket rather than sleeping and retrying, in slices
        // so that a disposal is seen within one slice; forever is a run of
        // slices.
        std::uint32_t slice = kSliceMs;
        if (timeout != UDP_WAIT_FOREVER && timeout - elapsed + 1 < slice)
            slice = static_cast<std::uint32_t>(timeout - elapsed + 1);
        net::PollEntry entry{c->socket, net::kReadable, 0};
        int ready = 0;
        const int wait_rc = net::poll(&entry, 1, slice, &ready);
        // The pin keeps the record from being freed or taken by a new
        // channel, so a disposal shows as the record no longer live.
        if (!is_live(c)) {
            rc = kUDP_ChannelDisposed;
            break;
        }
        if (wait_rc != 0) {
            rc = translate(wait_rc);
            break;
        }
    }
    unpin(c);
    return rc < 0 ? UDP_RESULT(rc) : rc;
}

extern "C" int UDPWrite(unsigned int channel, unsigned int destinationPort, const char *destinationAddress,
                        const void *buffer, unsigned int bufferSize) {
    int rc = ensure_initialised();
    if (rc != 0) return UDP_RESULT(rc);
    Channel *c = pin(channel);
    if (c == nullptr) return UDP_RESULT(kUDP_InvalidChannel);
    std::uint32_t address = 0;
    if (destinationPort >= 65536)
        rc = kUDP_InvalidPort;
    else if (destinationAddress == nullptr || *destinationAddress == '\0')
        rc = kUDP_InvalidAddress;
    else if (bufferSize > 2147483647u)
        rc = kUDP_InvalidArgument;
    const bool name = kez::comm::has_letter(destinationAddress);
    if (rc == 0 && !name) {
        rc = parse_address(destinationAddress, &address);
        if (rc == 0 && address == 0) rc = kUDP_InvalidAddress;
    }
    if (rc == 0 && buffer == nullptr) rc = kUDP_NullPointerPassed;
    if (rc == 0 && bufferSize == 0) {
        unpin(c);
        return 0;
    }
    if (rc == 0 && name) rc = parse_address(destinationAddress, &address);
    if (rc == 0) {
        std::size_t sent = 0;
        c->lock.lock();
        int wsa = net::send_to(c->socket, buffer, bufferSize, address, static_cast<std::uint16_t>(destinationPort), &sent);
        if (wsa == net::kWsaWouldBlock) {
            c->lock.unlock();
            SleepUS(0);  // one yield, one retry
            c->lock.lock();
            wsa = net::send_to(c->socket, buffer, bufferSize, address, static_cast<std::uint16_t>(destinationPort), &sent);
        }
        c->lock.unlock();
        if (wsa == net::kWsaWouldBlock)
            rc = kUDP_ResourceBusy;
        else if (wsa == net::kWsaMsgSize)
            rc = kUDP_WriteSizeTooLarge;
        else if (wsa != 0)
            rc = translate(wsa);
    }
    unpin(c);
    return UDP_RESULT(rc);
}
