// The serial VISA component's sessions: resource manager, find lists,
// ASRL instrument sessions with their input buffer and reader thread,
// attributes, events (queue and handlers). The port itself is reached
// through port.h.
//
// Locking: g_mutex guards the object table; each session's own mutex its
// state. Handlers are called with no lock held. viClose and
// viUninstallHandler wait for handler calls on other threads; a handler's
// own thread is never waited for, so a handler may close its session or
// uninstall itself.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "kez_visa.h"
#include "port.h"

namespace kezvisa {
namespace {

using Clock = std::chrono::steady_clock;

int lower(int c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }
int strncasecmp_portable(const char *a, const char *b, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const int d = lower(static_cast<unsigned char>(a[i])) - lower(static_cast<unsigned char>(b[i]));
        if (d != 0 || a[i] == '\0') return d;
    }
    return 0;
}
int strcasecmp_portable(const char *a, const char *b) { return strncasecmp_portable(a, b, static_cast<std::size_t>(-1)); }

enum class Kind { rm, instr, find, event };

struct Object {
    explicit Object(Kind k) : kind(k) {}
    virtual ~Object() = default;
    Kind kind;
    ViObject id = 0;
    ViObject owner = 0;  // the resource manager that made it
};

struct FindList : Object {
    FindList() : Object(Kind::find) {}
    std::vector<std::string> names;
    std::size_t next = 0;
};

struct EventContext : Object {
    EventContext() : Object(Kind::event) {}
    ViEventType type = 0;
    ViStatus status = VI_SUCCESS;
    ViObject session = 0;
};

struct Handler {
    ViEventType type;
    ViHndlr fn;
    ViAddr user;
    bool removed = false;
};

struct Call {  // a handler call under way
    std::thread::id thread;
    Handler *handler;
};

struct Session : Object {
    Session() : Object(Kind::instr) {}
    int number = 0;
    Port *port = nullptr;
    std::mutex m;
    std::condition_variable cv;
    std::deque<unsigned char> in;
    std::size_t in_cap = 4096;
    bool closing = false;
    bool device_failed = false;
    unsigned abort_gen = 0;
    int busy = 0;  // reads, writes and waits under way
    std::thread reader;
    // Attributes kept here.
    ViUInt32 tmo = 2000;
    ViUInt8 termchar = '\n';
    bool termchar_en = false, send_end_en = true, suppress_end_en = false, discard_null = false;
    ViUInt16 end_in = VI_ASRL_END_TERMCHAR, end_out = VI_ASRL_END_NONE;
    ViUInt32 wr_buf = 4096, max_queue = 50;
    ViUInt16 rd_mode = VI_FLUSH_DISABLE, wr_mode = VI_FLUSH_WHEN_FULL, io_prot = VI_PROT_NORMAL;
    ViUInt8 replace_char = 0;
    ViAddr user_data = nullptr;
    ViInt16 break_state = VI_STATE_UNASSERTED, break_len = 250;
    ViBoolean allow_transmit = VI_TRUE;
    int locks = 0;
    Settings have;
    // Events.
    std::map<ViEventType, ViUInt16> enabled;
    std::list<std::shared_ptr<Handler>> handlers;
    std::deque<std::shared_ptr<EventContext>> queue;
    std::vector<Call> calls;
};

std::mutex g_mutex;
std::map<ViObject, std::shared_ptr<Object>> g_objects;
ViObject g_next = 0x1000;

ViObject add_object(const std::shared_ptr<Object> &o) {
    std::lock_guard<std::mutex> lk(g_mutex);
    do {
        o->id = ++g_next;
    } while (o->id == 0 || g_objects.count(o->id) != 0);
    if (o->kind == Kind::rm) o->owner = o->id;  // set before another thread can see it
    g_objects[o->id] = o;
    return o->id;
}

template <typename T>
std::shared_ptr<T> find_object(ViObject id, Kind kind) {
    std::lock_guard<std::mutex> lk(g_mutex);
    auto it = g_objects.find(id);
    if (it == g_objects.end() || it->second->kind != kind) return nullptr;
    return std::static_pointer_cast<T>(it->second);
}

std::shared_ptr<Object> take_object(ViObject id) {
    std::lock_guard<std::mutex> lk(g_mutex);
    auto it = g_objects.find(id);
    if (it == g_objects.end()) return nullptr;
    std::shared_ptr<Object> o = it->second;
    g_objects.erase(it);
    return o;
}

void drop_object(ViObject id) { take_object(id); }

std::shared_ptr<Session> session_of(ViSession vi) { return find_object<Session>(vi, Kind::instr); }

bool is_serial_event(ViEventType t) {
    switch (t) {
    case VI_EVENT_ASRL_CHAR: case VI_EVENT_ASRL_BREAK: case VI_EVENT_ASRL_CTS: case VI_EVENT_ASRL_DSR:
    case VI_EVENT_ASRL_DCD: case VI_EVENT_ASRL_RI: case VI_EVENT_ASRL_TERMCHAR: case VI_EVENT_EXCEPTION:
    case VI_EVENT_IO_COMPLETION: case VI_EVENT_CLEAR:
        return true;
    default:
        return false;
    }
}

bool wants(Session &s, ViEventType type) {
    auto it = s.enabled.find(type);
    return it != s.enabled.end() && it->second != 0;
}

// Whether a handler call runs on a thread other than this one.
bool others_in_handlers(const Session &s, const Handler *only) {
    const std::thread::id me = std::this_thread::get_id();
    for (const Call &c : s.calls)
        if (c.thread != me && (only == nullptr || c.handler == only)) return true;
    return false;
}

// Delivers one event to the session's enabled queue and handlers.
void raise_event(const std::shared_ptr<Session> &s, ViEventType type, ViStatus status) {
    std::vector<std::shared_ptr<Handler>> to_call;
    {
        std::lock_guard<std::mutex> lk(s->m);
        if (s->closing) return;
        auto it = s->enabled.find(type);
        const ViUInt16 mech = it == s->enabled.end() ? 0 : it->second;
        if ((mech & VI_QUEUE) != 0 && s->queue.size() < s->max_queue) {
            auto ctx = std::make_shared<EventContext>();
            ctx->type = type;
            ctx->status = status;
            ctx->session = s->id;
            ctx->owner = s->owner;
            add_object(ctx);
            s->queue.push_back(ctx);
            s->cv.notify_all();
        }
        if ((mech & VI_HNDLR) != 0)
            for (const auto &h : s->handlers)
                if (h->type == type && !h->removed) {
                    to_call.push_back(h);
                    s->calls.push_back({std::this_thread::get_id(), h.get()});
                }
    }
    for (const auto &h : to_call) {
        auto ctx = std::make_shared<EventContext>();
        ctx->type = type;
        ctx->status = status;
        ctx->session = s->id;
        const ViEvent ev = add_object(ctx);
        bool call = true;
        {
            std::lock_guard<std::mutex> lk(s->m);
            call = !h->removed && !s->closing;
        }
        if (call) h->fn(s->id, type, ev, h->user);
        drop_object(ev);
        std::lock_guard<std::mutex> lk(s->m);
        const std::thread::id me = std::this_thread::get_id();
        for (auto c = s->calls.begin(); c != s->calls.end(); ++c)
            if (c->thread == me && c->handler == h.get()) {
                s->calls.erase(c);
                break;
            }
        s->cv.notify_all();
    }
}

void reader_loop(std::shared_ptr<Session> s) {
    unsigned char chunk[4096];
    for (;;) {
        std::size_t space = 0;
        {
            std::unique_lock<std::mutex> lk(s->m);
            s->cv.wait(lk, [&] { return s->closing || s->in.size() < s->in_cap; });
            if (s->closing) return;
            space = std::min(s->in_cap - s->in.size(), sizeof chunk);
        }
        const long n = port_read_some(s->port, chunk, space);
        std::size_t chars = 0;
        std::size_t terms = 0;
        {
            std::unique_lock<std::mutex> lk(s->m);
            if (s->closing) return;
            if (n < 0) {
                s->device_failed = true;
                s->cv.notify_all();
                s->cv.wait(lk, [&] { return s->closing; });
                return;
            }
            for (long i = 0; i < n; ++i) {
                if (s->discard_null && chunk[i] == 0) continue;
                s->in.push_back(chunk[i]);
                ++chars;
                if (chunk[i] == s->termchar) ++terms;
            }
            if (!wants(*s, VI_EVENT_ASRL_CHAR)) chars = 0;
            if (!wants(*s, VI_EVENT_ASRL_TERMCHAR)) terms = 0;
            s->cv.notify_all();
        }
        for (std::size_t i = 0; i < chars; ++i) raise_event(s, VI_EVENT_ASRL_CHAR, VI_SUCCESS);
        for (std::size_t i = 0; i < terms; ++i) raise_event(s, VI_EVENT_ASRL_TERMCHAR, VI_SUCCESS);
    }
}

// Closes a session: later calls find it no more, calls under way end, handler
// calls on other threads are waited for, then the port is closed.
ViStatus close_session(const std::shared_ptr<Session> &s) {
    std::vector<std::shared_ptr<EventContext>> queued;
    {
        std::unique_lock<std::mutex> lk(s->m);
        if (s->closing) return VI_ERROR_INV_OBJECT;
        s->closing = true;
        s->cv.notify_all();
    }
    drop_object(s->id);
    port_cancel(s->port);
    const bool on_reader = s->reader.get_id() == std::this_thread::get_id();
    if (on_reader)
        s->reader.detach();
    else if (s->reader.joinable())
        s->reader.join();
    {
        std::unique_lock<std::mutex> lk(s->m);
        s->cv.wait(lk, [&] { return s->busy == 0 && !others_in_handlers(*s, nullptr); });
        queued.assign(s->queue.begin(), s->queue.end());
        s->queue.clear();
    }
    for (const auto &e : queued) drop_object(e->id);
    port_close(s->port);
    s->port = nullptr;
    return VI_SUCCESS;
}

// Parses "ASRLn[::INSTR]" or "COMn": n, -1 when it is no such name.
int parse_name(const char *name) {
    if (name == nullptr) return -1;
    const char *p = name;
    if (strncasecmp_portable(p, "ASRL", 4) == 0)
        p += 4;
    else if (strncasecmp_portable(p, "COM", 3) == 0)
        p += 3;
    else
        return -1;
    if (*p < '0' || *p > '9') return -1;
    long n = 0;
    while (*p >= '0' && *p <= '9' && n < 100000) n = n * 10 + (*p++ - '0');
    if (*p != '\0' && strcasecmp_portable(p, "::INSTR") != 0) return -1;
    return static_cast<int>(n);
}

}  // namespace
}  // namespace kezvisa

