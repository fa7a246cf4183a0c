// The socket binding on Windows: wsock32.dll, loaded by the first
// startup() (the engine does not link it) and released by unload(). Types
// come from the system header; every entry point is called through the
// pointers resolved here.
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <vector>

#include "os/fault.h"
#include "os/os.h"
#include "os/socket.h"

namespace kez::os::net {
namespace {

// Winsock 1.1's numbers (wsock32), not those of the version 2 header.
constexpr int kSolSocket = 0xffff;
constexpr int kIpMulticastIf = 2;
constexpr int kIpMulticastTtl = 3;
constexpr int kIpMulticastLoop = 4;
constexpr int kIpAddMembership = 5;
constexpr int kIpDropMembership = 6;
constexpr long kFionbio = static_cast<long>(0x8004667EUL);

struct Entries {
    int(WSAAPI *startup)(WORD, WSADATA *);
    int(WSAAPI *cleanup)();
    SOCKET(WSAAPI *accept)(SOCKET, sockaddr *, int *);
    int(WSAAPI *bind)(SOCKET, const sockaddr *, int);
    int(WSAAPI *closesocket)(SOCKET);
    int(WSAAPI *connect)(SOCKET, const sockaddr *, int);
    hostent *(WSAAPI *gethostbyaddr)(const char *, int, int);
    hostent *(WSAAPI *gethostbyname)(const char *);
    int(WSAAPI *gethostname)(char *, int);
    int(WSAAPI *getsockname)(SOCKET, sockaddr *, int *);
    int(WSAAPI *getsockopt)(SOCKET, int, int, char *, int *);
    int(WSAAPI *setsockopt)(SOCKET, int, int, const char *, int);
    int(WSAAPI *ioctlsocket)(SOCKET, long, u_long *);
    u_long(WSAAPI *htonl)(u_long);
    u_short(WSAAPI *htons)(u_short);
    u_long(WSAAPI *ntohl)(u_long);
    u_short(WSAAPI *ntohs)(u_short);
    unsigned long(WSAAPI *inet_addr)(const char *);
    char *(WSAAPI *inet_ntoa)(in_addr);
    int(WSAAPI *listen)(SOCKET, int);
    int(WSAAPI *recv)(SOCKET, char *, int, int);
    int(WSAAPI *recvfrom)(SOCKET, char *, int, int, sockaddr *, int *);
    int(WSAAPI *select)(int, fd_set *, fd_set *, fd_set *, const timeval *);
    int(WSAAPI *send)(SOCKET, const char *, int, int);
    int(WSAAPI *sendto)(SOCKET, const char *, int, int, const sockaddr *, int);
    int(WSAAPI *shutdown)(SOCKET, int);
    SOCKET(WSAAPI *socket)(int, int, int);
    int(WSAAPI *async_select)(SOCKET, HWND, u_int, long);
    int(WSAAPI *get_last_error)();
    void(WSAAPI *set_last_error)(int);
    int(WSAAPI *fd_is_set)(SOCKET, fd_set *);
};

// In the order of Entries, which is the order they are resolved in.
constexpr const char *kEntryNames[] = {
    "WSAStartup",  "WSACleanup",  "accept",          "bind",         "closesocket",    "connect",
    "gethostbyaddr", "gethostbyname", "gethostname", "getsockname", "getsockopt",    "setsockopt",
    "ioctlsocket", "htonl",       "htons",           "ntohl",        "ntohs",          "inet_addr",
    "inet_ntoa",   "listen",      "recv",            "recvfrom",     "select",         "send",
    "sendto",      "shutdown",    "socket",          "WSAAsyncSelect", "WSAGetLastError", "WSASetLastError",
    "__WSAFDIsSet"};
static_assert(std::size(kEntryNames) * sizeof(void *) == sizeof(Entries));

enum class LoadState { never, loaded, failed };

SRWLOCK g_lock = SRWLOCK_INIT;
HMODULE g_module = nullptr;  // under g_lock
Entries g_entries{};
std::atomic<LoadState> g_state{LoadState::never};
std::atomic<int> g_started{0};

// Loads and resolves wsock32 once; under g_lock.
bool load_locked() {
    if (g_state.load() == LoadState::loaded) return true;
    char mutex_name[64];
    std::snprintf(mutex_name, sizeof mutex_name, "Winsock Library dynamic loading mutex %lu",
                  static_cast<unsigned long>(GetCurrentProcessId()));
    NamedMutex *mutex = named_mutex_open(mutex_name);
    if (mutex != nullptr) named_mutex_lock(mutex);
    HMODULE module = nullptr;
    char path[MAX_PATH + 32];
    const UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        std::strcat(path, "\\wsock32");
        std::strcat(path, ".dll");
        module = LoadLibraryA(path);
    }
    if (module == nullptr) module = LoadLibraryA("wsock32.dll");
    void *found[std::size(kEntryNames)] = {};
    bool complete = module != nullptr;
    for (std::size_t i = 0; complete && i < std::size(kEntryNames); ++i) {
        found[i] = reinterpret_cast<void *>(GetProcAddress(module, kEntryNames[i]));
        complete = found[i] != nullptr;
    }
    if (complete) {
        std::memcpy(&g_entries, found, sizeof g_entries);
        g_module = module;
    } else if (module != nullptr) {
        FreeLibrary(module);
    }
    if (mutex != nullptr) {
        named_mutex_unlock(mutex);
        named_mutex_close(mutex);
    }
    g_state.store(complete ? LoadState::loaded : LoadState::failed);
    return complete;
}

int enter(const char *point, int typical) {
    const LoadState state = g_state.load(std::memory_order_acquire);
    if (state == LoadState::failed) return kWsaSysNotReady;
    if (state == LoadState::never || g_started.load(std::memory_order_acquire) <= 0) return kWsaNotInitialised;
    unsigned error = 0;
    if (fault::hit(point, &error)) return error != 0 ? static_cast<int>(error) : typical;
    return 0;
}

int last() { return g_entries.get_last_error(); }

sockaddr_in address_of(std::uint32_t address, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = address;
    a.sin_port = g_entries.htons(port);
    return a;
}

int cut(std::size_t size) { return size > INT_MAX ? INT_MAX : static_cast<int>(size); }

// An fd_set of any size: the count, then the sockets.
class SocketSet {
public:
    explicit SocketSet(std::size_t capacity) : words_(capacity + 1) {}
    void add(SOCKET s) {
        ++count_;
        words_[count_] = s;
        const u_int n = static_cast<u_int>(count_);
        std::memcpy(words_.data(), &n, sizeof n);
    }
    bool empty() const { return count_ == 0; }
    fd_set *get() { return empty() ? nullptr : reinterpret_cast<fd_set *>(words_.data()); }
    // The sockets select left in the set, sorted for look-ups.
    std::vector<SOCKET> result() {
        u_int n = 0;
        std::memcpy(&n, words_.data(), sizeof n);
        std::vector<SOCKET> r(words_.begin() + 1, words_.begin() + 1 + n);
        std::sort(r.begin(), r.end());
        return r;
    }

private:
    std::vector<SOCKET> words_;
    std::size_t count_ = 0;
};

bool contains(const std::vector<SOCKET> &sorted, SOCKET s) { return std::binary_search(sorted.begin(), sorted.end(), s); }

}  // namespace

