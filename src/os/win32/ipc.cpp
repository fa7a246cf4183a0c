// Named shared memory and named mutexes on Windows: paging-file mappings and
// kernel mutexes. Both disappear with their last handle.
#include <windows.h>

#include <string.h>

#include <new>

#include "os/fault.h"
#include "os/object_name.h"
#include "os/os.h"

namespace kez::os {
namespace {

// Object names are limited to MAX_PATH characters; longer ones are hashed.
const char *windows_name(const char *name, char *buf, std::size_t size) {
    if (strlen(name) < 250) return name;
    hashed_object_name("", name, buf, size);
    return buf;
}

}  // namespace

struct SharedMemory {
    HANDLE mapping;
    void *address;
};

SharedMemory *shm_open_or_create(const char *name, std::size_t size, bool *created) {
    if (fault::hit("os.shm_open")) return nullptr;
    char hashed[64];
    HANDLE h = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                  static_cast<DWORD>(static_cast<unsigned long long>(size) >> 32),
                                  static_cast<DWORD>(size), windows_name(name, hashed, sizeof hashed));
    if (h == nullptr) return nullptr;
    *created = GetLastError() != ERROR_ALREADY_EXISTS;
    void *p = MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, size);
    if (p == nullptr) {
        CloseHandle(h);
        return nullptr;
    }
    auto *s = new (std::nothrow) SharedMemory{h, p};
    if (s == nullptr) {
        UnmapViewOfFile(p);
        CloseHandle(h);
    }
    return s;
}

void *shm_address(SharedMemory *s) { return s->address; }

void shm_close(SharedMemory *s, bool) {
    if (s == nullptr) return;
    UnmapViewOfFile(s->address);
    CloseHandle(s->mapping);
    delete s;
}

bool shm_exists(const char *name) {
    char hashed[64];
    HANDLE h = OpenFileMappingA(FILE_MAP_READ, FALSE, windows_name(name, hashed, sizeof hashed));
    if (h == nullptr) return false;
    CloseHandle(h);
    return true;
}

struct NamedMutex {
    HANDLE h;
};

NamedMutex *named_mutex_open(const char *name) {
    if (fault::hit("os.named_mutex")) return nullptr;
    char hashed[64];
    HANDLE h = CreateMutexA(nullptr, FALSE, windows_name(name, hashed, sizeof hashed));
    if (h == nullptr) return nullptr;
    auto *m = new (std::nothrow) NamedMutex{h};
    if (m == nullptr) CloseHandle(h);
    return m;
}

// WAIT_ABANDONED also grants ownership: the previous holder died.
void named_mutex_lock(NamedMutex *m) { WaitForSingleObject(m->h, INFINITE); }
void named_mutex_unlock(NamedMutex *m) { ReleaseMutex(m->h); }

void named_mutex_close(NamedMutex *m) {
    if (m == nullptr) return;
    CloseHandle(m->h);
    delete m;
}

void remove_names_of_ended_processes(const char *) {}

// A user lock's mutex carries its name as given (other programs may share
// it by that name), the engine's own named mutexes the short form: either
// counts.
bool named_mutex_exists(const char *name) {
    char hashed[64];
    HANDLE h = OpenMutexA(SYNCHRONIZE, FALSE, name);
    if (h == nullptr) h = OpenMutexA(SYNCHRONIZE, FALSE, windows_name(name, hashed, sizeof hashed));
    if (h == nullptr) return false;
    CloseHandle(h);
    return true;
}

}  // namespace kez::os