using namespace kezvisa;

namespace {

void copy_out(ViChar *out, const std::string &text) {
    if (out == nullptr) return;
    const std::size_t n = std::min(text.size(), static_cast<std::size_t>(VI_FIND_BUFLEN - 1));
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
}

std::string resource_name(int n) { return "ASRL" + std::to_string(n) + "::INSTR"; }

// The resource-name expression language: '?' one character, '*' any number
// of the one before, '+' one or more, [..] a set, '|' alternatives; letters
// match either case.
bool expr_to_regex(const char *expr, std::regex *out) {
    std::string re;
    for (const char *p = expr; *p != '\0'; ++p) {
        const char c = *p;
        if (c == '?') re += '.';
        else if (c == '*' || c == '+' || c == '|' || c == '(' || c == ')' || c == '[' || c == ']' || c == '^' ||
                 c == '-')
            re += c;
        else if (c == '\\' && p[1] != '\0') { re += '\\'; re += *++p; }
        else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) re += c;
        else { re += '\\'; re += c; }
    }
    // One compilation at a time: the C++ library fills its character
    // tables lazily, unguarded.
    static std::mutex compiling;
    std::lock_guard<std::mutex> lk(compiling);
    try {
        *out = std::regex(re, std::regex::icase | std::regex::ECMAScript);
    } catch (const std::regex_error &) {
        return false;
    }
    return true;
}

