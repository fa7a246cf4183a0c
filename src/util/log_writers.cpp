#include "util/log_writers.h"

#include <new>

#include "os/os.h"

namespace kez::log {

bool CustomStreamBuffer::sync() {
    if (pending_.empty()) return true;
    const bool ok = owner_.write(pending_.c_str());
    pending_.clear();
    return ok;
}

bool StdOutWriter::write(const char *text) { return std::fprintf(stdout, "%s", text) >= 0; }

bool StdErrWriter::write(const char *text) { return std::fprintf(stderr, "%s", text) >= 0; }

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
