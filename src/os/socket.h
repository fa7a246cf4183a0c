// The socket binding: one interface for both platforms, with the meanings
// and error codes of Winsock 1.1, which the TCP and UDP libraries speak.
//
// Windows: wsock32.dll, bound at run time on first use (under the named
// mutex "Winsock Library dynamic loading mutex %d", process id): loaded from
// the system directory ("<system dir>\wsock32" ".dll"), else by the normal
// search, and its 31 entry points resolved in the documented order. Option
// numbers are Winsock 1.1's (IP_MULTICAST_IF 2 ... IP_DROP_MEMBERSHIP 6).
// When the library cannot be loaded or an entry point is missing, every
// call fails with kWsaSysNotReady and the lookups find nothing.
//
// POSIX emulates it: accepted sockets are non-blocking, sends never raise
// SIGPIPE, waits use poll (descriptors beyond 1023 work), errno becomes the
// Winsock code of the same case (a connect in progress is
// kWsaWouldBlock), a datagram cut by a short buffer is kWsaMsgSize, host
// lookups are thread-safe, and stream sockets set SO_REUSEADDR when bound
// and when listening, so that a port whose connections are in TIME_WAIT
// can be bound again, as on Windows (Linux still refuses a second
// listener on a port). A send after the peer's reset is kWsaConnReset,
// after our own shutdown kWsaShutdown.
//
// Every call returns 0 or the Winsock error code (never a negative value);
// results come back through out-parameters. Calls made while the binding is
// not started (startup not called, or every startup undone by cleanup)
// fail with kWsaNotInitialised, as Winsock's do.
//
// Every call checks a fault point first; the armed error code is the
// Winsock code the call reports, and 0 gives the call's most typical
// failure:
//   os.net_load (startup: the library cannot be loaded)  kWsaSysNotReady
//   os.net_startup                                       kWsaSysNotReady
//   os.net_socket (open)                                 kWsaMFile
//   os.net_bind, os.net_listen                           kWsaAddrInUse
//   os.net_accept                                        kWsaWouldBlock
//   os.net_connect                                       kWsaConnRefused
//   os.net_send, os.net_recv                             kWsaConnReset
//   os.net_sendto                                        kWsaNoBufs
//   os.net_recvfrom (receive_from; Windows' report of
//     an ICMP port unreachable)                          kWsaConnReset
//   os.net_setsockopt (set_option, join/leave_group),
//   os.net_getsockopt (get_option)                       kWsaNoProtoOpt
//   os.net_getsockname (local_name)                      kWsaInval
//   os.net_shutdown (shutdown_send)                      kWsaNotConn
//   os.net_close, os.net_poll, os.net_ioctl
//     (set_nonblocking)                                  kWsaNotSock
//   os.net_gethostname (host_name)                       kWsaFault
//   os.net_resolve, os.net_reverse_resolve               kWsaHostNotFound
// A failed close leaves the socket open.
//
// Addresses are IPv4 in network byte order (the in_addr value); ports are
// in host byte order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kez::os::net {

using Socket = std::uintptr_t;
constexpr Socket kInvalidSocket = ~Socket{0};

// The Winsock codes the engine tests for; every other code passes through.
enum WsaCode : int {
    kWsaIntr = 10004,
    kWsaBadF = 10009,
    kWsaAccess = 10013,
    kWsaFault = 10014,
    kWsaInval = 10022,
    kWsaMFile = 10024,
    kWsaWouldBlock = 10035,
    kWsaInProgress = 10036,
    kWsaAlready = 10037,
    kWsaNotSock = 10038,
    kWsaMsgSize = 10040,
    kWsaNoProtoOpt = 10042,
    kWsaOpNotSupp = 10045,
    kWsaAddrInUse = 10048,
    kWsaAddrNotAvail = 10049,
    kWsaNetDown = 10050,
    kWsaNetUnreach = 10051,
    kWsaConnAborted = 10053,
    kWsaConnReset = 10054,
    kWsaNoBufs = 10055,
    kWsaIsConn = 10056,
    kWsaNotConn = 10057,
    kWsaShutdown = 10058,
    kWsaTimedOut = 10060,
    kWsaConnRefused = 10061,
    kWsaHostUnreach = 10065,
    kWsaSysNotReady = 10091,
    kWsaVerNotSupported = 10092,
    kWsaNotInitialised = 10093,
    kWsaHostNotFound = 11001,
    kWsaTryAgain = 11002,
    kWsaNoRecovery = 11003,
    kWsaNoData = 11004,
};

constexpr std::uint32_t kAnyAddress = 0;
constexpr std::uint32_t kNoAddress = 0xFFFFFFFFu;  // INADDR_NONE, also the broadcast address

// ---- start and stop ----------------------------------------------------------

