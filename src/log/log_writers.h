// The logger's output writers. A GenericStreamWriter is a small output
// stream over a CustomStreamBuffer, which collects characters and, when the
// stream is flushed, hands the complete text to the writer's write().
//
// These are the engine's own stream classes rather than the standard
// library's iostreams: in the Windows DLL, iostreams bring thread-local
// state of the C++ runtime that is never given back when the DLL unloads.
#pragma once

#include <cstdio>
#include <string>

namespace kez::log {

class GenericStreamWriter;

class CustomStreamBuffer {
public:
    explicit CustomStreamBuffer(GenericStreamWriter &owner) : owner_(owner) {}
    void put(const char *text) { pending_.append(text); }
    void put(char c) { pending_.push_back(c); }
    // Hands the collected text to the writer; false when it failed.
    bool sync();

private:
    GenericStreamWriter &owner_;
    std::string pending_;
};

class GenericStreamWriter {
public:
    GenericStreamWriter() : buffer_(*this) {}
    GenericStreamWriter(const GenericStreamWriter &) = delete;
    GenericStreamWriter &operator=(const GenericStreamWriter &) = delete;
    virtual ~GenericStreamWriter() = default;

    GenericStreamWriter &operator<<(const char *text) {
        buffer_.put(text);
        return *this;
    }
    GenericStreamWriter &operator<<(char c) {
        buffer_.put(c);
        return *this;
    }
    void flush() {
        if (!buffer_.sync()) bad_ = true;
    }
    // A writer whose destination failed is skipped from then on.
    bool good() const { return !bad_; }

    // Receives complete text; returns false when the destination failed.
    virtual bool write(const char *text) = 0;

private:
    CustomStreamBuffer buffer_;
    bool bad_ = false;
};

// Where the standard-output and standard-error writers write: the C
// library's standard streams once that library has started (it installs
// this; handle 1 or 2), so log lines and the program's own output share one
// buffer and one order. Null: the host's streams.
using ConsoleWrite = bool (*)(int handle, const char *text);
void set_console_write(ConsoleWrite write);

class StdOutWriter final : public GenericStreamWriter {
public:
    bool write(const char *text) override;
};

class StdErrWriter final : public GenericStreamWriter {
public:
    bool write(const char *text) override;
};

class DebuggerWriter final : public GenericStreamWriter {
public:
    bool write(const char *text) override;
};

// The log file: created (truncated) for writing, shared with readers.
class FileWriter {
public:
    static FileWriter *open(const char *path);  // null when it cannot be created
    ~FileWriter();
    FileWriter(const FileWriter &) = delete;
    FileWriter &operator=(const FileWriter &) = delete;

    void write(const char *text, std::size_t length);
    void flush();
    bool good() const { return !bad_; }

private:
    explicit FileWriter(std::FILE *f) : file_(f) {}
    std::FILE *file_;
    bool bad_ = false;
};

}  // namespace kez::log
