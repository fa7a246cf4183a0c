// The socket binding on POSIX: BSD sockets given Winsock 1.1's meanings
// (see socket.h). The descriptor is the Socket value.
#include "os/socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <vector>

#include "os/fault.h"
#include "os/os.h"

namespace kez::os::net {
namespace {

std::atomic<int> g_started{0};

// The Winsock code of the same case as errno `e`.
int code_of(int e) {
    switch (e) {
    case 0: return 0;
    case EINTR: return kWsaIntr;
    case EBADF: return kWsaNotSock;
    case EACCES: case EPERM: return kWsaAccess;
    case EFAULT: return kWsaFault;
    case EINVAL: return kWsaInval;
    case EMFILE: case ENFILE: return kWsaMFile;
    case EAGAIN: return kWsaWouldBlock;
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK: return kWsaWouldBlock;
#endif
    case EINPROGRESS: return kWsaInProgress;
    case EALREADY: return kWsaAlready;
    case ENOTSOCK: return kWsaNotSock;
    case EDESTADDRREQ: return 10039;
    case EMSGSIZE: return kWsaMsgSize;
    case EPROTOTYPE: return 10041;
    case ENOPROTOOPT: return kWsaNoProtoOpt;
    case EPROTONOSUPPORT: return 10043;
    case ESOCKTNOSUPPORT: return 10044;
    case EOPNOTSUPP: return kWsaOpNotSupp;
    case EPFNOSUPPORT: return 10046;
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return kWsaAddrInUse;
    case EADDRNOTAVAIL: return kWsaAddrNotAvail;
    case ENETDOWN: return kWsaNetDown;
    case ENETUNREACH: return kWsaNetUnreach;
    case ENETRESET: return 10052;
    case ECONNABORTED: return kWsaConnAborted;
    case ECONNRESET: return kWsaConnReset;
    case ENOBUFS: case ENOMEM: return kWsaNoBufs;
    case EISCONN: return kWsaIsConn;
    case ENOTCONN: return kWsaNotConn;
    case ESHUTDOWN: return kWsaShutdown;
    case ETIMEDOUT: return kWsaTimedOut;
    case ECONNREFUSED: return kWsaConnRefused;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return kWsaHostUnreach;
    default: return kWsaInval;
    }
}

int last() { return code_of(errno); }

// 0 when the call may go on: the binding is started and the fault point
// is not armed; otherwise the code the call reports.
int enter(const char *point, int typical) {
    if (g_started.load(std::memory_order_acquire) <= 0) return kWsaNotInitialised;
    unsigned error = 0;
    if (fault::hit(point, &error)) return error != 0 ? static_cast<int>(error) : typical;
    return 0;
}

// The descriptor of a Socket; -1 for a value no descriptor can have.
int fd_of(Socket s) { return s <= static_cast<Socket>(INT_MAX) ? static_cast<int>(s) : -1; }

sockaddr_in address_of(std::uint32_t address, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = address;
    a.sin_port = htons(port);
    return a;
}

int set_int(int fd, int level, int name, int value) {
    return setsockopt(fd, level, name, &value, sizeof value) == 0 ? 0 : last();
}

std::size_t cut(std::size_t size) { return size > INT_MAX ? INT_MAX : size; }

// EPIPE is a send after our own shutdown (kWsaShutdown) or after the peer
// reset the connection (kWsaConnReset); the connection's state tells them
// apart.
int pipe_code(int fd) {
    tcp_info info{};
    socklen_t length = sizeof info;
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 && info.tcpi_state == TCP_CLOSE)
        return kWsaConnReset;
    return kWsaShutdown;
}

int lookup_code(int e) {
    switch (e) {
    case EAI_NONAME: return kWsaHostNotFound;
    case EAI_AGAIN: return kWsaTryAgain;
    case EAI_FAIL: return kWsaNoRecovery;
#if defined(EAI_NODATA)
    case EAI_NODATA: return kWsaNoData;
#endif
#if defined(EAI_ADDRFAMILY)
    case EAI_ADDRFAMILY: return kWsaNoData;
#endif
    case EAI_MEMORY: return kWsaNoBufs;
    case EAI_SYSTEM: return last();
    default: return kWsaNoRecovery;
    }
}

}  // namespace

