#include "core/runtime_info.h"

#include <cstdio>
#include <new>

#include "os/os.h"

namespace kez::core {
namespace {

struct AtExitNode {
    KezAtExitCleanup cleanup;
    AtExitNode *next;
};

struct RuntimeInfo {
    os::Module module_owner;
    os::CriticalSection *at_exit_lock;
    AtExitNode *at_exit_head;
    int (*register_at_exit)(KezAtExitCleanup);
    int (*unregister_at_exit)(KezAtExitCleanup);
};

// What the shared memory holds: where the record is, and which process
// instance wrote it (a dead process with the same id may have left the
// object behind on POSIX).
struct SharedHeader {
    RuntimeInfo *record;
    std::uint32_t process_id;
    std::uint64_t start_token;
};

RuntimeInfo g_own_record;
RuntimeInfo *g_record = nullptr;
bool g_owner = false;
os::NamedMutex *g_named_mutex = nullptr;
os::SharedMemory *g_shm = nullptr;

int register_at_exit(KezAtExitCleanup cleanup) {
    RuntimeInfo *r = g_record;
    os::cs_enter(r->at_exit_lock);
    bool present = false;
    for (AtExitNode *n = r->at_exit_head; n != nullptr; n = n->next)
        if (n->cleanup == cleanup) present = true;
    if (!present) {
        // A failed allocation is ignored, as the list has no way to report it.
        if (auto *node = new (std::nothrow) AtExitNode{cleanup, r->at_exit_head}) r->at_exit_head = node;
    }
    os::cs_leave(r->at_exit_lock);
    return 0;
}

int unregister_at_exit(KezAtExitCleanup cleanup) {
    RuntimeInfo *r = g_record;
    os::cs_enter(r->at_exit_lock);
    for (AtExitNode **link = &r->at_exit_head; *link != nullptr; link = &(*link)->next) {
        if ((*link)->cleanup == cleanup) {
            AtExitNode *dead = *link;
            *link = dead->next;
            delete dead;
            break;
        }
    }
    os::cs_leave(r->at_exit_lock);
    return 0;
}

// The process-wide block's names end in the process id in hex.
constexpr const char *kMutexPrefix = "Brennick - Kez Runtime Info Mutex";
constexpr const char *kShmPrefix = "Brennick - Kez Runtime Info Shared Memory";

void release_named_objects() {
    if (g_shm != nullptr) os::shm_close(g_shm, g_owner);
    g_shm = nullptr;
    if (g_named_mutex != nullptr) {
        os::named_mutex_unlock(g_named_mutex);
        os::named_mutex_close(g_named_mutex);
    }
    g_named_mutex = nullptr;
}

}  // namespace

void runtime_info_mutex_name(char *buf, unsigned size) {
    std::snprintf(buf, size, "%s%x", kMutexPrefix, os::current_process_id());
}

void runtime_info_shm_name(char *buf, unsigned size) {
    std::snprintf(buf, size, "%s%x", kShmPrefix, os::current_process_id());
}

int CdbSynchronizeInitialize() {
    // A process that was killed left its block's names behind; nobody else
    // would ever open them again.
    os::remove_names_of_ended_processes(kMutexPrefix);
    os::remove_names_of_ended_processes(kShmPrefix);
    char name[128];
    runtime_info_mutex_name(name, sizeof name);
    g_named_mutex = os::named_mutex_open(name);
    if (g_named_mutex == nullptr) return 91;
    os::named_mutex_lock(g_named_mutex);
    runtime_info_shm_name(name, sizeof name);
    bool created = false;
    g_shm = os::shm_open_or_create(name, sizeof(SharedHeader), &created);
    if (g_shm == nullptr) {
        release_named_objects();
        return 91;
    }
    auto *header = static_cast<SharedHeader *>(os::shm_address(g_shm));
    const std::uint32_t pid = os::current_process_id();
    const std::uint64_t token = os::process_start_token();
    const bool ours = !created && header->record != nullptr && header->process_id == pid && header->start_token == token;
    if (ours) {
        g_record = header->record;
        g_owner = false;
    } else {
        g_own_record.at_exit_lock = os::cs_create();
        if (g_own_record.at_exit_lock == nullptr) {
            g_owner = created;
            release_named_objects();
            return 91;
        }
        g_own_record.module_owner = os::module_self();
        g_own_record.at_exit_head = nullptr;
        g_own_record.register_at_exit = register_at_exit;
        g_own_record.unregister_at_exit = unregister_at_exit;
        g_record = &g_own_record;
        g_owner = true;
        header->record = g_record;
        header->process_id = pid;
        header->start_token = token;
    }
    os::named_mutex_unlock(g_named_mutex);
    return 0;
}

void CdbSynchronizeCleanup() {
    if (g_named_mutex == nullptr) return;
    os::named_mutex_lock(g_named_mutex);
    if (g_owner) {
        AtExitNode *n = g_own_record.at_exit_head;
        while (n != nullptr) {
            AtExitNode *next = n->next;
            delete n;
            n = next;
        }
        g_own_record.at_exit_head = nullptr;
        os::cs_destroy(g_own_record.at_exit_lock);
        g_own_record.at_exit_lock = nullptr;
        static_cast<SharedHeader *>(os::shm_address(g_shm))->record = nullptr;
    }
    g_record = nullptr;
    release_named_objects();
    g_owner = false;
}

int at_exit_count() {
    if (g_record == nullptr) return 0;
    os::cs_enter(g_record->at_exit_lock);
    int n = 0;
    for (AtExitNode *p = g_record->at_exit_head; p != nullptr; p = p->next) ++n;
    os::cs_leave(g_record->at_exit_lock);
    return n;
}

KezAtExitCleanup at_exit_entry(int index) {
    if (g_record == nullptr) return nullptr;
    os::cs_enter(g_record->at_exit_lock);
    KezAtExitCleanup found = nullptr;
    for (AtExitNode *p = g_record->at_exit_head; p != nullptr; p = p->next, --index)
        if (index == 0) found = p->cleanup;
    os::cs_leave(g_record->at_exit_lock);
    return found;
}

}  // namespace kez::core

extern "C" int __RegisterAtExitCleanup(KezAtExitCleanup cleanup) {
    if (kez::core::g_record != nullptr) kez::core::g_record->register_at_exit(cleanup);
    return 0;
}

extern "C" int __UnregisterAtExitCleanup(KezAtExitCleanup cleanup) {
    if (kez::core::g_record != nullptr) kez::core::g_record->unregister_at_exit(cleanup);
    return 0;
}
