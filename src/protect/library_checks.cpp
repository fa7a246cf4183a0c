#include "protect/library_checks.h"

#include <atomic>
#include <cstdint>
#include <cstring>

#include "core/messages.h"
#include "core/test_hooks.h"
#include "os/os.h"
#include "protect/runtime_error.h"

namespace kez::protect {

bool protection_available() { return debugging_level() >= kUserProtection; }

void check_required_pointer(const void *pointer, int argument) {
    constexpr int kNullPointerArgument = 165;
    if (pointer == nullptr && protection_available())
        report_argument_message(kFatal, kNullPointerArgument, argument, core::message_text(kNullPointerArgument));
}

#if defined(KEZ_TEST_HOOKS)
namespace {
// The tests' stand-ins for the descriptions compiled code will pass: one
// pending description per thread, and the last report. A spin lock guards
// both (tiny, and no system object to give back at unload).
constexpr int kPendingThreads = 16;
struct Pending {
    os::ThreadId thread = 0;
    PassedArguments arguments{};
};
Pending g_pending[kPendingThreads];
struct LastReport {
    unsigned count = 0;
    int severity = 0, number = 0, argument = 0;
    char text[1024] = {};
};
LastReport g_last;
std::atomic_flag g_busy = ATOMIC_FLAG_INIT;

}  // namespace

class TestHold {
public:
    TestHold() {
        while (g_busy.test_and_set(std::memory_order_acquire)) {
        }
    }
    ~TestHold() { g_busy.clear(std::memory_order_release); }
    TestHold(const TestHold &) = delete;
    TestHold &operator=(const TestHold &) = delete;
};

bool take_passed_arguments(PassedArguments &out) {
    TestHold hold;
    const os::ThreadId self = os::current_thread_id();
    for (auto &p : g_pending) {
        if (p.thread != self) continue;
        out = p.arguments;
        p.thread = 0;
        return true;
    }
    return false;
}

void report_argument_message(int severity, int number, int argument, const char *text) {
    {
        TestHold hold;
        ++g_last.count;
        g_last.severity = severity;
        g_last.number = number;
        g_last.argument = argument;
        std::strncpy(g_last.text, text, sizeof g_last.text - 1);
    }
    report_runtime_error(severity, text);
}
#else
bool take_passed_arguments(PassedArguments &) { return false; }

void report_argument_message(int severity, int, int, const char *text) { report_runtime_error(severity, text); }
#endif

const char *passed_type_name(PassedType type) {
    switch (type) {
    case PassedType::char_type: return "char";
    case PassedType::signed_char: return "signed char";
    case PassedType::unsigned_char: return "unsigned char";
    case PassedType::short_type: return "short";
    case PassedType::unsigned_short: return "unsigned short";
    case PassedType::int_type: return "int";
    case PassedType::unsigned_int: return "unsigned int";
    case PassedType::long_type: return "long";
    case PassedType::unsigned_long: return "unsigned long";
    case PassedType::int64: return "__int64";
    case PassedType::unsigned_int64: return "unsigned __int64";
    case PassedType::float_type: return "float";
    case PassedType::double_type: return "double";
    case PassedType::long_double: return "long double";
    case PassedType::void_type: return "void";
    case PassedType::pointer: return "pointer";
    case PassedType::function: return "function";
    case PassedType::none: break;
    }
    return "";
}

}  // namespace kez::protect

#if defined(KEZ_TEST_HOOKS)
using namespace kez::protect;

extern "C" int KezTest_PassArguments(int count, const KezTestPassedArgument *arguments,
                                     unsigned long long fixedKnownBytes) {
    if (count < 0 || count > kMaxPassedArguments) return -1;
    kez::protect::TestHold hold;
    const kez::os::ThreadId self = kez::os::current_thread_id();
    Pending *slot = nullptr;
    for (auto &p : g_pending)
        if (p.thread == self || (slot == nullptr && p.thread == 0)) slot = &p;
    if (slot == nullptr) return -1;
    slot->thread = self;
    slot->arguments.count = count;
    for (int i = 0; i < count; ++i)
        slot->arguments.variable[i] = {static_cast<PassedType>(arguments[i].type),
                                       static_cast<PassedType>(arguments[i].pointee),
                                       static_cast<std::size_t>(arguments[i].knownBytes)};
    for (auto &bytes : slot->arguments.fixed_known_bytes) bytes = SIZE_MAX;
    slot->arguments.fixed_known_bytes[0] = static_cast<std::size_t>(fixedKnownBytes);
    return 0;
}

extern "C" unsigned KezTest_LastArgumentReport(int *severity, int *number, int *argument, char *text, int size) {
    kez::protect::TestHold hold;
    if (severity != nullptr) *severity = g_last.severity;
    if (number != nullptr) *number = g_last.number;
    if (argument != nullptr) *argument = g_last.argument;
    if (text != nullptr && size > 0) {
        std::size_t n = std::strlen(g_last.text);
        if (n >= static_cast<std::size_t>(size)) n = static_cast<std::size_t>(size) - 1;
        std::memcpy(text, g_last.text, n);
        text[n] = '\0';
    }
    return g_last.count;
}
extern "C" void KezTest_SetDebuggingLevel(int level) { set_debugging_level(level); }
#endif