// WSAStartup for version 1.1: 0 and the version the system granted
// (0x0101 expected), or the Winsock code (kWsaSysNotReady: the binding
// could not be loaded). Successful starts are counted.
int startup(std::uint16_t *version);
// WSACleanup: undoes one successful startup. The library stays loaded until
// unload(), so that calls still running on other threads stay in its code.
void cleanup();
// Process detach: releases the library (Windows) whatever the count.
void unload();

// ---- sockets ------------------------------------------------------------------

enum class Kind { stream, datagram };

int open(Kind kind, Socket *out);
// closesocket. The handle is invalid afterwards, whatever the result.
int close(Socket s);
// FIONBIO = 1.
int set_nonblocking(Socket s);
int bind(Socket s, std::uint32_t address, std::uint16_t port);
// listen with the system's largest backlog (SOMAXCONN), so bursts of
// clients are not refused.
int listen(Socket s);
// The new connection, non-blocking, and its peer. kWsaWouldBlock when no
// connection is waiting.
int accept(Socket s, Socket *out, std::uint32_t *peer_address, std::uint16_t *peer_port);
// kWsaWouldBlock while a non-blocking connect is in progress; its outcome is
// then read with get_option(Option::error) once poll reports it.
int connect(Socket s, std::uint32_t address, std::uint16_t port);
// getsockname.
int local_name(Socket s, std::uint32_t *address, std::uint16_t *port);
// shutdown of the sending side (SD_SEND).
int shutdown_send(Socket s);

// Counts above INT_MAX are cut to INT_MAX, as Winsock's int lengths are.
int send(Socket s, const void *data, std::size_t size, std::size_t *sent);
int recv(Socket s, void *buffer, std::size_t size, bool peek, std::size_t *received);
int send_to(Socket s, const void *data, std::size_t size, std::uint32_t address, std::uint16_t port,
            std::size_t *sent);
// A datagram longer than size gives kWsaMsgSize, with its first size bytes
// in buffer and *received = size (without peek the rest is lost). The
// source pointers may be null.
int receive_from(Socket s, void *buffer, std::size_t size, bool peek, std::size_t *received,
                 std::uint32_t *source_address, std::uint16_t *source_port);

// ---- options ------------------------------------------------------------------

enum class Option {
    reuse_address,      // SOL_SOCKET SO_REUSEADDR (int)
    broadcast,          // SOL_SOCKET SO_BROADCAST (int)
    send_buffer,        // SOL_SOCKET SO_SNDBUF (int)
    receive_buffer,     // SOL_SOCKET SO_RCVBUF (int)
    error,              // SOL_SOCKET SO_ERROR (int; get only; reading clears it)
    multicast_if,       // IPPROTO_IP IP_MULTICAST_IF (address)
    multicast_ttl,      // IPPROTO_IP IP_MULTICAST_TTL (set as one byte)
    multicast_loop,     // IPPROTO_IP IP_MULTICAST_LOOP (set as one byte, 0 or 1)
};

int set_option(Socket s, Option option, std::uint32_t value);
// *value is zeroed first; an option the system answers with fewer bytes
// fills only those (multicast TTL and loop are one byte on some systems).
int get_option(Socket s, Option option, std::uint32_t *value);
// IP_ADD_MEMBERSHIP / IP_DROP_MEMBERSHIP of group on the interface address.
int join_group(Socket s, std::uint32_t group, std::uint32_t interface_address);
int leave_group(Socket s, std::uint32_t group, std::uint32_t interface_address);

// ---- waiting --------------------------------------------------------------------

enum PollFlag : unsigned {
    kReadable = 1,  // data, a connection to accept, the peer's end, or a reset
    kWritable = 2,  // room to send, or a connect that completed
    kFailed = 4,    // a connect that failed (Windows' exception set; POSIX POLLERR)
};

struct PollEntry {
    Socket socket;
    unsigned want;  // PollFlag bits; kFailed is reported whether asked or not
    unsigned got;   // set by poll
};

// Waits until an entry is ready or timeout_ms passes (0: only looks), and
// sets every entry's `got`. *ready is the number of ready entries. Any
// number of entries. kWsaNotSock when an entry is not an open socket.
int poll(PollEntry *entries, std::size_t count, std::uint32_t timeout_ms, int *ready);

// ---- names ----------------------------------------------------------------------

// gethostname.
int host_name(char *buffer, std::size_t size);
// gethostbyname: the IPv4 addresses of name, in the system's order, at most
// `capacity` of them, and how many the name has in *count. 0 or the lookup's
// Winsock code (kWsaHostNotFound, kWsaTryAgain, ...).
int resolve(const char *name, std::uint32_t *addresses, std::size_t capacity, std::size_t *count);
// gethostbyaddr: the name of address, cut to size - 1 bytes.
int reverse_resolve(std::uint32_t address, char *name, std::size_t size);

}  // namespace kez::os::net
