// Named shared memory and named mutexes on POSIX.
//
// Names are the engine's Windows-style object names. POSIX names cannot hold
// '/', so '/' and '%' are escaped as %2F and %25; a name that would exceed
// what shm_open accepts is replaced by a hash of it.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
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
#include "os/posix/process_state.h"

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

void remove_names_of_ended_processes(const char *prefix) {
    char escaped[256];
    posix_name(prefix, escaped, sizeof escaped);
    const char *want = escaped + 1;  // entries are listed without the '/'
    const std::size_t want_length = strlen(want);
    DIR *dir = opendir("/dev/shm");
    if (dir == nullptr) return;
    while (const dirent *entry = readdir(dir)) {
        if (strncmp(entry->d_name, want, want_length) != 0) continue;
        const char *digits = entry->d_name + want_length;
        char *end = nullptr;
        errno = 0;
        const unsigned long pid = strtoul(digits, &end, 16);
        if (*digits == '\0' || *end != '\0' || errno != 0 || pid == 0 || pid > 0x7FFFFFFFul) continue;
        if (process_alive(static_cast<std::uint32_t>(pid), 0)) continue;
        char name[260];
        snprintf(name, sizeof name, "/%s", entry->d_name);
        shm_unlink(name);
    }
    closedir(dir);
}

// ---- named mutex: a robust, process-shared, recursive pthread mutex in named
// shared memory.
//
// The name lives as long as a live process uses it, also when its users die
// without closing it:
// - the block records its users (process id and start time); a small robust
//   lock in the block guards that table and every removal of the name;
// - a closer that leaves no live user behind removes the name, and an
//   opener drops users that have died (and clears a hold they left), so a
//   name whose users were all killed is taken over by its next opener and
//   removed by that one's close;
// - a name is removed only by a holder of its block's table lock, after
//   checking that the name still refers to that block (device and inode).
//   An opener that mapped a block and then finds, under the table lock,
//   that the name no longer refers to it was overtaken by the last closer:
//   it lets the orphaned block go and opens the name afresh, so two
//   processes never end up on two different blocks of one name.
// The first process to map a new block initialises it; one that died while
// doing so is replaced by the next opener.

namespace {

constexpr std::uint32_t kBlockReady = 0x4B5A4E4Du;
constexpr std::uint32_t kMaxUsers = 1000;

struct NamedMutexUser {
    std::uint64_t start;  // process_start_token() of the user
    std::uint32_t pid;
    std::uint32_t unused;
};

struct NamedMutexBlock {
    std::atomic<std::uint32_t> ready;        // kBlockReady once initialised
    std::atomic<std::uint32_t> initialiser;  // process that initialises it
    pthread_mutex_t table_lock;              // guards count, users and the name
    pthread_mutex_t mutex;                   // the named mutex
    std::uint32_t count;
    NamedMutexUser users[kMaxUsers];
};

void init_block(NamedMutexBlock *b) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&b->table_lock, &attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&b->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    b->count = 0;
}

// Waits until the block is initialised, initialising it when nobody (alive)
// does. False after a bounded wait.
bool block_ready(NamedMutexBlock *b, std::uint32_t self) {
    for (int waited = 0;; ++waited) {
        if (b->ready.load(std::memory_order_acquire) == kBlockReady) return true;
        std::uint32_t claimant = b->initialiser.load();
        if (claimant == 0 || (claimant != self && !process_alive(claimant, 0))) {
            if (b->initialiser.compare_exchange_strong(claimant, self)) {
                init_block(b);
                b->ready.store(kBlockReady, std::memory_order_release);
                return true;
            }
            continue;
        }
        if (waited >= 10000) return false;
        sleep_ms(1);
    }
}

bool lock_table(NamedMutexBlock *b) {
    const int rc = pthread_mutex_lock(&b->table_lock);
    if (rc == EOWNERDEAD) {
        // A user died while updating the table: an entry written without its
        // count is ignored, one copied but not yet dropped names a user twice.
        if (b->count > kMaxUsers) b->count = kMaxUsers;
        pthread_mutex_consistent(&b->table_lock);
        return true;
    }
    errno = rc;
    return rc == 0;
}

void drop_users(NamedMutexBlock *b, std::uint32_t self, std::uint64_t self_start) {
    for (std::uint32_t i = 0; i < b->count;) {
        const NamedMutexUser u = b->users[i];
        if ((u.pid == self && u.start == self_start) || !process_alive(u.pid, u.start)) {
            b->users[i] = b->users[b->count - 1];
            --b->count;
        } else {
            ++i;
        }
    }
}

