#include "core/thread_naming.h"

#include <cstdio>
#include <cstring>

#include "os/os.h"

namespace kez::core {
namespace {

using GetNameFn = int (*)(std::uint32_t thread_id, char *buffer, int size);
using SetNameFn = int (*)(std::uint32_t thread_id, const char *name);

}  // namespace

void name_engine_thread(std::uint32_t thread_id, const char *pattern) {
    os::Module host = os::module_if_loaded("etsapi.dll");
    if (host == nullptr) return;
    auto get = reinterpret_cast<GetNameFn>(os::module_symbol(host, "EtsGetThreadDebugName"));
    auto set = reinterpret_cast<SetNameFn>(os::module_symbol(host, "EtsSetThreadDebugName"));
    if (get == nullptr || set == nullptr) return;
    char current[1023] = {};
    get(thread_id, current, static_cast<int>(sizeof current));
    current[sizeof current - 1] = '\0';
    if (current[0] != '\0' && std::strncmp(current, "StartAddr=0x", 12) != 0) return;
    char name[128];
    std::snprintf(name, sizeof name, pattern, static_cast<int>(thread_id));
    set(thread_id, name);
}

}  // namespace kez::core