int startup(std::uint16_t *version) {
    unsigned error = 0;
    if (fault::hit("os.net_load", &error)) return error != 0 ? static_cast<int>(error) : kWsaSysNotReady;
    AcquireSRWLockExclusive(&g_lock);
    const bool loaded = load_locked();
    ReleaseSRWLockExclusive(&g_lock);
    if (!loaded) return kWsaSysNotReady;
    if (fault::hit("os.net_startup", &error)) return error != 0 ? static_cast<int>(error) : kWsaSysNotReady;
    WSADATA data{};
    const int r = g_entries.startup(0x0101, &data);
    if (r != 0) return r;
    g_started.fetch_add(1, std::memory_order_acq_rel);
    if (version != nullptr) *version = data.wVersion;
    return 0;
}

void cleanup() {
    int n = g_started.load(std::memory_order_acquire);
    while (n > 0) {
        if (g_started.compare_exchange_weak(n, n - 1, std::memory_order_acq_rel)) {
            g_entries.cleanup();
            return;
        }
    }
}

void unload() {
    AcquireSRWLockExclusive(&g_lock);
    if (g_module != nullptr) FreeLibrary(g_module);
    g_module = nullptr;
    g_entries = Entries{};
    g_started.store(0);
    g_state.store(LoadState::never);
    ReleaseSRWLockExclusive(&g_lock);
}

