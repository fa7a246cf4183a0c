// Servers and clients: registering, connecting, disconnecting.
#include <cstdio>

#include "comm/net_address.h"
#include "comm/tcp_library.h"

namespace kez::comm::tcp {
namespace {

// A host argument as an address: kTCP_HostAddressNotFound when it names
// nothing, or names the broadcast address (taken as it stands, no lookup).
int host_address(const char *text, std::uint32_t *address) {
    if (resolve_host(text, address) != 0 || *address == os::net::kNoAddress) return kTCP_HostAddressNotFound;
    return 0;
}

// Waits once for the connect's outcome: writable or failed, then the
// socket's pending error decides. 0, or the socket error, or -1 for
// nothing within the time-out.
int wait_connected(os::net::Socket s, std::uint32_t timeout_ms) {
    os::net::PollEntry entry{s, os::net::kWritable, 0};
    int ready = 0;
    if (const int error = os::net::poll(&entry, 1, timeout_ms, &ready); error != 0) return error;
    if (ready == 0) return -1;
    std::uint32_t pending = 0;
    if (const int error = os::net::get_option(s, os::net::Option::error, &pending); error != 0) return error;
    return static_cast<int>(pending);
}

int connect_socket(os::net::Socket s, std::uint32_t address, unsigned port, unsigned client_port,
                   std::uint32_t timeout_ms) {
    int error = os::net::set_nonblocking(s);
    if (error == 0) error = os::net::set_option(s, os::net::Option::reuse_address, 1);
    if (error == 0 && client_port != 0) error = os::net::bind(s, os::net::kAnyAddress, static_cast<std::uint16_t>(client_port));
    if (error == 0) error = os::net::connect(s, address, static_cast<std::uint16_t>(port));
    if (error == os::net::kWsaWouldBlock) {
        error = wait_connected(s, timeout_ms == 0 ? kDefaultTimeoutMs : timeout_ms);
        if (error == -1) return kTCP_TimeOutErr;
    }
    if (error != 0) {
        record_error(error);
        return kTCP_UnableToEstablishConnection;
    }
    return 0;
}

}  // namespace

}  // namespace kez::comm::tcp

using namespace kez;
using namespace kez::comm::tcp;

extern "C" int ConnectToTCPServerEx(unsigned int *handle, unsigned int port, const char *serverHostName,
                                    tcpFuncPtr callback, void *callbackData, unsigned int timeOut,
                                    unsigned int clientPort) {
    if (const int status = start(); status != 0) return status;
    if (handle == nullptr || port == 0 || port > 65535 || clientPort > 65535) return kTCP_InvalidParameter;
    std::uint32_t address = 0;
    if (const int status = host_address(serverHostName, &address); status != 0) return status;
    os::net::Socket s = os::net::kInvalidSocket;
    if (const int error = os::net::open(os::net::Kind::stream, &s); error != 0) {
        record_error(error);
        return kTCP_UnableToEstablishConnection;
    }
    if (const int status = connect_socket(s, address, port, clientPort, timeOut); status != 0) {
        close_socket_gracefully(s);
        return status;
    }
    char description[320];
    std::snprintf(description, sizeof description, "TCP connection to %s on port %u",
                  serverHostName == nullptr || *serverHostName == '\0' ? "127.0.0.1" : serverHostName, port);
    const SlotSetup setup{kClient, s, callback, callbackData, static_cast<std::uint16_t>(port), address,
                          os::net::kNoAddress};
    if (const int status = open_slot(setup, description, false, handle); status != 0) {
        close_socket_gracefully(s);
        return status;
    }
    return 0;
}

extern "C" int ConnectToTCPServer(unsigned int *handle, unsigned int port, const char *serverHostName,
                                  tcpFuncPtr callback, void *callbackData, unsigned int timeOut) {
    return ConnectToTCPServerEx(handle, port, serverHostName, callback, callbackData, timeOut, 0);
}

