// The run-time VISA binding: one table of entry points filled at the first
// load, each call guarded by its fault point.
#include "comm/visa_binding.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "core/word_lock.h"
#include "os/fault.h"
#include "os/os.h"

namespace kez::comm::visa {
namespace {

// The entry points the engine calls, with the published signatures.
#define KEZ_VISA_ENTRY_POINTS(X)                                                                       \
    X(viOpenDefaultRM, (ViSession *))                                                                  \
    X(viFindRsrc, (ViSession, const char *, ViFindList *, ViUInt32 *, char *))                         \
    X(viFindNext, (ViFindList, char *))                                                                \
    X(viOpen, (ViSession, const char *, ViAccessMode, ViUInt32, ViSession *))                          \
    X(viClose, (ViObject))                                                                             \
    X(viSetAttribute, (ViObject, ViAttr, ViAttrState))                                                 \
    X(viGetAttribute, (ViObject, ViAttr, void *))                                                      \
    X(viStatusDesc, (ViObject, ViStatus, char *))                                                      \
    X(viTerminate, (ViObject, ViUInt16, ViJobId))                                                      \
    X(viEnableEvent, (ViSession, ViEventType, ViUInt16, ViEventFilter))                                \
    X(viDisableEvent, (ViSession, ViEventType, ViUInt16))                                              \
    X(viDiscardEvents, (ViSession, ViEventType, ViUInt16))                                             \
    X(viWaitOnEvent, (ViSession, ViEventType, ViUInt32, ViEventType *, ViEvent *))                     \
    X(viInstallHandler, (ViSession, ViEventType, ViHndlr, ViAddr))                                     \
    X(viUninstallHandler, (ViSession, ViEventType, ViHndlr, ViAddr))                                   \
    X(viRead, (ViSession, ViBuf, ViUInt32, ViUInt32 *))                                                \
    X(viWrite, (ViSession, ViConstBuf, ViUInt32, ViUInt32 *))                                          \
    X(viSetBuf, (ViSession, ViUInt16, ViUInt32))                                                       \
    X(viFlush, (ViSession, ViUInt16))

struct EntryPoints {
#define KEZ_VISA_FIELD(name, params) ViStatus(*name) params;
    KEZ_VISA_ENTRY_POINTS(KEZ_VISA_FIELD)
#undef KEZ_VISA_FIELD
};

core::WordLock g_lock;
std::atomic<bool> g_loaded{false};
os::Module g_module = nullptr;
EntryPoints g_entry{};

constexpr const char *kLibraryName = "visa32.dll";  // libvisa32.so on Linux

// The status an armed fault point makes a call return.
bool faulted(const char *point, ViStatus *status) {
    unsigned error = 0;
    if (!fault::hit(point, &error)) return false;
    *status = error != 0 ? static_cast<ViStatus>(error) : VI_ERROR_SYSTEM_ERROR;
    return true;
}

}  // namespace

bool load() {
    if (g_loaded.load(std::memory_order_acquire)) return true;
    g_lock.lock();
    if (!g_loaded.load(std::memory_order_relaxed)) {
        char mutex_name[96];
        std::snprintf(mutex_name, sizeof mutex_name, "Brennick Pellix/Kez VISA Library %u",
                      static_cast<unsigned>(os::current_process_id()));
        os::NamedMutex *mutex = os::named_mutex_open(mutex_name);
        if (mutex != nullptr) os::named_mutex_lock(mutex);
        if (!fault::hit("visa.load")) g_module = os::module_load(kLibraryName);
        if (g_module != nullptr) {
#define KEZ_VISA_RESOLVE(name, params) \
    g_entry.name = reinterpret_cast<ViStatus(*) params>(os::module_symbol(g_module, #name));
            KEZ_VISA_ENTRY_POINTS(KEZ_VISA_RESOLVE)
#undef KEZ_VISA_RESOLVE
            g_loaded.store(true, std::memory_order_release);
        }
        if (mutex != nullptr) {
            os::named_mutex_unlock(mutex);
            os::named_mutex_close(mutex);
        }
    }
    g_lock.unlock();
    return g_loaded.load(std::memory_order_acquire);
}

bool loaded() { return g_loaded.load(std::memory_order_acquire); }

void unload() {
    g_lock.lock();
    g_loaded.store(false);
    g_entry = EntryPoints{};
    if (g_module != nullptr) os::module_unload(g_module);
    g_module = nullptr;
    g_lock.unlock();
}

// Each wrapper: its fault point, then the entry point if the library has it.
#define KEZ_VISA_CALL(name, ...)                                                  \
    do {                                                                          \
        ViStatus faulted_status = 0;                                              \
        if (faulted("visa." #name, &faulted_status)) return faulted_status;       \
        if (!load() || g_entry.name == nullptr) return VI_ERROR_SYSTEM_ERROR;     \
        return g_entry.name(__VA_ARGS__);                                         \
    } while (0)

ViStatus OpenDefaultRM(ViSession *rm) { KEZ_VISA_CALL(viOpenDefaultRM, rm); }
ViStatus FindRsrc(ViSession rm, const char *expression, ViFindList *list, ViUInt32 *count, char *description) {
    KEZ_VISA_CALL(viFindRsrc, rm, expression, list, count, description);
}
ViStatus FindNext(ViFindList list, char *description) { KEZ_VISA_CALL(viFindNext, list, description); }
ViStatus Open(ViSession rm, const char *name, ViAccessMode mode, ViUInt32 timeout, ViSession *vi) {
    KEZ_VISA_CALL(viOpen, rm, name, mode, timeout, vi);
}
ViStatus Close(ViObject vi) { KEZ_VISA_CALL(viClose, vi); }
ViStatus SetAttribute(ViObject vi, ViAttr attribute, ViAttrState value) {
    KEZ_VISA_CALL(viSetAttribute, vi, attribute, value);
}
ViStatus GetAttribute(ViObject vi, ViAttr attribute, void *value) {
    KEZ_VISA_CALL(viGetAttribute, vi, attribute, value);
}
ViStatus StatusDesc(ViObject vi, ViStatus status, char *description) {
    KEZ_VISA_CALL(viStatusDesc, vi, status, description);
}
ViStatus Terminate(ViObject vi, ViUInt16 degree, ViJobId job) { KEZ_VISA_CALL(viTerminate, vi, degree, job); }
ViStatus EnableEvent(ViSession vi, ViEventType type, ViUInt16 mechanism, ViEventFilter context) {
    KEZ_VISA_CALL(viEnableEvent, vi, type, mechanism, context);
}
ViStatus DisableEvent(ViSession vi, ViEventType type, ViUInt16 mechanism) {
    KEZ_VISA_CALL(viDisableEvent, vi, type, mechanism);
}
ViStatus DiscardEvents(ViSession vi, ViEventType type, ViUInt16 mechanism) {
    KEZ_VISA_CALL(viDiscardEvents, vi, type, mechanism);
}
ViStatus WaitOnEvent(ViSession vi, ViEventType type, ViUInt32 timeout, ViEventType *out_type, ViEvent *out_event) {
    KEZ_VISA_CALL(viWaitOnEvent, vi, type, timeout, out_type, out_event);
}
ViStatus InstallHandler(ViSession vi, ViEventType type, ViHndlr handler, ViAddr user_handle) {
    KEZ_VISA_CALL(viInstallHandler, vi, type, handler, user_handle);
}
ViStatus UninstallHandler(ViSession vi, ViEventType type, ViHndlr handler, ViAddr user_handle) {
    KEZ_VISA_CALL(viUninstallHandler, vi, type, handler, user_handle);
}
ViStatus Read(ViSession vi, ViBuf buffer, ViUInt32 count, ViUInt32 *done) {
    KEZ_VISA_CALL(viRead, vi, buffer, count, done);
}
ViStatus Write(ViSession vi, ViConstBuf buffer, ViUInt32 count, ViUInt32 *done) {
    KEZ_VISA_CALL(viWrite, vi, buffer, count, done);
}
ViStatus SetBuf(ViSession vi, ViUInt16 mask, ViUInt32 size) { KEZ_VISA_CALL(viSetBuf, vi, mask, size); }
ViStatus Flush(ViSession vi, ViUInt16 mask) { KEZ_VISA_CALL(viFlush, vi, mask); }

void describe(ViStatus status, char *out) {
    if (loaded() && g_entry.viStatusDesc != nullptr && g_entry.viStatusDesc(VI_NULL, status, out) >= 0 &&
        out[0] != '\0')
        return;
    const char *text = nullptr;
    switch (static_cast<unsigned long>(static_cast<std::uint32_t>(status))) {
        case 0: text = "Operation completed successfully."; break;
        case 0xBFFF003CUL: text = "Insufficient system resources to perform necessary memory allocation."; break;
        case 0xBFFF000EUL: text = "The given session or object reference is invalid."; break;
        case 0xBFFF0000UL:
            text = "Unknown system error (miscellaneous error).  Possibly, unable to load visa32.dll.";
            break;
        case 0xBFFF003AUL: text = "Some implementation-specific configuration file is corrupt or does not exist."; break;
        case 0xBFFF009EUL: text = "A code library required by VISA could not be located or loaded."; break;
        default: break;
    }
    if (text != nullptr)
        std::snprintf(out, 256, "%s", text);
    else
        std::snprintf(out, 256, "Unknown status value 0x%08lX",
                      static_cast<unsigned long>(static_cast<std::uint32_t>(status)));
}

}  // namespace kez::comm::visa