struct StatusText {
    ViStatus status;
    const char *text;
};
const StatusText kStatusTexts[] = {
    {VI_SUCCESS, "Operation completed successfully."},
    {VI_SUCCESS_EVENT_EN, "Specified event is already enabled for at least one of the specified mechanisms."},
    {VI_SUCCESS_EVENT_DIS, "Specified event is already disabled for at least one of the specified mechanisms."},
    {VI_SUCCESS_QUEUE_EMPTY, "Operation completed successfully, but queue was already empty."},
    {VI_SUCCESS_TERM_CHAR, "The specified termination character was read."},
    {VI_SUCCESS_MAX_CNT, "The number of bytes transferred is equal to the requested input count."},
    {VI_WARN_NSUP_ATTR_STATE, "Although the specified state of the attribute is valid, it is not supported by this "
                              "resource implementation."},
    {VI_WARN_UNKNOWN_STATUS, "The status code passed to the operation could not be interpreted."},
    {VI_ERROR_SYSTEM_ERROR, "Unknown system error (miscellaneous error)."},
    {VI_ERROR_INV_OBJECT, "The given session or object reference is invalid."},
    {VI_ERROR_INV_EXPR, "Invalid expression specified for search."},
    {VI_ERROR_RSRC_NFOUND, "Insufficient location information or resource not present in the system."},
    {VI_ERROR_INV_RSRC_NAME, "Invalid resource reference specified.  Parsing error."},
    {VI_ERROR_INV_ACC_MODE, "Invalid access mode."},
    {VI_ERROR_TMO, "Timeout expired before operation completed."},
    {VI_ERROR_NSUP_ATTR, "The specified attribute is not defined or supported by the referenced resource."},
    {VI_ERROR_NSUP_ATTR_STATE, "The specified state of the attribute is not valid, or is not supported as defined "
                               "by the resource."},
    {VI_ERROR_ATTR_READONLY, "The specified attribute is read-only."},
    {VI_ERROR_INV_EVENT, "Specified event type is not supported by the resource."},
    {VI_ERROR_INV_MECH, "Invalid mechanism specified."},
    {VI_ERROR_HNDLR_NINSTALLED, "A handler is not currently installed for the specified event."},
    {VI_ERROR_INV_HNDLR_REF, "The given handler reference is invalid."},
    {VI_ERROR_NENABLED, "The session must be enabled for events of the specified type in order to receive them."},
    {VI_ERROR_ABORT, "User abort occurred during transfer."},
    {VI_ERROR_ALLOC, "Insufficient system resources to perform necessary memory allocation."},
    {VI_ERROR_INV_MASK, "Invalid buffer mask specified."},
    {VI_ERROR_IO, "Could not perform operation because of I/O error."},
    {VI_ERROR_NSUP_OPER, "The given session or object reference does not support this operation."},
    {VI_ERROR_RSRC_BUSY, "The resource is valid, but VISA cannot currently access it."},
    {VI_ERROR_INV_PARAMETER, "The value of some parameter is invalid."},
    {VI_ERROR_INV_PROT, "The protocol specified is invalid."},
    {VI_ERROR_INV_SIZE, "Invalid size of window specified."},
    {VI_ERROR_SESN_NLOCKED, "The current session did not have any lock on the resource."},
    {VI_ERROR_NSUP_MECH, "The specified mechanism is not supported for the given event type."},
    {VI_ERROR_CONN_LOST, "The connection for the given session has been lost."},
};

// Reads into buf until a termination, the count, the time-out, a device
// failure, viTerminate or viClose.
ViStatus read_session(Session &s, ViBuf buf, ViUInt32 cnt, ViUInt32 *got) {
    std::unique_lock<std::mutex> lk(s.m);
    ++s.busy;
    const unsigned gen = s.abort_gen;
    const bool forever = s.tmo == VI_TMO_INFINITE;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : s.tmo);
    const ViUInt16 top_bit = static_cast<ViUInt16>(1u << (s.have.data_bits - 1));
    ViUInt32 count = 0;
    ViStatus status = VI_SUCCESS;
    for (;;) {
        bool ended = false;
        while (!s.in.empty() && count < cnt && !ended) {
            const unsigned char b = s.in.front();
            s.in.pop_front();
            buf[count++] = b;
            if (s.end_in == VI_ASRL_END_TERMCHAR && b == s.termchar && !s.suppress_end_en) {
                status = VI_SUCCESS;
                ended = true;
            } else if (s.termchar_en && b == s.termchar) {
                status = VI_SUCCESS_TERM_CHAR;
                ended = true;
            } else if (s.end_in == VI_ASRL_END_LAST_BIT && (b & top_bit) != 0 && !s.suppress_end_en) {
                status = VI_SUCCESS;
                ended = true;
            }
        }
        s.cv.notify_all();  // room for the reader
        if (ended) break;
        if (count == cnt) {
            status = VI_SUCCESS_MAX_CNT;
            break;
        }
        if (s.closing || s.abort_gen != gen) {
            status = VI_ERROR_ABORT;
            break;
        }
        if (s.device_failed) {
            status = VI_ERROR_IO;
            break;
        }
        if (forever) {
            s.cv.wait(lk);
        } else if (s.tmo == 0 || Clock::now() >= deadline) {
            status = VI_ERROR_TMO;
            break;
        } else {
            s.cv.wait_until(lk, deadline);
        }
    }
    --s.busy;
    s.cv.notify_all();
    *got = count;
    return status;
}

ViStatus write_bytes(Session &s, const unsigned char *data, std::size_t n, std::size_t *done) {
    unsigned gen = 0;
    ViUInt32 tmo = 0;
    {
        std::lock_guard<std::mutex> lk(s.m);
        ++s.busy;
        gen = s.abort_gen;
        tmo = s.tmo;
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(tmo == VI_TMO_INFINITE ? 0 : tmo);
    ViStatus status = VI_SUCCESS;
    *done = 0;
    while (*done < n) {
        {
            std::lock_guard<std::mutex> lk(s.m);
            if (s.closing || s.abort_gen != gen) {
                status = VI_ERROR_ABORT;
                break;
            }
        }
        // Waits in slices so that viTerminate is seen.
        unsigned wait_ms = 100;
        if (tmo != VI_TMO_INFINITE) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            wait_ms = static_cast<unsigned>(std::max<long long>(0, std::min<long long>(left, 100)));
        }
        const long w = port_write_some(s.port, data + *done, n - *done, wait_ms);
        if (w < 0) {
            status = VI_ERROR_IO;
            break;
        }
        *done += static_cast<std::size_t>(w);
        if (w == 0 && tmo != VI_TMO_INFINITE && Clock::now() >= deadline && *done < n) {
            status = VI_ERROR_TMO;
            break;
        }
    }
    std::lock_guard<std::mutex> lk(s.m);
    --s.busy;
    s.cv.notify_all();
    return status;
}

ViStatus line_attr(ViAttr a, Line *line) {
    switch (a) {
    case VI_ATTR_ASRL_CTS_STATE: *line = Line::cts; return VI_SUCCESS;
    case VI_ATTR_ASRL_DSR_STATE: *line = Line::dsr; return VI_SUCCESS;
    case VI_ATTR_ASRL_DCD_STATE: *line = Line::dcd; return VI_SUCCESS;
    case VI_ATTR_ASRL_RI_STATE: *line = Line::ri; return VI_SUCCESS;
    case VI_ATTR_ASRL_DTR_STATE: *line = Line::dtr; return VI_SUCCESS;
    case VI_ATTR_ASRL_RTS_STATE: *line = Line::rts; return VI_SUCCESS;
    default: return VI_ERROR_NSUP_ATTR;
    }
}

