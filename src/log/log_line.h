// Building one log line from the line template.
//
// The template is compiled once into parts: literal text, tokens and the
// place of the message. Each token's first occurrence in the template's own
// text is replaced, in the order TIME, FILE, LINE, FUNC, LEVEL, THREAD.
// Only the caller's format is a printf format: the template's text and the
// values put in for tokens are copied as they are, so a '%' in a file name,
// a function name or the template can never read an argument that was not
// passed.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "os/os.h"

namespace kez::log {

constexpr std::size_t kLineCapacity = 4096;  // including the terminating NUL

const char *level_name(std::uint32_t level);

class LineTemplate {
public:
    enum class Kind { literal, message, time, file, line, func, level, thread };
    struct Part {
        Kind kind;
        std::string text;  // for literals
    };

    // A template for a line's start, or the bare message for a line that
    // continues one written without a line end.
    static LineTemplate compile(const std::string &text);
    static LineTemplate continuation();

    const std::vector<Part> &parts() const { return parts_; }
    // The template ends with the message: line ends at the end of the
    // format are removed.
    bool strips_format_line_end() const { return strip_format_line_end_; }

private:
    std::vector<Part> parts_;
    bool strip_format_line_end_ = false;
};

struct LineContext {
    std::uint32_t level;
    const char *file;
    const char *func;
    unsigned line;
    os::ThreadId thread;
    const os::LocalTime *time;  // null: the template has no [TIME]
};

// The caller's message, formatted before the logger's lock is taken: as
// written, and (only when the format ends with a line end) with the
// format's trailing line ends removed, for templates that end with it.
struct RenderedMessage {
    char text[kLineCapacity];
    std::size_t length = 0;
    char stripped[kLineCapacity];
    std::size_t stripped_length = 0;
    bool has_stripped = false;
};
void render_message(RenderedMessage &m, const char *format, va_list args);

// Renders the line into out (kLineCapacity bytes); longer lines are cut.
// Returns the length written.
std::size_t render_line(char *out, const LineTemplate &t, const LineContext &context, const RenderedMessage &m);

}  // namespace kez::log
