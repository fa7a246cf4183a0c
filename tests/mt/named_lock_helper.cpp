// Opens a named lock in a process of its own, for the tests of locks shared
// between processes:
//
//   kez_named_lock_helper <name> try          tries to get it without waiting
//   kez_named_lock_helper <name> wait <ms>    waits for it up to <ms>
//   kez_named_lock_helper <name> abandon      gets it twice and ends holding it
//
// Exit code 10: obtained (and, except for abandon, released and discarded);
// 11: not obtained. Anything else is a failure: 2 bad arguments, 3 the lock
// could not be opened, 4 a get function failed, 5 release or discard
// failed, 7 the two ways of trying disagreed, 8 a time-out came too early.
#include <chrono>
#include <cstdlib>
#include <cstring>

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

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) return 2;
    const char *name = argv[1];
    const char *mode = argv[2];
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
    return 2;
}
