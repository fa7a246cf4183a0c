// Thread utilities, status codes and their messages.
#include "mt/thread_util.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/frame.h"
#include "core/messages.h"
#include "core/thread_var.h"
#include "debug/resource_tracking.h"
#include "kez/multithreading.h"
#include "kez/runtime.h"
#include "os/os.h"
#include "log/log.h"

namespace kez::mt {
namespace {

int g_utility_slot = 0;

void free_utility_block(void *block) { std::free(block); }

constexpr int kFirstCode = 14901;
constexpr int kLastCode = 14933;
constexpr std::size_t kMessageBuffer = 256;

}  // namespace

int kmt_error_result(int code, const char *function) {
    const int result = KezErrToKmtErr(code);
    if (result < 0 && log::enabled(log::kWarning))
        log::write(log::kWarning, false, __FILE__, function, __LINE__, "Err = %d", result);
    return result;
}

void track_resource(const void *resource, const char *format, ...) {
    if (!debug::resource_tracking_enabled()) return;
    char description[400];
    va_list args;
    va_start(args, format);
    std::vsnprintf(description, sizeof description, format, args);
    va_end(args);
    debug::resource_acquire(reinterpret_cast<std::uintptr_t>(resource), "Multithreading", description);
}

int kmt_twin_result(const char *function, int result) {
    if (result < 0) core::report_library_error(function, result, GetKmtUserProtErrorString(result));
    return result;
}

void untrack_resource(const void *resource) { debug::resource_release(reinterpret_cast<std::uintptr_t>(resource)); }

// The utility slot first: the other pieces keep per-thread state in it.
int UtilityLibraryInitOnce() {
    if (!core::alloc_thread_var_slot(&g_utility_slot, free_utility_block)) return -103;
    if (UserLockManagerInit() != 0 || TsvInit() != 0 || TlvInit() != 0 || TsqInit() != 0 || ThreadPoolInit() != 0) {
        UtilityLibraryUninit();
        return -103;
    }
    return 0;
}

void UtilityLibraryUninit() {
    ThreadPoolUninit();
    TsqUninit();
    TlvUninit();
    TsvUninit();
    UserLockManagerUninit();
    if (g_utility_slot != 0) UninitializeKezThreadVar(g_utility_slot);
    g_utility_slot = 0;
}

// The default pool first: its threads may still use the other objects.
void UtilityLibraryUninitKmtResources() {
    ThreadPoolUninit();
    TsqUninit();
    TlvUninit();
    TsvUninit();
    UserLockManagerUninit();
}

UtilityThreadBlock *utility_block_if_any() {
    if (g_utility_slot == 0 || !core::has_thread_block()) return nullptr;
    return static_cast<UtilityThreadBlock *>(GetKezThreadVarValue(g_utility_slot));
}

UtilityThreadBlock *utility_block() {
    if (g_utility_slot == 0) return nullptr;
    return static_cast<UtilityThreadBlock *>(core::thread_record(g_utility_slot, sizeof(UtilityThreadBlock), nullptr));
}

bool SetKmtSystemErrorCode(std::uint32_t code) {
    UtilityThreadBlock *block = utility_block();
    if (block == nullptr) return false;
    block->last_system_error = code;
    return true;
}

int system_error_result() {
    const std::uint32_t code = os::last_error();
    return SetKmtSystemErrorCode(code) ? -14910 : -102;
}

int KezErrToKmtErr(int code) {
    if (code >= 0) return code;
    if (-code >= kFirstCode && -code <= kLastCode) return code;
    if (code == -102) return -14905;
    // An internal code no library function should return. Reported, and
    // given back as "Invalid status code." rather than as a positive value
    // that callers would take for success.
    char message[96];
    std::snprintf(message, sizeof message, "Unexpected internal status code %d", code);
    log::assert_failed("0", __FILE__, "KezErrToKmtErr", __LINE__, message);
    return -kLastCode;
}

const char *GetKmtUserProtErrorString(int code) {
    char *buffer = GetThreadLocalErrorStringBuffer();
    if (KmtGetErrorMessage(code, buffer) < 0) {
        KEZ_ASSERT_MSG(false, "KmtGetErrorMessage failed for a library status code");
        buffer[0] = '\0';
    }
    return buffer;
}

}  // namespace kez::mt

using namespace kez::mt;
namespace os = kez::os;

extern "C" unsigned int KmtGetCurrentThreadID(void) { return os::current_thread_id(); }
extern "C" unsigned int KmtGetMainThreadID(void) { return kez::core::engine().main_thread_id; }
extern "C" int KmtGetNumProcessors(void) { return os::processor_count(); }

extern "C" int KmtGetCurrentThreadPriority(int *priority) {
    if (priority == nullptr) return KMT_RESULT(-14902);
    int p = 0;
    if (!os::thread_priority_get(&p)) return KMT_RESULT(system_error_result());
    *priority = p;
    return 0;
}

extern "C" int KmtSetCurrentThreadPriority(int priority) {
    if (priority < -15 || priority > 15) return KMT_RESULT(-14922);
    if (!os::thread_priority_set(priority)) return KMT_RESULT(system_error_result());
    return 0;
}

extern "C" int KmtGetErrorMessage(int code, char *buffer) {
    const int number = code < 0 ? -code : code;
    if (number < kFirstCode || number > kLastCode || buffer == nullptr) return KMT_RESULT(-14902);
    if (number == 14910) {
        UtilityThreadBlock *block = utility_block();
        if (block == nullptr) return KMT_RESULT(-14905);
        if (!os::error_text(block->last_system_error, buffer, kMessageBuffer))
            std::snprintf(buffer, kMessageBuffer, "%s", "Unknown error.");
        return 0;
    }
    std::snprintf(buffer, kMessageBuffer, "%s", kez::core::message_text(number));
    return 0;
}
