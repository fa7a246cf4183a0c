#include "log/log_line.h"

#include <cstdio>
#include <cstring>

// User texts are formatted by the engine's own printf, so a format reads the
// same on every platform (%I64d is no flag I and width 64 here).
#include "clib/print_engine.h"

namespace kez::log {
namespace {

struct TokenName {
    const char *text;
    LineTemplate::Kind kind;
};

constexpr TokenName kTokens[] = {
    {"[TIME]", LineTemplate::Kind::time},   {"[FILE]", LineTemplate::Kind::file},
    {"[LINE]", LineTemplate::Kind::line},   {"[FUNC]", LineTemplate::Kind::func},
    {"[LEVEL]", LineTemplate::Kind::level}, {"[THREAD]", LineTemplate::Kind::thread},
};

void strip_line_ends(std::string &s) {
    while (!s.empty() && (s.back() == '\r' || s.back() == '\n')) s.pop_back();
}

// Appends at most the room left, keeping out terminated.
struct Output {
    char *out;
    std::size_t used = 0;

    void append(const char *s, std::size_t n) {
        const std::size_t room = kLineCapacity - 1 - used;
        if (n > room) n = room;
        std::memcpy(out + used, s, n);
        used += n;
        out[used] = '\0';
    }
    void append(const char *s) { append(s, std::strlen(s)); }
    // "%d" without the cost of a format.
    void append_int(int v) {
        char digits[16];
        int n = 0;
        unsigned magnitude = v < 0 ? 0u - static_cast<unsigned>(v) : static_cast<unsigned>(v);
        do {
            digits[n++] = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        if (v < 0) digits[n++] = '-';
        char text[16];
        for (int i = 0; i < n; ++i) text[i] = digits[n - 1 - i];
        append(text, static_cast<std::size_t>(n));
    }
};

// "%02d:%02d:%02d.%03d"
void format_time(const os::LocalTime &t, char out[13]) {
    auto two = [](char *p, int v) {
        p[0] = static_cast<char>('0' + v / 10 % 10);
        p[1] = static_cast<char>('0' + v % 10);
    };
    two(out, t.hour);
    out[2] = ':';
    two(out + 3, t.minute);
    out[5] = ':';
    two(out + 6, t.second);
    out[8] = '.';
    out[9] = static_cast<char>('0' + t.millisecond / 100 % 10);
    two(out + 10, t.millisecond % 100);
    out[12] = '\0';
}

}  // namespace

const char *level_name(std::uint32_t level) {
    switch (level) {
        case 1: return "TRACE";
        case 2: return "TIMING";
        case 4: return "INFO";
        case 8: return "TEMP";
        case 16: return "WARNING";
        case 32: return "ERROR";
        case 64: return "FATAL";
        case 128: return "BUILD";
        case 256: return "DLLMAIN";
        default: return "UNKNOWN";
    }
}

LineTemplate LineTemplate::compile(const std::string &text) {
    LineTemplate t;
    const std::size_t msg = text.find("[MSG]");
    if (msg == std::string::npos) {
        std::string whole = text;
        strip_line_ends(whole);
        t.parts_.push_back({Kind::literal, whole});
    } else {
        std::string suffix = text.substr(msg + 5);
        strip_line_ends(suffix);
        t.parts_.push_back({Kind::literal, text.substr(0, msg)});
        t.parts_.push_back({Kind::message, {}});
        t.parts_.push_back({Kind::literal, suffix});
        t.strip_format_line_end_ = suffix.empty();
    }
    // Each token's first occurrence in the template's own text; values put
    // in earlier are never searched.
    for (const TokenName &token : kTokens) {
        for (std::size_t i = 0; i < t.parts_.size(); ++i) {
            if (t.parts_[i].kind != Kind::literal) continue;
            const std::size_t at = t.parts_[i].text.find(token.text);
            if (at == std::string::npos) continue;
            std::string before = t.parts_[i].text.substr(0, at);
            std::string after = t.parts_[i].text.substr(at + std::strlen(token.text));
            t.parts_[i].text = std::move(before);
            t.parts_.insert(t.parts_.begin() + static_cast<long>(i) + 1, Part{token.kind, {}});
            t.parts_.insert(t.parts_.begin() + static_cast<long>(i) + 2, Part{Kind::literal, std::move(after)});
            break;
        }
    }
    return t;
}

LineTemplate LineTemplate::continuation() {
    LineTemplate t;
    t.parts_.push_back({Kind::message, {}});
    t.strip_format_line_end_ = true;
    return t;
}

namespace {

std::size_t format_into(char *out, const char *format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int n = clib::format_text(out, kLineCapacity, format, copy);
    va_end(copy);
    if (n < 0) {
        out[0] = '\0';
        return 0;
    }
    return static_cast<std::size_t>(n) < kLineCapacity ? static_cast<std::size_t>(n) : kLineCapacity - 1;
}

}  // namespace

void render_message(RenderedMessage &m, const char *format, va_list args) {
    const char *f = format != nullptr ? format : "unknown";
    m.length = format_into(m.text, f, args);
    const std::size_t n = std::strlen(f);
    m.has_stripped = n > 0 && (f[n - 1] == '\r' || f[n - 1] == '\n');
    if (m.has_stripped) {
        std::string stripped = f;
        strip_line_ends(stripped);
        m.stripped_length = format_into(m.stripped, stripped.c_str(), args);
    }
}

std::size_t render_line(char *out, const LineTemplate &t, const LineContext &c, const RenderedMessage &m) {
    Output o{out};
    out[0] = '\0';
    char time[13];
    for (const LineTemplate::Part &part : t.parts()) {
        switch (part.kind) {
            case LineTemplate::Kind::literal:
                o.append(part.text.data(), part.text.size());
                break;
            case LineTemplate::Kind::time:
                format_time(*c.time, time);
                o.append(time, 12);
                break;
            case LineTemplate::Kind::file:
                o.append(c.file != nullptr ? c.file : "");
                break;
            case LineTemplate::Kind::line:
                o.append_int(static_cast<int>(c.line));
                break;
            case LineTemplate::Kind::func:
                o.append(c.func != nullptr ? c.func : "");
                break;
            case LineTemplate::Kind::level:
                o.append(level_name(c.level));
                break;
            case LineTemplate::Kind::thread:
                o.append_int(static_cast<int>(c.thread));
                break;
            case LineTemplate::Kind::message:
                if (t.strips_format_line_end() && m.has_stripped)
                    o.append(m.stripped, m.stripped_length);
                else
                    o.append(m.text, m.length);
                break;
        }
    }
    return o.used;
}

}  // namespace kez::log
