#include "os/fault.h"

#if defined(KEZ_TEST_HOOKS)

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "os/os.h"

namespace kez::fault {
namespace {

// A small fixed table: fault points are few and test-only, and the table
// must work before any allocator or lock of the engine exists.
constexpr int kMaxPoints = 32;
constexpr int kMaxName = 64;

struct Point {
    char name[kMaxName];
    std::atomic<int> skip;
    std::atomic<int> remaining;
    std::atomic<unsigned> error;
};

Point g_points[kMaxPoints];
std::atomic<int> g_used{0};
std::atomic<bool> g_any{false};

Point *find(const char *name) {
    const int used = g_used.load(std::memory_order_acquire);
    for (int i = 0; i < used; ++i)
        if (std::strcmp(g_points[i].name, name) == 0) return &g_points[i];
    return nullptr;
}

}  // namespace

bool hit(const char *point) {
    unsigned ignored = 0;
    return hit(point, &ignored);
}

bool hit(const char *point, unsigned *error) {
    if (!g_any.load(std::memory_order_relaxed)) return false;
    Point *p = find(point);
    if (p == nullptr) return false;
    int pass = p->skip.load(std::memory_order_relaxed);
    while (pass > 0) {
        if (p->skip.compare_exchange_weak(pass, pass - 1)) return false;
    }
    int left = p->remaining.load(std::memory_order_relaxed);
    while (left > 0) {
        if (p->remaining.compare_exchange_weak(left, left - 1)) {
            *error = p->error.load(std::memory_order_relaxed);
            return true;
        }
    }
    return false;
}

// Arming happens from one thread (load or a test's set-up); hit() may run
// concurrently and only reads names that are complete before g_used grows.
void arm(const char *point, int count, int skip, unsigned error) {
    Point *p = find(point);
    if (p == nullptr) {
        const int used = g_used.load(std::memory_order_relaxed);
        if (used == kMaxPoints || std::strlen(point) >= kMaxName) return;
        p = &g_points[used];
        std::strcpy(p->name, point);
        p->remaining.store(0);
        g_used.store(used + 1, std::memory_order_release);
    }
    p->skip.store(skip);
    p->error.store(error);
    p->remaining.store(count);
    if (count > 0) g_any.store(true);
}

void disarm_all() {
    const int used = g_used.load();
    for (int i = 0; i < used; ++i) {
        g_points[i].remaining.store(0);
        g_points[i].skip.store(0);
    }
}

void arm_from_environment() {
    char setting[512];
    if (!kez::os::env_get("KEZ_TEST_FAIL", setting, sizeof setting)) return;
    char *item = setting;
    while (*item != '\0') {
        char *end = std::strchr(item, ',');
        if (end != nullptr) *end = '\0';
        int count = 1;
        int skip = 0;
        unsigned error = 0;
        if (char *colon = std::strchr(item, ':')) {
            *colon = '\0';
            count = std::atoi(colon + 1);
            if (char *second = std::strchr(colon + 1, ':')) {
                skip = std::atoi(second + 1);
                if (char *third = std::strchr(second + 1, ':'))
                    error = static_cast<unsigned>(std::strtoul(third + 1, nullptr, 10));
            }
        }
        if (*item != '\0') arm(item, count, skip, error);
        if (end == nullptr) break;
        item = end + 1;
    }
}

}  // namespace kez::fault

#endif
