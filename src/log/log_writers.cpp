#include "log/log_writers.h"

#include <atomic>
#include <new>

#include "os/os.h"

namespace kez::log {

bool CustomStreamBuffer::sync() {
    if (pending_.empty()) return true;
    const bool ok = owner_.write(pending_.c_str());
    pending_.clear();
    return ok;
}

namespace {
std::atomic<ConsoleWrite> g_console_write{nullptr};
}  // namespace

void set_console_write(ConsoleWrite write) { g_console_write.store(write, std::memory_order_release); }

bool StdOutWriter::write(const char *text) {
    if (ConsoleWrite w = g_console_write.load(std::memory_order_acquire)) return w(1, text);
    return std::fprintf(stdout, "%s", text) >= 0;
}

bool StdErrWriter::write(const char *text) {
    if (ConsoleWrite w = g_console_write.load(std::memory_order_acquire)) return w(2, text);
    return std::fprintf(stderr, "%s", text) >= 0;
}

bool DebuggerWriter::write(const char *text) {
    os::debug_output(text);
    return true;
}

FileWriter *FileWriter::open(const char *path) {
    // Binary: the logger writes its own "\r\n" line ends.
    std::FILE *f = std::fopen(path, "wb");
    if (f == nullptr) return nullptr;
    auto *w = new (std::nothrow) FileWriter(f);
    if (w == nullptr) std::fclose(f);
    return w;
}

FileWriter::~FileWriter() { std::fclose(file_); }

void FileWriter::write(const char *text, std::size_t length) {
    if (std::fwrite(text, 1, length, file_) != length) bad_ = true;
}

void FileWriter::flush() {
    if (std::fflush(file_) != 0) bad_ = true;
}

}  // namespace kez::log
