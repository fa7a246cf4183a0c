// Opens a named lock in a process of its own, for the tests of locks shared
// between processes:
//
//   kez_named_lock_helper <name> try          tries to get it without waiting
//   kez_named_lock_helper <name> wait <ms>    waits for it up to <ms>
//   kez_named_lock_helper <name> abandon      gets it twice and ends holding it
//   kez_named_lock_helper <name> hold <file>  writes its process id to
//                                             <file>.opened (0 where it has
//                                             no /proc), gets the lock twice,
//                                             creates <file>.held and waits
//                                             to be killed
//   kez_named_lock_helper <name> churn <n> <file>
//                                             n times: opens the lock, gets
//                                             it, adds 1 to the number in
//                                             <file>, releases and discards it
//
// Exit code 10: obtained (and, except for abandon, released and discarded);
// 11: not obtained. Anything else is a failure: 2 bad arguments, 3 the lock
// could not be opened, 4 a get function failed, 5 release or discard
// failed, 6 a file could not be read or written, 7 the two ways of trying
// disagreed, 8 a time-out came too early.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "kez/multithreading.h"

namespace {

// A discard waits until the lock is free, also of holders in other
// processes: a lock not obtained is left to the engine's unload.
int finish(KmtLockHandle h, bool obtained) {
    if (!obtained) return 11;
    if (KmtReleaseLock(h) != 0) return 5;
    if (KmtDiscardLock(h) != 0) return 5;
    return 10;
}

long own_process_id() {
    long pid = 0;
    if (std::FILE *f = std::fopen("/proc/self/stat", "r")) {
        if (std::fscanf(f, "%ld", &pid) != 1) pid = 0;
        std::fclose(f);
    }
    return pid;
}

// The counter file holds one decimal number; -1 when it cannot be read.
long read_number(const char *file) {
    std::FILE *f = std::fopen(file, "r");
    if (f == nullptr) return -1;
    long value = -1;
    if (std::fscanf(f, "%ld", &value) != 1) value = -1;
    std::fclose(f);
    return value;
}

bool write_number(const char *file, long value) {
    std::FILE *f = std::fopen(file, "w");
    if (f == nullptr) return false;
    const bool written = std::fprintf(f, "%ld\n", value) > 0;
    return std::fclose(f) == 0 && written;
}

bool touch(const char *file, const char *suffix, long content = 0) {
    return write_number((std::string(file) + suffix).c_str(), content);
}

// Every round opens the name anew, so the block behind it keeps being
// created and removed while the other churning processes open it.
int churn(const char *name, int rounds, const char *file) {
    for (int i = 0; i < rounds; ++i) {
        KmtLockHandle h = nullptr;
        if (KmtNewLock(name, 0, &h) != 0) return 3;
        if (KmtGetLock(h) != 0) return 4;
        const long value = read_number(file);
        if (value < 0 || !write_number(file, value + 1)) return 6;
        if (KmtReleaseLock(h) != 0 || KmtDiscardLock(h) != 0) return 5;
    }
    return 10;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) return 2;
    const char *name = argv[1];
    const char *mode = argv[2];
    if (std::strcmp(mode, "churn") == 0) return argc < 5 ? 2 : churn(name, std::atoi(argv[3]), argv[4]);
    KmtLockHandle h = nullptr;
    if (KmtNewLock(name, OPT_TL_SUPPORT_TIMEOUT, &h) != 0) return 3;

    if (std::strcmp(mode, "try") == 0) {
        // Through a second lock of the same name without options (tried), and
        // through the first with a time-out of 0: both must see the same.
        KmtLockHandle plain = nullptr;
        if (KmtNewLock(name, 0, &plain) != 0) return 3;
        int tried = -1;
        if (KmtTryToGetLock(plain, &tried) != 0) return 4;
        if (tried == 1 && (KmtReleaseLock(plain) != 0 || KmtDiscardLock(plain) != 0)) return 5;
        int obtained = -1;
        if (KmtGetLockEx(h, 0, 0, &obtained) != 0) return 4;
        if (obtained != tried) return 7;
        return finish(h, obtained == 1);
    }
    if (std::strcmp(mode, "wait") == 0) {
        if (argc < 4) return 2;
        const int timeout = std::atoi(argv[3]);
        int obtained = -1;
        const auto start = std::chrono::steady_clock::now();
        if (KmtGetLockEx(h, 0, timeout, &obtained) != 0) return 4;
        const auto waited = std::chrono::steady_clock::now() - start;
        if (obtained == 0 && waited < std::chrono::milliseconds(timeout * 95 / 100)) return 8;
        return finish(h, obtained == 1);
    }
    if (std::strcmp(mode, "abandon") == 0) {
        if (KmtGetLock(h) != 0) return 4;
        int obtained = -1;
        if (KmtGetLockEx(h, 0, 0, &obtained) != 0 || obtained != 1) return 4;
        return 10;
    }
    if (std::strcmp(mode, "hold") == 0) {
        if (argc < 4) return 2;
        if (!touch(argv[3], ".opened", own_process_id())) return 6;
        if (KmtGetLock(h) != 0 || KmtGetLock(h) != 0) return 4;
        if (!touch(argv[3], ".held")) return 6;
        for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    return 2;
}