int startup(std::uint16_t *version) {
    unsigned error = 0;
    if (fault::hit("os.net_load", &error)) return error != 0 ? static_cast<int>(error) : kWsaSysNotReady;
    if (fault::hit("os.net_startup", &error)) return error != 0 ? static_cast<int>(error) : kWsaSysNotReady;
    g_started.fetch_add(1, std::memory_order_acq_rel);
    if (version != nullptr) *version = 0x0101;
    return 0;
}

void cleanup() {
    int n = g_started.load(std::memory_order_acquire);
    while (n > 0 && !g_started.compare_exchange_weak(n, n - 1, std::memory_order_acq_rel)) {
    }
}

void unload() {}

int open(Kind kind, Socket *out) {
    *out = kInvalidSocket;
    if (const int e = enter("os.net_socket", kWsaMFile)) return e;
    const int fd = socket(AF_INET, (kind == Kind::stream ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
    if (fd < 0) return last();
    *out = static_cast<Socket>(fd);
    return 0;
}

int close(Socket s) {
    if (const int e = enter("os.net_close", kWsaNotSock)) return e;
    const int fd = fd_of(s);
    if (fd < 0) return kWsaNotSock;
    // The descriptor is gone even when close reports EINTR.
    return ::close(fd) == 0 || errno == EINTR ? 0 : last();
}

int set_nonblocking(Socket s) {
    if (const int e = enter("os.net_ioctl", kWsaNotSock)) return e;
    const int fd = fd_of(s);
    const int flags = fd < 0 ? -1 : fcntl(fd, F_GETFL);
    if (flags < 0) return fd < 0 ? kWsaNotSock : last();
    return fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 ? 0 : last();
}

int bind(Socket s, std::uint32_t address, std::uint16_t port) {
    if (const int e = enter("os.net_bind", kWsaAddrInUse)) return e;
    const int fd = fd_of(s);
    if (fd < 0) return kWsaNotSock;
    // A stream socket may take a port whose earlier connections are in
    // TIME_WAIT, as on Windows; Linux still refuses a second listener.
    int type = 0;
    socklen_t length = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0) return last();
    if (type == SOCK_STREAM) {
        if (const int e = set_int(fd, SOL_SOCKET, SO_REUSEADDR, 1)) return e;
    }
    const sockaddr_in a = address_of(address, port);
    return ::bind(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0 ? 0 : last();
}

int listen(Socket s) {
    if (const int e = enter("os.net_listen", kWsaAddrInUse)) return e;
    const int fd = fd_of(s);
    if (fd < 0) return kWsaNotSock;
    if (const int e = set_int(fd, SOL_SOCKET, SO_REUSEADDR, 1)) return e;
    return ::listen(fd, SOMAXCONN) == 0 ? 0 : last();
}

int accept(Socket s, Socket *out, std::uint32_t *peer_address, std::uint16_t *peer_port) {
    *out = kInvalidSocket;
    if (const int e = enter("os.net_accept", kWsaWouldBlock)) return e;
    const int fd = fd_of(s);
    if (fd < 0) return kWsaNotSock;
    sockaddr_in a{};
    socklen_t length = sizeof a;
    int accepted;
    do {
        accepted = accept4(fd, reinterpret_cast<sockaddr *>(&a), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    } while (accepted < 0 && errno == EINTR);
    if (accepted < 0) return last();
    *out = static_cast<Socket>(accepted);
    if (peer_address != nullptr) *peer_address = a.sin_addr.s_addr;
    if (peer_port != nullptr) *peer_port = ntohs(a.sin_port);
    return 0;
}

int connect(Socket s, std::uint32_t address, std::uint16_t port) {
    if (const int e = enter("os.net_connect", kWsaConnRefused)) return e;
    const int fd = fd_of(s);
    if (fd < 0) return kWsaNotSock;
    const sockaddr_in a = address_of(address, port);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0) return 0;
    // An interrupted connect goes on in the background, like one in progress.
    return errno == EINPROGRESS || errno == EINTR ? kWsaWouldBlock : last();
}

int local_name(Socket s, std::uint32_t *address, std::uint16_t *port) {
    if (const int e = enter("os.net_getsockname", kWsaInval)) return e;
    const int fd = fd_of(s);
    if (fd < 0) return kWsaNotSock;
    sockaddr_in a{};
    socklen_t length = sizeof a;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&a), &length) != 0) return last();
    if (address != nullptr) *address = a.sin_addr.s_addr;
    if (port != nullptr) *port = ntohs(a.sin_port);
    return 0;
}