ViStatus apply_setting(Session &s, ViAttr a, ViAttrState v) {
    Settings want = s.have;
    switch (a) {
    case VI_ATTR_ASRL_BAUD:
        if (v == 0 || v > 0xFFFFFFFFull) return VI_ERROR_NSUP_ATTR_STATE;
        want.baud = static_cast<ViUInt32>(v);
        break;
    case VI_ATTR_ASRL_DATA_BITS:
        if (v < 5 || v > 8) return VI_ERROR_NSUP_ATTR_STATE;
        want.data_bits = static_cast<ViUInt16>(v);
        break;
    case VI_ATTR_ASRL_PARITY:
        if (v > VI_ASRL_PAR_SPACE) return VI_ERROR_NSUP_ATTR_STATE;
        want.parity = static_cast<ViUInt16>(v);
        break;
    case VI_ATTR_ASRL_STOP_BITS:
        if (v != VI_ASRL_STOP_ONE && v != VI_ASRL_STOP_ONE5 && v != VI_ASRL_STOP_TWO) return VI_ERROR_NSUP_ATTR_STATE;
        want.stop_bits = static_cast<ViUInt16>(v);
        break;
    case VI_ATTR_ASRL_FLOW_CNTRL:
        if (v > 7 || (v & (VI_ASRL_FLOW_RTS_CTS | VI_ASRL_FLOW_DTR_DSR)) == 6) return VI_ERROR_NSUP_ATTR_STATE;
        want.flow = static_cast<ViUInt16>(v);
        break;
    case VI_ATTR_ASRL_XON_CHAR:
        if (v > 0xFF) return VI_ERROR_NSUP_ATTR_STATE;
        want.xon = static_cast<ViUInt8>(v);
        break;
    case VI_ATTR_ASRL_XOFF_CHAR:
        if (v > 0xFF) return VI_ERROR_NSUP_ATTR_STATE;
        want.xoff = static_cast<ViUInt8>(v);
        break;
    default:
        return VI_ERROR_NSUP_ATTR;
    }
    Settings have;
    const ViStatus st = port_apply(s.port, want, &have);
    if (st < 0) return st;
    s.have = have;
    const bool kept = have.baud == want.baud && have.data_bits == want.data_bits && have.parity == want.parity &&
                      have.stop_bits == want.stop_bits && have.flow == want.flow && have.xon == want.xon &&
                      have.xoff == want.xoff;
    return kept ? st : VI_WARN_NSUP_ATTR_STATE;
}

ViStatus set_session_attr(Session &s, ViAttr a, ViAttrState v) {
    const bool boolean = v == VI_TRUE || v == VI_FALSE;
    switch (a) {
    case VI_ATTR_TMO_VALUE:
        if (v > 0xFFFFFFFFull) return VI_ERROR_NSUP_ATTR_STATE;
        s.tmo = static_cast<ViUInt32>(v);
        return VI_SUCCESS;
    case VI_ATTR_TERMCHAR:
        if (v > 0xFF) return VI_ERROR_NSUP_ATTR_STATE;
        s.termchar = static_cast<ViUInt8>(v);
        return VI_SUCCESS;
    case VI_ATTR_ASRL_REPLACE_CHAR:
        if (v > 0xFF) return VI_ERROR_NSUP_ATTR_STATE;
        s.replace_char = static_cast<ViUInt8>(v);
        return VI_SUCCESS;
    case VI_ATTR_TERMCHAR_EN: case VI_ATTR_SEND_END_EN: case VI_ATTR_SUPPRESS_END_EN: case VI_ATTR_ASRL_DISCARD_NULL:
        if (!boolean) return VI_ERROR_NSUP_ATTR_STATE;
        (a == VI_ATTR_TERMCHAR_EN ? s.termchar_en
         : a == VI_ATTR_SEND_END_EN ? s.send_end_en
         : a == VI_ATTR_SUPPRESS_END_EN ? s.suppress_end_en
                                        : s.discard_null) = v == VI_TRUE;
        return VI_SUCCESS;
    case VI_ATTR_ASRL_END_IN:
        if (v > VI_ASRL_END_TERMCHAR) return VI_ERROR_NSUP_ATTR_STATE;
        s.end_in = static_cast<ViUInt16>(v);
        return VI_SUCCESS;
    case VI_ATTR_ASRL_END_OUT:
        if (v > VI_ASRL_END_BREAK) return VI_ERROR_NSUP_ATTR_STATE;
        s.end_out = static_cast<ViUInt16>(v);
        return VI_SUCCESS;
    case VI_ATTR_MAX_QUEUE_LENGTH:
        if (v == 0 || v > 0xFFFFFFFFull) return VI_ERROR_NSUP_ATTR_STATE;
        s.max_queue = static_cast<ViUInt32>(v);
        return VI_SUCCESS;
    case VI_ATTR_USER_DATA:
        s.user_data = reinterpret_cast<ViAddr>(static_cast<std::uintptr_t>(v));
        return VI_SUCCESS;
    case VI_ATTR_RD_BUF_OPER_MODE: case VI_ATTR_WR_BUF_OPER_MODE:
        if (v != VI_FLUSH_ON_ACCESS && v != VI_FLUSH_WHEN_FULL && v != VI_FLUSH_DISABLE) return VI_ERROR_NSUP_ATTR_STATE;
        (a == VI_ATTR_RD_BUF_OPER_MODE ? s.rd_mode : s.wr_mode) = static_cast<ViUInt16>(v);
        return VI_SUCCESS;
    case VI_ATTR_IO_PROT:
        if (v > 0xFFFF) return VI_ERROR_NSUP_ATTR_STATE;
        s.io_prot = static_cast<ViUInt16>(v);
        return VI_SUCCESS;
    case VI_ATTR_ASRL_BREAK_LEN:
        if (v < 1 || v > 500) return VI_ERROR_NSUP_ATTR_STATE;
        s.break_len = static_cast<ViInt16>(v);
        return VI_SUCCESS;
    case VI_ATTR_ASRL_ALLOW_TRANSMIT: {
        if (v != VI_TRUE && v != VI_FALSE) return VI_ERROR_NSUP_ATTR_STATE;
        const ViStatus st = port_allow_transmit(s.port, v == VI_TRUE);
        if (st >= 0) s.allow_transmit = static_cast<ViBoolean>(v);
        return st;
    }
    case VI_ATTR_ASRL_BREAK_STATE: {
        if (v != VI_STATE_ASSERTED && v != VI_STATE_UNASSERTED) return VI_ERROR_NSUP_ATTR_STATE;
        const ViStatus st = port_set_break(s.port, v == VI_STATE_ASSERTED);
        if (st >= 0) s.break_state = static_cast<ViInt16>(v);
        return st;
    }
    case VI_ATTR_ASRL_DTR_STATE: case VI_ATTR_ASRL_RTS_STATE: {
        if (v != VI_STATE_ASSERTED && v != VI_STATE_UNASSERTED) return VI_ERROR_NSUP_ATTR_STATE;
        Line line = Line::cts;
        line_attr(a, &line);
        return port_set_line(s.port, line, v == VI_STATE_ASSERTED);
    }
    case VI_ATTR_ASRL_CTS_STATE: case VI_ATTR_ASRL_DSR_STATE: case VI_ATTR_ASRL_DCD_STATE: case VI_ATTR_ASRL_RI_STATE:
    case VI_ATTR_ASRL_AVAIL_NUM: case VI_ATTR_ASRL_CONNECTED: case VI_ATTR_RSRC_NAME: case VI_ATTR_RSRC_CLASS:
    case VI_ATTR_INTF_INST_NAME: case VI_ATTR_INTF_TYPE: case VI_ATTR_INTF_NUM: case VI_ATTR_RD_BUF_SIZE:
    case VI_ATTR_WR_BUF_SIZE: case VI_ATTR_RSRC_IMPL_VERSION: case VI_ATTR_RSRC_LOCK_STATE:
        return VI_ERROR_ATTR_READONLY;
    default:
        return apply_setting(s, a, v);
    }
}

