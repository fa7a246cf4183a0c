#include "debug/resource_tracking.h"

#include <atomic>

namespace kez::debug {
namespace {
std::atomic<const ResourceTracker *> g_tracker{nullptr};
}  // namespace

void set_resource_tracker(const ResourceTracker *tracker) { g_tracker.store(tracker, std::memory_order_release); }

bool resource_tracking_enabled() {
    const ResourceTracker *t = g_tracker.load(std::memory_order_acquire);
    return t != nullptr && t->enabled != nullptr && t->enabled();
}

void resource_acquire(std::uint64_t resource, const char *type_name, const char *description) {
    const ResourceTracker *t = g_tracker.load(std::memory_order_acquire);
    if (t != nullptr && t->acquire != nullptr) t->acquire(resource, type_name, description);
}

void resource_release(std::uint64_t resource) {
    const ResourceTracker *t = g_tracker.load(std::memory_order_acquire);
    if (t != nullptr && t->release != nullptr) t->release(resource);
}

}  // namespace kez::debug
