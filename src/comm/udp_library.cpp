// The UDP library's state: initialisation, the channel table and its pins,
// the configuration file, error codes and texts, the event poller and
// unload.
#include "comm/udp_library.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

#include "comm/net_address.h"
#include "core/deferred_calls.h"
#include "core/frame.h"
#include "core/messages.h"
#include "debug/resource_tracking.h"
#include "log/log.h"

namespace kez::comm::udp {
namespace {

constexpr unsigned kFirstTableSize = 16;
constexpr unsigned kMaxTableSize = 1u << kIndexBits;
constexpr int kDefaultBufferSize = 65535;
constexpr int kMaxInterfaces = 64;

// Serialises initialisation and unload. The engine is one module, so a
// process-local lock serves every caller the named mutex would.
core::WordLock g_init_lock;
std::atomic<bool> g_initialised{false};
bool g_net_started = false;
bool g_callback_registered = false;

core::WordLock g_lock;  // the library lock
Channel **g_table = nullptr;
unsigned g_table_size = 0;

std::uint32_t g_interfaces[kMaxInterfaces];
int g_interface_count = 0;
int g_send_buffer = kDefaultBufferSize;
int g_receive_buffer = kDefaultBufferSize;

// Starts set: programs that never pass through a run-state change still get
// their callbacks.
std::atomic<bool> g_events_enabled{true};
// Until a channel exists the poller touches nothing (no binding, no
// initialisation on a program's first ProcessSystemEvents).
std::atomic<bool> g_any_channel{false};

void run_state_changed(int state) {
    if (state == KEZ_RUN_STATE_START || state == KEZ_RUN_STATE_ENABLE_CALLBACKS)
        g_events_enabled.store(true);
    else if (state == KEZ_RUN_STATE_DISABLE_CALLBACKS)
        g_events_enabled.store(false);
}

const char *config_path() {
#if defined(KEZ_TEST_HOOKS)
    // Test builds read another file, so that tests need not write the root.
    static char path[512];
    if (os::env_get("KEZ_TEST_UDP_CONFIG", path, sizeof path) && path[0] != '\0') return path;
#endif
#if defined(_WIN32)
    return "\\qx-rt.ini";  // the root of the current drive
#else
    return "/qx-rt.ini";
#endif
}

bool is_separator(char ch) { return ch == ' ' || ch == '\t' || ch == '=' || ch == '\r' || ch == '\n'; }

// The next word of *cursor, cut at a separator; null at the line's end.
char *next_token(char **cursor) {
    char *p = *cursor;
    while (*p != '\0' && is_separator(*p)) ++p;
    if (*p == '\0') return nullptr;
    char *word = p;
    while (*p != '\0' && !is_separator(*p)) ++p;
    if (*p != '\0') *p++ = '\0';
    *cursor = p;
    return word;
}

// "SocketSendBufferSize" followed by a non-zero decimal number sets the send
// buffer size; lines are split at blanks, tabs and '='.
void read_config() {
    std::FILE *f = std::fopen(config_path(), "r");
    if (f == nullptr) return;
    char line[1026];
    while (std::fgets(line, sizeof line, f) != nullptr) {
        const std::size_t length = std::strlen(line);
        // The rest of an over-long line is dropped, not read as a line.
        if (length > 0 && line[length - 1] != '\n' && !std::feof(f)) {
            int ch = 0;
            while ((ch = std::fgetc(f)) != EOF && ch != '\n') {}
        }
        char *cursor = line;
        const char *key = next_token(&cursor);
        if (key == nullptr || std::strcmp(key, "SocketSendBufferSize") != 0) continue;
        const char *number = next_token(&cursor);
        if (number == nullptr || *number < '0' || *number > '9') continue;
        unsigned long long value = 0;
        const char *p = number;
        for (; *p >= '0' && *p <= '9' && value <= 0xFFFFFFFFull; ++p) value = value * 10 + static_cast<unsigned>(*p - '0');
        if (*p != '\0' || value == 0) continue;
        // A size above INT_MAX would wrap to a negative option value and
        // make every channel's creation fail: it is ignored instead.
        if (value > 2147483647ull) {
            KEZ_LOG(log::kWarning, "SocketSendBufferSize %s is too large; ignored", number);
            continue;
        }
        g_send_buffer = static_cast<int>(value);
    }
    std::fclose(f);
}

// The local interfaces: the host's name and its addresses. A name that does
// not resolve leaves the list empty (joins then use the any address) rather
// than failing the library.
void learn_interfaces() {
    g_interface_count = 0;
    char name[256];
    if (os::net::host_name(name, sizeof name) != 0) return;
    std::size_t count = 0;
    if (os::net::resolve(name, g_interfaces, kMaxInterfaces, &count) != 0) return;
    g_interface_count = static_cast<int>(count < kMaxInterfaces ? count : kMaxInterfaces);
}

std::uint64_t tracking_key(unsigned index, std::uint32_t generation) {
    return (static_cast<std::uint64_t>(generation) << 32) | index | 0x8000000000000000ull;
}

// Called with the library lock held when the last pin of a retired record
// went: takes what must be closed and frees the record for reuse.
struct Leftovers {
    os::net::Socket socket = os::net::kInvalidSocket;
    Membership *memberships = nullptr;
    std::uint16_t count = 0;
    std::uint64_t key = 0;
    bool tracked = false;
    Channel *delete_record = nullptr;
};

Leftovers take_leftovers(Channel *c) {
    Leftovers l;
    l.socket = c->socket;
    l.memberships = c->memberships;
    l.count = c->count;
    l.key = tracking_key(c->index, c->generation);
    l.tracked = true;
    c->socket = os::net::kInvalidSocket;
    c->memberships = nullptr;
    c->count = c->capacity = 0;
    c->address = 0;
    c->callback = nullptr;
    c->data = nullptr;
    c->port = kAllOnes;
    c->owner = kAllOnes;
    c->state = State::free;
    if (c->orphaned) l.delete_record = c;
    return l;
}

void finish(Leftovers &l) {
    if (l.socket != os::net::kInvalidSocket) close_socket(l.socket);
    free_memberships(l.memberships, l.count);
    if (l.tracked) debug::resource_release(l.key);
    delete l.delete_record;
}

}  // namespace

// A record's first channel is numbered by its index alone (the first
// channel of a program is 1); each reuse adds one above the index bits.
std::uint32_t handle_of(unsigned index, std::uint32_t generation) {
    return index | (((generation - 1) << kIndexBits) & ~kIndexMask);
}

int ensure_initialised() {
    if (g_initialised.load(std::memory_order_acquire)) return 0;
    g_init_lock.lock();
    if (g_initialised.load(std::memory_order_relaxed)) {
        g_init_lock.unlock();
        return 0;
    }
    int rc = 0;
    std::uint16_t version = 0;
    if (os::net::startup(&version) != 0) {
        rc = kUDP_InitializationFailed;
    } else {
        g_net_started = true;
        if (!g_callback_registered) g_callback_registered = core::register_run_state_callback(run_state_changed);
        g_table = new (std::nothrow) Channel *[kFirstTableSize]();
        if (g_table == nullptr) rc = kUDP_OutOfMemory;
    }
    if (rc == 0) {
        g_table_size = kFirstTableSize;
        g_send_buffer = g_receive_buffer = kDefaultBufferSize;
        read_config();
        learn_interfaces();
        g_initialised.store(true, std::memory_order_release);
    } else if (g_net_started) {
        os::net::cleanup();
        g_net_started = false;
    }
    g_init_lock.unlock();
    return rc;
}

Channel *pin(unsigned handle) {
    const unsigned index = handle & kIndexMask;
    Channel *found = nullptr;
    g_lock.lock();
    if (index != 0 && index < g_table_size && g_table[index] != nullptr) {
        Channel *c = g_table[index];
        if (c->state == State::live && handle == handle_of(index, c->generation)) {
            ++c->pins;
            found = c;
        }
    }
    g_lock.unlock();
    return found;
}

void unpin(Channel *c) {
    Leftovers l;
    bool close = false;
    g_lock.lock();
    if (--c->pins == 0 && c->state == State::retired) {
        l = take_leftovers(c);
        close = true;
    }
    g_lock.unlock();
    if (close) finish(l);
}

unsigned reserve_record(Channel **out) {
    g_lock.lock();
    unsigned index = 0;
    for (unsigned i = 1; i < g_table_size && index == 0; ++i)
        if (g_table[i] == nullptr || (g_table[i]->state == State::free && g_table[i]->pins == 0)) index = i;
    if (index == 0 && g_table_size < kMaxTableSize) {
        auto **bigger = new (std::nothrow) Channel *[g_table_size * 2]();
        if (bigger != nullptr) {
            std::memcpy(bigger, g_table, g_table_size * sizeof *g_table);
            delete[] g_table;
            g_table = bigger;
            index = g_table_size;
            g_table_size *= 2;
        }
    }
    if (index != 0 && g_table[index] == nullptr) {
        g_table[index] = new (std::nothrow) Channel;
        if (g_table[index] == nullptr) index = 0;
    }
    if (index != 0) {
        Channel *c = g_table[index];
        c->index = index;
        c->state = State::reserved;
        c->pins = 1;
        ++c->generation;
        *out = c;
    }
    g_lock.unlock();
    return index;
}

unsigned publish_record(unsigned index, Channel *c) {
    g_lock.lock();
    c->state = State::live;
    const unsigned handle = handle_of(index, c->generation);
    g_lock.unlock();
    g_any_channel.store(true);
    if (debug::resource_tracking_enabled()) {
        char description[80];
        std::snprintf(description, sizeof description, "UDP channel %u on port %u", handle, c->port);
        debug::resource_acquire(tracking_key(index, c->generation), "Network connections", description);
    }
    unpin(c);
    return handle;
}

void release_reserved(Channel *c) {
    // A creation that failed: the socket may still be blocking and holds
    // nothing to drain.
    if (c->socket != os::net::kInvalidSocket) os::net::close(c->socket);
    c->socket = os::net::kInvalidSocket;
    g_lock.lock();
    c->state = State::free;
    c->port = kAllOnes;
    c->owner = kAllOnes;
    c->pins = 0;
    g_lock.unlock();
}

bool is_live(Channel *c) {
    g_lock.lock();
    const bool live = c->state == State::live;
    g_lock.unlock();
    return live;
}

bool retire(Channel *c) {
    g_lock.lock();
    const bool was_live = c->state == State::live;
    if (was_live) c->state = State::retired;
    g_lock.unlock();
    return was_live;
}

void retire_all() {
    Leftovers pending[64];
    for (;;) {
        int n = 0;
        g_lock.lock();
        for (unsigned i = 1; i < g_table_size && n < 64; ++i) {
            Channel *c = g_table[i];
            if (c == nullptr || c->state != State::live) continue;
            c->state = State::retired;
            if (c->pins == 0) pending[n++] = take_leftovers(c);
        }
        g_lock.unlock();
        for (int i = 0; i < n; ++i) finish(pending[i]);
        if (n < 64) break;
    }
}

int interface_count() { return g_interface_count; }
std::uint32_t interface_address(int i) { return g_interfaces[i]; }
int send_buffer_size() { return g_send_buffer; }
int receive_buffer_size() { return g_receive_buffer; }
void note_channel_created() { g_any_channel.store(true); }

int translate(int wsa) {
    int code = 0;
    switch (wsa) {
        case 0: code = 0; break;
        case 8: code = kUDP_OutOfMemory; break;
        case 6: case 87: case 10009: case 10014: case 10022: case 10038: case 10039: case 10041:
            code = kUDP_InternalError;
            break;
        case 10013: case 10063: case 10066: case 10068: case 10069: case 10070: case 10105: case 10106:
        case 10107: case 10108:
            code = kUDP_GeneralSystemError;
            break;
        case 10024: case 10055: case 10059: case 10067: code = kUDP_OutOfSystemResources; break;
        case 10040: code = kUDP_ReceiveBufferTooSmall; break;
        case 10042: case 10043: case 10044: case 10045: case 10046: case 10047: code = kUDP_NotSupported; break;
        case 10048: case 10049: code = kUDP_InvalidAddress; break;
        case 10050: case 10051: case 10052: case 10053: case 10054: case 10060: case 10061: case 10064:
        case 10065:
            code = kUDP_NetworkError;
            break;
        case 10057: case 10058: code = kUDP_ChannelDisposed; break;
        case 10091: case 10092: code = kUDP_WinsockLoadFailed; break;
        case 10093: code = kUDP_InitializationFailed; break;
        case 11001: case 11002: code = kUDP_HostAddressNotFound; break;
        default: code = kUDP_UnexpectedWinsockError; break;
    }
    KEZ_LOG(log::kTemp, "TranslateSocketError: winsock err: %d --> UDP err: %d", wsa, code);
    return code;
}

int fail(const char *function, int code) {
    if (code < 0 && log::enabled(log::kWarning)) {
        const char *text = core::message_text(-code);
        log::write(log::kWarning, false, __FILE__, function, __LINE__, "%s", text != nullptr ? text : "");
    }
    return code;
}

int parse_address(const char *text, std::uint32_t *address) {
    if (has_letter(text)) return resolve_host(text, address) == 0 ? 0 : kUDP_HostAddressNotFound;
    // Dotted texts are decimal by the one rule (no octal, no short forms;
    // an empty number is 0); anything else without a letter is malformed.
    if (!parse_dotted(text, address)) return kUDP_InvalidAddress;
    return 0;
}

void close_socket(os::net::Socket s) {
    // A flooding peer must not hold the close: the drain is bounded.
    char byte = 0;
    for (int i = 0; i < 1024; ++i) {
        std::size_t got = 0;
        const int rc = os::net::receive_from(s, &byte, 1, false, &got, nullptr, nullptr);
        if (rc != 0 && rc != os::net::kWsaMsgSize) break;
    }
    const int rc = os::net::close(s);
    if (rc != 0) fail("DisposeUDPChannel", translate(rc));
}

void free_memberships(Membership *m, std::uint16_t count) {
    if (m == nullptr) return;
    for (std::uint16_t i = 0; i < count; ++i) delete[] m[i].sources;
    delete[] m;
}

int ProcessUDPEvents() {
    if (!g_any_channel.load() || !g_events_enabled.load() || !g_initialised.load(std::memory_order_acquire))
        return 0;
    const os::ThreadId me = os::current_thread_id();
    constexpr int kBatch = 64;
    struct Due {
        Channel *channel;
        unsigned handle;
    };
    Due due[kBatch];
    os::net::PollEntry entries[kBatch];
    unsigned next = 1;
    for (;;) {
        int n = 0;
        g_lock.lock();
        for (; next < g_table_size && n < kBatch; ++next) {
            Channel *c = g_table[next];
            if (c == nullptr || c->state != State::live || c->owner != me) continue;
            ++c->pins;
            due[n] = {c, handle_of(next, c->generation)};
            entries[n] = {c->socket, os::net::kReadable, 0};
            ++n;
        }
        const bool more = next < g_table_size;
        g_lock.unlock();
        int ready = 0;
        if (n > 0 && os::net::poll(entries, static_cast<std::size_t>(n), 0, &ready) != 0) ready = 0;
        for (int i = 0; i < n; ++i) {
            Channel *c = due[i].channel;
            if (ready > 0 && (entries[i].got & os::net::kReadable) != 0) {
                // No callback starts for a channel disposed meanwhile (also
                // by an earlier callback of this round).
                g_lock.lock();
                const bool live = c->state == State::live;
                g_lock.unlock();
                if (!live) {
                    fail("ProcessUDPEvents", kUDP_InvalidChannel);
                } else {
                    c->lock.lock();
                    UDPCallbackPtr callback = c->callback;
                    void *data = c->data;
                    c->lock.unlock();
                    if (callback != nullptr) core::guarded_call(callback, due[i].handle, UDP_DATAREADY, 0, data);
                }
            }
            unpin(c);
        }
        if (!more) break;
    }
    return 0;
}

void UDPLibraryUnload() {
    g_init_lock.lock();
    if (!g_initialised.load()) {
        g_init_lock.unlock();
        return;
    }
    retire_all();
    g_lock.lock();
    // Records still pinned (a read on another thread) are left to their last
    // user, which closes and deletes them.
    for (unsigned i = 1; i < g_table_size; ++i) {
        Channel *c = g_table[i];
        if (c == nullptr) continue;
        if (c->pins > 0)
            c->orphaned = true;
        else
            delete c;
    }
    delete[] g_table;
    g_table = nullptr;
    g_table_size = 0;
    g_lock.unlock();
    g_any_channel.store(false);
    g_initialised.store(false);
    g_events_enabled.store(true);
    if (g_net_started) os::net::cleanup();
    g_net_started = false;
    // The run-state table is cleared at detach; a later load registers anew.
    g_callback_registered = false;
    g_init_lock.unlock();
}

}  // namespace kez::comm::udp