template <typename T>
ViStatus put(void *out, T value) {
    std::memcpy(out, &value, sizeof value);
    return VI_SUCCESS;
}

ViStatus get_session_attr(Session &s, ViAttr a, void *out) {
    switch (a) {
    case VI_ATTR_TMO_VALUE: return put<ViUInt32>(out, s.tmo);
    case VI_ATTR_TERMCHAR: return put<ViUInt8>(out, s.termchar);
    case VI_ATTR_ASRL_REPLACE_CHAR: return put<ViUInt8>(out, s.replace_char);
    case VI_ATTR_TERMCHAR_EN: return put<ViBoolean>(out, s.termchar_en);
    case VI_ATTR_SEND_END_EN: return put<ViBoolean>(out, s.send_end_en);
    case VI_ATTR_SUPPRESS_END_EN: return put<ViBoolean>(out, s.suppress_end_en);
    case VI_ATTR_ASRL_DISCARD_NULL: return put<ViBoolean>(out, s.discard_null);
    case VI_ATTR_ASRL_END_IN: return put<ViUInt16>(out, s.end_in);
    case VI_ATTR_ASRL_END_OUT: return put<ViUInt16>(out, s.end_out);
    case VI_ATTR_MAX_QUEUE_LENGTH: return put<ViUInt32>(out, s.max_queue);
    case VI_ATTR_USER_DATA: return put<ViAddr>(out, s.user_data);
    case VI_ATTR_RD_BUF_OPER_MODE: return put<ViUInt16>(out, s.rd_mode);
    case VI_ATTR_WR_BUF_OPER_MODE: return put<ViUInt16>(out, s.wr_mode);
    case VI_ATTR_RD_BUF_SIZE: return put<ViUInt32>(out, static_cast<ViUInt32>(s.in_cap));
    case VI_ATTR_WR_BUF_SIZE: return put<ViUInt32>(out, s.wr_buf);
    case VI_ATTR_IO_PROT: return put<ViUInt16>(out, s.io_prot);
    case VI_ATTR_ASRL_BREAK_LEN: return put<ViInt16>(out, s.break_len);
    case VI_ATTR_ASRL_ALLOW_TRANSMIT: return put<ViBoolean>(out, s.allow_transmit);
    case VI_ATTR_ASRL_BREAK_STATE: return put<ViInt16>(out, s.break_state);
    case VI_ATTR_ASRL_BAUD: return put<ViUInt32>(out, s.have.baud);
    case VI_ATTR_ASRL_DATA_BITS: return put<ViUInt16>(out, s.have.data_bits);
    case VI_ATTR_ASRL_PARITY: return put<ViUInt16>(out, s.have.parity);
    case VI_ATTR_ASRL_STOP_BITS: return put<ViUInt16>(out, s.have.stop_bits);
    case VI_ATTR_ASRL_FLOW_CNTRL: return put<ViUInt16>(out, s.have.flow);
    case VI_ATTR_ASRL_XON_CHAR: return put<ViUInt8>(out, s.have.xon);
    case VI_ATTR_ASRL_XOFF_CHAR: return put<ViUInt8>(out, s.have.xoff);
    case VI_ATTR_ASRL_AVAIL_NUM:
        // What a read can take at once: the input buffer, and while that is
        // full what waits in the driver behind it.
        return put<ViUInt32>(out, static_cast<ViUInt32>(s.in.size() +
                                                        (s.in.size() >= s.in_cap ? port_driver_pending(s.port) : 0)));
    case VI_ATTR_ASRL_CTS_STATE: case VI_ATTR_ASRL_DSR_STATE: case VI_ATTR_ASRL_DCD_STATE: case VI_ATTR_ASRL_RI_STATE:
    case VI_ATTR_ASRL_DTR_STATE: case VI_ATTR_ASRL_RTS_STATE: {
        Line line = Line::cts;
        line_attr(a, &line);
        return put<ViInt16>(out, port_line(s.port, line));
    }
    case VI_ATTR_ASRL_CONNECTED: {
        ViBoolean c = VI_FALSE;
        const ViStatus st = port_connected(s.port, &c);
        if (st < 0) return st;
        return put<ViBoolean>(out, c);
    }
    case VI_ATTR_RSRC_NAME: copy_out(static_cast<ViChar *>(out), resource_name(s.number)); return VI_SUCCESS;
    case VI_ATTR_RSRC_CLASS: copy_out(static_cast<ViChar *>(out), "INSTR"); return VI_SUCCESS;
    case VI_ATTR_INTF_INST_NAME:
        copy_out(static_cast<ViChar *>(out), "ASRL" + std::to_string(s.number) + " (COM" + std::to_string(s.number) +
                                                 " " + port_device(s.number) + ")");
        return VI_SUCCESS;
    case VI_ATTR_INTF_TYPE: return put<ViUInt16>(out, VI_INTF_ASRL);
    case VI_ATTR_INTF_NUM: return put<ViUInt16>(out, static_cast<ViUInt16>(s.number));
    case VI_ATTR_RSRC_IMPL_VERSION: return put<ViUInt32>(out, 0x00100000u);
    case VI_ATTR_RSRC_LOCK_STATE: return put<ViUInt32>(out, s.locks > 0 ? VI_EXCLUSIVE_LOCK : VI_NO_LOCK);
    default: return VI_ERROR_NSUP_ATTR;
    }
}

}  // namespace

