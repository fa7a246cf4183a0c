// Named shared memory and named mutexes on POSIX.
//
// Names are the engine's Windows-style object names. POSIX names cannot hold
// '/', so '/' and '%' are escaped as %2F and %25; a name that would exceed
// what shm_open accepts is replaced by a hash of it.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <new>

#include "os/fault.h"
#include "os/object_name.h"
#include "os/os.h"
#include "os/posix/named_mutex_native.h"

namespace kez::os {
namespace {

constexpr std::size_t kMaxPosixName = 240;

void posix_name(const char *name, char *out, std::size_t size) {
    std::size_t n = 0;
    out[n++] = '/';
    for (const char *p = name; *p != '\0'; ++p) {
        if (n + 4 >= size || n + 4 >= kMaxPosixName) {
            hashed_object_name("/", name, out, size);
            return;
        }
        if (*p == '/' || *p == '%') {
            n += static_cast<std::size_t>(snprintf(out + n, size - n, "%%%02X", static_cast<unsigned char>(*p)));
        } else {
            out[n++] = *p;
        }
    }
    out[n] = '\0';
}

}  // namespace

struct SharedMemory {
    char name[256];
    void *address;
    std::size_t size;
};

SharedMemory *shm_open_or_create(const char *name, std::size_t size, bool *created) {
    if (fault::hit("os.shm_open")) return nullptr;
    auto *s = new (std::nothrow) SharedMemory;
    if (s == nullptr) return nullptr;
    posix_name(name, s->name, sizeof s->name);
    s->size = size;
    *created = false;
    int fd = shm_open(s->name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
        if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
            close(fd);
            shm_unlink(s->name);
            delete s;
            return nullptr;
        }
        *created = true;
    } else if (errno == EEXIST) {
        fd = shm_open(s->name, O_RDWR | O_CLOEXEC, 0600);
        // The creator sizes the object right after creating it; wait for
        // that for a bounded time rather than map a zero-length object.
        struct stat st{};
        for (int tries = 0; fd >= 0 && tries < 2000; ++tries) {
            if (fstat(fd, &st) == 0 && static_cast<std::size_t>(st.st_size) >= size) break;
            sleep_ms(1);
        }
        if (fd >= 0 && static_cast<std::size_t>(st.st_size) < size) {
            close(fd);
            fd = -1;
        }
    }
    if (fd < 0) {
        delete s;
        return nullptr;
    }
    s->address = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (s->address == MAP_FAILED) {
        if (*created) shm_unlink(s->name);
        delete s;
        return nullptr;
    }
    return s;
}

void *shm_address(SharedMemory *s) { return s->address; }

void shm_close(SharedMemory *s, bool remove) {
    if (s == nullptr) return;
    munmap(s->address, s->size);
    if (remove) shm_unlink(s->name);
    delete s;
}

bool shm_exists(const char *name) {
    char n[256];
    posix_name(name, n, sizeof n);
    const int fd = shm_open(n, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return false;
    close(fd);
    return true;
}

// ---- named mutex: a robust, process-shared, recursive pthread mutex in named
// shared memory. The creator initialises it and then publishes `ready`;
// openers wait for that. The last process to close it removes the name.

namespace {
struct NamedMutexBlock {
    std::atomic<std::uint32_t> ready;
    std::atomic<std::uint32_t> users;
    pthread_mutex_t mutex;
};
}  // namespace

// One mapping per name and process: opening a name twice in one process
// shares the mapping, so the mutex has one address in the process (the
// thread sanitizer, among others, relies on that).
struct NamedMutex {
    char name[256];
    SharedMemory *shm;
    NamedMutexBlock *block;
    int local_opens;
    NamedMutex *next;
};

namespace {
pthread_mutex_t g_open_lock = PTHREAD_MUTEX_INITIALIZER;
NamedMutex *g_open = nullptr;

NamedMutex *map_named_mutex(const char *name) {
    bool created = false;
    SharedMemory *shm = shm_open_or_create(name, sizeof(NamedMutexBlock), &created);
    if (shm == nullptr) return nullptr;
    auto *block = static_cast<NamedMutexBlock *>(shm_address(shm));
    if (created) {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
        pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
        pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
        pthread_mutex_init(&block->mutex, &attr);
        pthread_mutexattr_destroy(&attr);
        block->users.store(1);
        block->ready.store(1, std::memory_order_release);
    } else {
        int tries = 0;
        while (block->ready.load(std::memory_order_acquire) == 0 && tries++ < 2000) sleep_ms(1);
        if (block->ready.load(std::memory_order_acquire) == 0) {
            shm_close(shm, false);
            return nullptr;
        }
        block->users.fetch_add(1);
    }
    auto *m = new (std::nothrow) NamedMutex{};
    if (m == nullptr) {
        const bool last = block->users.fetch_sub(1) == 1;
        shm_close(shm, last);
        return nullptr;
    }
    snprintf(m->name, sizeof m->name, "%s", name);
    m->shm = shm;
    m->block = block;
    return m;
}
}  // namespace

NamedMutex *named_mutex_open(const char *name) {
    if (fault::hit("os.named_mutex")) return nullptr;
    pthread_mutex_lock(&g_open_lock);
    NamedMutex *m = g_open;
    while (m != nullptr && strcmp(m->name, name) != 0) m = m->next;
    if (m == nullptr && (m = map_named_mutex(name)) != nullptr) {
        m->next = g_open;
        g_open = m;
    }
    if (m != nullptr) ++m->local_opens;
    pthread_mutex_unlock(&g_open_lock);
    return m;
}

void named_mutex_lock(NamedMutex *m) {
    // A holder that died leaves the mutex "owner dead": take it over.
    if (pthread_mutex_lock(&m->block->mutex) == EOWNERDEAD) pthread_mutex_consistent(&m->block->mutex);
}

void named_mutex_unlock(NamedMutex *m) { pthread_mutex_unlock(&m->block->mutex); }

pthread_mutex_t *named_mutex_native(NamedMutex *m) { return &m->block->mutex; }

void named_mutex_close(NamedMutex *m) {
    if (m == nullptr) return;
    pthread_mutex_lock(&g_open_lock);
    if (--m->local_opens == 0) {
        for (NamedMutex **link = &g_open; *link != nullptr; link = &(*link)->next) {
            if (*link == m) {
                *link = m->next;
                break;
            }
        }
        const bool last = m->block->users.fetch_sub(1) == 1;
        shm_close(m->shm, last);
        delete m;
    }
    pthread_mutex_unlock(&g_open_lock);
}

bool named_mutex_exists(const char *name) { return shm_exists(name); }

}  // namespace kez::os