int open(Kind kind, Socket *out) {
    *out = kInvalidSocket;
    if (const int e = enter("os.net_socket", kWsaMFile)) return e;
    const SOCKET s = g_entries.socket(AF_INET, kind == Kind::stream ? SOCK_STREAM : SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET) return last();
    *out = static_cast<Socket>(s);
    return 0;
}

int close(Socket s) {
    if (const int e = enter("os.net_close", kWsaNotSock)) return e;
    return g_entries.closesocket(s) == 0 ? 0 : last();
}

int set_nonblocking(Socket s) {
    if (const int e = enter("os.net_ioctl", kWsaNotSock)) return e;
    u_long on = 1;
    return g_entries.ioctlsocket(s, kFionbio, &on) == 0 ? 0 : last();
}

int bind(Socket s, std::uint32_t address, std::uint16_t port) {
    if (const int e = enter("os.net_bind", kWsaAddrInUse)) return e;
    const sockaddr_in a = address_of(address, port);
    return g_entries.bind(s, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0 ? 0 : last();
}

int listen(Socket s) {
    if (const int e = enter("os.net_listen", kWsaAddrInUse)) return e;
    return g_entries.listen(s, SOMAXCONN) == 0 ? 0 : last();
}

int accept(Socket s, Socket *out, std::uint32_t *peer_address, std::uint16_t *peer_port) {
    *out = kInvalidSocket;
    if (const int e = enter("os.net_accept", kWsaWouldBlock)) return e;
    sockaddr_in a{};
    int length = sizeof a;
    const SOCKET accepted = g_entries.accept(s, reinterpret_cast<sockaddr *>(&a), &length);
    if (accepted == INVALID_SOCKET) return last();
    u_long on = 1;
    if (g_entries.ioctlsocket(accepted, kFionbio, &on) != 0) {
        const int e = last();
        g_entries.closesocket(accepted);
        return e;
    }
    *out = static_cast<Socket>(accepted);
    if (peer_address != nullptr) *peer_address = a.sin_addr.s_addr;
    if (peer_port != nullptr) *peer_port = g_entries.ntohs(a.sin_port);
    return 0;
}

int connect(Socket s, std::uint32_t address, std::uint16_t port) {
    if (const int e = enter("os.net_connect", kWsaConnRefused)) return e;
    const sockaddr_in a = address_of(address, port);
    return g_entries.connect(s, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0 ? 0 : last();
}

int local_name(Socket s, std::uint32_t *address, std::uint16_t *port) {
    if (const int e = enter("os.net_getsockname", kWsaInval)) return e;
    sockaddr_in a{};
    int length = sizeof a;
    if (g_entries.getsockname(s, reinterpret_cast<sockaddr *>(&a), &length) != 0) return last();
    if (address != nullptr) *address = a.sin_addr.s_addr;
    if (port != nullptr) *port = g_entries.ntohs(a.sin_port);
    return 0;
}

int shutdown_send(Socket s) {
    if (const int e = enter("os.net_shutdown", kWsaNotConn)) return e;
    return g_entries.shutdown(s, 1) == 0 ? 0 : last();
}

int send(Socket s, const void *data, std::size_t size, std::size_t *sent) {
    *sent = 0;
    if (const int e = enter("os.net_send", kWsaConnReset)) return e;
    const int n = g_entries.send(s, static_cast<const char *>(data), cut(size), 0);
    if (n == SOCKET_ERROR) return last();
    *sent = static_cast<std::size_t>(n);
    return 0;
}

int recv(Socket s, void *buffer, std::size_t size, bool peek, std::size_t *received) {
    *received = 0;
    if (const int e = enter("os.net_recv", kWsaConnReset)) return e;
    const int n = g_entries.recv(s, static_cast<char *>(buffer), cut(size), peek ? MSG_PEEK : 0);
    if (n == SOCKET_ERROR) return last();
    *received = static_cast<std::size_t>(n);
    return 0;
}

int send_to(Socket s, const void *data, std::size_t size, std::uint32_t address, std::uint16_t port,
            std::size_t *sent) {
    *sent = 0;
    if (const int e = enter("os.net_sendto", kWsaNoBufs)) return e;
    const sockaddr_in a = address_of(address, port);
    const int n = g_entries.sendto(s, static_cast<const char *>(data), cut(size), 0,
                                   reinterpret_cast<const sockaddr *>(&a), sizeof a);
    if (n == SOCKET_ERROR) return last();
    *sent = static_cast<std::size_t>(n);
    return 0;
}

int receive_from(Socket s, void *buffer, std::size_t size, bool peek, std::size_t *received,
                 std::uint32_t *source_address, std::uint16_t *source_port) {
    *received = 0;
    if (const int e = enter("os.net_recvfrom", kWsaConnReset)) return e;
    sockaddr_in a{};
    int length = sizeof a;
    const int n = g_entries.recvfrom(s, static_cast<char *>(buffer), cut(size), peek ? MSG_PEEK : 0,
                                     reinterpret_cast<sockaddr *>(&a), &length);
    if (source_address != nullptr) *source_address = a.sin_addr.s_addr;
    if (source_port != nullptr) *source_port = g_entries.ntohs(a.sin_port);
    if (n == SOCKET_ERROR) {
        const int e = last();
        // A cut datagram fills the whole buffer.
        if (e == kWsaMsgSize) *received = static_cast<std::size_t>(cut(size));
        return e;
    }
    *received = static_cast<std::size_t>(n);
    return 0;
}

namespace {

struct OptionName {
    int level;
    int name;
};

OptionName option_name(Option option) {
    switch (option) {
    case Option::reuse_address: return {kSolSocket, 0x0004};
    case Option::broadcast: return {kSolSocket, 0x0020};
    case Option::send_buffer: return {kSolSocket, 0x1001};
    case Option::receive_buffer: return {kSolSocket, 0x1002};
    case Option::error: return {kSolSocket, 0x1007};
    case Option::multicast_if: return {IPPROTO_IP, kIpMulticastIf};
    case Option::multicast_ttl: return {IPPROTO_IP, kIpMulticastTtl};
    case Option::multicast_loop: return {IPPROTO_IP, kIpMulticastLoop};
    }
    return {-1, -1};
}

int membership(Socket s, int name, std::uint32_t group, std::uint32_t interface_address) {
    if (const int e = enter("os.net_setsockopt", kWsaNoProtoOpt)) return e;
    struct {
        std::uint32_t group;
        std::uint32_t interface_address;
    } request{group, interface_address};
    return g_entries.setsockopt(s, IPPROTO_IP, name, reinterpret_cast<const char *>(&request), sizeof request) == 0
               ? 0
               : last();
}

}  // namespace

int set_option(Socket s, Option option, std::uint32_t value) {
    if (const int e = enter("os.net_setsockopt", kWsaNoProtoOpt)) return e;
    if (option == Option::error) return kWsaNoProtoOpt;
    const OptionName o = option_name(option);
    int result;
    if (option == Option::multicast_ttl || option == Option::multicast_loop) {
        const unsigned char byte = static_cast<unsigned char>(value);
        result = g_entries.setsockopt(s, o.level, o.name, reinterpret_cast<const char *>(&byte), sizeof byte);
    } else {
        result = g_entries.setsockopt(s, o.level, o.name, reinterpret_cast<const char *>(&value), sizeof value);
    }
    return result == 0 ? 0 : last();
}

int get_option(Socket s, Option option, std::uint32_t *value) {
    *value = 0;
    if (const int e = enter("os.net_getsockopt", kWsaNoProtoOpt)) return e;
    const OptionName o = option_name(option);
    unsigned char bytes[sizeof(std::uint32_t)] = {};
    int length = sizeof bytes;
    if (g_entries.getsockopt(s, o.level, o.name, reinterpret_cast<char *>(bytes), &length) != 0) return last();
    if (length < 0) length = 0;
    std::memcpy(value, bytes, static_cast<std::size_t>(length) < sizeof *value ? static_cast<std::size_t>(length)
                                                                               : sizeof *value);
    return 0;
}

int join_group(Socket s, std::uint32_t group, std::uint32_t interface_address) {
    return membership(s, kIpAddMembership, group, interface_address);
}

int leave_group(Socket s, std::uint32_t group, std::uint32_t interface_address) {
    return membership(s, kIpDropMembership, group, interface_address);
}

int poll(PollEntry *entries, std::size_t count, std::uint32_t timeout_ms, int *ready) {
    *ready = 0;
    if (const int e = enter("os.net_poll", kWsaNotSock)) return e;
    SocketSet readable(count), writable(count), failed(count);
    for (std::size_t i = 0; i < count; ++i) {
        entries[i].got = 0;
        if ((entries[i].want & kReadable) != 0) readable.add(entries[i].socket);
        if ((entries[i].want & kWritable) != 0) writable.add(entries[i].socket);
        failed.add(entries[i].socket);
    }
    if (count == 0) {
        // select refuses three empty sets.
        if (timeout_ms != 0) Sleep(timeout_ms);
        return 0;
    }
    timeval wait{static_cast<long>(timeout_ms / 1000), static_cast<long>((timeout_ms % 1000) * 1000)};
    const int n = g_entries.select(0, readable.get(), writable.get(), failed.get(),
                                   timeout_ms == kInfinite ? nullptr : &wait);
    if (n == SOCKET_ERROR) return last();
    if (n == 0) return 0;
    const std::vector<SOCKET> r = readable.empty() ? std::vector<SOCKET>{} : readable.result();
    const std::vector<SOCKET> w = writable.empty() ? std::vector<SOCKET>{} : writable.result();
    const std::vector<SOCKET> f = failed.result();
    for (std::size_t i = 0; i < count; ++i) {
        unsigned got = 0;
        if ((entries[i].want & kReadable) != 0 && contains(r, entries[i].socket)) got |= kReadable;
        if ((entries[i].want & kWritable) != 0 && contains(w, entries[i].socket)) got |= kWritable;
        if (contains(f, entries[i].socket)) got |= kFailed;
        entries[i].got = got;
        if (got != 0) ++*ready;
    }
    return 0;
}

int host_name(char *buffer, std::size_t size) {
    if (const int e = enter("os.net_gethostname", kWsaFault)) return e;
    if (buffer == nullptr || size == 0) return kWsaFault;
    return g_entries.gethostname(buffer, cut(size)) == 0 ? 0 : last();
}

int resolve(const char *name, std::uint32_t *addresses, std::size_t capacity, std::size_t *count) {
    *count = 0;
    if (const int e = enter("os.net_resolve", kWsaHostNotFound)) return e;
    // The result is the thread's own storage, valid until its next lookup:
    // copied out at once.
    const hostent *h = g_entries.gethostbyname(name);
    if (h == nullptr) return last();
    if (h->h_addrtype != AF_INET || h->h_length != 4) return kWsaNoData;
    std::size_t n = 0;
    for (; h->h_addr_list[n] != nullptr; ++n) {
        if (n < capacity) std::memcpy(&addresses[n], h->h_addr_list[n], 4);
    }
    *count = n;
    return n == 0 ? kWsaNoData : 0;
}

int reverse_resolve(std::uint32_t address, char *name, std::size_t size) {
    if (const int e = enter("os.net_reverse_resolve", kWsaHostNotFound)) return e;
    if (name == nullptr || size == 0) return kWsaFault;
    const hostent *h = g_entries.gethostbyaddr(reinterpret_cast<const char *>(&address), 4, AF_INET);
    if (h == nullptr || h->h_name == nullptr) return h == nullptr ? last() : kWsaNoData;
    std::size_t length = std::strlen(h->h_name);
    if (length > size - 1) length = size - 1;
    std::memcpy(name, h->h_name, length);
    name[length] = '\0';
    return 0;
}

}  // namespace kez::os::net