extern "C" {

ViStatus viOpenDefaultRM(ViPSession vi) {
    if (vi == nullptr) return VI_ERROR_INV_PARAMETER;
    auto rm = std::make_shared<Object>(Kind::rm);
    *vi = add_object(rm);
    return VI_SUCCESS;
}

ViStatus viFindRsrc(ViSession sesn, ViConstString expr, ViPFindList vi, ViPUInt32 retCnt, ViChar desc[]) {
    if (vi != nullptr) *vi = VI_NULL;
    if (retCnt != nullptr) *retCnt = 0;
    if (find_object<Object>(sesn, Kind::rm) == nullptr) return VI_ERROR_INV_SESSION;
    std::regex re;
    if (expr == nullptr || !expr_to_regex(expr, &re)) return VI_ERROR_INV_EXPR;
    auto list = std::make_shared<FindList>();
    for (int n = 1; n <= 256; ++n) {
        const std::string name = resource_name(n);
        if (std::regex_match(name, re) && port_present(n)) list->names.push_back(name);
    }
    if (list->names.empty()) return VI_ERROR_RSRC_NFOUND;
    copy_out(desc, list->names[0]);
    list->next = 1;
    list->owner = sesn;
    if (retCnt != nullptr) *retCnt = static_cast<ViUInt32>(list->names.size());
    const ViObject id = add_object(list);
    if (vi != nullptr) *vi = id;
    else drop_object(id);
    return VI_SUCCESS;
}

ViStatus viFindNext(ViFindList vi, ViChar desc[]) {
    auto list = find_object<FindList>(vi, Kind::find);
    if (list == nullptr) return VI_ERROR_INV_OBJECT;
    std::lock_guard<std::mutex> lk(g_mutex);
    if (list->next >= list->names.size()) return VI_ERROR_RSRC_NFOUND;
    copy_out(desc, list->names[list->next++]);
    return VI_SUCCESS;
}

ViStatus viOpen(ViSession sesn, ViConstRsrc name, ViAccessMode mode, ViUInt32 /*timeout*/, ViPSession vi) {
    if (vi != nullptr) *vi = VI_NULL;
    if (find_object<Object>(sesn, Kind::rm) == nullptr) return VI_ERROR_INV_SESSION;
    if (vi == nullptr) return VI_ERROR_INV_PARAMETER;
    if ((mode & ~static_cast<ViAccessMode>(VI_EXCLUSIVE_LOCK | VI_SHARED_LOCK | VI_LOAD_CONFIG)) != 0 ||
        (mode & 3) == 3)
        return VI_ERROR_INV_ACC_MODE;
    const int n = parse_name(name);
    if (n < 0) return VI_ERROR_INV_RSRC_NAME;
    if (n == 0 || n > 256) return VI_ERROR_RSRC_NFOUND;
    auto s = std::make_shared<Session>();
    s->number = n;
    s->owner = sesn;
    const ViStatus st = port_open(n, &s->port);
    if (st < 0) return st;
    Settings have;
    port_apply(s->port, Settings{}, &have);
    s->have = have;
    if ((mode & 3) != 0) s->locks = 1;
    add_object(s);
    s->reader = std::thread(reader_loop, s);
    *vi = s->id;
    return VI_SUCCESS;
}

ViStatus viClose(ViObject vi) {
    std::shared_ptr<Object> o;
    {
        std::lock_guard<std::mutex> lk(g_mutex);
        auto it = g_objects.find(vi);
        if (it == g_objects.end()) return vi == VI_NULL ? VI_WARN_NULL_OBJECT : VI_ERROR_INV_OBJECT;
        o = it->second;
    }
    switch (o->kind) {
    case Kind::instr:
        return close_session(std::static_pointer_cast<Session>(o));
    case Kind::rm: {
        std::vector<std::shared_ptr<Object>> owned;
        {
            std::lock_guard<std::mutex> lk(g_mutex);
            for (const auto &e : g_objects)
                if (e.second->owner == vi && e.second != o) owned.push_back(e.second);
        }
        for (const auto &e : owned)
            if (e->kind == Kind::instr) close_session(std::static_pointer_cast<Session>(e));
            else drop_object(e->id);
        drop_object(vi);
        return VI_SUCCESS;
    }
    default:
        drop_object(vi);
        return VI_SUCCESS;
    }
}

ViStatus viSetAttribute(ViObject vi, ViAttr attrName, ViAttrState attrValue) {
    auto s = session_of(vi);
    if (s == nullptr) {
        std::lock_guard<std::mutex> lk(g_mutex);
        auto it = g_objects.find(vi);
        if (it == g_objects.end()) return VI_ERROR_INV_OBJECT;
        return attrName == VI_ATTR_EVENT_TYPE || attrName == VI_ATTR_STATUS ? VI_ERROR_ATTR_READONLY
                                                                             : VI_ERROR_NSUP_ATTR;
    }
    std::lock_guard<std::mutex> lk(s->m);
    const ViStatus st = set_session_attr(*s, attrName, attrValue);
    s->cv.notify_all();
    return st;
}

ViStatus viGetAttribute(ViObject vi, ViAttr attrName, void *attrValue) {
    std::shared_ptr<Object> o;
    {
        std::lock_guard<std::mutex> lk(g_mutex);
        auto it = g_objects.find(vi);
        if (it == g_objects.end()) return VI_ERROR_INV_OBJECT;
        o = it->second;
    }
    if (attrValue == nullptr) return VI_ERROR_INV_PARAMETER;
    if (o->kind == Kind::event) {
        auto e = std::static_pointer_cast<EventContext>(o);
        switch (attrName) {
        case VI_ATTR_EVENT_TYPE: return put<ViEventType>(attrValue, e->type);
        case VI_ATTR_STATUS: return put<ViStatus>(attrValue, e->status);
        case VI_ATTR_OPER_NAME: copy_out(static_cast<ViChar *>(attrValue), ""); return VI_SUCCESS;
        default: return VI_ERROR_NSUP_ATTR;
        }
    }
    if (o->kind != Kind::instr) {
        if (attrName == VI_ATTR_RSRC_NAME && o->kind == Kind::rm) {
            copy_out(static_cast<ViChar *>(attrValue), "");
            return VI_SUCCESS;
        }
        return VI_ERROR_NSUP_ATTR;
    }
    auto s = std::static_pointer_cast<Session>(o);
    std::lock_guard<std::mutex> lk(s->m);
    if (s->closing) return VI_ERROR_INV_OBJECT;
    return get_session_attr(*s, attrName, attrValue);
}

ViStatus viStatusDesc(ViObject /*vi*/, ViStatus status, ViChar desc[]) {
    if (desc == nullptr) return VI_ERROR_INV_PARAMETER;
    for (const StatusText &t : kStatusTexts)
        if (t.status == status) {
            copy_out(desc, t.text);
            return VI_SUCCESS;
        }
    char text[64];
    std::snprintf(text, sizeof text, "Unknown status value 0x%08lX",
                  static_cast<unsigned long>(static_cast<ViUInt32>(status)));
    copy_out(desc, text);
    return VI_WARN_UNKNOWN_STATUS;
}

ViStatus viTerminate(ViObject vi, ViUInt16 degree, ViJobId /*jobId*/) {
    auto s = session_of(vi);
    if (s == nullptr) return VI_ERROR_INV_OBJECT;
    if (degree != VI_NULL) return VI_ERROR_INV_DEGREE;
    std::lock_guard<std::mutex> lk(s->m);
    ++s->abort_gen;
    s->cv.notify_all();
    return VI_SUCCESS;
}

ViStatus viLock(ViSession vi, ViAccessMode lockType, ViUInt32 /*timeout*/, ViConstKeyId /*requestedKey*/,
                ViChar accessKey[]) {
    auto s = session_of(vi);
    if (s == nullptr) return VI_ERROR_INV_OBJECT;
    if (lockType != VI_EXCLUSIVE_LOCK && lockType != VI_SHARED_LOCK) return VI_ERROR_INV_LOCK_TYPE;
    if (lockType == VI_SHARED_LOCK) copy_out(accessKey, "kezvisa");
    std::lock_guard<std::mutex> lk(s->m);
    ++s->locks;
    return VI_SUCCESS;
}

ViStatus viUnlock(ViSession vi) {
    auto s = session_of(vi);
    if (s == nullptr) return VI_ERROR_INV_OBJECT;
    std::lock_guard<std::mutex> lk(s->m);
    if (s->locks == 0) return VI_ERROR_SESN_NLOCKED;
    --s->locks;
    return VI_SUCCESS;
}

ViStatus viEnableEvent(ViSession vi, ViEventType eventType, ViUInt16 mechanism, ViEventFilter /*context*/) {
    auto s = session_of(vi);
    if (s == nullptr) return VI_ERROR_INV_OBJECT;
    if (!is_serial_event(eventType)) return VI_ERROR_INV_EVENT;
    if (mechanism == 0 || (mechanism & ~(VI_QUEUE | VI_HNDLR | VI_SUSPEND_HNDLR)) != 0 ||
        (mechanism & (VI_HNDLR | VI_SUSPEND_HNDLR)) == (VI_HNDLR | VI_SUSPEND_HNDLR))
        return VI_ERROR_INV_MECH;
    if ((mechanism & VI_SUSPEND_HNDLR) != 0) return VI_ERROR_NSUP_MECH;
    std::lock_guard<std::mutex> lk(s->m);
    if ((mechanism & VI_HNDLR) != 0 &&
        std::none_of(s->handlers.begin(), s->handlers.end(),
                     [&](const std::shared_ptr<Handler> &h) { return h->type == eventType; }))
        return VI_ERROR_HNDLR_NINSTALLED;
    ViUInt16 &mech = s->enabled[eventType];
    const bool already = (mech & mechanism) == mechanism;
    mech = static_cast<ViUInt16>(mech | mechanism);
    return already ? VI_SUCCESS_EVENT_EN : VI_SUCCESS;
}

ViStatus viDisableEvent(ViSession vi, ViEventType eventType, ViUInt16 mechanism) {
    auto s = session_of(vi);
    if (s == nullptr) return VI_ERROR_INV_OBJECT;
    if (eventType != VI_ALL_ENABLED_EVENTS && !is_serial_event(eventType)) return VI_ERROR_INV_EVENT;
    if (mechanism == 0 || (mechanism != VI_ALL_MECH && (mechanism & ~(VI_QUEUE | VI_HNDLR | VI_SUSPEND_HNDLR)) != 0))
        return VI_ERROR_INV_MECH;
    std::lock_guard<std::mutex> lk(s->m);
    bool any = false;
    for (auto &e : s->enabled)
        if (eventType == VI_ALL_ENABLED_EVENTS || e.first == eventType) {
            any = any || (e.second & mechanism) != 0;
            e.second = static_cast<ViUInt16>(e.second & ~mechanism);
        }
    return any ? VI_SUCCESS : VI_SUCCESS_EVENT_DIS;
}

ViStatus viDiscardEvents(ViSession vi, ViEventType eventType, ViUInt16 mechanism) {
    auto s = session_of(vi);
    if (s == nullptr) return VI_ERROR_INV_OBJECT;
    if (eventType != VI_ALL_ENABLED_EVENTS && !is_serial_event(eventType)) return VI_ERROR_INV_EVENT;
    if (mechanism == 0 || (mechanism != VI_ALL_MECH && (mechanism & ~(VI_QUEUE | VI_HNDLR | VI_SUSPEND_HNDLR)) != 0))
        return VI_ERROR_INV_MECH;
    std::vector<std::shared_ptr<EventContext>> gone;
    {
        std::lock_guard<std::mutex> lk(s->m);
        if ((mechanism & VI_QUEUE) != 0) {
            for (auto it = s->queue.begin(); it != s->queue.end();) {
                if (eventType == VI_ALL_ENABLED_EVENTS || (*it)->type == eventType) {
                    gone.push_back(*it);
                    it = s->queue.erase(it);
                } else {
                    ++it;
                }
            }
        }
    }
    for (const auto &e : gone) drop_object(e->id);
    return gone.empty() ? VI_SUCCESS_QUEUE_EMPTY : VI_SUCCESS;
}

ViStatus viWaitOnEvent(ViSession vi, ViEventType inEventType, ViUInt32 timeout, ViPEventType outEventType,
                       ViPEvent outContext) {
    if (outEventType != nullptr) *outEventType = 0;
    if (outContext != nullptr) *outContext = VI_NULL;
    auto s = session_of(vi);
    if (s == nullptr) return VI_ERROR_INV_OBJECT;
    if (inEventType != VI_ALL_ENABLED_EVENTS && !is_serial_event(inEventType)) return VI_ERROR_INV_EVENT;
    std::unique_lock<std::mutex> lk(s->m);
    const bool enabled = inEventType == VI_ALL_ENABLED_EVENTS
                             ? std::any_of(s->enabled.begin(), s->enabled.end(),
                                           [](const auto &e) { return (e.second & VI_QUEUE) != 0; })
                             : (s->enabled[inEventType] & VI_QUEUE) != 0;
    if (!enabled) return VI_ERROR_NENABLED;
    ++s->busy;
    const unsigned gen = s->abort_gen;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout == VI_TMO_INFINITE ? 0 : timeout);
    std::shared_ptr<EventContext> got;
    ViStatus status = VI_SUCCESS;
    for (;;) {
        for (auto it = s->queue.begin(); it != s->queue.end(); ++it)
            if (inEventType == VI_ALL_ENABLED_EVENTS || (*it)->type == inEventType) {
                got = *it;
                s->queue.erase(it);
                break;
            }
        if (got != nullptr) break;
        if (s->closing || s->abort_gen != gen) {
            status = VI_ERROR_ABORT;
            break;
        }
        if (timeout == VI_TMO_INFINITE) {
            s->cv.wait(lk);
        } else if (timeout == 0 || Clock::now() >= deadline) {
            status = VI_ERROR_TMO;
            break;
        } else {
            s->cv.wait_until(lk, deadline);
        }
    }
    --s->busy;
    s->cv.notify_all();
    lk.unlock();
    if (got == nullptr) return status;
    if (outEventType != nullptr) *outEventType = got->type;
    if (outContext != nullptr) *outContext = got->id;
    else drop_object(got->id);
    return VI_SUCCESS;
}