extern "C" int RegisterTCPServerEx(unsigned int port, tcpFuncPtr callback, void *callbackData,
                                   const char *hostAddress) {
    if (const int status = start(); status != 0) return status;
    const bool any = hostAddress == nullptr || *hostAddress == '\0';
    std::uint32_t address = os::net::kAnyAddress;
    if (!any) {
        if (const int status = host_address(hostAddress, &address); status != 0) return status;
    }
    if (port > 65535) return kTCP_InvalidParameter;
    if (port != 0) {
        lock();
        bool taken = false;
        for (unsigned h = 0; h < kSlotCount && !taken; ++h) {
            const Slot &s = slot(h);
            taken = s.in_use && !s.closing && s.kind == kServer && s.port == port &&
                    (any || s.bound_address == address || s.bound_address == os::net::kAnyAddress);
        }
        unlock();
        if (taken) return kTCP_ExistingServer;
    }
    os::net::Socket s = os::net::kInvalidSocket;
    int error = os::net::open(os::net::Kind::stream, &s);
    std::uint16_t bound_port = static_cast<std::uint16_t>(port);
    if (error == 0) error = os::net::set_nonblocking(s);
    if (error == 0) error = os::net::bind(s, address, bound_port);
    if (error == 0 && port == 0) {
        std::uint32_t ignored = 0;
        error = os::net::local_name(s, &ignored, &bound_port);
    }
    if (error == 0) error = os::net::listen(s);
    if (error != 0) {
        record_error(error);
        if (s != os::net::kInvalidSocket) os::net::close(s);
        return kTCP_UnableToRegisterService;
    }
    char description[64];
    std::snprintf(description, sizeof description, "TCP server on port %u", static_cast<unsigned>(bound_port));
    const SlotSetup setup{kServer, s, callback, callbackData, bound_port, os::net::kNoAddress, address};
    unsigned h = 0;
    if (const int status = open_slot(setup, description, false, &h); status != 0) {
        os::net::close(s);  // a listener left open would keep the port
        return status;
    }
    return port == 0 ? static_cast<int>(bound_port) : 0;
}

extern "C" int RegisterTCPServer(unsigned int port, tcpFuncPtr callback, void *callbackData) {
    return RegisterTCPServerEx(port, callback, callbackData, nullptr);
}

extern "C" int UnregisterTCPServerEx(unsigned int port, const char *hostAddress) {
    if (const int status = start(); status != 0) return status;
    if (port == 0 || port > 65535) return kTCP_InvalidParameter;
    const bool any = hostAddress == nullptr || *hostAddress == '\0';
    std::uint32_t address = os::net::kAnyAddress;
    if (!any) {
        if (const int status = host_address(hostAddress, &address); status != 0) return status;
    }
    int closed = 0;
    for (unsigned h = 0; h < kSlotCount; ++h) {
        lock();
        const Slot &s = slot(h);
        const bool match = s.in_use && !s.closing && s.port == port &&
                           (s.kind == kServer || s.kind == kAccepted || s.kind == kAcceptedPeerGone) &&
                           (any || s.bound_address == address);
        unlock();
        if (!match) continue;
        close_slot(h);
        ++closed;
    }
    return closed == 0 ? kTCP_ServerNotRegistered : 0;
}

extern "C" int UnregisterTCPServer(unsigned int port) { return UnregisterTCPServerEx(port, nullptr); }

namespace {
int disconnect(unsigned handle, KindRule rule) {
    if (const int status = start(); status != 0) return status;
    if (pin(handle, rule, nullptr) != 0) return kTCP_NoConnectionEstablished;
    close_slot(handle);
    unpin(handle);
    return 0;
}
}  // namespace

extern "C" int DisconnectFromTCPServer(unsigned int handle) { return disconnect(handle, kClientTransfer); }
extern "C" int DisconnectTCPClient(unsigned int handle) { return disconnect(handle, kServerTransfer); }

extern "C" int SetTCPDisconnectMode(unsigned int handle, int mode) {
    if (const int status = start(); status != 0) return status;
    if (const int status = pin(handle, kAnyLive, nullptr); status != 0) return status;
    int result = 0;
    if (mode < 0 || mode > 1) {
        result = kTCP_InvalidParameter;
    } else {
        lock();
        slot(handle).manual = mode == 1;
        unlock();
    }
    unpin(handle);
    return result;
}
