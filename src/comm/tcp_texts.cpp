// The TCP library's message texts and the texts of socket error codes.
#include <cstdio>

#include "comm/tcp_library.h"
#include "kez/runtime.h"

namespace {

constexpr const char *kTcpMessages[] = {
    "No Error",
    "Unable to register service",
    "Unable to establish connection",
    "Existing server",
    "Failed to connect",
    "Server not registered",
    "Too many connections",
    "Read failed",
    "Write failed",
    "Invalid parameter",
    "Insufficient memory",
    "Timeout error",
    "No connection established",
    "General IO error",
    "Connection closed",
    "Unable to load Winsock DLL",
    "Incorrect Winsock DLL version",
    "Network subsystem not ready",
    "Connections still open",
    "Disconnect pending",
    "Information not available",
    "Host address was not found",
};

struct SocketErrorText {
    int code;
    const char *text;
};

constexpr SocketErrorText kSocketErrors[] = {
    {0, "No error"},
    {10004, "WSAEINTR: Interrupted system call"},
    {10009, "WSAEBADF: Bad file number"},
    {10013, "WSACCESS: Permission denied"},
    {10014, "WSAEFAULT: Bad address"},
    {10022, "WSAEINVAL: Invalid argument"},
    {10024, "WSAEMFILE: Too many open files"},
    {10035, "WSAEWOULDBLOCK: Operation would block"},
    {10036, "WSAEINPROGRESS: Operation now in progress"},
    {10037, "WSAEALREADY: Operation already in progress"},
    {10038, "WSAENOTSOCK: Socket operation on non-socket"},
    {10039, "WSAEDESTADDRREQ: Destination address required"},
    {10040, "WSAEMSGSIZE: Message too long"},
    {10041, "WSAEPROTOTYPE: Protocol wrong type for socket"},
    {10042, "WSAENOPROTOOPT: Bad protocol option"},
    {10043, "WSAEPROTONOSUPPORT: Protocol not supported"},
    {10044, "WSAESOCKTNOSUPPORT: Socket type not supported"},
    {10045, "WSAEOPNOTSUPP: Operation not supported on socket"},
    {10046, "WSAEPFNNOSUPPORT: Protocol family not supported"},
    {10047, "WSAEAFNNOSUPPORT: Address family not supported by protocol family"},
    {10048, "WSAEADDRINUSE: Address already in use"},
    {10049, "WSAEADDRNOTAVAIL: Can't assign requested address"},
    {10050, "WSAENETDOWN: Network is down"},
    {10051, "WSAENETUNREACH: Network is unreachable"},
    {10052, "WSAENETRESET: Net dropped connection or reset"},
    {10053, "WSAECONNABORTED: Software caused connection abort"},
    {10054, "WSAECONNRESET: Connection reset by peer"},
    {10055, "WSAENOBUFS: No buffer space available"},
    {10056, "WSAEISCONN: Socket is already connected"},
    {10057, "WSAENOTCONN: Socket is not connected"},
    {10058, "WSAESHUTDOWN: Can't send after socket shutdown"},
    {10059, "WSAETOOMANYREFS: Too many references, can't splice"},
    {10060, "WSAETIMEDOUT: Connection timed out"},
    {10061, "WSAECONNREFUSED: Connection refused"},
    {10062, "WSAELOOP: Too many levels of symbolic links"},
    {10063, "WSAENAMETOOLONG: File name too long"},
    {10064, "WSAEHOSTDOWN: Host is down"},
    {10065, "WSAEHOSTUNREACH: No Route to Host"},
    {10066, "WSAENOTEMPTY: Directory not empty"},
    {10067, "WSAEPROCLIM: Too many processes"},
    {10068, "WSAEUSERS: Too many users"},
    {10069, "WSAEDQUOT: Disc Quota Exceeded"},
    {10070, "WSAESTALE: Stale NFS file handle"},
    {10071, "WSAEREMOTE: Too many levels of remote in path"},
    {10091, "WSASYSNOTREADY: Network subsystem is unavailable"},
    {10092, "WSAVERNOTSUPPORTED: WINSOCK DLL Version out of range"},
    {10093, "WSANOTINITIALISED: Successful WSASTARTUP not yet performed"},
    {11001, "WSAHOST_NOT_FOUND: Host not found"},
    {11002, "WSATRY_AGAIN: Non-Authoritative Host not found"},
    {11003, "WSANO_RECOVERY: Non-Recoverable errors: FORMERR, REFUSED, NOTIMP"},
    {11004, "WSANO_DATA: Valid name, no data record of requested type"},
};

char *into_error_buffer(const char *text) {
    char *buffer = GetThreadLocalErrorStringBuffer();
    std::snprintf(buffer, 512, "%s", text);
    return buffer;
}

}  // namespace

extern "C" char *GetTCPErrorString(int error) {
    if (error > 0 || error < -21) return nullptr;
    return into_error_buffer(kTcpMessages[-error]);
}

extern "C" char *GetTCPSystemErrorString(void) {
    const int code = kez::comm::tcp::last_error_and_reset();
    for (const SocketErrorText &e : kSocketErrors)
        if (e.code == code) return into_error_buffer(e.text);
    return into_error_buffer("WSAE_UNKNOWN");
}