ViStatus viInstallHandler(ViSession vi, ViEventType eventType, ViHndlr handler, ViAddr userHandle) {
    auto s = session_of(vi);
    if (s == nullptr) return VI_ERROR_INV_OBJECT;
    if (!is_serial_event(eventType)) return VI_ERROR_INV_EVENT;
    if (handler == nullptr) return VI_ERROR_INV_HNDLR_REF;
    std::lock_guard<std::mutex> lk(s->m);
    s->handlers.push_back(std::make_shared<Handler>(Handler{eventType, handler, userHandle}));
    return VI_SUCCESS;
}

ViStatus viUninstallHandler(ViSession vi, ViEventType eventType, ViHndlr handler, ViAddr userHandle) {
    auto s = session_of(vi);
    if (s == nullptr) return VI_ERROR_INV_OBJECT;
    if (!is_serial_event(eventType)) return VI_ERROR_INV_EVENT;
    std::unique_lock<std::mutex> lk(s->m);
    std::vector<std::shared_ptr<Handler>> gone;
    for (auto it = s->handlers.begin(); it != s->handlers.end();) {
        const auto &h = *it;
        if (h->type == eventType && (handler == VI_ANY_HNDLR || (h->fn == handler && h->user == userHandle))) {
            h->removed = true;
            gone.push_back(h);
            it = s->handlers.erase(it);
        } else {
            ++it;
        }
    }
    if (gone.empty()) return VI_ERROR_INV_HNDLR_REF;
    for (const auto &h : gone) s->cv.wait(lk, [&] { return !others_in_handlers(*s, h.get()); });
    return VI_SUCCESS;
}

