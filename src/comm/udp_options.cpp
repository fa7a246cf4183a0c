// UDP channels: multicast groups, attributes and the socket handle.
#include <cstdarg>
#include <cstring>
#include <new>

#include "comm/net_address.h"
#include "comm/udp_library.h"
#include "core/frame.h"

namespace kez::comm::udp {
namespace {

namespace net = os::net;

constexpr unsigned kFirstMembershipCapacity = 4;
constexpr unsigned kMaxMemberships = 65535;

// The group of a subscribe or unsubscribe: 0 or a UDP code.
int parse_group(const char *text, std::uint32_t *group) {
    if (text == nullptr || *text == '\0') return kUDP_InvalidAddress;
    const int rc = parse_address(text, group);
    if (rc == kUDP_InvalidAddress) return rc;
    if (rc != 0 || !is_multicast(*group)) return kUDP_InvalidMulticastAddress;
    return 0;
}

int find_membership(const Channel *c, std::uint32_t group) {
    for (int i = 0; i < c->count; ++i)
        if (c->memberships[i].group == group) return i;
    return -1;
}

// The interfaces a membership change applies to: the bound address, or
// every known interface; with none known, the any address (the system
// picks), never nothing.
int membership_interfaces(const Channel *c, std::uint32_t *out, int capacity) {
    if (c->address != 0 || interface_count() == 0) {
        out[0] = c->address;
        return 1;
    }
    int n = 0;
    for (; n < interface_count() && n < capacity; ++n) out[n] = interface_address(n);
    return n;
}

// Joins (or leaves) on every interface; on a failure the ones already done
// are undone in reverse order. 0 or the socket error.
int change_membership(Channel *c, std::uint32_t group, bool join) {
    std::uint32_t interfaces[64];
    const int n = membership_interfaces(c, interfaces, 64);
    for (int i = 0; i < n; ++i) {
        const int rc = join ? net::join_group(c->socket, group, interfaces[i])
                            : net::leave_group(c->socket, group, interfaces[i]);
        if (rc == 0) continue;
        for (int k = i - 1; k >= 0; --k) {
            if (join)
                net::leave_group(c->socket, group, interfaces[k]);
            else
                net::join_group(c->socket, group, interfaces[k]);
        }
        return rc;
    }
    return 0;
}

int append_membership(Channel *c, std::uint32_t group) {
    if (c->count == c->capacity) {
        const unsigned capacity = c->capacity == 0 ? kFirstMembershipCapacity : c->capacity * 2u;
        if (capacity > kMaxMemberships) return kUDP_OutOfSystemResources;
        auto *bigger = new (std::nothrow) Membership[capacity]();
        if (bigger == nullptr) return kUDP_OutOfMemory;
        if (c->count > 0) std::memcpy(bigger, c->memberships, c->count * sizeof *bigger);
        delete[] c->memberships;
        c->memberships = bigger;
        c->capacity = static_cast<std::uint16_t>(capacity);
    }
    c->memberships[c->count++] = Membership{group, 0, nullptr, 0, 0};
    return 0;
}

int subscribe(Channel *c, std::uint32_t group) {
    if (find_membership(c, group) >= 0) return kUDP_AlreadySubscribed;
    int rc = change_membership(c, group, true);
    if (rc == net::kWsaInval) return kUDP_UnexpectedWinsockError;
    if (rc == net::kWsaNoProtoOpt) return kUDP_NotSupported;
    if (rc == net::kWsaAddrInUse || rc == net::kWsaAddrNotAvail) return kUDP_AlreadySubscribed;
    if (rc != 0) return translate(rc);
    rc = append_membership(c, group);
    // Without a record the channel could never leave the group: leave now.
    if (rc != 0) change_membership(c, group, false);
    return rc;
}

int unsubscribe(Channel *c, std::uint32_t group) {
    const int at = find_membership(c, group);
    if (at < 0) return kUDP_NotSubscribed;
    const int rc = change_membership(c, group, false);
    if (rc == net::kWsaNoProtoOpt) return kUDP_NotSupported;
    if (rc != 0) return translate(rc);
    delete[] c->memberships[at].sources;
    for (int i = at + 1; i < c->count; ++i) c->memberships[i - 1] = c->memberships[i];
    --c->count;
    return 0;
}

int get_attribute(Channel *c, int attribute, void *value) {
    if (attribute < 0 || attribute > ATTR_UDP_MULTICAST_LOOPBACK) return kUDP_InvalidAttribute;
    if (value == nullptr) return kUDP_NullPointerPassed;
    switch (attribute) {
        case ATTR_UDP_PORT: *static_cast<unsigned *>(value) = c->port; return 0;
        case ATTR_UDP_CALLBACK: *static_cast<UDPCallbackPtr *>(value) = c->callback; return 0;
        case ATTR_UDP_CALLBACK_DATA: *static_cast<void **>(value) = c->data; return 0;
        case ATTR_UDP_MULTICAST_INTERFACE: {
            std::uint32_t address = 0;
            const int rc = net::get_option(c->socket, net::Option::multicast_if, &address);
            if (rc != 0) return translate(rc);
            format_dotted(address, static_cast<char *>(value));
            return 0;
        }
        default: {
            const net::Option option =
                attribute == ATTR_UDP_MULTICAST_TTL ? net::Option::multicast_ttl : net::Option::multicast_loop;
            std::uint32_t v = 0;
            const int rc = net::get_option(c->socket, option, &v);
            *static_cast<unsigned *>(value) = rc == 0 ? v : 0;
            if (rc == 0 || rc == net::kWsaNoProtoOpt) return 0;
            return translate(rc);
        }
    }
}

}  // namespace

int set_attribute(unsigned channel, int attribute, va_list args) {
    int rc = ensure_initialised();
    if (rc != 0) return rc;
    Channel *c = pin(channel);
    if (c == nullptr) return kUDP_InvalidChannel;
    c->lock.lock();
    switch (attribute) {
        case ATTR_UDP_CALLBACK:
            c->callback = va_arg(args, UDPCallbackPtr);
            if (c->callback == nullptr) c->data = nullptr;
            break;
        case ATTR_UDP_CALLBACK_DATA: c->data = va_arg(args, void *); break;
        case ATTR_UDP_MULTICAST_INTERFACE: {
            const char *text = va_arg(args, const char *);
            std::uint32_t address = 0;
            if (text == nullptr || *text == '\0' || parse_address(text, &address) != 0 || address == 0) {
                rc = kUDP_InvalidAttributeValue;
                break;
            }
            const int wsa = net::set_option(c->socket, net::Option::multicast_if, address);
            if (wsa != 0) rc = translate(wsa);
            break;
        }
        case ATTR_UDP_MULTICAST_TTL: {
            const unsigned ttl = va_arg(args, unsigned);
            if (ttl > 255) {
                rc = kUDP_InvalidAttributeValue;
                break;
            }
            const int wsa = net::set_option(c->socket, net::Option::multicast_ttl, ttl);
            if (wsa != 0) rc = translate(wsa);
            break;
        }
        case ATTR_UDP_MULTICAST_LOOPBACK: {
            const unsigned on = va_arg(args, unsigned) != 0 ? 1u : 0u;
            const int wsa = net::set_option(c->socket, net::Option::multicast_loop, on);
            if (wsa != 0) rc = translate(wsa);
            break;
        }
        default: rc = kUDP_InvalidAttribute; break;  // the port, below 0 and 6 or more
    }
    c->lock.unlock();
    unpin(c);
    return rc;
}

}  // namespace kez::comm::udp