// Whether `posix` names the object (dev, ino) now: 1 yes, 0 no, -1 the
// system refused to say (errno).
int names_object(const char *posix, dev_t dev, ino_t ino) {
    const int fd = shm_open(posix, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return errno == ENOENT ? 0 : -1;
    struct stat st{};
    const int rc = fstat(fd, &st);
    const int saved = errno;
    close(fd);
    errno = saved;
    if (rc != 0) return -1;
    return st.st_dev == dev && st.st_ino == ino ? 1 : 0;
}

}  // namespace

// One mapping per name and process: opening a name twice in one process
// shares the mapping, so the mutex has one address in the process (the
// thread sanitizer, among others, relies on that).
struct NamedMutex {
    char *name;  // as the caller gave it, any length
    char posix[256];
    NamedMutexBlock *block;
    dev_t dev;
    ino_t ino;
    std::uint32_t pid;
    std::uint64_t start;
    int local_opens;
    NamedMutex *next;
};

namespace {
pthread_mutex_t g_open_lock = PTHREAD_MUTEX_INITIALIZER;
NamedMutex *g_open = nullptr;

void unmap_block(NamedMutexBlock *b) { munmap(b, sizeof(NamedMutexBlock)); }

// Maps the block the name refers to, creating it when there is none, and
// records this process as its user. Null with errno.
NamedMutex *map_named_mutex(const char *name) {
    if (fault::hit("os.shm_open")) {
        errno = EACCES;
        return nullptr;
    }
    auto *m = new (std::nothrow) NamedMutex{};
    const std::size_t length = strlen(name);
    if (m != nullptr) m->name = new (std::nothrow) char[length + 1];
    if (m == nullptr || m->name == nullptr) {
        delete m;
        errno = ENOMEM;
        return nullptr;
    }
    memcpy(m->name, name, length + 1);
    posix_name(name, m->posix, sizeof m->posix);
    m->pid = current_process_id();
    m->start = process_start_token();
    int failed = EAGAIN;  // when the name kept going away under this opener
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const int fd = shm_open(m->posix, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0) {
            failed = errno;
            break;
        }
        struct stat st{};
        void *address = MAP_FAILED;
        if (fstat(fd, &st) == 0 && (static_cast<std::size_t>(st.st_size) >= sizeof(NamedMutexBlock) ||
                                    ftruncate(fd, static_cast<off_t>(sizeof(NamedMutexBlock))) == 0))
            address = mmap(nullptr, sizeof(NamedMutexBlock), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        failed = errno;
        close(fd);
        if (address == MAP_FAILED) break;
        auto *b = static_cast<NamedMutexBlock *>(address);
        if (!block_ready(b, m->pid)) {
            unmap_block(b);
            failed = ETIMEDOUT;
            break;
        }
        if (!lock_table(b)) {
            failed = errno;
            unmap_block(b);
            break;
        }
        const int same = names_object(m->posix, st.st_dev, st.st_ino);
        if (same != 1) {
            // The last user removed the name after this process mapped the
            // block: that block is orphaned, the name is free for a new one.
            failed = same < 0 ? errno : EAGAIN;
            pthread_mutex_unlock(&b->table_lock);
            unmap_block(b);
            if (same < 0) break;
            continue;
        }
        drop_users(b, m->pid, m->start);
        if (b->count == 0) {
            // Nobody alive uses the block: a hold left by a dead user goes
            // with it, as the system object would go with its last user.
            const int rc = pthread_mutex_trylock(&b->mutex);
            if (rc == EOWNERDEAD) pthread_mutex_consistent(&b->mutex);
            if (rc == 0 || rc == EOWNERDEAD) pthread_mutex_unlock(&b->mutex);
        }
        if (b->count == kMaxUsers) {
            pthread_mutex_unlock(&b->table_lock);
            unmap_block(b);
            failed = ENOSPC;
            break;
        }
        b->users[b->count] = NamedMutexUser{m->start, m->pid, 0};
        ++b->count;
        pthread_mutex_unlock(&b->table_lock);
        m->block = b;
        m->dev = st.st_dev;
        m->ino = st.st_ino;
        return m;
    }
    delete[] m->name;
    delete m;
    errno = failed;
    return nullptr;
}

// Drops this process from the block's users; the last live one removes the
// name (if it still refers to this block).
void unmap_named_mutex(NamedMutex *m) {
    NamedMutexBlock *b = m->block;
    if (lock_table(b)) {
        drop_users(b, m->pid, m->start);
        if (b->count == 0 && names_object(m->posix, m->dev, m->ino) == 1) shm_unlink(m->posix);
        pthread_mutex_unlock(&b->table_lock);
    }
    unmap_block(b);
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
    const int saved = errno;
    pthread_mutex_unlock(&g_open_lock);
    errno = saved;
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
        unmap_named_mutex(m);
        delete[] m->name;
        delete m;
    }
    pthread_mutex_unlock(&g_open_lock);
}

bool named_mutex_exists(const char *name) { return shm_exists(name); }

}  // namespace kez::os