using namespace kez::comm::udp;

extern "C" const char *GetUDPErrorString(int error) {
    switch (error) {
        case kUDP_InvalidChannel: return "Invalid channel";
        case kUDP_InvalidPort: return "Invalid port number";
        case kUDP_InvalidAddress: return "Invalid address";
        case kUDP_WriteSizeTooLarge:
            return "The write size specified exceeds the maximum datagram size supported on this platform.";
        case kUDP_InvalidArgument: return "Invalid argument passed";
        case kUDP_NullPointerPassed: return "Null pointer passed when a non-null pointer was expected";
        case kUDP_InvalidAttribute: return "Invalid attribute";
        case kUDP_InvalidAttributeValue: return "Invalid attribute value";
        case kUDP_TimeoutErr: return "Timeout expired";
        case kUDP_ReceiveBufferTooSmall: return "The received data was too large for the buffer. Some data was lost.";
        case kUDP_ChannelDisposed: return "The channel has been disposed";
        case kUDP_PortInUse: return "The port has already been reserved for use on this interface.";
        case kUDP_NetworkError: return "A network error occurred";
        case kUDP_HostAddressNotFound: return "Host address was not found";
        case kUDP_InvalidMulticastAddress:
            return "Invalid multicast address. Valid multicast addresses range from 224.0.0.0 to 239.255.255.255";
        case kUDP_AlreadySubscribed:
            return "This port or another port on the same interface is already subscribed to that multicast group.";
        case kUDP_SourceAlreadySubscribed: return "The port is already subscribed to that source for the multicast group.";
        case kUDP_NotSubscribed: return "The port is not subscribed to the multicast group.";
        case kUDP_SourceNotSubscribed: return "The port is not subscribed to that source for the multicast group.";
        case kUDP_WinsockLoadFailed: return "The Windows Sockets library could not be loaded.";
        case kUDP_InitializationFailed: return "Failed to initialize the library";
        case kUDP_LibraryShuttingDown: return "Library is shutting down";
        case kUDP_UnexpectedWinsockError: return "A Windows Sockets function call returned an unexpected error.";
        case kUDP_NotSupported: return "The operation is not supported on this platform.";
        case kUDP_GeneralSystemError: return "General system error";
        case kUDP_OutOfMemory: return "Out of memory";
        case kUDP_OutOfSystemResources: return "Out of system resources";
        case kUDP_InternalError: return "Internal error";
        case kUDP_ResourceBusy: return "A resource is busy.";
        default: return "";
    }
}