using namespace kez::comm::udp;

namespace {

// Locks and pins the channel for fn: its result, or -6800.
template <typename Fn>
int with_channel(unsigned channel, Fn fn) {
    const int rc = ensure_initialised();
    if (rc != 0) return rc;
    Channel *c = pin(channel);
    if (c == nullptr) return kUDP_InvalidChannel;
    c->lock.lock();
    const int result = fn(c);
    c->lock.unlock();
    unpin(c);
    return result;
}

}  // namespace

extern "C" int UDPMulticastSubscribe(unsigned int channel, const char *multicastAddress, const char *sourceAddress) {
    (void)sourceAddress;  // every membership is any-source
    return UDP_RESULT(with_channel(channel, [&](Channel *c) {
        std::uint32_t group = 0;
        const int rc = parse_group(multicastAddress, &group);
        return rc != 0 ? rc : subscribe(c, group);
    }));
}

extern "C" int UDPMulticastUnsubscribe(unsigned int channel, const char *multicastAddress, const char *sourceAddress) {
    (void)sourceAddress;
    return UDP_RESULT(with_channel(channel, [&](Channel *c) {
        std::uint32_t group = 0;
        const int rc = parse_group(multicastAddress, &group);
        return rc != 0 ? rc : unsubscribe(c, group);
    }));
}

extern "C" int GetUDPAttribute(unsigned int channel, int attribute, void *value) {
    return UDP_RESULT(with_channel(channel, [&](Channel *c) { return get_attribute(c, attribute, value); }));
}

extern "C" int SetUDPAttribute(unsigned int channel, int attribute, ...) {
    va_list args;
    va_start(args, attribute);
    const int rc = set_attribute(channel, attribute, args);
    va_end(args);
    return UDP_RESULT(rc);
}

// The twin of a function with variable arguments is written out: the table
// cannot forward them.
extern "C" int _UP_SetUDPAttribute(unsigned int channel, int attribute, ...) {
    va_list args;
    va_start(args, attribute);
    const int rc = fail("SetUDPAttribute", set_attribute(channel, attribute, args));
    va_end(args);
    if (rc < 0) kez::core::report_library_error("SetUDPAttribute", rc, GetUDPErrorString(rc));
    return rc;
}

extern "C" int GetUDPSocketHandle(unsigned int channel, size_t *socketHandle) {
    return UDP_RESULT(with_channel(channel, [&](Channel *c) {
        if (socketHandle == nullptr) return kUDP_NullPointerPassed;
        *socketHandle = c->socket;
        return 0;
    }));
}
