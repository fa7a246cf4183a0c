// Modules on POSIX. A module handle is the dlopen handle of the object. A
// component named as on Windows ("kezdebug.dll") is looked for as
// "libkezdebug.so", first in the directories of KEZ_COMPONENT_PATH
// (colon-separated), then through the normal search.
#include <dlfcn.h>
#include <link.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "os/fault.h"
#include "os/os.h"

namespace kez::os {
namespace {

void posix_file_name(const char *name, char *out, std::size_t size) {
    const std::size_t n = strlen(name);
    if (n > 4 && strcasecmp(name + n - 4, ".dll") == 0 && strchr(name, '/') == nullptr)
        snprintf(out, size, "lib%.*s.so", static_cast<int>(n - 4), name);
    else
        snprintf(out, size, "%s", name);
}

// Calls try_open(path) for each candidate path until it returns non-null.
template <typename Open>
void *search(const char *name, Open try_open) {
    char file[PATH_MAX];
    posix_file_name(name, file, sizeof file);
    char dirs[4096];
    if (strchr(file, '/') == nullptr && env_get("KEZ_COMPONENT_PATH", dirs, sizeof dirs)) {
        char *dir = dirs;
        while (dir != nullptr && *dir != '\0') {
            char *next = strchr(dir, ':');
            if (next != nullptr) *next++ = '\0';
            char path[PATH_MAX];
            const int n = snprintf(path, sizeof path, "%s/%s", dir, file);
            if (n > 0 && static_cast<std::size_t>(n) < sizeof path)
                if (void *h = try_open(path)) return h;
            dir = next;
        }
    }
    return try_open(file);
}

void local_anchor() {}

}  // namespace

// Unload here may always wait: nothing needs to stay mapped.
void module_pin_self() {}

Module module_self() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&local_anchor), &info) == 0 || info.dli_fname == nullptr) return nullptr;
    void *h = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
    if (h != nullptr) dlclose(h);  // keep the identity, not a reference
    return h;
}

Module module_main() {
    void *h = dlopen(nullptr, RTLD_LAZY);
    return h;
}

Module module_if_loaded(const char *name) {
    if (fault::hit("os.module_if_loaded")) return nullptr;
    void *h = search(name, [](const char *path) { return dlopen(path, RTLD_LAZY | RTLD_NOLOAD); });
    // Like the Windows query, this does not keep the module loaded.
    if (h != nullptr) dlclose(h);
    return h;
}

Module module_load(const char *name) {
    if (fault::hit("os.module_load")) return nullptr;
    return search(name, [](const char *path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); });
}

void module_unload(Module m) {
    if (m != nullptr) dlclose(m);
}

void *module_symbol(Module m, const char *symbol) {
    if (m == nullptr) return nullptr;
    return dlsym(m, symbol);
}

bool module_file_name(Module m, char *buf, std::size_t size) {
    if (m == nullptr || size == 0) return false;
    struct link_map *lm = nullptr;
    if (dlinfo(m, RTLD_DI_LINKMAP, &lm) != 0 || lm == nullptr) return false;
    if (lm->l_name != nullptr && lm->l_name[0] != '\0') {
        snprintf(buf, size, "%s", lm->l_name);
        return strlen(lm->l_name) < size;
    }
    const ssize_t n = readlink("/proc/self/exe", buf, size - 1);
    if (n <= 0) return false;
    buf[n] = '\0';
    return true;
}

}  // namespace kez::os
