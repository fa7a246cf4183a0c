/* Stand-in for the platform's resource disposer. It remembers each
   registered resource with its release function and counts the calls;
   FakeDisposer_ReleaseAll reclaims what is still registered the way the real
   disposer would at program end: by calling each release function. Calls
   arrive from one thread at a time in the tests that load it. */
#include <string.h>

#if defined(_WIN32)
#define FAKE_EXPORT __declspec(dllexport)
#else
#define FAKE_EXPORT __attribute__((visibility("default")))
#endif

typedef void (*ReleaseFn)(void *resource);

enum { kMaxResources = 1024 };

static void *g_resources[kMaxResources];
static ReleaseFn g_release[kMaxResources];
static int g_count;
static int g_registers;
static int g_unregisters;
static void *g_last_unregistered;

FAKE_EXPORT void RegisterKezResource(void *resource, ReleaseFn release) {
    ++g_registers;
    if (g_count < kMaxResources) {
        g_resources[g_count] = resource;
        g_release[g_count] = release;
        ++g_count;
    }
}

FAKE_EXPORT void UnregisterKezResource(void *resource) {
    int i;
    ++g_unregisters;
    g_last_unregistered = resource;
    for (i = 0; i < g_count; ++i) {
        if (g_resources[i] == resource) {
            --g_count;
            g_resources[i] = g_resources[g_count];
            g_release[i] = g_release[g_count];
            return;
        }
    }
}

FAKE_EXPORT int FakeDisposer_Registers(void) { return g_registers; }
FAKE_EXPORT int FakeDisposer_Unregisters(void) { return g_unregisters; }
FAKE_EXPORT int FakeDisposer_Count(void) { return g_count; }
FAKE_EXPORT void *FakeDisposer_LastUnregistered(void) { return g_last_unregistered; }
FAKE_EXPORT int FakeDisposer_IsRegistered(void *resource) {
    int i;
    for (i = 0; i < g_count; ++i)
        if (g_resources[i] == resource) return 1;
    return 0;
}

/* Releases everything still registered; a release function unregisters its
   resource, so work on a copy. Returns the number released. */
FAKE_EXPORT int FakeDisposer_ReleaseAll(void) {
    void *resources[kMaxResources];
    ReleaseFn release[kMaxResources];
    const int n = g_count;
    int i;
    memcpy(resources, g_resources, sizeof(void *) * (size_t)n);
    memcpy(release, g_release, sizeof(ReleaseFn) * (size_t)n);
    for (i = 0; i < n; ++i) release[i](resources[i]);
    return n;
}

/* Releases one registered resource; 1 when it was registered. */
FAKE_EXPORT int FakeDisposer_Release(void *resource) {
    int i;
    for (i = 0; i < g_count; ++i) {
        if (g_resources[i] == resource) {
            g_release[i](resource);
            return 1;
        }
    }
    return 0;
}
