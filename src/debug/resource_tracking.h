// Resource tracking as the libraries see it: acquire a resource under a
// category with a description, release it. The table itself belongs to the
// debugger link; until it is part of the engine, an installed tracker gets
// the calls, or nobody.
#pragma once

#include <cstdint>

namespace kez::debug {

struct ResourceTracker {
    // Whether acquiring would record anything for the calling thread;
    // callers skip formatting descriptions otherwise.
    bool (*enabled)();
    void (*acquire)(std::uint64_t resource, const char *type_name, const char *description);
    void (*release)(std::uint64_t resource);
};

void set_resource_tracker(const ResourceTracker *tracker);

bool resource_tracking_enabled();
void resource_acquire(std::uint64_t resource, const char *type_name, const char *description);
void resource_release(std::uint64_t resource);

}  // namespace kez::debug