ViStatus viRead(ViSession vi, ViBuf buf, ViUInt32 cnt, ViPUInt32 retCnt) {
    if (retCnt != nullptr) *retCnt = 0;
    auto s = session_of(vi);
    if (s == nullptr) return VI_ERROR_INV_OBJECT;
    if (buf == nullptr && cnt > 0) return VI_ERROR_INV_PARAMETER;
    ViUInt32 got = 0;
    const ViStatus st = read_session(*s, buf, cnt, &got);
    if (retCnt != nullptr) *retCnt = got;
    return st;
}

ViStatus viWrite(ViSession vi, ViConstBuf buf, ViUInt32 cnt, ViPUInt32 retCnt) {
    if (retCnt != nullptr) *retCnt = 0;
    auto s = session_of(vi);
    if (s == nullptr) return VI_ERROR_INV_OBJECT;
    if (buf == nullptr && cnt > 0) return VI_ERROR_INV_PARAMETER;
    ViUInt16 end_out = VI_ASRL_END_NONE;
    ViUInt8 termchar = 0;
    ViUInt16 data_bits = 8;
    {
        std::lock_guard<std::mutex> lk(s->m);
        if (s->send_end_en) end_out = s->end_out;
        termchar = s->termchar;
        data_bits = s->have.data_bits;
    }
    std::vector<unsigned char> data(buf, buf + cnt);
    if (end_out == VI_ASRL_END_TERMCHAR) data.push_back(termchar);
    if (end_out == VI_ASRL_END_LAST_BIT && !data.empty())
        data.back() = static_cast<unsigned char>(data.back() | (1u << (data_bits - 1)));
    std::size_t done = 0;
    const ViStatus st = write_bytes(*s, data.data(), data.size(), &done);
    if (retCnt != nullptr) *retCnt = static_cast<ViUInt32>(std::min<std::size_t>(done, cnt));
    if (st == VI_SUCCESS && end_out == VI_ASRL_END_BREAK) {
        port_drain(s->port);
        port_set_break(s->port, true);
        std::this_thread::sleep_for(std::chrono::milliseconds(s->break_len));
        port_set_break(s->port, false);
    }
    return st;
}

ViStatus viReadAsync(ViSession, ViBuf, ViUInt32, ViPJobId) { return VI_ERROR_NSUP_OPER; }
ViStatus viWriteAsync(ViSession, ViConstBuf, ViUInt32, ViPJobId) { return VI_ERROR_NSUP_OPER; }
ViStatus viReadSTB(ViSession, ViPUInt16) { return VI_ERROR_NSUP_OPER; }
ViStatus viVPrintf(ViSession, ViConstString, va_list) { return VI_ERROR_NSUP_OPER; }
ViStatus viVScanf(ViSession, ViConstString, va_list) { return VI_ERROR_NSUP_OPER; }

ViStatus viAssertTrigger(ViSession vi, ViUInt16 protocol) {
    auto s = session_of(vi);
    if (s == nullptr) return VI_ERROR_INV_OBJECT;
    if (protocol != VI_TRIG_PROT_DEFAULT) return VI_ERROR_INV_PROT;
    static const unsigned char trg[] = {'*', 'T', 'R', 'G', '\n'};
    std::size_t done = 0;
    return write_bytes(*s, trg, sizeof trg, &done);
}

ViStatus viClear(ViSession vi) {
    auto s = session_of(vi);
    if (s == nullptr) return VI_ERROR_INV_OBJECT;
    std::lock_guard<std::mutex> lk(s->m);
    s->in.clear();
    port_discard_input(s->port);
    port_discard_output(s->port);
    s->cv.notify_all();
    return VI_SUCCESS;
}

ViStatus viSetBuf(ViSession vi, ViUInt16 mask, ViUInt32 size) {
    auto s = session_of(vi);
    if (s == nullptr) return VI_ERROR_INV_OBJECT;
    if (mask == 0 || (mask & ~(VI_READ_BUF | VI_WRITE_BUF | VI_IO_IN_BUF | VI_IO_OUT_BUF)) != 0)
        return VI_ERROR_INV_MASK;
    if (size == 0) return VI_ERROR_INV_SIZE;
    std::lock_guard<std::mutex> lk(s->m);
    if ((mask & (VI_READ_BUF | VI_IO_IN_BUF)) != 0) s->in_cap = size;
    if ((mask & (VI_WRITE_BUF | VI_IO_OUT_BUF)) != 0) s->wr_buf = size;
    s->cv.notify_all();
    return VI_SUCCESS;
}

ViStatus viFlush(ViSession vi, ViUInt16 mask) {
    auto s = session_of(vi);
    if (s == nullptr) return VI_ERROR_INV_OBJECT;
    if (mask == 0 || (mask & ~0xFF) != 0 || (mask & (VI_READ_BUF | VI_READ_BUF_DISCARD)) == 5 ||
        (mask & (VI_WRITE_BUF | VI_WRITE_BUF_DISCARD)) == 10)
        return VI_ERROR_INV_MASK;
    std::lock_guard<std::mutex> lk(s->m);
    if ((mask & (VI_READ_BUF | VI_READ_BUF_DISCARD | VI_IO_IN_BUF | VI_IO_IN_BUF_DISCARD)) != 0) {
        s->in.clear();
        port_discard_input(s->port);
        s->cv.notify_all();
    }
    if ((mask & (VI_WRITE_BUF_DISCARD | VI_IO_OUT_BUF_DISCARD)) != 0) port_discard_output(s->port);
    if ((mask & (VI_WRITE_BUF | VI_IO_OUT_BUF)) != 0) port_drain(s->port);
    return VI_SUCCESS;
}

ViStatus kezvisa_raise(ViSession vi, ViEventType eventType, ViStatus status) {
    auto s = session_of(vi);
    if (s == nullptr) return VI_ERROR_INV_OBJECT;
    if (!is_serial_event(eventType)) return VI_ERROR_INV_EVENT;
    raise_event(s, eventType, status);
    return VI_SUCCESS;
}

}  // extern "C"