int shutdown_send(Socket s) {
    if (const int e = enter("os.net_shutdown", kWsaNotConn)) return e;
    const int fd = fd_of(s);
    if (fd < 0) return kWsaNotSock;
    return ::shutdown(fd, SHUT_WR) == 0 ? 0 : last();
}

int send(Socket s, const void *data, std::size_t size, std::size_t *sent) {
    *sent = 0;
    if (const int e = enter("os.net_send", kWsaConnReset)) return e;
    const int fd = fd_of(s);
    if (fd < 0) return kWsaNotSock;
    ssize_t n;
    do {
        n = ::send(fd, data, cut(size), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return errno == EPIPE ? pipe_code(fd) : last();
    *sent = static_cast<std::size_t>(n);
    return 0;
}

int recv(Socket s, void *buffer, std::size_t size, bool peek, std::size_t *received) {
    *received = 0;
    if (const int e = enter("os.net_recv", kWsaConnReset)) return e;
    const int fd = fd_of(s);
    if (fd < 0) return kWsaNotSock;
    ssize_t n;
    do {
        n = ::recv(fd, buffer, cut(size), peek ? MSG_PEEK : 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return last();
    *received = static_cast<std::size_t>(n);
    return 0;
}

int send_to(Socket s, const void *data, std::size_t size, std::uint32_t address, std::uint16_t port,
            std::size_t *sent) {
    *sent = 0;
    if (const int e = enter("os.net_sendto", kWsaNoBufs)) return e;
    const int fd = fd_of(s);
    if (fd < 0) return kWsaNotSock;
    const sockaddr_in a = address_of(address, port);
    ssize_t n;
    do {
        n = ::sendto(fd, data, cut(size), MSG_NOSIGNAL, reinterpret_cast<const sockaddr *>(&a), sizeof a);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return errno == EPIPE ? pipe_code(fd) : last();
    *sent = static_cast<std::size_t>(n);
    return 0;
}

int receive_from(Socket s, void *buffer, std::size_t size, bool peek, std::size_t *received,
                 std::uint32_t *source_address, std::uint16_t *source_port) {
    *received = 0;
    if (const int e = enter("os.net_recvfrom", kWsaConnReset)) return e;
    const int fd = fd_of(s);
    if (fd < 0) return kWsaNotSock;
    int type = 0;
    socklen_t type_length = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &type_length) != 0) return last();
    // MSG_TRUNC on a datagram socket gives the datagram's whole length; on
    // a stream it would discard data.
    const int flags = (peek ? MSG_PEEK : 0) | (type == SOCK_DGRAM ? MSG_TRUNC : 0);
    const std::size_t room = cut(size);
    sockaddr_in a{};
    socklen_t length = sizeof a;
    ssize_t n;
    do {
        n = ::recvfrom(fd, buffer, room, flags, reinterpret_cast<sockaddr *>(&a), &length);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return last();
    if (source_address != nullptr) *source_address = a.sin_addr.s_addr;
    if (source_port != nullptr) *source_port = ntohs(a.sin_port);
    if (static_cast<std::size_t>(n) > room) {
        *received = room;
        return kWsaMsgSize;
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
    case Option::reuse_address: return {SOL_SOCKET, SO_REUSEADDR};
    case Option::broadcast: return {SOL_SOCKET, SO_BROADCAST};
    case Option::send_buffer: return {SOL_SOCKET, SO_SNDBUF};
    case Option::receive_buffer: return {SOL_SOCKET, SO_RCVBUF};
    case Option::error: return {SOL_SOCKET, SO_ERROR};
    case Option::multicast_if: return {IPPROTO_IP, IP_MULTICAST_IF};
    case Option::multicast_ttl: return {IPPROTO_IP, IP_MULTICAST_TTL};
    case Option::multicast_loop: return {IPPROTO_IP, IP_MULTICAST_LOOP};
    }
    return {-1, -1};
}

int membership(Socket s, int name, std::uint32_t group, std::uint32_t interface_address) {
    if (const int e = enter("os.net_setsockopt", kWsaNoProtoOpt)) return e;
    const int fd = fd_of(s);
    if (fd < 0) return kWsaNotSock;
    ip_mreq request{};
    request.imr_multiaddr.s_addr = group;
    request.imr_interface.s_addr = interface_address;
    return setsockopt(fd, IPPROTO_IP, name, &request, sizeof request) == 0 ? 0 : last();
}

}  // namespace

int set_option(Socket s, Option option, std::uint32_t value) {
    if (const int e = enter("os.net_setsockopt", kWsaNoProtoOpt)) return e;
    const int fd = fd_of(s);
    if (fd < 0) return kWsaNotSock;
    const OptionName o = option_name(option);
    int result;
    if (option == Option::error) return kWsaNoProtoOpt;
    if (option == Option::multicast_ttl || option == Option::multicast_loop) {
        const unsigned char byte = static_cast<unsigned char>(value);
        result = setsockopt(fd, o.level, o.name, &byte, sizeof byte);
    } else if (option == Option::multicast_if) {
        in_addr a{};
        a.s_addr = value;
        result = setsockopt(fd, o.level, o.name, &a, sizeof a);
    } else {
        const int v = static_cast<int>(value);
        result = setsockopt(fd, o.level, o.name, &v, sizeof v);
    }
    return result == 0 ? 0 : last();
}

int get_option(Socket s, Option option, std::uint32_t *value) {
    *value = 0;
    if (const int e = enter("os.net_getsockopt", kWsaNoProtoOpt)) return e;
    const int fd = fd_of(s);
    if (fd < 0) return kWsaNotSock;
    const OptionName o = option_name(option);
    unsigned char bytes[sizeof(std::uint32_t)] = {};
    socklen_t length = sizeof bytes;
    if (getsockopt(fd, o.level, o.name, bytes, &length) != 0) return last();
    if (option == Option::error) {
        int e = 0;
        std::memcpy(&e, bytes, sizeof e);
        *value = static_cast<std::uint32_t>(code_of(e));
        return 0;
    }
    if (length == 1) {
        *value = bytes[0];
    } else {
        std::memcpy(value, bytes, length < sizeof *value ? length : sizeof *value);
    }
    return 0;
}

int join_group(Socket s, std::uint32_t group, std::uint32_t interface_address) {
    return membership(s, IP_ADD_MEMBERSHIP, group, interface_address);
}

int leave_group(Socket s, std::uint32_t group, std::uint32_t interface_address) {
    return membership(s, IP_DROP_MEMBERSHIP, group, interface_address);
}

int poll(PollEntry *entries, std::size_t count, std::uint32_t timeout_ms, int *ready) {
    *ready = 0;
    if (const int e = enter("os.net_poll", kWsaNotSock)) return e;
    std::vector<pollfd> fds(count);
    for (std::size_t i = 0; i < count; ++i) {
        entries[i].got = 0;
        fds[i].fd = fd_of(entries[i].socket);
        if (fds[i].fd < 0) return kWsaNotSock;
        fds[i].events = static_cast<short>(((entries[i].want & kReadable) != 0 ? POLLIN : 0) |
                                           ((entries[i].want & kWritable) != 0 ? POLLOUT : 0));
    }
    const std::uint64_t deadline = timeout_ms == kInfinite ? 0 : tick_count_ms() + timeout_ms;
    int n;
    for (;;) {
        int wait = -1;
        if (timeout_ms != kInfinite) {
            const std::uint64_t now = tick_count_ms();
            const std::uint64_t left = deadline > now ? deadline - now : 0;
            wait = left > INT_MAX ? INT_MAX : static_cast<int>(left);
        }
        n = ::poll(fds.data(), count, wait);
        if (n >= 0 || errno != EINTR) break;
    }
    if (n < 0) return last();
    for (std::size_t i = 0; i < count; ++i) {
        const short r = fds[i].revents;
        if (r == 0) continue;
        if ((r & POLLNVAL) != 0) return kWsaNotSock;
        unsigned got = 0;
        if ((entries[i].want & kReadable) != 0 && (r & (POLLIN | POLLHUP | POLLERR)) != 0) got |= kReadable;
        if ((r & POLLOUT) != 0 && (entries[i].want & kWritable) != 0) got |= kWritable;
        if ((r & POLLERR) != 0) {
            got |= kFailed;
        } else if ((r & POLLHUP) != 0) {
            // A socket that never got connected hangs up: its connect failed.
            sockaddr_in peer{};
            socklen_t length = sizeof peer;
            if (getpeername(fds[i].fd, reinterpret_cast<sockaddr *>(&peer), &length) != 0 && errno == ENOTCONN)
                got |= kFailed;
        }
        entries[i].got = got;
        if (got != 0) ++*ready;
    }
    return 0;
}

int host_name(char *buffer, std::size_t size) {
    if (const int e = enter("os.net_gethostname", kWsaFault)) return e;
    if (buffer == nullptr || size == 0) return kWsaFault;
    if (gethostname(buffer, size) != 0) return errno == ENAMETOOLONG ? kWsaFault : last();
    // POSIX leaves a cut name unterminated; Winsock refuses a short buffer.
    if (std::memchr(buffer, '\0', size) == nullptr) return kWsaFault;
    return 0;
}

int resolve(const char *name, std::uint32_t *addresses, std::size_t capacity, std::size_t *count) {
    *count = 0;
    if (const int e = enter("os.net_resolve", kWsaHostNotFound)) return e;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const int r = getaddrinfo(name, nullptr, &hints, &found);
    if (r != 0) return lookup_code(r);
    std::size_t n = 0;
    for (const addrinfo *a = found; a != nullptr; a = a->ai_next) {
        if (a->ai_family != AF_INET) continue;
        if (n < capacity) addresses[n] = reinterpret_cast<const sockaddr_in *>(a->ai_addr)->sin_addr.s_addr;
        ++n;
    }
    freeaddrinfo(found);
    *count = n;
    return n == 0 ? kWsaNoData : 0;
}

int reverse_resolve(std::uint32_t address, char *name, std::size_t size) {
    if (const int e = enter("os.net_reverse_resolve", kWsaHostNotFound)) return e;
    if (name == nullptr || size == 0) return kWsaFault;
    const sockaddr_in a = address_of(address, 0);
    char host[NI_MAXHOST];
    const int r = getnameinfo(reinterpret_cast<const sockaddr *>(&a), sizeof a, host, sizeof host, nullptr, 0,
                              NI_NAMEREQD);
    if (r != 0) return lookup_code(r);
    std::size_t length = std::strlen(host);
    if (length > size - 1) length = size - 1;
    std::memcpy(name, host, length);
    name[length] = '\0';
    return 0;
}

}  // namespace kez::os::net
