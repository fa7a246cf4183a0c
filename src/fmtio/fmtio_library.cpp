#include "fmtio/fmtio_library.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>

#include "core/thread_var.h"
#include "fmtio/file_table.h"
#include "kez/formatio.h"
#include "kez/runtime.h"

namespace kez::fmtio {
namespace {

int g_slot = 0;
// Where a thread's code goes when it can have no record (no memory): a
// shared cell is better than losing the code.
std::atomic<int> g_error_without_record{0};

void free_state(void *state) { std::free(state); }


constexpr const char *kMessages[] = {
    "No error",
    "File not found",
    "General I/O failure",
    "Bad file handle",
    "Insufficient memory",
    "File exists",
    "Access denied",
    "Invalid argument",
    "Too many open files",
    "Disk is full",
    "File name too long",
    "String too long for representation",
};

}  // namespace

ThreadState *thread_state() {
    if (g_slot == 0) return nullptr;
    bool created = false;
    auto *s = static_cast<ThreadState *>(core::thread_record(g_slot, sizeof(ThreadState), &created));
    if (s != nullptr && created) s->error_index = -1;
    return s;
}

int FmtIOLibInitOnce() { return core::alloc_thread_var_slot(&g_slot, free_state) ? 0 : -103; }

void FmtIOLibUninit() {
    close_all_files();
    if (g_slot != 0) UninitializeKezThreadVar(g_slot);
    g_slot = 0;
}

void set_error(int code) {
    if (ThreadState *s = thread_state()) s->error = code;
    else g_error_without_record.store(code, std::memory_order_relaxed);
}

int last_error() {
    if (ThreadState *s = thread_state()) return s->error;
    return g_error_without_record.load(std::memory_order_relaxed);
}

const char *error_message(int code) {
    constexpr int count = sizeof kMessages / sizeof kMessages[0];
    return code >= 0 && code < count ? kMessages[code] : "Unknown error number";
}

const char *GetFmtIOTwinMessage(int) { return GetFmtIOErrorString(last_error()); }

}  // namespace kez::fmtio

extern "C" int GetFmtIOError(void) { return kez::fmtio::last_error(); }

extern "C" const char *GetFmtIOErrorString(int errorNum) {
    char *buffer = GetThreadLocalErrorStringBuffer();
    const char *text = kez::fmtio::error_message(errorNum);
    if (buffer == nullptr) return text;
    std::size_t i = 0;
    for (; text[i] != '\0' && i < 511; ++i) buffer[i] = text[i];
    buffer[i] = '\0';
    return buffer;
}

#if defined(KEZ_TEST_HOOKS)
#include <cstring>
#include <mutex>
#include <string>

#include "core/test_hooks.h"

namespace {
std::mutex g_console_lock;
std::string g_console_text;

void record_console(int, const char *data, std::size_t size) {
    std::lock_guard<std::mutex> hold(g_console_lock);
    g_console_text.append(data, size);
}
}  // namespace

extern "C" void KezTest_RecordConsole(int on) {
    {
        std::lock_guard<std::mutex> hold(g_console_lock);
        g_console_text.clear();
    }
    kez::fmtio::set_console_copy(on != 0 ? record_console : nullptr);
}

extern "C" int KezTest_ConsoleText(char *buffer, int size) {
    std::lock_guard<std::mutex> hold(g_console_lock);
    if (size > 0) {
        const std::size_t n = std::min(g_console_text.size(), static_cast<std::size_t>(size - 1));
        std::memcpy(buffer, g_console_text.data(), n);
        buffer[n] = '\0';
    }
    return static_cast<int>(g_console_text.size());
}
#endif
