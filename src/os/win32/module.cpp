// Modules on Windows. Directories listed in KEZ_COMPONENT_PATH
// (semicolon-separated) are searched before the normal DLL search.
#include <windows.h>
#include <stdio.h>
#include <string.h>

#include "os/fault.h"
#include "os/os.h"

namespace kez::os {
namespace {

template <typename Open>
HMODULE search(const char *name, Open try_open) {
    char dirs[4096];
    if (strchr(name, '\\') == nullptr && strchr(name, '/') == nullptr &&
        env_get("KEZ_COMPONENT_PATH", dirs, sizeof dirs)) {
        char *dir = dirs;
        while (dir != nullptr && *dir != '\0') {
            char *next = strchr(dir, ';');
            if (next != nullptr) *next++ = '\0';
            char path[MAX_PATH * 2];
            const int n = snprintf(path, sizeof path, "%s\\%s", dir, name);
            if (n > 0 && static_cast<std::size_t>(n) < sizeof path)
                if (HMODULE h = try_open(path)) return h;
            dir = next;
        }
    }
    return try_open(name);
}

void local_anchor() {}

}  // namespace

Module module_self() {
    HMODULE h = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&local_anchor), &h);
    return h;
}

void module_pin_self() {
    HMODULE h = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCSTR>(&local_anchor), &h);
}

Module module_main() { return GetModuleHandleA(nullptr); }

Module module_if_loaded(const char *name) {
    if (fault::hit("os.module_if_loaded")) return nullptr;
    return search(name, [](const char *path) { return GetModuleHandleA(path); });
}

Module module_load(const char *name) {
    if (fault::hit("os.module_load")) return nullptr;
    return search(name, [](const char *path) { return LoadLibraryA(path); });
}

void module_unload(Module m) {
    if (m != nullptr) FreeLibrary(static_cast<HMODULE>(m));
}

void *module_symbol(Module m, const char *symbol) {
    if (m == nullptr) return nullptr;
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(m), symbol));
}

bool module_file_name(Module m, char *buf, std::size_t size) {
    if (size == 0) return false;
    const DWORD n = GetModuleFileNameA(static_cast<HMODULE>(m), buf, static_cast<DWORD>(size));
    return n != 0 && n < size;
}

}  // namespace kez::os
