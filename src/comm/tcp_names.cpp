// Host and peer queries of the TCP library.
#include <cstdlib>
#include <cstring>

#include "comm/net_address.h"
#include "comm/tcp_library.h"

using namespace kez;
using namespace kez::comm;
using namespace kez::comm::tcp;

namespace {

// Copies text into the caller's buffer: -9 when it does not fit.
int copy_out(const char *text, char *buffer, std::size_t size) {
    const std::size_t length = std::strlen(text);
    if (length >= size) return kTCP_InvalidParameter;
    std::memcpy(buffer, text, length + 1);
    return 0;
}

bool bad_buffer(const char *buffer, std::size_t size) { return buffer == nullptr || size == 0 || size > 0xFFFFFFFFull; }

// Runs query on a pinned live connection (kinds 2 and 4; 3 and 5 give -19).
template <typename Query>
int with_connection(unsigned handle, Query query) {
    if (const int status = start(); status != 0) return status;
    if (const int status = pin(handle, kAnyLive, nullptr); status != 0) return status;
    const int result = query(slot(handle));
    unpin(handle);
    return result;
}

}  // namespace

extern "C" int GetTCPHostName(char *buffer, size_t bufferSize) {
    if (const int status = start(); status != 0) return status;
    if (bad_buffer(buffer, bufferSize)) return kTCP_InvalidParameter;
    if (local_host_name() == nullptr) return kTCP_InfoNotAvailable;
    return copy_out(local_host_name(), buffer, bufferSize);
}

extern "C" int GetTCPHostAddr(char *buffer, size_t bufferSize) {
    if (const int status = start(); status != 0) return status;
    if (bad_buffer(buffer, bufferSize)) return kTCP_InvalidParameter;
    if (local_host_address() == os::net::kNoAddress) return kTCP_InfoNotAvailable;
    char dotted[16];
    format_dotted(local_host_address(), dotted);
    return copy_out(dotted, buffer, bufferSize);
}

// The array ends with a null entry, so that TCPFreeMemory finds every string.
extern "C" int GetAllTCPHostAddresses(char ***addresses, int *numAddresses) {
    if (addresses != nullptr) *addresses = nullptr;
    if (numAddresses != nullptr) *numAddresses = 0;
    if (const int status = start(); status != 0) return status;
    if (addresses == nullptr || numAddresses == nullptr) return kTCP_InvalidParameter;
    char name[256] = {};
    if (const int error = os::net::host_name(name, 255); error != 0) {
        record_error(error);
        return kTCP_InfoNotAvailable;
    }
    std::uint32_t found[64];
    std::size_t count = 0;
    if (const int error = os::net::resolve(name, found, 64, &count); error != 0) {
        record_error(error);
        return kTCP_InfoNotAvailable;
    }
    if (count > 64) count = 64;
    if (count == 0) return kTCP_InfoNotAvailable;
    auto **array = static_cast<char **>(std::calloc(count + 1, sizeof(char *)));
    if (array == nullptr) return kTCP_OutOfMemory;
    for (std::size_t i = 0; i < count; ++i) {
        array[i] = static_cast<char *>(std::malloc(16));
        if (array[i] == nullptr) {
            TCPFreeMemory(array);
            return kTCP_OutOfMemory;
        }
        format_dotted(found[i], array[i]);
    }
    *addresses = array;
    *numAddresses = static_cast<int>(count);
    return 0;
}

extern "C" void TCPFreeMemory(void *memoryPointer) {
    auto **array = static_cast<char **>(memoryPointer);
    if (array == nullptr) return;
    for (char **p = array; *p != nullptr; ++p) std::free(*p);
    std::free(array);
}

extern "C" int GetTCPHostConnectionAddr(unsigned int handle, char *buffer, size_t bufferSize) {
    return with_connection(handle, [&](const Slot &s) {
        if (bad_buffer(buffer, bufferSize)) return kTCP_InvalidParameter;
        std::uint32_t address = 0;
        std::uint16_t port = 0;
        if (const int error = os::net::local_name(s.socket, &address, &port); error != 0) {
            record_error(error);
            return kTCP_InfoNotAvailable;
        }
        char dotted[16];
        format_dotted(address, dotted);
        return copy_out(dotted, buffer, bufferSize);
    });
}

extern "C" int GetTCPPeerAddr(unsigned int handle, char *buffer, size_t bufferSize) {
    return with_connection(handle, [&](const Slot &s) {
        if (bad_buffer(buffer, bufferSize)) return kTCP_InvalidParameter;
        if (s.peer_address == os::net::kNoAddress) return kTCP_InfoNotAvailable;
        char dotted[16];
        format_dotted(s.peer_address, dotted);
        return copy_out(dotted, buffer, bufferSize);
    });
}

extern "C" int GetTCPPeerName(unsigned int handle, char *buffer, size_t bufferSize) {
    return with_connection(handle, [&](Slot &s) {
        if (bad_buffer(buffer, bufferSize)) return kTCP_InvalidParameter;
        lock_names();
        if (s.peer_name == nullptr) {
            char name[1025] = {};
            if (const int error = os::net::reverse_resolve(s.peer_address, name, sizeof name); error != 0)
                record_error(error);
            else
                s.peer_name = copy_text(name);
        }
        const int result = s.peer_name == nullptr ? kTCP_InfoNotAvailable : copy_out(s.peer_name, buffer, bufferSize);
        unlock_names();
        return result;
    });
}

extern "C" int GetHostTCPSocketHandle(unsigned int handle, size_t *socketHandle) {
    return with_connection(handle, [&](const Slot &s) {
        if (socketHandle == nullptr) return kTCP_InvalidParameter;
        *socketHandle = s.socket;
        return 0;
    });
}
