// Opens a named lock in a process of its own, for the tests of locks shared
// between processes:
//
//   kez_named_lock_helper <name> try [ms]   tries to get it through a second
//                                           lock of the name without options,
//                                           then through the first waiting up
//                                           to ms (0): both must see the same
//   kez_named_lock_helper <name> abandon    gets it twice and ends holding it
//   kez_named_lock_helper <name> hold <file>
//                                           writes its process id to
//                                           <file>.opened (0 where it has no
//                                           /proc), gets the lock twice,
//                                           creates <file>.held and waits to
//                                           be killed
//   kez_named_lock_helper <name> churn <n> <file>
//                                           n times: opens the lock, gets it,
//                                           adds 1 to the number in <file>,
//                                           releases and discards it
//
// Exit code 10: obtained (and, except for abandon, released and discarded);
// 11: not obtained. Anything else is a failure: 2 bad arguments, 3 the lock
// could not be opened, 4 a get function failed, 5 release or discard
// failed, 6 a file could not be read or written, 7 the two ways of trying
// disagreed, 8 a time-out came too early.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "kez/multithreading.h"

namespace {

long read_number(const std::string &file) {
    long value = -1;
    return std::ifstream(file) >> value ? value : -1;
}

bool write_number(const std::string &file, long value) {
    std::ofstream out(file);
    out << value << '\n';
    out.close();
    return !out.fail();
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) return 2;
    const char *name = argv[1], *mode = argv[2];
    KmtLockHandle h = nullptr;
    if (std::strcmp(mode, "churn") == 0) {
        if (argc < 5) return 2;
        for (int i = 0, rounds = std::atoi(argv[3]); i < rounds; ++i) {
            if (KmtNewLock(name, 0, &h) != 0) return 3;
            if (KmtGetLock(h) != 0) return 4;
            const long value = read_number(argv[4]);
            if (value < 0 || !write_number(argv[4], value + 1)) return 6;
            if (KmtReleaseLock(h) != 0 || KmtDiscardLock(h) != 0) return 5;
        }
        return 10;
    }
    if (KmtNewLock(name, OPT_TL_SUPPORT_TIMEOUT, &h) != 0) return 3;
    int obtained = -1;
    if (std::strcmp(mode, "try") == 0) {
        KmtLockHandle plain = nullptr;
        if (KmtNewLock(name, 0, &plain) != 0) return 3;
        int tried = -1;
        if (KmtTryToGetLock(plain, &tried) != 0) return 4;
        if (tried == 1 && (KmtReleaseLock(plain) != 0 || KmtDiscardLock(plain) != 0)) return 5;
        const int timeout = argc > 3 ? std::atoi(argv[3]) : 0;
        const auto start = std::chrono::steady_clock::now();
        if (KmtGetLockEx(h, 0, timeout, &obtained) != 0) return 4;
        if (obtained == 0 && std::chrono::steady_clock::now() - start < std::chrono::milliseconds(timeout * 95 / 100))
            return 8;
        if (obtained != tried) return 7;
        // A discard waits until the lock is free, also of holders in other
        // processes: a lock not obtained is left to the engine's unload.
        if (obtained == 0) return 11;
        return KmtReleaseLock(h) != 0 || KmtDiscardLock(h) != 0 ? 5 : 10;
    }
    if (std::strcmp(mode, "abandon") == 0)
        return KmtGetLock(h) != 0 || KmtGetLockEx(h, 0, 0, &obtained) != 0 || obtained != 1 ? 4 : 10;
    if (std::strcmp(mode, "hold") != 0 || argc < 4) return 2;
    long pid = 0;
    std::ifstream("/proc/self/stat") >> pid;
    if (!write_number(std::string(argv[3]) + ".opened", pid)) return 6;
    if (KmtGetLock(h) != 0 || KmtGetLock(h) != 0) return 4;
    if (!write_number(std::string(argv[3]) + ".held", 0)) return 6;
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}
